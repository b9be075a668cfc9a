// Every rule-based table equals its rule recomputed in double precision, and every table of
// the standard equals the shared JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>

#include "aac_bands.h"
#include "aac_dsp.h"
#include "aac_huffman.h"
#include "aac_math.h"
#include "aac_tns.h"
#include "aac_transform.h"
#include "aacenc_framing.h"

namespace {
long rnd(double v) { return std::lround(std::floor(v + 0.5)); }
int32_t q31(double v) { return int32_t(std::max(-2147483648.0, std::min(2147483647.0, std::floor(v * 2147483648.0 + 0.5)))); }
nlohmann::json load(const char *name) {
  std::ifstream f(std::string(AAC_TABLES_DIR) + "/" + name);
  EXPECT_TRUE(f.good()) << name;
  return nlohmann::json::parse(f);
}
double kbd(int n, int len, double alpha) {
  auto i0 = [](double x) {
    double s = 1, t = 1;
    for (int k = 1; k < 200; k++) {
      t *= (x / 2 / k) * (x / 2 / k);
      s += t;
    }
    return s;
  };
  double acc = 0, total = 0;
  for (int p = 0; p <= len / 2; p++) {
    double r = (p - len / 4.0) / (len / 4.0);
    double w = i0(M_PI * alpha * std::sqrt(std::max(0.0, 1 - r * r)));
    total += w;
    if (p <= n) acc += w;
  }
  return std::sqrt(acc / total);
}
}  // namespace

TEST(AacTables, ArithmeticTables) {
  EXPECT_EQ(logDualisTable[0], -16384);
  for (int i = 1; i <= 64; i++) EXPECT_EQ(logDualisTable[i], rnd(4096 * std::log2(i))) << i;
  for (int i = 0; i < 256; i++) {
    EXPECT_EQ(invTable[i], rnd(8388608.0 / (257 + i))) << i;
    EXPECT_EQ(sqrtTable[i], std::min(32767L, rnd(32768 * std::sqrt((257 + i) / 512.0)))) << i;
    EXPECT_EQ(pow2Table[i], q31(std::pow(2.0, -i / 256.0))) << i;
  }
  EXPECT_EQ(invTable[0], 32640);
  EXPECT_EQ(invTable[255], 16384);
  EXPECT_EQ(sqrtTable[0], 23216);
  EXPECT_EQ(sqrtTable[255], 32767);
  EXPECT_EQ(pow2Table[0], 0x7FFFFFFF);
  const uint16_t seeds[8] = {29127, 26214, 23831, 21845, 20164, 18724, 17476, 16384};
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(aacDivSeeds[i], seeds[i]);
    EXPECT_EQ(aacDivSeeds[i], long(std::floor(32768 / (1 + (i + 1) / 8.0))));  // truncated, as listed
  }
}

TEST(AacTables, WindowAndTwiddleTables) {
  for (int n = 0; n < 1024; n++) {
    ASSERT_EQ(LongWindowKBD[n], rnd(32767 * kbd(n, 2048, 4))) << n;
    ASSERT_EQ(LongWindowSine[n], rnd(32767 * std::sin(M_PI * (n + 0.5) / 2048))) << n;
  }
  EXPECT_EQ(LongWindowKBD[0], 10);
  EXPECT_EQ(LongWindowKBD[1], 14);
  EXPECT_EQ(LongWindowKBD[511], 23137);
  EXPECT_EQ(LongWindowKBD[512], 23202);
  EXPECT_EQ(LongWindowKBD[789], 32415);
  EXPECT_EQ(LongWindowKBD[1023], 32767);
  for (int n = 0; n < 128; n++) EXPECT_EQ(ShortWindowSine[n], rnd(32767 * std::sin(M_PI * (n + 0.5) / 256)));
  for (int j = 0; j <= 256; j++) {
    EXPECT_EQ(aacenc_fftTwiddleTable2[2 * j], rnd(32767 * std::sin(M_PI * j / 1024)));
    EXPECT_EQ(aacenc_fftTwiddleTable2[2 * j + 1], rnd(32767 * std::cos(M_PI * j / 1024)));
  }
  auto check = [](const int16_t *t, std::initializer_list<int> groups) {
    for (int g : groups)
      for (int k = 0; k < g / 4; k++)
        for (int m : {2, 1, 3}) {
          double a = 2 * M_PI * m * k / g;
          ASSERT_EQ(t[0], rnd(16384 * std::cos(a)));
          ASSERT_EQ(t[1], rnd(16384 * std::sin(a)));
          t += 2;
        }
  };
  check(fftTwiddlePow4, {16, 64});
  check(fftTwiddlePow4x2, {32, 128, 512});
}

TEST(AacTables, TnsTables) {
  EXPECT_EQ(tnsCoeff4Borders[0], INT32_MIN);
  EXPECT_EQ(tnsCoeff3Borders[0], INT32_MIN);
  for (int k = -7; k <= 0; k++) EXPECT_EQ(tnsCoeff4Borders[k + 8], q31(std::sin((k - 0.5) * M_PI / 17)));
  for (int k = 0; k <= 6; k++) EXPECT_EQ(tnsCoeff4Borders[9 + k], q31(std::sin((k + 0.5) * M_PI / 15)));
  for (int k = -3; k <= 0; k++) EXPECT_EQ(tnsCoeff3Borders[k + 4], q31(std::sin((k - 0.5) * M_PI / 9)));
  for (int k = 0; k <= 2; k++) EXPECT_EQ(tnsCoeff3Borders[5 + k], q31(std::sin((k + 0.5) * M_PI / 7)));
  for (int i = -8; i < 8; i++) EXPECT_EQ(tnsCoeff4[i + 8], q31(std::sin(i * M_PI / (i >= 0 ? 15 : 17))));
  for (int i = -4; i < 4; i++) EXPECT_EQ(tnsCoeff3[i + 4], q31(std::sin(i * M_PI / (i >= 0 ? 7 : 9))));
  for (int i = 0; i < 256; i++) {
    uint32_t c = uint32_t(i) << 8;
    for (int b = 0; b < 8; b++) c = (c & 0x8000) ? ((c << 1) ^ 0x8005) : (c << 1);
    ASSERT_EQ(crcLookUp[i], c & 0xFFFF);
  }
}

TEST(AacTables, BandTablesEqualTheStandard) {
  nlohmann::json j = load("aac_bands.json");
  int rows = 0;
  for (const auto &r : j["rates"]) {
    int rate = r["rate"];
    int32_t off[64], n;
    ASSERT_EQ(AacInitSfbTable(rate, 0, off, &n), 0) << rate;
    ASSERT_EQ(n, int(r["long"]["num_bands"]));
    for (int b = 0; b <= n; b++) ASSERT_EQ(off[b], int(r["long"]["offsets"][b])) << rate << " " << b;
    ASSERT_EQ(AacInitSfbTable(rate, 2, off, &n), 0);
    ASSERT_EQ(n, int(r["short"]["num_bands"]));
    for (int b = 0; b <= n; b++) ASSERT_EQ(off[b], int(r["short"]["offsets"][b]));
    EXPECT_EQ(AacTnsMaxBands(rate, 1), int(r["tns_max_bands"]["long"]));
    EXPECT_EQ(AacTnsMaxBands(rate, 0), int(r["tns_max_bands"]["short"]));
    rows++;
  }
  EXPECT_EQ(rows, 12);
  int32_t off[64], n;
  EXPECT_EQ(AacInitSfbTable(48000, 0, off, &n), 0);
  EXPECT_EQ(n, 49);
  EXPECT_EQ(AacInitSfbTable(7350, 0, off, &n), 1);
  EXPECT_EQ(AacInitSfbTable(48000, 4, off, &n), 1);
}

TEST(AacTables, HuffmanTablesEqualTheStandard) {
  nlohmann::json j = load("aac_huffman.json");
  const uint32_t *ctab[12] = {nullptr, huff_ctab1, huff_ctab2, huff_ctab3, huff_ctab4, huff_ctab5, huff_ctab6,
                              huff_ctab7, huff_ctab8, huff_ctab9, huff_ctab10, huff_ctab11};
  const uint16_t *ltab[12] = {nullptr, huff_ltab1_2, huff_ltab1_2, huff_ltab3_4, huff_ltab3_4, huff_ltab5_6,
                              huff_ltab5_6, huff_ltab7_8, huff_ltab7_8, huff_ltab9_10, huff_ltab9_10, huff_ltab11};
  for (int b = 1; b <= 11; b++) {
    const auto &book = j["spectral"][std::to_string(b)];
    size_t n = book["codes"].size();
    for (size_t i = 0; i < n; i++) {
      ASSERT_EQ(ctab[b][i], uint32_t(book["codes"][i])) << b << " " << i;
      int len = (b == 11) ? ltab[b][i] : ((b % 2) ? ltab[b][i] >> 8 : ltab[b][i] & 0xFF);
      ASSERT_EQ(len, int(book["lengths"][i])) << b << " " << i;
    }
  }
  const auto &scf = j["scalefactor"];
  for (int i = 0; i < 121; i++) {
    ASSERT_EQ(huff_ctabscf[i], uint32_t(scf["codes"][i]));
    ASSERT_EQ(huff_ltabscf[i] & 0xFF, int(scf["lengths"][i]));
  }
}
