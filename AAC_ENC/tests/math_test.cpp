// The fixed-point helpers against their double-precision meaning and their edge cases.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "aac_dsp.h"
#include "aac_intrinsics.h"
#include "aac_math.h"

TEST(AacMath, DivisionsAndSaturation) {
  EXPECT_NEAR(aacFixDiv(0x20000000, 0x40000000), 0x40000000, 4);
  EXPECT_LT(aacFixDiv(-0x20000000, 0x40000000), 0);
  EXPECT_NEAR(aacFixDiv(-0x20000000, 0x40000000), -0x40000000, 4);
  EXPECT_EQ(aacFixDiv(0, 5), 0);
  EXPECT_EQ(aacFixDiv(5, 0), AAC_MAX_32);
  EXPECT_EQ(aacFixDiv(7, 7), AAC_MAX_32);
  std::mt19937 rng(1);
  std::uniform_int_distribution<int32_t> d(1, INT32_MAX);
  for (int i = 0; i < 2000; i++) {
    int32_t b = d(rng), a = int32_t(d(rng) % b);
    if (i & 1) a = -a;
    double want = double(a) / b * 2147483648.0;
    ASSERT_NEAR(aacFixDiv(a, b), want, 8.0) << a << "/" << b;
  }
  EXPECT_EQ(aacSafeDiv(10, 5), AAC_MAX_32);
  EXPECT_EQ(aacSafeDiv(1, 0), AAC_MAX_32);
  EXPECT_NEAR(aacSafeDiv(1, 4), 0x20000000, 4);
  EXPECT_EQ(aacDivQ15(8192, 16384), 16384);
  EXPECT_EQ(aacDivQ15(-8192, 16384), -16384);
  EXPECT_EQ(aacDivQ15(0, 3), 0);
  EXPECT_EQ(aacDivInt(100, 7), 14);
  EXPECT_EQ(aacDivInt(INT32_MAX, 1), INT32_MAX);
  EXPECT_EQ(aacDivInt(5, 0), AAC_MAX_32);
  EXPECT_EQ(aacMul118Percent(1000), 1180);
  EXPECT_EQ(aacMul118Percent(INT32_MAX), INT32_MAX);
  EXPECT_EQ(L_shl(1, 40), AAC_MAX_32);
  EXPECT_EQ(L_shl(-1, 40), AAC_MIN_32);
  EXPECT_EQ(L_shr(-5, 60), -1);
  EXPECT_EQ(L_shr(5, -3), 40);
  EXPECT_EQ(L_negate(AAC_MIN_32), AAC_MAX_32);
  EXPECT_EQ(div_guard(7, 0), AAC_MAX_32);
}

TEST(AacMath, PowerOfTwoAndLogarithms) {
  EXPECT_EQ(aacPow2xy(-3, 1), 0x7FFFFFFF >> 3);
  EXPECT_EQ(aacPow2xy(-1, 2), pow2Table[128]);
  EXPECT_EQ(aacPow2xy(0, 5), 0x7FFFFFFF);
  EXPECT_EQ(aacPow2xy(-1000, 1), 0);
  for (int a = 0; a > -400; a -= 7)
    for (int b : {1, 3, 16, 301}) {
      double want = std::pow(2.0, double(a) / b) * 2147483648.0;
      ASSERT_NEAR(aacPow2xy(a, b), want, want * 0.003 + 2) << a << "/" << b;
    }
  EXPECT_EQ(aacQuarterLog2(0), -128);
  EXPECT_EQ(aacQuarterLog2(1), -124);
  EXPECT_EQ(aacQuarterLog2(1 << 30), -4);
  for (int s = 0; s < 31; s++) EXPECT_EQ(aacQuarterLog2(1 << s), 4 * s - 124) << s;
  for (int32_t a : {3, 1000, 123456789, INT32_MAX}) EXPECT_NEAR(aacQuarterLog2(a), 4 * std::log2(a) - 124, 1.0);
  EXPECT_EQ(aacLog2Diff(1, 64), 6 * 4096);
  EXPECT_EQ(aacLog2Diff(0, 1), 16384);
}

TEST(AacMath, SquareRoots) {
  for (double x = 0.25; x < 1.0; x += 0.01) {
    int32_t r = aacInvSqrtNorm(int32_t(x * 2147483648.0));
    ASSERT_NEAR(r / 1073741824.0, 1.0 / std::sqrt(x), 1e-5) << x;  // quadratic seed and two Newton steps
  }
  for (int32_t v : {1, 7, 1000, 1 << 20, 123456789, INT32_MAX}) {
    int32_t sh;
    int32_t m = aacInvSqrt(v, &sh);
    double got = m / 2147483648.0 * std::pow(2.0, sh);
    double want = 1.0 / std::sqrt(v / 2147483648.0);
    EXPECT_NEAR(got / want, 1.0, 1e-5) << v;
    EXPECT_NEAR(aacSqrtQ31(v), std::sqrt(v / 2147483648.0) * 2147483648.0, 4.0 + std::sqrt(v * 2147483648.0) * 1e-5);
  }
  EXPECT_EQ(aacSqrtQ31(0), 0);
}

TEST(AacMath, MantissaExponent) {
  int16_t m, e;
  aacMantExpAdd(16000, 0, 16000, 0, &m, &e);  // half sum inside the range: full sum kept
  EXPECT_EQ(m, 32000);
  EXPECT_EQ(e, 0);
  aacMantExpAdd(17000, 0, 17000, 0, &m, &e);  // half sum at the edge: scaled
  EXPECT_EQ(m, 17000);
  EXPECT_EQ(e, 1);
  aacMantExpAdd(4000, 2, 8000, 0, &m, &e);
  EXPECT_EQ(m * std::pow(2, e), 4000 * 4 + 8000);
  for (auto [m1, e1, m2, e2] : std::vector<std::array<int, 4>>{{16384, 0, 16384, 0}, {30000, 3, 12345, -2},
                                                               {-20000, 1, 9000, 4}, {100, -5, 31000, 2}}) {
    aacMantExpDiv(int16_t(m1), int16_t(e1), int16_t(m2), int16_t(e2), &m, &e);
    double want = m1 * std::pow(2, e1) / (m2 * std::pow(2, e2));
    EXPECT_NEAR(m * std::pow(2, e) / want, 1.0, 0.01) << m1 << " " << m2;
  }
  for (auto [m1, e1] : std::vector<std::array<int, 2>>{{16384, 0}, {256, 0}, {30000, 3}, {12345, -7}, {1, 10}}) {
    aacMantExpSqrt(int16_t(m1), int16_t(e1), &m, &e);
    EXPECT_NEAR(m * std::pow(2, e) / std::sqrt(m1 * std::pow(2, e1)), 1.0, 0.01) << m1 << " " << e1;
  }
  aacMantExpSqrt(0, 3, &m, &e);
  EXPECT_EQ(m, 0);
  EXPECT_EQ(e, -16);
}

TEST(AacMath, ArrayHelpers) {
  std::vector<int16_t> z(10, 0), ones(10, -1);
  EXPECT_EQ(aacHeadroom16(z.data(), 10), 31);
  EXPECT_EQ(aacHeadroom16(ones.data(), 10), 15);
  std::vector<int16_t> s = {0, 100, -3, 0};
  EXPECT_EQ(aacHeadroom16(s.data(), 4), 8);
  EXPECT_EQ(aacHeadroom16Stride(s.data(), 2, 2), 13);  // 0 and -3
  std::vector<int32_t> w = {0, 1 << 20, -5};
  EXPECT_EQ(aacHeadroom32(w.data(), 3), 10);
  std::vector<int32_t> z32(4, 0);
  EXPECT_EQ(aacHeadroom32(z32.data(), 4), 31);
  std::vector<int32_t> x = {1 << 29, -(1 << 29), 3, -8};
  aacScale32(x.data(), 4, 3);
  EXPECT_EQ(x[0], AAC_MAX_32);
  EXPECT_EQ(x[1], AAC_MIN_32);
  EXPECT_EQ(x[2], 24);
  aacScale32(x.data(), 4, -3);
  EXPECT_EQ(x[3], -8);
  std::vector<int16_t> y = {20000, -20000, 5};
  aacScale16(y.data(), 3, 1);
  EXPECT_EQ(y[0], 32767);
  EXPECT_EQ(y[1], -32768);
  EXPECT_EQ(y[2], 10);
  std::vector<int32_t> a = {AAC_MAX_32, 5}, b = {1, -7}, c(2);
  aacAddSat32(a.data(), b.data(), c.data(), 2);
  EXPECT_EQ(c[0], AAC_MAX_32);
  EXPECT_EQ(c[1], -2);
}
