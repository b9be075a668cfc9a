// Whole streams through the entry points, judged by ffmpeg: every supported rate, mono and
// stereo, at the lowest and highest bit rate, over a representative part of the corpus (the
// full corpus and the quality comparison run in bench/aacenc).  No bit-count mismatch is
// reported, ffmpeg decodes with nothing on stderr, the stream keeps to its bit rate within
// one maximum reservoir, and no frame is longer than the element maxima.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "aac_core.h"
#include "aacenc.h"
#include "kavo/test/test_root.h"

namespace {

enum Sig { PINK, TONE, CHORD, SWEEP, CLICKS, BURSTS, QUIET, FULL, IDENTICAL, PANNED, ANTIPHASE, ONESIDE, SIG_COUNT };
const char *kSigName[] = {"pink",   "tone",  "chord", "sweep", "clicks",    "bursts",
                          "quiet",  "full",  "identical", "panned", "antiphase", "oneside"};

std::vector<int16_t> signal(Sig s, uint32_t rate, uint32_t ch, size_t n) {
  std::vector<double> m(n);
  std::mt19937 rng(unsigned(rate + s));
  std::normal_distribution<double> nd(0, 1);
  double b[3] = {0, 0, 0};
  for (size_t i = 0; i < n; i++) {
    double t = double(i) / rate, v = 0;
    switch (s) {
      case PINK: case QUIET: case IDENTICAL: case PANNED: case ANTIPHASE: case ONESIDE: {
        double w = nd(rng);  // three-pole approximation of a 1/f spectrum
        b[0] = 0.99765 * b[0] + w * 0.0990460;
        b[1] = 0.96300 * b[1] + w * 0.2965164;
        b[2] = 0.57000 * b[2] + w * 1.0526913;
        v = 0.05 * (b[0] + b[1] + b[2] + w * 0.1848);
        if (s == QUIET) v *= 0.004;
        break;
      }
      case TONE: v = 0.5 * std::sin(2 * M_PI * 1000 * t); break;
      case CHORD:
        for (double f : {262.0, 330.0, 392.0, 523.0}) v += 0.12 * std::sin(2 * M_PI * f * t);
        break;
      case SWEEP: v = 0.5 * std::sin(2 * M_PI * (50 * t + 0.5 * (0.45 * rate - 50) * t * t / 1.5)); break;
      case CLICKS: v = (i % (rate / 4) == 100) ? 0.9 : ((i % (rate / 4) == 101) ? -0.9 : 0.0); break;
      case BURSTS: {
        size_t p = i % (rate / 5);
        v = p < rate / 40 ? 0.7 * std::exp(-double(p) / (rate * 0.004)) * nd(rng) : 0.0;
        break;
      }
      case FULL: v = std::sin(2 * M_PI * 440 * t) >= 0 ? 1.0 : -1.0; break;
      default: break;
    }
    m[i] = v;
  }
  std::vector<int16_t> pcm(n * ch);
  for (size_t i = 0; i < n; i++)
    for (uint32_t c = 0; c < ch; c++) {
      double v = m[i];
      if (c == 1 && s == PANNED) v *= 0.3;
      if (c == 1 && s == ANTIPHASE) v = -v;
      if (c == 1 && s == ONESIDE) v = 0;
      pcm[i * ch + c] = int16_t(std::lround(std::max(-32768.0, std::min(32767.0, 32767.0 * v))));
    }
  return pcm;
}

std::string run(const std::string &cmd) {
  std::string out;
  FILE *p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return "popen failed";
  char buf[4096];
  size_t k;
  while ((k = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, k);
  if (pclose(p) != 0) out += "[exit status]";
  return out;
}

struct Range {
  uint32_t rate, lo, hi;  // per channel
};
const Range kRanges[] = {{8000, 8000, 12000},   {11025, 8000, 40000},  {12000, 8000, 40000},
                         {16000, 16000, 80000}, {22050, 16000, 80000}, {24000, 16000, 80000},
                         {32000, 16000, 160000}, {44100, 16000, 160000}, {48000, 16000, 160000}};

}  // namespace

class AacStreams : public testing::TestWithParam<Range> {};

TEST_P(AacStreams, DecodeCleanlyAtTheirRate) {
  const Range r = GetParam();
  kavo::test::TestRoot root;
  int k = 0;
  for (uint32_t ch : {1u, 2u}) {
    for (uint32_t br : {r.lo * ch, r.hi * ch}) {
      std::vector<Sig> sigs = ch == 1 ? std::vector<Sig>{PINK, CLICKS, FULL} : std::vector<Sig>{ONESIDE, ANTIPHASE};
      sigs.push_back(Sig((r.rate / 1000 + k++) % SIG_COUNT));  // a different extra item per configuration
      for (Sig s : sigs) {
        SCOPED_TRACE(std::to_string(r.rate) + " Hz " + std::to_string(ch) + " ch " + std::to_string(br) + " " +
                     kSigName[s]);
        const size_t frames = size_t(r.rate * 1.5 / 1024) + 1;
        std::vector<int16_t> pcm = signal(s, r.rate, ch, frames * 1024);
        aacenc_config_t cfg;
        std::memset(&cfg, 0, sizeof(cfg));
        std::vector<uint8_t> block(AACENC_BLOCK_BYTES(ch), 0);
        cfg.sample_rate = r.rate;
        cfg.channels_in = ch;
        cfg.bit_rate = br;
        cfg.format = 't';
        cfg.tns_enabled = (k & 1);
        cfg.quality = k % 3;
        cfg.output_buffer = block.data();
        cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(ch);
        aacenc_setup(&cfg);
        aacenc_open(&cfg);
        ASSERT_EQ(cfg.error, 0u);
        std::string adts;
        uint64_t bits = 0;
        testing::internal::CaptureStderr();
        for (size_t f = 0; f < frames; f++) {
          cfg.input_pcm = pcm.data() + f * 1024 * ch;
          aacenc_encode(&cfg);
          ASSERT_EQ(cfg.error, 0u);
          adts.append(reinterpret_cast<const char *>(cfg.output_buffer), cfg.output_bits / 8);
          bits += cfg.output_bits;
        }
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err, "");
        const AacCoreState *core = static_cast<const AacCoreState *>(aacenc_core_handle(&cfg));
        EXPECT_EQ(core->too_long, 0);
        int32_t max_res = 0;
        for (int e = 0; e < core->elements.n_elements; e++) max_res += core->elem_bits[e].max_bit_res_bits;
        double target = double(br) * 1024.0 * frames / r.rate;
        EXPECT_LE(double(bits), target + 8 + 1e-6);
        EXPECT_GE(double(bits), target - max_res - 8);
        const std::string path = root.dir() + "/s.aac";
        std::ofstream(path, std::ios::binary) << adts;
        EXPECT_EQ(run("ffmpeg -nostdin -v error -i " + path + " -f null -"), "");
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryRate, AacStreams, testing::ValuesIn(kRanges),
                         [](const testing::TestParamInfo<Range> &i) { return std::to_string(i.param.rate); });
