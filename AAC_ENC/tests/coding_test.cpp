// Coding stages of the core: quantiser, bit counting against writing, sectioning, fill
// bits, psychoacoustic configuration, mid/side and the quantisation loop's termination.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "aac_core.h"
#include "aac_huffman.h"
#include "aac_intrinsics.h"
#include "aac_qc.h"

namespace {

int32_t q31(double v) { return int32_t(std::lround(v * 2147483648.0)); }

// Random quantised band values whose largest magnitude is exactly mx.
void randomBand(std::mt19937 &rng, int16_t *q, int n, int mx) {
  std::uniform_int_distribution<int> d(-mx, mx);
  for (int i = 0; i < n; i++) q[i] = int16_t(d(rng));
  if (mx > 0) q[rng() % n] = int16_t((rng() & 1) ? mx : -mx);
}

}  // namespace

TEST(AacQuantiser, DecisionLevelsAndSaturation) {
  // G = -8: y = 4 |x|; the midpoint between 0 and 1 is y = 0.5, between 1 and 2^(4/3) y = 1.7599
  struct {
    double x;
    int q;
  } cases[] = {{0.1225, 0}, {0.125, 1}, {0.4375, 1}, {0.4425, 2}};
  for (auto &c : cases) {
    int32_t x = q31(c.x), neg = -x;
    int16_t out[2];
    int32_t in[2] = {x, neg};
    EXPECT_EQ(QuantizeLines(-8, 2, in, out), c.q) << c.x;
    EXPECT_EQ(out[0], c.q);
    EXPECT_EQ(out[1], -c.q);
  }
  // magnitudes beyond the 16-bit range saturate instead of wrapping
  int32_t big[1] = {AAC_MAX_32};
  int16_t qb[1];
  EXPECT_EQ(QuantizeLines(-200, 1, big, qb), 32767);
  EXPECT_EQ(qb[0], 32767);
  // against the real 3/4 power with its 0.4054 rounding offset
  std::mt19937 rng(7);
  std::uniform_int_distribution<int32_t> d(1, AAC_MAX_32);
  int worst = 0;
  for (int i = 0; i < 20000; i++) {
    int32_t x = d(rng) >> (rng() % 24);
    int32_t g = -int32_t(rng() % 100) - 20;
    double y = double(x) / 2147483648.0 * std::pow(2.0, -g / 4.0);
    double ref = std::floor(std::pow(y, 0.75) + 0.4054);
    if (ref >= 8191) continue;
    int16_t q;
    QuantizeLines(g, 1, &x, &q);
    // the quadratic 3/4-power approximation is good to about one part in 1000
    worst = std::max(worst, int(std::fabs(q - ref) - ref / 1000.0));
  }
  EXPECT_LE(worst, 1);
  EXPECT_EQ(QuantizeLines(-8, 1, std::vector<int32_t>{0}.data(), qb), 0);
}

TEST(AacQuantiser, DistortionIsTheSquaredReconstructionError) {
  std::mt19937 rng(3);
  std::normal_distribution<double> nd(0, 1e7);
  std::vector<int32_t> x(16);
  for (auto &v : x) v = int32_t(nd(rng));
  for (int g : {-40, -60, -80}) {
    double ref = 0;
    for (int32_t v : x) {
      int16_t q;
      QuantizeLines(g, 1, &v, &q);
      double rec = std::pow(std::fabs(double(q)), 4.0 / 3.0) * std::pow(2.0, g / 4.0) * 2147483648.0;
      double e = std::fabs(double(v)) - rec;
      ref += e * e / 2147483648.0;
    }
    double got = CalcSfbDist(x.data(), 16, g);
    EXPECT_NEAR(got, ref, 0.02 * ref + 16) << g;
  }
  EXPECT_EQ(CalcSfbDist(x.data(), 0, -40), AAC_MAX_32);
}

TEST(AacBitCount, BandCountsAndEscapes) {
  int32_t bits[AAC_CODE_BOOKS];
  int16_t zero[4] = {0, 0, 0, 0};
  BitCount(zero, 4, 0, bits);
  EXPECT_EQ(bits[0], 0);
  int16_t big[4] = {17, 0, -3, 1};
  BitCount(big, 4, 17, bits);
  for (int b = 0; b < 11; b++) EXPECT_EQ(bits[b], AAC_INVALID_BITS) << b;
  // book 11: pair (17, 0): codeword of (16, 0), one sign, 5 escape bits; pair (-3, 1): codeword and two signs
  int32_t expect = (huff_ltab11[17 * 16] & 0xFF) + 1 + 5 + (huff_ltab11[17 * 3 + 1] & 0xFF) + 2;
  EXPECT_EQ(bits[11], expect);
  int16_t b40[2] = {40, 0};
  BitCount(b40, 2, 40, bits);
  EXPECT_EQ(bits[11], (huff_ltab11[17 * 16] & 0xFF) + 1 + 7);
  EXPECT_EQ(BitCountScalefactorDelta(-1), 3);
  EXPECT_EQ(BitCountScalefactorDelta(61), AAC_INVALID_BITS);
}

TEST(AacBitCount, SectionSideInformation) {
  // 31 long bands of zeros: one section, 4 + 5 + 5 bits; 30 bands: 4 + 5
  std::vector<int32_t> off(52);
  for (int i = 0; i <= 51; i++) off[i] = 4 * i;
  std::vector<int16_t> q(1024, 0);
  std::vector<uint16_t> mx(60, 0);
  std::vector<int16_t> scf(60, 0);
  AacSectionData sd;
  DynBitCount(q.data(), mx.data(), scf.data(), ONLY_LONG, 31, 31, 31, off.data(), &sd);
  EXPECT_EQ(sd.n_sections, 1);
  EXPECT_EQ(sd.side_info_bits, 14);
  DynBitCount(q.data(), mx.data(), scf.data(), ONLY_LONG, 30, 30, 30, off.data(), &sd);
  EXPECT_EQ(sd.side_info_bits, 9);
  DynBitCount(q.data(), mx.data(), scf.data(), EIGHT_SHORT, 7, 7, 7, off.data(), &sd);
  EXPECT_EQ(sd.side_info_bits, 10);
  EXPECT_EQ(sd.huffman_bits, 0);
  EXPECT_EQ(sd.scalefac_bits, 0);
}

// Counted bits equal written bits: random spectra reaching every codebook, long windows
// and grouped short windows, including scalefactor chains over bands without lines.
TEST(AacBitCount, CountedEqualsWrittenForRandomSpectra) {
  std::mt19937 rng(11);
  const int32_t mags[] = {0, 1, 2, 3, 4, 5, 7, 8, 12, 13, 15, 16, 31, 100, 8191};
  std::vector<uint8_t> buf(8192);
  for (int iter = 0; iter < 400; iter++) {
    bool is_short = iter & 1;
    std::vector<int32_t> off;
    int32_t per, groups, lens[4] = {1, 1, 1, 1};
    std::vector<int32_t> base(16);
    if (is_short) {
      int32_t cnt;
      AacInitSfbTable(48000, 2, base.data(), &cnt);
      per = cnt;
      groups = 1 + int(rng() % 4);
      int left = 8;
      for (int g = 0; g < groups; g++) {
        lens[g] = g == groups - 1 ? left : 1 + int(rng() % (left - (groups - g - 1)));
        left -= lens[g];
      }
      int32_t start = 0;
      for (int g = 0; g < groups; g++) {
        for (int b = 0; b < per; b++) off.push_back(start + base[b] * lens[g]);
        start += 128 * lens[g];
      }
      off.push_back(1024);
    } else {
      off.resize(52);
      int32_t cnt;
      AacInitSfbTable(48000, 0, off.data(), &cnt);
      off.resize(cnt + 1);
      per = cnt;
      groups = 1;
    }
    int32_t max_sfb = 1 + int(rng() % per);
    std::vector<int16_t> q(1024, 0), scf(60, 0);
    std::vector<uint16_t> mx(60, 0);
    for (int g = 0; g < groups; g++)
      for (int b = 0; b < max_sfb; b++) {
        int i = g * per + b;
        int m = mags[rng() % (sizeof(mags) / sizeof(mags[0]))];
        randomBand(rng, q.data() + off[i], off[i + 1] - off[i], m);
        mx[i] = uint16_t(m);
        scf[i] = int16_t(rng() % 61);
      }
    AacSectionData sd;
    int32_t total = DynBitCount(q.data(), mx.data(), scf.data(), is_short ? EIGHT_SHORT : ONLY_LONG, groups * per,
                                max_sfb, per, off.data(), &sd);
    std::fill(buf.begin(), buf.end(), 0);
    AacBitBuf bb;
    aacBitBufOpen(&bb, uint32_t(buf.size()), 3);
    testing::internal::CaptureStderr();
    int32_t s = AacWriteSectionData(buf.data(), &bb, &sd);
    int32_t at = aacBitBufCount(&bb);
    AacScalefactorData(&sd, scf.data(), mx.data(), buf.data(), &bb);
    int32_t f = aacBitBufCount(&bb) - at;
    int32_t h = AacWriteSpectralData(buf.data(), &bb, &sd, q.data(), off.data());
    std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(bb.overflow, 0u);
    EXPECT_EQ(s, sd.side_info_bits) << iter;
    EXPECT_EQ(f, sd.scalefac_bits) << iter;
    EXPECT_EQ(h, sd.huffman_bits) << iter;
    EXPECT_EQ(s + f + h, total) << iter;
    EXPECT_EQ(err, "") << iter;
    // every band below max_sfb is covered by exactly one section, in order
    int32_t next = 0;
    for (int k = 0; k < sd.n_sections; k++) {
      const AacSectionInfo &si = sd.section[k];
      if (si.sfb_start % per == 0 && next % per != 0) next = (next / per + 1) * per;
      if (next % per == max_sfb) next = (next / per + 1) * per;
      EXPECT_EQ(si.sfb_start, next) << iter;
      next = si.sfb_start + si.sfb_cnt;
      for (int b = si.sfb_start; b < next; b++) {
        if (mx[b]) {
          EXPECT_NE(si.code_book, 0);
        }
      }
    }
  }
}

TEST(AacBitCount, StaticBitsMatchTheHeaderSyntax) {
  static AacPsyChannel a, b;
  std::memset(&a, 0, sizeof(a));
  std::memset(&b, 0, sizeof(b));
  AacPsyChannel *pc[2] = {&a, &b};
  AacPsyElementOut eo;
  std::memset(&eo, 0, sizeof(eo));
  a.bs.seq = b.bs.seq = ONLY_LONG;
  EXPECT_EQ(CountStaticBitdemand(pc, &eo, 1), 29);
  a.bs.seq = EIGHT_SHORT;
  EXPECT_EQ(CountStaticBitdemand(pc, &eo, 1), 33);
  a.bs.seq = ONLY_LONG;
  eo.common_window = 1;
  eo.ms_mask = 1;
  a.sfb_count = a.sfb_per_group = 49;
  a.max_sfb_per_group = 20;
  EXPECT_EQ(CountStaticBitdemand(pc, &eo, 2), 32 + 11 + 20);
  // TNS: long window, order 3 with 4-bit coefficients 3, -4, 0 -> compressed to 3 bits
  a.tns.active[0] = 1;
  a.tns.order[0] = 3;
  a.tns.coef[0][0] = 3;
  a.tns.coef[0][1] = -4;
  a.tns.coef[0][2] = 0;
  EXPECT_EQ(AacTnsBits(&a), 2 + 12 + 2 + 3 * 3);
  a.tns.coef[0][2] = 4;
  EXPECT_EQ(AacTnsBits(&a), 2 + 12 + 2 + 3 * 4);
  std::vector<uint8_t> buf(64, 0);
  AacBitBuf bb;
  aacBitBufOpen(&bb, 64, 0);
  AacWriteTnsData(buf.data(), &bb, &a, 49);
  EXPECT_EQ(aacBitBufCount(&bb), 1 + AacTnsBits(&a));
}

TEST(AacFrameBudget, FillBitsAndReservoir) {
  EXPECT_EQ(AacFitFillBits(0), 0);
  EXPECT_EQ(AacFitFillBits(3), 7);
  EXPECT_EQ(AacFitFillBits(10), 15);
  EXPECT_EQ(AacFitFillBits(2167), 2167);
  EXPECT_EQ(AacFitFillBits(2168), 2167 + 7);
  // fill element sequences: 6 bits write nothing, 7 one empty element, 127 count 15 + esc 0 + 14 bytes
  std::vector<uint8_t> buf(512, 0xFF);
  for (int n : {6, 7, 127, 134, 2167}) {
    AacBitBuf bb;
    aacBitBufOpen(&bb, 512, 0);
    int32_t w = AacWriteFillElements(buf.data(), &bb, n, nullptr, 0);
    EXPECT_EQ(w, n < 7 ? 0 : n) << n;
    if (n == 127) {
      AacBitBuf rd = bb;
      aacBitBufOpen(&rd, 512, 0);
      rd.valid_bits = w;
      EXPECT_EQ(aacBitBufRead(buf.data(), &rd, 3), uint32_t(ID_FIL));
      EXPECT_EQ(aacBitBufRead(buf.data(), &rd, 4), 15u);
      EXPECT_EQ(aacBitBufRead(buf.data(), &rd, 8), 0u);
    }
  }
}

TEST(AacPsyConfig, BandsLowpassAndMinSnr) {
  AacPsyConfig l, s;
  ASSERT_EQ(AacPsyConfigOpen(&l, 64000, 48000, 15300, 1), 0);
  ASSERT_EQ(AacPsyConfigOpen(&s, 64000, 48000, 15300, 0), 0);
  EXPECT_EQ(l.sfb_cnt, 49);
  EXPECT_EQ(s.sfb_cnt, 14);
  EXPECT_EQ(l.lowpass_line, 652);
  EXPECT_EQ(s.lowpass_line, 81);
  for (int b = 0; b < l.sfb_cnt; b++) {
    EXPECT_EQ(b < l.sfb_active, l.sfb_offset[b] < 652) << b;
    if (b < l.sfb_active) {
      EXPECT_GE(l.min_snr[b], 0x624DD3);
      EXPECT_LE(l.min_snr[b], 0x66666680);
    } else {
      EXPECT_EQ(l.min_snr[b], 0);
    }
  }
  AacPsyConfig c8;
  ASSERT_EQ(AacPsyConfigOpen(&c8, 8000, 8000, 3000, 1), 0);
  EXPECT_EQ(c8.sfb_cnt, 40);
  EXPECT_EQ(AacPsyConfigOpen(&c8, 8000, 7350, 3000, 1), 1);
  // energy spreading towards higher bands: -15 dB per Bark up to 22000 bit/s per channel, then -20
  AacPsyConfig a, b;
  AacPsyConfigOpen(&a, 22000, 48000, 15300, 1);
  AacPsyConfigOpen(&b, 22001, 48000, 15300, 1);
  EXPECT_EQ(a.spread_nrg_hi[10], a.spread_thr_hi[10]);
  EXPECT_LT(b.spread_nrg_hi[10], a.spread_nrg_hi[10]);
  EXPECT_EQ(AacGroupingMask(std::vector<int32_t>{3, 1, 3, 1}.data(), 4), 0x66);
  EXPECT_EQ(AacGroupingMask(std::vector<int32_t>{1, 1, 3, 3}.data(), 4), 0x1B);
  EXPECT_EQ(AacGroupingMask(std::vector<int32_t>{1}.data(), 1), 0);
}

TEST(AacMsStereo, IdenticalChannelsGoMidSide) {
  static AacPsyChannel l, r;
  std::memset(&l, 0, sizeof(l));
  std::memset(&r, 0, sizeof(r));
  int32_t n = 10;
  for (AacPsyChannel *p : {&l, &r}) {
    p->sfb_count = p->sfb_per_group = n;
    p->max_sfb_per_group = n;
    for (int b = 0; b <= n; b++) p->sfb_offsets[b] = 8 * b;
  }
  std::mt19937 rng(1);
  for (int k = 0; k < 8 * n; k++) l.spectrum[k] = r.spectrum[k] = int32_t(rng() % 2000000) - 1000000;
  for (int b = 0; b < n; b++) {
    l.band_nrg[b] = r.band_nrg[b] = 1000000;
    l.band_thr[b] = 1000;
    r.band_thr[b] = 2000;
    l.band_nrg_ms[b] = 1000000; /* mid */
    r.band_nrg_ms[b] = 0;       /* side */
  }
  AacPsyElementOut eo;
  AacMsStereo(&l, &r, &eo);
  EXPECT_EQ(eo.ms_mask, 2);
  for (int k = 0; k < 8 * n; k++) EXPECT_EQ(r.spectrum[k], 0);
  EXPECT_EQ(l.band_thr[3], r.band_thr[3]);
  EXPECT_LE(l.band_thr[3], 1000);
  // a pair without bands
  l.max_sfb_per_group = 0;
  AacMsStereo(&l, &r, &eo);
  EXPECT_EQ(eo.ms_mask, 0);
}

// The global-gain loop ends for a ceiling that even silence cannot meet, and an out-of-range
// reservoir level is clamped (reported once) instead of skipping the frame.
TEST(AacQcMain, EndsAndClampsTheReservoir) {
  static AacPsyChannel p;
  static AacQcOutChannel q;
  std::memset(&p, 0, sizeof(p));
  std::memset(&q, 0, sizeof(q));
  AacPsyConfig cfg;
  AacPsyConfigOpen(&cfg, 64000, 48000, 15300, 1);
  p.bs.seq = ONLY_LONG;
  p.sfb_count = p.sfb_per_group = cfg.sfb_cnt;
  p.max_sfb_per_group = 40;
  std::memcpy(p.sfb_offsets, cfg.sfb_offset, sizeof(int32_t) * (cfg.sfb_cnt + 1));
  std::memcpy(p.min_snr, cfg.min_snr, sizeof(int32_t) * cfg.sfb_cnt);
  std::mt19937 rng(5);
  for (int k = 0; k < 640; k++) p.spectrum[k] = int32_t(rng()) >> 2;
  for (int b = 0; b < 40; b++) {
    int64_t e = 0;
    for (int k = p.sfb_offsets[b]; k < p.sfb_offsets[b + 1]; k++) e += ((int64_t)p.spectrum[k] * p.spectrum[k]) >> 31;
    p.band_nrg[b] = p.band_spread[b] = sat32(e);
    p.band_thr[b] = p.band_nrg[b] >> 10;
  }
  AacPsyChannel *pc[1] = {&p};
  AacQcOutChannel *qc[1] = {&q};
  AacPsyElementOut eo;
  std::memset(&eo, 0, sizeof(eo));
  AacQcOutElement qe;
  AacAdjThrElement at;
  AacAdjThrInit(&at, 6000, 64000);
  AacElementBits eb;
  std::memset(&eb, 0, sizeof(eb));
  eb.average_bits = 10;  // far too few bits for this spectrum
  eb.share = 10;
  eb.max_bits = 6144;
  eb.max_bit_res_bits = 100;
  eb.bit_res_level = -50;
  testing::internal::CaptureStderr();
  EXPECT_EQ(QcMain(2, 400, 1, &eb, &at, pc, &eo, qc, &qe, 0, nullptr), 0);
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(eb.bit_res_level, 0);
  EXPECT_NE(err.find("clamped"), std::string::npos);
  EXPECT_GE(qe.dyn_bits, 0);
}
