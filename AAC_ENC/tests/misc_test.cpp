// Down-sampler, circular bit buffer, core bandwidth and element list.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "aac_bitbuf.h"
#include "aac_core.h"
#include "aac_resamp.h"

namespace {
double rms(const std::vector<int16_t> &x, size_t from) {
  double s = 0;
  for (size_t i = from; i < x.size(); i++) s += double(x[i]) * x[i];
  return std::sqrt(s / double(x.size() - from));
}
std::vector<int16_t> down(double freq, int rate) {
  AacDownsampler ds;
  EXPECT_EQ(aacDownsamplerOpen(&ds, 2048, 1024), 0);
  std::vector<int16_t> in(4096), out(2048);
  for (size_t i = 0; i < in.size(); i++) in[i] = int16_t(10000 * std::sin(2 * M_PI * freq * double(i) / rate));
  EXPECT_EQ(aacDownsample(&ds, in.data(), 2048, 1, out.data(), 1), 1024);
  EXPECT_EQ(aacDownsample(&ds, in.data() + 2048, 2048, 1, out.data() + 1024, 1), 1024);
  return out;
}
}  // namespace

TEST(AacResample, HalfBandResponse) {
  int32_t sum = 0;
  for (int16_t c : aacDownsampleCoeffs) sum += c;
  EXPECT_EQ(sum, 16501);
  for (int i = 0; i < AAC_DS_TAPS; i++) EXPECT_EQ(aacDownsampleCoeffs[i], aacDownsampleCoeffs[48 - i]);
  double pass = rms(down(1000, 48000), 100) / (10000 / std::sqrt(2.0));
  double stop = rms(down(20000, 48000), 100) / (10000 / std::sqrt(2.0));
  EXPECT_NEAR(pass, 1.0, 0.02);
  EXPECT_LT(stop, 0.03);  // above the new Nyquist frequency: at least 30 dB down
  AacDownsampler ds;
  EXPECT_EQ(aacDownsamplerOpen(&ds, 2048, 1000), -1);
  // full-scale input saturates instead of wrapping
  aacDownsamplerOpen(&ds, 2048, 1024);
  std::vector<int16_t> in(2048, 32767), out(1024);
  aacDownsample(&ds, in.data(), 2048, 1, out.data(), 1);
  EXPECT_EQ(out[1023], 32767);
}

TEST(AacBitBuf, WriteReadWrapSkipSnapshot) {
  std::vector<uint8_t> mem(4, 0);
  AacBitBuf bb;
  aacBitBufOpen(&bb, 4, 0);
  aacBitBufWrite(mem.data(), &bb, 0xABCDE, 20);
  EXPECT_EQ(aacBitBufRead(mem.data(), &bb, 12), 0xABCu);
  EXPECT_EQ(aacBitBufRead(mem.data(), &bb, 25), 0u);  // more than 24 reads nothing
  aacBitBufWrite(mem.data(), &bb, 0x3FFF, 14);          // wraps past the last byte
  EXPECT_EQ(aacBitBufCount(&bb), 22);
  EXPECT_EQ(aacBitBufRead(mem.data(), &bb, 8), 0xDEu);
  EXPECT_EQ(aacBitBufRead(mem.data(), &bb, 14), 0x3FFFu);
  aacBitBufSkip(&bb, -14);
  EXPECT_EQ(aacBitBufRead(mem.data(), &bb, 14), 0x3FFFu);
  std::vector<uint8_t> copy(4, 0);
  AacBitBuf snap;
  aacBitBufOpen(&snap, 4, 0);
  aacBitBufSnapshot(mem.data(), &bb, copy.data(), &snap);
  EXPECT_EQ(copy, mem);
  EXPECT_EQ(snap.read_pos, bb.read_pos);
  // header writer: closing in place keeps the payload bits behind it
  uint8_t b[2] = {0x00, 0x0F};
  AacHdrWriter w;
  aacHdrOpen(&w, b, 2, 4);
  aacHdrWrite(&w, 0xA, 4);
  aacHdrWrite(&w, 0x5, 4);
  aacHdrCloseInPlace(&w);
  EXPECT_EQ(b[0], 0x0A);
  EXPECT_EQ(b[1], 0x5F);
}

TEST(AacCore, BandwidthAndElements) {
  // about bpc / 2.33 (mono), / 2.22 (dual mono), / 2 (pair), at most the word and 20000 Hz
  EXPECT_NEAR(AacCoreBandwidth(15300, 24000, 48000, AAC_MODE_MONO), 24000 / 2.3256, 5);
  EXPECT_NEAR(AacCoreBandwidth(15300, 24000, 48000, AAC_MODE_DUAL_MONO), 24000 / 2.2222, 5);
  EXPECT_NEAR(AacCoreBandwidth(15300, 24000, 48000, AAC_MODE_STEREO), 12000, 5);
  EXPECT_EQ(AacCoreBandwidth(15300, 64000, 48000, AAC_MODE_STEREO), 15300);
  EXPECT_EQ(AacCoreBandwidth(30000, 160000, 48000, AAC_MODE_MONO), 20000);
  EXPECT_EQ(AacCoreBandwidth(15300, 64000, 48000, 5), -1);
  EXPECT_EQ(AacCoreBandwidth(0, 11999, 48000, AAC_MODE_MONO), 3700);
  EXPECT_EQ(AacCoreBandwidth(0, 12000, 48000, AAC_MODE_STEREO), 6400);
  EXPECT_EQ(AacCoreBandwidth(0, 100000, 48000, AAC_MODE_MONO), 24000);  // limited to rate / 2
  EXPECT_EQ(AacCoreBandwidth(0, 200000, 48000, AAC_MODE_MONO), -1);
  AacElementList l;
  ASSERT_EQ(AacInitElementList(&l, 1, 1), 0);
  EXPECT_EQ(l.channel_mode, AAC_MODE_MONO);
  EXPECT_EQ(l.el[0].kind, ID_SCE);
  ASSERT_EQ(AacInitElementList(&l, 2, 0), 0);
  EXPECT_EQ(l.n_elements, 1);
  EXPECT_EQ(l.el[0].kind, ID_CPE);
  ASSERT_EQ(AacInitElementList(&l, 2, 1), 0);
  EXPECT_EQ(l.n_elements, 2);
  EXPECT_EQ(l.el[1].tag, 1);
  EXPECT_EQ(AacInitElementList(&l, 3, 0), 1);
}

TEST(AacCore, FillElements) {
  std::vector<uint8_t> mem(64, 0);
  for (auto [req, written] : std::vector<std::pair<int, int>>{{6, 0}, {7, 7}, {127, 127}, {135, 135}, {20, 15}}) {
    AacBitBuf bb;
    aacBitBufOpen(&bb, 64, 0);
    EXPECT_EQ(AacWriteFillElements(mem.data(), &bb, req, nullptr, 0), written) << req;
    EXPECT_EQ(aacBitBufCount(&bb), written);
  }
  AacBitBuf bb;
  aacBitBufOpen(&bb, 64, 0);
  AacWriteFillElements(mem.data(), &bb, 127, nullptr, 0);
  EXPECT_EQ(mem[0] >> 5, 6);                 // ID_FIL
  EXPECT_EQ((mem[0] >> 1) & 15, 15);         // count 15
  EXPECT_EQ(((mem[0] & 1) << 7) | (mem[1] >> 1), 0);  // esc_count 0: 14 bytes
}
