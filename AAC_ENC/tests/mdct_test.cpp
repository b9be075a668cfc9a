// The MDCT core and the windowed transform of every window sequence against double precision.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "aac_blockswitch.h"
#include "aac_transform.h"

namespace {

// X[k] = sum u[n] cos(pi / N (n + 1/2)(k + 1/2))
std::vector<double> dct4(const std::vector<double> &u) {
  size_t n = u.size();
  std::vector<double> x(n);
  for (size_t k = 0; k < n; k++) {
    double s = 0;
    for (size_t j = 0; j < n; j++) s += u[j] * std::cos(M_PI / n * (j + 0.5) * (k + 0.5));
    x[k] = s;
  }
  return x;
}

double window(int seq, int n) {  // 2048-sample window of a long sequence
  auto kbd = [](int i) { return LongWindowKBD[i] / 32767.0; };
  auto sine = [](int i) { return ShortWindowSine[i] / 32767.0; };
  if (n < 1024) {
    if (seq == LONG_STOP) return n < 448 ? 0.0 : (n < 576 ? sine(n - 448) : 1.0);
    return kbd(n);
  }
  int m = 2047 - n;
  if (seq == LONG_START) return m < 448 ? 0.0 : (m < 576 ? sine(m - 448) : 1.0);
  return kbd(m);
}

}  // namespace

TEST(AacMdct, CoreMatchesDct4) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<int32_t> d(-(1 << 26), 1 << 26);
  for (int n : {1024, 128}) {
    std::vector<int32_t> u(n), scratch(1024);
    std::vector<double> ud(n);
    for (int i = 0; i < n; i++) ud[i] = u[i] = d(rng);
    AacMdctCore(u.data(), n == 1024 ? LongWindowSine : ShortWindowSine, n, n == 1024 ? 10 : 7, scratch.data());
    std::vector<double> ref = dct4(ud);
    // the core scales by 1/N (FFT) and 1/2 (rotations): find the sign once, then compare
    double scale = 1.0 / n;
    double sign = (ref[1] * u[1] < 0) ? -1 : 1;
    double peak = 0, err = 0;
    for (int k = 0; k < n; k++) {
      peak = std::max(peak, std::fabs(ref[k] * scale));
      err = std::max(err, std::fabs(sign * ref[k] * scale - u[k]));
    }
    EXPECT_LT(err / peak, 2e-3) << n;
    EXPECT_LT(err, 4.0 * (1 << 15)) << n;  // a few LSB of a 16-bit scale
  }
}

TEST(AacMdct, EverySequenceMatchesWindowedReference) {
  std::mt19937 rng(11);
  std::uniform_int_distribution<int> d(-12000, 12000);
  for (int seq : {ONLY_LONG, LONG_START, LONG_STOP, EIGHT_SHORT}) {
    std::vector<int16_t> hist(AAC_HISTORY), in(2048);
    for (auto &v : hist) v = int16_t(d(rng));
    for (auto &v : in) v = int16_t(d(rng));
    std::vector<int16_t> h0 = hist;
    std::vector<int32_t> spec(1024), scratch(1024);
    int32_t e = -1;
    AacTransformReal(hist.data(), in.data(), 2, spec.data(), seq, scratch.data(), 0, nullptr, nullptr, &e);
    ASSERT_GE(e, 0);
    // block z: 1600 history samples and the first 448 new ones
    std::vector<double> z(2048);
    for (int i = 0; i < 1600; i++) z[i] = h0[i];
    for (int i = 0; i < 448; i++) z[1600 + i] = in[2 * i];
    std::vector<double> ref;
    if (seq != EIGHT_SHORT) {
      std::vector<double> u(1024);
      for (int n = 0; n < 512; n++) {
        u[512 + n] = z[n] * window(seq, n) - z[1023 - n] * window(seq, 1023 - n);
        u[511 - n] = -(z[1024 + n] * window(seq, 1024 + n) + z[2047 - n] * window(seq, 2047 - n));
      }
      ref = dct4(u);
    } else {
      for (int w = 0; w < 8; w++) {
        std::vector<double> v(128);
        int b = 448 + 128 * w;
        auto ws = [](int i) { return ShortWindowSine[i] / 32767.0; };
        for (int n = 0; n < 64; n++) {
          v[64 + n] = z[b + n] * ws(n) - z[b + 127 - n] * ws(127 - n);
          v[63 - n] = -(z[b + 128 + n] * ws(127 - n) + z[b + 255 - n] * ws(n));
        }
        std::vector<double> r = dct4(v);
        ref.insert(ref.end(), r.begin(), r.end());
      }
    }
    // lines * 2^e are on the common scale: 2^(15 + L) / N per unit of the DCT-IV of the
    // samples (L = 11 long over N = 1024, 8 short over 128): 2^16 for both block types
    double unit = 65536.0, peak = 0, err = 0;
    double sign = (ref[3] * spec[3] < 0) ? -1 : 1;
    for (int k = 0; k < 1024; k++) {
      double got = std::ldexp(double(spec[k]), e);
      double want = sign * ref[k] * unit;
      peak = std::max(peak, std::fabs(want));
      err = std::max(err, std::fabs(got - want));
    }
    EXPECT_LT(err / peak, 3e-3) << "seq " << seq << " exp " << e;
    // the history now ends with the 1024 new samples
    for (int j = 0; j < 1024; j++) ASSERT_EQ(hist[576 + j], in[2 * j]);
  }
}

TEST(AacMdct, SilenceFullScaleAndCalibration) {
  std::vector<int16_t> hist(AAC_HISTORY, 0), in(2048, 0);
  std::vector<int32_t> spec(1024, 7), scratch(1024);
  for (int seq : {ONLY_LONG, LONG_START, LONG_STOP, EIGHT_SHORT}) {
    int32_t e = -1;
    AacTransformReal(hist.data(), in.data(), 2, spec.data(), seq, scratch.data(), 0, nullptr, nullptr, &e);
    EXPECT_EQ(e, 0);
    for (int32_t v : spec) ASSERT_EQ(v, 0);
  }
  // full scale: no input shift, exponent 11 - g
  for (auto &v : hist) v = -32768;
  for (auto &v : in) v = 32767;
  int32_t e = -1;
  AacTransformReal(hist.data(), in.data(), 2, spec.data(), ONLY_LONG, scratch.data(), 0, nullptr, nullptr, &e);
  EXPECT_GE(e, 1);
  EXPECT_LE(e, 11);
  // calibration word 0 = 1: ONLY_LONG takes no input shift; the spectrum on the common
  // scale stays the same (only its precision drops)
  std::vector<int16_t> quiet(AAC_HISTORY), qin(2048);
  for (size_t i = 0; i < quiet.size(); i++) quiet[i] = int16_t(300 * std::sin(0.01 * i));
  for (size_t i = 0; i < qin.size(); i++) qin[i] = int16_t(300 * std::sin(0.01 * (i / 2 + 1600)));
  uint32_t calib[4] = {1, 0, 0, 0};
  std::vector<int32_t> ref(1024);
  std::vector<int16_t> h2 = quiet;
  int32_t e_ref, e_cal;
  AacTransformReal(h2.data(), qin.data(), 2, ref.data(), ONLY_LONG, scratch.data(), 0, nullptr, nullptr, &e_ref);
  h2 = quiet;
  AacTransformReal(h2.data(), qin.data(), 2, spec.data(), ONLY_LONG, scratch.data(), 0, calib, nullptr, &e_cal);
  double peak = 0, err = 0;
  for (int k = 0; k < 1024; k++) {
    double a = std::ldexp(double(ref[k]), e_ref), b = std::ldexp(double(spec[k]), e_cal);
    peak = std::max(peak, std::fabs(a));
    err = std::max(err, std::fabs(a - b));
  }
  EXPECT_LT(err / peak, 0.05);
  EXPECT_GT(err, 0.0);  // no input shift: coarser
  EXPECT_EQ(AacWindowShape(ONLY_LONG), 1);
  EXPECT_EQ(AacWindowShape(LONG_START), 0);
  EXPECT_EQ(AacWindowShape(EIGHT_SHORT), 0);
  EXPECT_EQ(AacWindowShape(LONG_STOP), 1);
}
