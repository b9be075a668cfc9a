// TNS: configuration by rate and bit rate, the quantiser and order reduction, the filter
// against the decoder's synthesis, and decisions on synthetic spectra.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "aac_tns.h"
#include "aac_transform.h"

namespace {
int32_t q31(double v) { return int32_t(std::lround(std::min(v, 0.9999999995) * 2147483648.0)); }
}  // namespace

TEST(AacTns, ConfigurationAt44100StereoAnd64000) {
  AacTnsConfig l, s;
  ASSERT_EQ(AacTnsConfigure(&l, 32000, 44100, 2, 1, 1), 0);
  ASSERT_EQ(AacTnsConfigure(&s, 32000, 44100, 2, 0, 1), 0);
  EXPECT_EQ(l.threshold, 141);
  EXPECT_EQ(l.start_freq, 2500);
  EXPECT_EQ(l.stop_freq, 16000);
  EXPECT_EQ(l.lag_param, q31(0.5));
  EXPECT_EQ(l.max_bands, 42);
  EXPECT_LE(l.stop_band, 42);
  EXPECT_EQ(l.max_order, 12);
  EXPECT_EQ(l.coef_res, 4);
  EXPECT_EQ(s.start_freq, 3750);
  EXPECT_EQ(s.lag_param, q31(0.3));
  EXPECT_EQ(s.max_bands, 14);
  EXPECT_EQ(s.max_order, 5);
  EXPECT_EQ(s.coef_res, 3);
  EXPECT_EQ(AacTnsMaxBands(48000, 1), 40);
  EXPECT_EQ(AacTnsMaxBands(32000, 1), 51);
  EXPECT_EQ(AacTnsMaxBands(8000, 1), 39);
  EXPECT_EQ(AacTnsMaxBands(8000, 0), 14);
  EXPECT_EQ(AacTnsMaxBands(7350, 1), -1);
  EXPECT_EQ(AacTnsConfigure(&l, 32000, 7350, 1, 1, 1), 1);
  // outside every row the parameters stay
  AacTnsConfig m;
  AacTnsConfigure(&m, 16000, 48000, 1, 1, 1);
  int32_t thr = m.threshold, start = m.start_freq;
  AacTnsUpdateBitrate(&m, 400000, 1);
  EXPECT_EQ(m.threshold, thr);
  EXPECT_EQ(m.start_freq, start);
}

TEST(AacTns, FrequencyToBand) {
  const int32_t off[] = {0, 4, 8, 12, 20, 32, 64, 128};
  // line = (f * 4 * 128 / 48000 + 1) / 2
  EXPECT_EQ(AacTnsFreqToBand(0, 48000, off, 7), 0);
  EXPECT_EQ(AacTnsFreqToBand(1875, 48000, off, 7), 2);   // line 10: tie between 8 and 12 -> lower
  EXPECT_EQ(AacTnsFreqToBand(2300, 48000, off, 7), 3);   // line 12
  EXPECT_EQ(AacTnsFreqToBand(24000, 48000, off, 7), 7);  // at N: the band count
  EXPECT_EQ(AacTnsFreqToBand(30000, 48000, off, 7), 7);
}

TEST(AacTns, QuantiserAndOrderReduction) {
  EXPECT_EQ(AacTnsQuantIndex(q31(0.95), 4), 6);
  EXPECT_EQ(AacTnsQuantIndex(q31(0.95), 3), 3);
  EXPECT_EQ(AacTnsQuantIndex(q31(-0.95), 4), -7);
  EXPECT_EQ(AacTnsQuantIndex(q31(-0.95), 3), -4);
  EXPECT_EQ(AacTnsQuantIndex(INT32_MIN, 4), -8);
  EXPECT_EQ(AacTnsQuantIndex(INT32_MAX, 4), 7);
  EXPECT_EQ(AacTnsQuantIndex(0, 4), 0);
  // every index reproduces itself through its dequantised value
  for (int res : {3, 4})
    for (int i = -(1 << (res - 1)); i < (1 << (res - 1)); i++)
      EXPECT_EQ(AacTnsQuantIndex(AacTnsDequant(i, res), res), i) << res << " " << i;
  // trailing coefficients within [-0.1, 0.1) are cut
  const int32_t idx4[] = {5, -3, 1, 0, 0};
  EXPECT_EQ(AacTnsReduceOrder(idx4, 5, 4), 3);  // index 1 is sin(pi / 15) = 0.208: kept
  const int32_t small[] = {0, 0, 0};
  EXPECT_EQ(AacTnsReduceOrder(small, 3, 4), 0);
  const int32_t neg[] = {2, -1};  // sin(-pi/17) = -0.184: outside, kept
  EXPECT_EQ(AacTnsReduceOrder(neg, 2, 4), 2);
}

TEST(AacTns, FilterIsInvertedByTheDecoderSynthesis) {
  const int32_t idx[] = {5, -3, 2, 1};
  int32_t k[4];
  double kd[4];
  for (int i = 0; i < 4; i++) {
    k[i] = AacTnsDequant(idx[i], 4);
    kd[i] = k[i] / 2147483648.0;
  }
  std::mt19937 rng(5);
  std::uniform_int_distribution<int32_t> d(-(1 << 24), 1 << 24);
  std::vector<int32_t> x(300);
  for (auto &v : x) v = d(rng);
  std::vector<int32_t> y = x;
  AacTnsFilter(y.data(), 20, 280, k, 4);
  for (int i = 0; i < 20; i++) EXPECT_EQ(y[i], x[i]);
  // the decoder's rule: LPC from the reflection coefficients, then y[n] = x[n] - sum a[i] y[n - i]
  double a[5] = {1, 0, 0, 0, 0}, b[5];
  for (int m = 1; m <= 4; m++) {
    for (int i = 1; i < m; i++) b[i] = a[i] + kd[m - 1] * a[m - i];
    for (int i = 1; i < m; i++) a[i] = b[i];
    a[m] = kd[m - 1];
  }
  std::vector<double> out(300);
  double worst = 0;
  for (int n = 20; n < 280; n++) {
    double v = y[n];
    for (int i = 1; i <= 4 && n - i >= 20; i++) v -= a[i] * out[n - i];
    out[n] = v;
    worst = std::max(worst, std::fabs(v - x[n]));
  }
  EXPECT_LT(worst, 128.0);  // the lines come back at full scale, up to rounding
}

// A short window at 48 kHz: the stop frequency ends the range at band 11, yet lines up to the
// lowpass (15.3 kHz, line 81) sit in band 12, up to which the decoder undoes the filter.  The
// decoder's synthesis over its own range must give back every line.
TEST(AacTns, FilterCoversTheBandsThatTheDecoderUndoes) {
  AacTnsConfig c;
  ASSERT_EQ(AacTnsConfigure(&c, 64000, 48000, 1, 0, 1), 0);
  const int32_t coded = 12;  // bands below the lowpass line 81
  ASSERT_LT(c.stop_band, coded);
  AacTnsInfo info{};
  info.active[0] = 1;
  info.order[0] = 2;
  info.parcor[0][0] = q31(0.6);
  info.parcor[0][1] = q31(-0.35);
  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> d(-(1 << 22), 1 << 22);
  std::vector<int32_t> x(128, 0);
  for (int i = 0; i < 81; i++) x[i] = d(rng);
  std::vector<int32_t> y = x;
  AacTnsEncode(&c, &info, y.data(), 0, coded);
  ASSERT_EQ(info.active[0], 1);
  const int top = c.band_offsets[std::min(coded, c.max_bands)];
  double kd[8], a[9] = {1}, b[9];
  int order = info.order[0];
  for (int m = 1; m <= order; m++) {
    kd[m - 1] = AacTnsDequant(info.coef[0][m - 1], 3) / 2147483648.0;
    for (int i = 1; i < m; i++) b[i] = a[i] + kd[m - 1] * a[m - i];
    for (int i = 1; i < m; i++) a[i] = b[i];
    a[m] = kd[m - 1];
  }
  std::vector<double> out(128);
  double worst = 0;
  for (int n = 0; n < 128; n++) {
    double v = y[n];
    if (n >= c.start_line && n < top)
      for (int i = 1; i <= order && n - i >= c.start_line; i++) v -= a[i] * out[n - i];
    out[n] = v;
    worst = std::max(worst, std::fabs(v - x[n]));
  }
  EXPECT_LT(worst, 128.0);
}

TEST(AacTns, DecisionsOnSyntheticSpectra) {
  AacTnsConfig c;
  ASSERT_EQ(AacTnsConfigure(&c, 64000, 48000, 1, 1, 1), 0);
  std::vector<int16_t> hist(AAC_HISTORY, 0), in(2048, 0);
  std::vector<int32_t> spec(1024), scratch(1024);
  int32_t e;
  // a click in the transform block: a flat, strongly correlated spectrum -> TNS on
  hist[1100] = 20000;
  hist[1101] = -12000;
  AacTransformReal(hist.data(), in.data(), 2, spec.data(), 0, scratch.data(), 0, nullptr, nullptr, &e);
  AacTnsInfo info{};
  AacTnsDetect(&c, spec.data(), &info, 0);
  EXPECT_EQ(info.active[0], 1);
  EXPECT_GT(info.gain[0], 141);
  std::vector<int32_t> before = spec;
  AacTnsEncode(&c, &info, spec.data(), 0, c.num_bands);
  EXPECT_GT(info.order[0], 0);
  EXPECT_NE(spec, before);
  for (int i = 0; i < c.start_line; i++) ASSERT_EQ(spec[i], before[i]);
  // stationary noise: no gain, no TNS
  std::mt19937 rng(9);
  std::uniform_int_distribution<int> d(-8000, 8000);
  for (int trial = 0; trial < 4; trial++) {
    for (auto &v : hist) v = int16_t(d(rng));
    for (auto &v : in) v = int16_t(d(rng));
    AacTransformReal(hist.data(), in.data(), 2, spec.data(), 0, scratch.data(), 0, nullptr, nullptr, &e);
    AacTnsInfo n{};
    AacTnsDetect(&c, spec.data(), &n, 0);
    EXPECT_EQ(n.active[0], 0) << "gain " << n.gain[0];
  }
  // silence and an inactive configuration never switch on
  std::vector<int32_t> zero(1024, 0);
  AacTnsInfo z{};
  AacTnsDetect(&c, zero.data(), &z, 0);
  EXPECT_EQ(z.active[0], 0);
  EXPECT_EQ(z.gain[0], 0);
  AacTnsConfig off;
  AacTnsConfigure(&off, 64000, 48000, 1, 1, 0);
  AacTnsDetect(&off, before.data(), &z, 0);
  EXPECT_EQ(z.active[0], 0);
}

TEST(AacTns, PairSynchronisation) {
  AacTnsInfo a{}, b{};
  a.gain[0] = 1000;
  a.active[0] = 1;
  a.order[0] = 3;
  a.parcor[0][0] = 12345;
  b.gain[0] = 1029;  // 100 * 29 < 3 * 1029
  AacTnsSync(&a, &b, 1);
  EXPECT_EQ(b.active[0], 1);
  EXPECT_EQ(b.parcor[0][0], 12345);
  AacTnsInfo c{};
  c.gain[0] = 1040;  // 100 * 40 >= 3 * 1040
  AacTnsSync(&a, &c, 1);
  EXPECT_EQ(c.active[0], 0);
}
