// The entry points as the audio capture drives them: validation codes and the refusal
// message, sticky errors, the periodic bit-rate check and the frame at byte 0.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "aacenc.h"
#include "aacenc_internal.h"

namespace {

struct Encoder {
  aacenc_config_t cfg;
  std::vector<uint8_t> block;
  explicit Encoder(uint32_t rate, uint32_t ch, uint32_t br, uint32_t mode = 0, char fmt = 't') {
    std::memset(&cfg, 0, sizeof(cfg));
    block.assign(AACENC_BLOCK_BYTES(ch < 3 ? ch : 2), 0);
    cfg.sample_rate = rate;
    cfg.core_sample_rate = rate;
    cfg.channels_in = ch;
    cfg.channels_out = ch;
    cfg.bit_rate = br;
    cfg.mode = mode;
    cfg.format = fmt;
    cfg.output_buffer = block.data();
    cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(ch < 3 ? ch : 2);
  }
  std::string setupOut() {
    testing::internal::CaptureStdout();
    aacenc_setup(&cfg);
    return testing::internal::GetCapturedStdout();
  }
  std::string openOut() {
    testing::internal::CaptureStdout();
    aacenc_open(&cfg);
    return testing::internal::GetCapturedStdout();
  }
};

const char kMsg[] = "Not Support or Out of Range!!!!\n";

struct Case {
  uint32_t rate, ch, br, mode, code;
};

}  // namespace

TEST(AacEncApi, ValidationMatrix) {
  const Case cases[] = {
      // mode 1 at 44100 stereo: 28000 .. 128000
      {44100, 2, 28000, 1, 0}, {44100, 2, 128000, 1, 0}, {44100, 2, 27999, 1, 5}, {44100, 2, 128001, 1, 5},
      {22050, 1, 20000, 1, 3}, {32000, 1, 14000, 1, 0}, {48000, 1, 64001, 1, 5},
      // mode 3: rate before channels
      {44100, 1, 32000, 3, 6}, {22050, 2, 32000, 3, 3}, {48000, 2, 16000, 3, 0}, {48000, 2, 15999, 3, 5},
      {32000, 2, 64001, 3, 5},
      // mode 2 before channels; three channels
      {44100, 3, 64000, 2, 6}, {44100, 3, 64000, 0, 4}, {44100, 0, 64000, 0, 4},
      // AAC-LC by rate
      {8000, 1, 8000, 0, 0}, {8000, 1, 12000, 0, 0}, {8000, 1, 7999, 0, 5}, {8000, 1, 12001, 0, 5},
      {11025, 2, 80000, 0, 0}, {12000, 1, 40001, 0, 5}, {16000, 2, 32000, 0, 0}, {24000, 1, 80001, 0, 5},
      {48000, 2, 320000, 0, 0}, {48000, 2, 320001, 0, 5}, {44100, 1, 15999, 0, 5}, {64000, 1, 64000, 0, 3},
      {7350, 1, 16000, 0, 3}, {96000, 2, 128000, 0, 3},
  };
  for (const Case &c : cases) {
    Encoder e(c.rate, c.ch, c.br, c.mode);
    std::string out = e.setupOut();
    SCOPED_TRACE(std::to_string(c.rate) + "/" + std::to_string(c.ch) + "/" + std::to_string(c.br) + "/" +
                 std::to_string(c.mode));
    EXPECT_EQ(e.cfg.error, c.code);
    EXPECT_EQ(out, c.code ? std::string(kMsg) : std::string());
    if (c.code == 0) {
      EXPECT_EQ(e.openOut(), "");
      EXPECT_EQ(e.cfg.error, 0u);
      EXPECT_EQ(e.cfg.core_sample_rate, c.mode ? c.rate / 2 : c.rate);
      EXPECT_EQ(e.cfg.channels_out, c.mode == 3 ? 1u : c.ch);
    }
  }
}

TEST(AacEncApi, OpenRefusals) {
  {  // quality above 2
    Encoder e(48000, 2, 128000);
    e.cfg.quality = 3;
    EXPECT_EQ(e.setupOut(), "");
    EXPECT_EQ(e.openOut(), kMsg);
    EXPECT_EQ(e.cfg.error, 6u);
  }
  {  // the SBR paths open (the tuning table covers every validated rate)
    for (uint32_t br : {28000u, 64000u, 128000u}) {
      Encoder e(48000, 2, br, 1);
      e.setupOut();
      EXPECT_EQ(e.openOut(), "");
      EXPECT_EQ(e.cfg.error, 0u);
    }
  }
  {  // null working memory: setup passes, open refuses with 1
    Encoder e(48000, 2, 128000);
    e.cfg.work_memory = nullptr;
    EXPECT_EQ(e.setupOut(), "");
    EXPECT_EQ(e.openOut(), kMsg);
    EXPECT_EQ(e.cfg.error, 1u);
  }
}

TEST(AacEncApi, StickyErrorLeavesOutputUntouched) {
  Encoder e(44100, 2, 500000);
  e.setupOut();
  ASSERT_EQ(e.cfg.error, 5u);
  std::memset(e.block.data(), 0xA5, AACENC_OUTPUT_BYTES(2));
  EXPECT_EQ(e.openOut(), "");  // a stored error prints nothing more
  EXPECT_EQ(aacenc_open(&e.cfg), 5u);
  std::vector<int16_t> pcm(2048, 1000);
  e.cfg.input_pcm = pcm.data();
  testing::internal::CaptureStdout();
  EXPECT_EQ(aacenc_encode(&e.cfg), 5u);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(e.cfg.output_bits, 0u);
  for (uint32_t i = 0; i < AACENC_OUTPUT_BYTES(2); i++) ASSERT_EQ(e.block[i], 0xA5);
  // a new setup clears it
  e.cfg.bit_rate = 128000;
  e.setupOut();
  EXPECT_EQ(e.cfg.error, 0u);
}

TEST(AacEncApi, SetupFillsRecordAndHandles) {
  Encoder e(48000, 2, 96000);
  e.setupOut();
  EXPECT_EQ(e.cfg.rate_check_enabled, 1);
  EXPECT_EQ(e.cfg.requested_bit_rate, 96000u);
  EXPECT_EQ(e.cfg.reserved, 0u);
  EXPECT_EQ(e.cfg.revision_text[0], '\0');
  EXPECT_GT(std::strlen(e.cfg.location_text), 0u);
  uint8_t *wm = static_cast<uint8_t *>(e.cfg.work_memory);
  EXPECT_EQ(hEnc->scratch1, wm + 84312);
  EXPECT_EQ(hEnc->scratch2, wm + 88408);
  EXPECT_EQ(hEnc->work_memory, wm);
  EXPECT_EQ(hFileformat, wm + 104792);
  EXPECT_EQ(bufSize[1], 3922u);
  EXPECT_EQ(bufSize[2], 9320u);
  e.openOut();
  void *core = aacenc_core_handle(&e.cfg);
  EXPECT_EQ(core, wm + 9896);  // the core coder is the first module
  EXPECT_EQ(AacEncClose(core), nullptr);
  EXPECT_EQ(AacEncClose(nullptr), nullptr);
  EXPECT_EQ(aacencRecheckPeriod(48000), 47u);
  EXPECT_EQ(aacencRecheckPeriod(44100), 44u);
  EXPECT_EQ(aacencRecheckPeriod(96000), 0u);
}

TEST(AacEncApi, AdtsFrameStartsAtByteZero) {
  Encoder e(48000, 2, 128000);
  e.setupOut();
  e.openOut();
  std::vector<int16_t> pcm(2048);
  for (int i = 0; i < 1024; i++) pcm[2 * i] = pcm[2 * i + 1] = int16_t(8000 * std::sin(i * 0.05));
  e.cfg.input_pcm = pcm.data();
  for (int f = 0; f < 5; f++) {
    ASSERT_EQ(aacenc_encode(&e.cfg), 0u);
    const uint8_t *b = e.block.data();
    ASSERT_EQ(b[0], 0xFF);
    ASSERT_EQ(b[1] & 0xF6, 0xF0);  // sync, layer 0
    uint32_t len = ((b[3] & 3u) << 11) | (b[4] << 3) | (b[5] >> 5);
    EXPECT_EQ(len * 8u, e.cfg.output_bits);
    EXPECT_EQ(e.cfg.output_bits % 8u, 0u);
  }
}

TEST(AacEncApi, RateChangeTakesEffectAtTheCheckPeriod) {
  // 48000 Hz: a check every 47th call. The counter is process-wide and other tests' calls have moved
  // it, so a first change finds the next check; the second one must wait a whole period.
  Encoder e(48000, 1, 64000);
  e.setupOut();
  e.openOut();
  std::vector<int16_t> pcm(1024, 0);
  e.cfg.input_pcm = pcm.data();
  e.cfg.requested_bit_rate = 80000;
  for (int i = 0; i < 47 && e.cfg.bit_rate != 80000u; i++) ASSERT_EQ(aacenc_encode(&e.cfg), 0u);
  ASSERT_EQ(e.cfg.bit_rate, 80000u) << "no check within 47 calls";
  e.cfg.requested_bit_rate = 96000;
  for (int call = 1; call <= 47; call++) {
    ASSERT_EQ(aacenc_encode(&e.cfg), 0u);
    EXPECT_EQ(e.cfg.bit_rate, call < 47 ? 80000u : 96000u) << call;
  }
  // a refused request keeps the running rate and the audio
  e.cfg.requested_bit_rate = 500000;
  for (int call = 0; call < 47; call++) ASSERT_EQ(aacenc_encode(&e.cfg), 0u);
  EXPECT_EQ(e.cfg.bit_rate, 96000u);
  EXPECT_EQ(e.cfg.error, 0u);
  EXPECT_GT(e.cfg.output_bits, 0u);
}
