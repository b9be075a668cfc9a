// SBR and parametric-stereo tables against the shared standard tables: every Huffman book
// equals its JSON twin and is complete (prefix-free, Kraft sum 1); the QMF prototype rows;
// every reachable tuning row derives the standard's band tables and patches; the limits
// that refuse a header; the support arithmetic the derivation rests on.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "aac_sbr.h"
#include "aac_sbr_int.h"
#include "aac_sbr_tables.h"

namespace {

nlohmann::json load(const char *name) {
  std::ifstream f(std::string(AAC_TABLES_DIR) + "/" + name);
  EXPECT_TRUE(f.good()) << name;
  return nlohmann::json::parse(f);
}

struct Book {
  const char *json_name;
  const void *codes;
  int code_bytes;  // 4 or 2
  const void *lens;
  int entries;
};

uint32_t codeAt(const Book &b, int i) {
  return b.code_bytes == 4 ? static_cast<const uint32_t *>(b.codes)[i] : static_cast<const uint16_t *>(b.codes)[i];
}
int lenAt(const Book &b, bool signed_lens, int i) {
  return signed_lens ? static_cast<const int8_t *>(b.lens)[i] : static_cast<const uint8_t *>(b.lens)[i];
}

// A complete prefix code: no word is the prefix of another, and sum 2^-len is exactly 1.
void expectComplete(const std::vector<uint32_t> &codes, const std::vector<int> &lens, const char *name) {
  const int n = int(codes.size());
  uint64_t kraft = 0;  // in units of 2^-40
  for (int i = 0; i < n; i++) {
    ASSERT_GE(lens[i], 1) << name << " " << i;
    ASSERT_LE(lens[i], 32) << name << " " << i;
    ASSERT_EQ(uint64_t(codes[i]) >> lens[i], 0u) << name << " code wider than its length at " << i;
    kraft += uint64_t(1) << (40 - lens[i]);
  }
  EXPECT_EQ(kraft, uint64_t(1) << 40) << name;
  for (int i = 0; i < n; i++)
    for (int j = 0; j < n; j++) {
      if (i == j || lens[i] > lens[j]) continue;
      EXPECT_NE(codes[j] >> (lens[j] - lens[i]), codes[i]) << name << ": " << i << " is a prefix of " << j;
    }
}

}  // namespace

TEST(SbrTables, HuffmanBooksEqualTheStandardAndAreComplete) {
  const nlohmann::json sbr = load("sbr_huffman.json")["tables"];
  const nlohmann::json ps = load("ps_huffman.json")["tables"];
  const Book sbr_books[] = {
      {"envelope_level_1_5dB_time", v_Huff_envelopeLevelC10T, 4, v_Huff_envelopeLevelL10T, 121},
      {"envelope_level_1_5dB_freq", v_Huff_envelopeLevelC10F, 4, v_Huff_envelopeLevelL10F, 121},
      {"envelope_balance_1_5dB_time", bookSbrEnvBalanceC10T, 4, bookSbrEnvBalanceL10T, 49},
      {"envelope_balance_1_5dB_freq", bookSbrEnvBalanceC10F, 4, bookSbrEnvBalanceL10F, 49},
      {"envelope_level_3_0dB_time", v_Huff_envelopeLevelC11T, 4, v_Huff_envelopeLevelL11T, 63},
      {"envelope_level_3_0dB_freq", v_Huff_envelopeLevelC11F, 4, v_Huff_envelopeLevelL11F, 63},
      {"envelope_balance_3_0dB_time", bookSbrEnvBalanceC11T, 4, bookSbrEnvBalanceL11T, 25},
      {"envelope_balance_3_0dB_freq", bookSbrEnvBalanceC11F, 4, bookSbrEnvBalanceL11F, 25},
      {"noise_level_3_0dB_time", v_Huff_NoiseLevelC11T, 4, v_Huff_NoiseLevelL11T, 63},
      {"noise_balance_3_0dB_time", bookSbrNoiseBalanceC11T, 4, bookSbrNoiseBalanceL11T, 25},
  };
  const Book ps_books[] = {
      {"iid_coarse_time", aBookPsIidTimeCode, 4, aBookPsIidTimeLength, 29},
      {"iid_coarse_freq", aBookPsIidFreqCode, 4, aBookPsIidFreqLength, 29},
      {"icc_time", aBookPsIccTimeCode, 2, aBookPsIccTimeLength, 15},
      {"icc_freq", aBookPsIccFreqCode, 2, aBookPsIccFreqLength, 15},
  };
  auto check = [](const Book &b, const nlohmann::json &j, bool signed_lens) {
    ASSERT_TRUE(j.contains(b.json_name)) << b.json_name;
    const nlohmann::json &t = j[b.json_name];
    ASSERT_EQ(int(t["entries"]), b.entries) << b.json_name;
    std::vector<uint32_t> codes;
    std::vector<int> lens;
    for (int i = 0; i < b.entries; i++) {
      codes.push_back(codeAt(b, i));
      lens.push_back(lenAt(b, signed_lens, i));
      EXPECT_EQ(codes[size_t(i)], uint32_t(t["codes"][size_t(i)])) << b.json_name << " " << i;
      EXPECT_EQ(lens[size_t(i)], int(t["lengths"][size_t(i)])) << b.json_name << " " << i;
    }
    expectComplete(codes, lens, b.json_name);
  };
  for (const Book &b : sbr_books) check(b, sbr, false);
  for (const Book &b : ps_books) check(b, ps, true);

  // the coder's view of the books: offsets and start bits of the envelope coding
  for (int amp : {0, 1})
    for (int bal : {0, 1}) {
      const SbrBook *f = sbrBook(amp, 0, bal, 0), *t = sbrBook(amp, 0, bal, 1);
      EXPECT_EQ(f->lav, bal ? (amp ? 12 : 24) : (amp ? 31 : 60));
      EXPECT_EQ(f->start_bits, bal ? (amp ? 5 : 6) : (amp ? 6 : 7));
      EXPECT_EQ(t->lav, f->lav);
      const SbrBook *nf = sbrBook(amp, 1, bal, 0), *nt = sbrBook(amp, 1, bal, 1);
      EXPECT_EQ(nf->lav, bal ? 12 : 31);
      EXPECT_EQ(nf->start_bits, 5);
      EXPECT_EQ(nf->code, bal ? bookSbrEnvBalanceC11F : v_Huff_envelopeLevelC11F);
      EXPECT_EQ(nt->code, bal ? bookSbrNoiseBalanceC11T : v_Huff_NoiseLevelC11T);
    }
}

TEST(SbrTables, QmfPrototypeRowsAndTwiddles) {
  const nlohmann::json w = load("sbr_qmf_window.json");
  const nlohmann::json &rows = w["q15_rows_derived"]["rows"];
  ASSERT_EQ(rows.size(), 66u);
  for (int r = 0; r < 66; r++)
    for (int j = 0; j < 5; j++) EXPECT_EQ(sbr_qmf_64_640_enc[5 * r + j], int(rows[size_t(r)][size_t(j)])) << r << "," << j;
  for (int n = 0; n < 32; n++) {
    double a = M_PI * (4 * n + 1) / 256;
    EXPECT_NEAR(sbr_sc_twiddle_L64_enc[2 * n], 32768 * std::sin(a), 1.0) << n;
    EXPECT_NEAR(sbr_sc_twiddle_L64_enc[2 * n + 1], std::min(32767.0, 32768 * std::cos(a)), 1.0) << n;
  }
  for (int n = 0; n <= 32; n++)
    EXPECT_NEAR(sbr_alt_sin_twiddle_L64_enc[n], std::min(32767.0, 32768 * std::sin(M_PI * n / 64)), 1.0) << n;
}

// Every tuning row the encoder can select: the configuration it fills, and the master,
// high, low and noise tables, the crossover and the decoder's patches derived from it.
TEST(SbrTables, EveryReachableTuningRowDerivesTheStandardTables) {
  const nlohmann::json rows = load("sbr_start_offsets.json")["reachable_headers"]["rows"];
  ASSERT_EQ(rows.size(), 50u);
  int reachable_in_table = 0;
  for (int i = 0; i < sbrTuningRows; i++) {
    const int cr = sbrTuningTable[i].core_rate;
    reachable_in_table += cr == 16000 || cr == 22050 || cr == 24000;
  }
  EXPECT_EQ(reachable_in_table, 50);
  for (const nlohmann::json &row : rows) {
    const int ch = row["channels"], core = row["core_rate"], rate = row["sbr_rate"];
    const int from = row["bit_rate_from"], below = row["bit_rate_below"];
    SCOPED_TRACE(std::to_string(ch) + " ch " + std::to_string(core) + " Hz from " + std::to_string(from));
    for (int br : {from, below - 1}) {
      sbrConfiguration cfg;
      ASSERT_EQ(sbrEncoderInitDefaultConfig(&cfg, 2, 1024), 0);
      ASSERT_EQ(sbrEncoderConfigure(&cfg, br, ch, core, 0, 0, 1000), 1) << br;
      EXPECT_EQ(cfg.start_freq, int(row["start_freq"]));
      EXPECT_EQ(cfg.stop_freq, int(row["stop_freq"]));
      EXPECT_EQ(cfg.freq_scale, int(row["freq_scale"]));
      EXPECT_EQ(cfg.alter_scale, int(row["alter_scale"]));
      EXPECT_EQ(cfg.noise_bands, int(row["noise_bands"]));
    }
    SbrHeaderData h{};
    h.amp_res = 1;
    h.start_freq = row["start_freq"];
    h.stop_freq = row["stop_freq"];
    h.freq_scale = row["freq_scale"];
    h.alter_scale = row["alter_scale"];
    h.noise_bands = row["noise_bands"];
    h.xover_band = row["xover_band"];
    SbrFreqTables t{};
    ASSERT_EQ(sbrFreqTablesUpdate(&h, rate, &t), 0);
    EXPECT_EQ(t.k0, int(row["k0"]));
    EXPECT_EQ(t.k2, int(row["k2"]));
    auto expectTable = [](const int8_t *got, int n, const nlohmann::json &want, const char *what) {
      ASSERT_EQ(size_t(n) + 1, want.size()) << what;
      for (int i = 0; i <= n; i++) EXPECT_EQ(got[i], int(want[size_t(i)])) << what << " " << i;
    };
    expectTable(t.master, t.n_master, row["master"], "master");
    expectTable(t.hi, t.n_hi, row["high_res"], "high");
    expectTable(t.lo, t.n_lo, row["low_res"], "low");
    expectTable(t.noise, t.nq, row["noise"], "noise");
    EXPECT_EQ(t.nq, int(row["NQ"]));
    EXPECT_EQ(t.kx, int(row["kx"]));
    EXPECT_EQ(t.m, int(row["M"]));
    EXPECT_EQ(sbrStartFreqHz(h.start_freq, 64, rate), int(row["core_bandwidth_hz"]));

    // patches: each copied band's source, and the gaps between the patches
    int8_t src[64];
    ASSERT_EQ(sbrBuildSourceIndex(&t, rate, src), 0);
    std::vector<int> want(64);
    for (int k = 0; k < 64; k++) want[size_t(k)] = (k >= t.kx && k < t.kx + t.m) ? -1 : k;
    for (const nlohmann::json &p : row["patches"])
      for (int i = 0; i < int(p["num_subbands"]); i++)
        want[size_t(int(p["target_start"]) + i)] = int(p["source_start"]) + i;
    for (int k = 0; k < 64; k++) EXPECT_EQ(src[k], want[size_t(k)]) << "QMF band " << k;
  }
}

TEST(SbrTables, HeadersOutsideTheLimitsAreRefused) {
  SbrFreqTables t{};
  SbrHeaderData h{};
  h.amp_res = 1;
  h.freq_scale = 2;
  h.alter_scale = 1;
  h.noise_bands = 2;
  // no stop table at 22050 Hz: only the stop indexes 14 and 15 (2 k0, 3 k0) can be derived
  h.start_freq = 5;
  h.stop_freq = 9;
  EXPECT_EQ(sbrFreqTablesUpdate(&h, 22050, &t), 1);
  EXPECT_EQ(sbrStopBandOf(22050, 9, 20), -1);
  // 44100 Hz: k2 - k0 above 35 (start 0: k0 8, stop 13: k2 64)
  h.start_freq = 0;
  h.stop_freq = 13;
  EXPECT_EQ(sbrFreqTablesUpdate(&h, 44100, &t), 1);
  // the dual-rate limit on k0: stop 15 = 3 k0 limited to 64 then k2 - k0 above the limit
  h.start_freq = 14;
  h.stop_freq = 15;
  EXPECT_EQ(sbrFreqTablesUpdate(&h, 44100, &t), 1);
  // 32000 Hz, k0 16, k2 64: three noise bands per octave give six noise bands, more than
  // the five the noise arrays hold; two per octave give four
  h.start_freq = 4;
  h.stop_freq = 13;
  h.noise_bands = 3;
  EXPECT_EQ(sbrStartBandOf(32000, 4), 16);
  EXPECT_EQ(sbrFreqTablesUpdate(&h, 32000, &t), 1);
  h.noise_bands = 2;
  ASSERT_EQ(sbrFreqTablesUpdate(&h, 32000, &t), 0);
  EXPECT_EQ(t.nq, 4);
  // no noise bands: one noise band over the whole SBR range
  h.noise_bands = 0;
  ASSERT_EQ(sbrFreqTablesUpdate(&h, 32000, &t), 0);
  EXPECT_EQ(t.nq, 1);
  EXPECT_EQ(t.noise[0], t.kx);
  EXPECT_EQ(t.noise[1], t.k2);
  int8_t noise[6];
  int32_t nq = 0;
  EXPECT_EQ(sbrNoiseTableUpdate(3, t.lo, t.n_lo, 64, noise, &nq), 1);
}

TEST(SbrTables, SupportArithmetic) {
  std::mt19937 rng(3);
  // the Shell sort agrees with std::sort on every length, including 0 and 1
  for (int n = 0; n < 50; n++) {
    std::vector<int32_t> v(size_t(n) + 1, 12345);
    std::uniform_int_distribution<int32_t> d(-20, 20);
    for (int i = 0; i < n; i++) v[size_t(i)] = d(rng);
    std::vector<int32_t> want = v;
    std::sort(want.begin(), want.begin() + n);
    ShellSortInt(v.data(), n);
    EXPECT_EQ(v, want) << n;
  }
  // a x b / c in Q31 within a few units of the exact quotient
  std::uniform_int_distribution<int32_t> q(-0x7FFFFFFF, 0x7FFFFFFF);
  double worst = 0;
  for (int i = 0; i < 20000; i++) {
    int32_t a = q(rng), b = q(rng), c = q(rng);
    double exact = double(a) * double(b) / 2147483648.0 / double(c) * 2147483648.0;
    if (c == 0 || std::fabs(exact) >= 2147483647.0) continue;
    worst = std::max(worst, std::fabs(SbrMulDiv(a, b, c) - exact) / 2147483648.0);
  }
  EXPECT_LT(worst, 1e-6);
  EXPECT_NEAR(SbrMulDiv(0x40000000, 0x20000000, 0x20000000), 0x40000000, 4);
  // the vector helpers
  int32_t v[8] = {0}, len = 0;
  const int32_t src[3] = {7, 8, 9};
  VecPrependReversed(v, &len, src, 0);
  EXPECT_EQ(len, 0);
  VecInsertFront(v, &len, 5);
  VecAppend(v, &len, 6);
  VecPrependReversed(v, &len, src, 3);
  ASSERT_EQ(len, 5);
  const int32_t want[5] = {7, 8, 9, 5, 6};
  for (int i = 0; i < 5; i++) EXPECT_EQ(v[i], want[i]);
}
