// FftComplex against a double-precision DFT for every size, and its contract.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "aac_dsp.h"

namespace {

// out(k) = 1/N sum in(n) exp(+2 pi i n k / N)
std::vector<double> dft(const std::vector<int32_t> &in, int n) {
  std::vector<double> out(2 * n);
  for (int k = 0; k < n; k++) {
    double re = 0, im = 0;
    for (int j = 0; j < n; j++) {
      double a = 2 * M_PI * double(j) * k / n;
      re += in[2 * j] * std::cos(a) - in[2 * j + 1] * std::sin(a);
      im += in[2 * j] * std::sin(a) + in[2 * j + 1] * std::cos(a);
    }
    out[2 * k] = re / n;
    out[2 * k + 1] = im / n;
  }
  return out;
}

}  // namespace

TEST(AacFft, MatchesDoubleReferenceForEverySize) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> d(-(1 << 29), (1 << 29));
  for (int n : {4, 8, 16, 32, 64, 128, 512}) {
    for (int trial = 0; trial < 3; trial++) {
      std::vector<int32_t> in(2 * n), out(2 * n);
      for (auto &v : in) v = d(rng);
      ASSERT_EQ(FftComplex(in.data(), out.data(), n), 0);
      std::vector<double> ref = dft(in, n);
      double peak = 0, err = 0;
      for (int i = 0; i < 2 * n; i++) {
        peak = std::max(peak, std::fabs(ref[i]));
        err = std::max(err, std::fabs(ref[i] - out[i]));
      }
      // Q14 twiddles: the error stays within a few least significant bits of a 16-bit scale
      EXPECT_LT(err, 3.0 * (1 << 15)) << "n=" << n << " peak=" << peak;
      EXPECT_LT(err / peak, 1e-3) << n;
    }
  }
}

TEST(AacFft, ImpulseConstantAndUnsupportedSizes) {
  for (int n : {4, 8, 16, 32, 64, 128, 512}) {
    std::vector<int32_t> in(2 * n, 0), out(2 * n, 0);
    in[0] = 1 << 28;
    int log2n = 0;
    while ((1 << log2n) < n) log2n++;
    ASSERT_EQ(FftComplex(in.data(), out.data(), n), 0);
    for (int k = 0; k < n; k++) {
      ASSERT_EQ(out[2 * k], (1 << 28) >> log2n) << n << " " << k;
      ASSERT_EQ(out[2 * k + 1], 0);
    }
    std::vector<int32_t> c(2 * n);
    for (int j = 0; j < n; j++) c[2 * j] = 1 << 20;
    std::vector<int32_t> keep = c;
    ASSERT_EQ(FftComplex(c.data(), out.data(), n), 0);
    EXPECT_EQ(c, keep);  // the input is not written
    EXPECT_NEAR(out[0], 1 << 20, 4);
    for (int k = 1; k < n; k++) EXPECT_NEAR(out[2 * k], 0, 4);
  }
  for (int n : {0, 1, 2, 3, 5, 256, 1024, 2048, 100, -8}) {
    std::vector<int32_t> in(4096, 5), out(4096, 9);
    EXPECT_EQ(FftComplex(in.data(), out.data(), n), 1) << n;
    for (int32_t v : out) ASSERT_EQ(v, 9);
  }
}
