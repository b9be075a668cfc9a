// QMF analysis bank against a double-precision model of the 64-band complex analysis with
// the standard's prototype (read from the shared tables): subband values over several
// frames of changing level (history rescaling), band selectivity, the block exponent's
// edge cases and the slot-pair energies.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <vector>

#include "aac_sbr_int.h"

namespace {

std::vector<double> prototype() {
  std::ifstream f(std::string(AAC_TABLES_DIR) + "/sbr_qmf_window.json");
  EXPECT_TRUE(f.good());
  nlohmann::json j = nlohmann::json::parse(f);
  std::vector<double> c;
  for (const auto &v : j["coefficients"]) c.push_back(double(v));
  EXPECT_EQ(c.size(), 640u);
  return c;
}

// Subband value of slot l, band k of the continuous signal x (zero before its start):
// 1/2 sum_n u(n) exp(i pi (k + 1/2)(2n + 1) / 128), u(n) = sum_j x(t - n - 128 j) c(n + 128 j)
// with t the newest sample of the slot.
std::complex<double> reference(const std::vector<int16_t> &x, const std::vector<double> &c, long l, int k) {
  const long t = l * 64 + 63;
  std::complex<double> acc = 0;
  for (int n = 0; n < 128; n++) {
    double u = 0;
    for (int j = 0; j < 5; j++) {
      long i = t - n - 128 * j;
      if (i >= 0) u += x[size_t(i)] * c[size_t(n + 128 * j)];
    }
    acc += u * std::polar(1.0, M_PI * (k + 0.5) * (2 * n + 1) / 128);
  }
  return 0.5 * acc;
}

struct Bank {
  QmfBank q;
  std::vector<int16_t> re = std::vector<int16_t>(32 * 64), im = std::vector<int16_t>(32 * 64);
  int16_t *rp[32], *ip[32];
  Bank() {
    EXPECT_EQ(QmfAnalysisOpen(0, &q, 0, 2048), 0);
    for (int l = 0; l < 32; l++) {
      rp[l] = &re[size_t(l) * 64];
      ip[l] = &im[size_t(l) * 64];
    }
  }
  // one frame of mono samples at stride 1
  void frame(const int16_t *in) { QmfAnalysisFrame(in, 1, rp, ip, &q); }
};

}  // namespace

TEST(SbrQmf, MatchesDoubleReferenceAcrossLevelChanges) {
  const std::vector<double> c = prototype();
  // noise at changing levels: loud, quiet, silent, a full-scale sine, loud again
  const double level[] = {8000, 8000, 40, 40, 0, -1, 3000, 3000};
  const int frames = 8;
  std::vector<int16_t> x(size_t(frames) * 2048);
  std::mt19937 rng(11);
  std::normal_distribution<double> g(0, 1);
  for (size_t i = 0; i < x.size(); i++) {
    double lv = level[i / 2048];
    double v = lv < 0 ? 32767 * std::sin(2 * M_PI * 0.1234 * double(i)) : lv * g(rng);
    x[i] = int16_t(std::max(-32768.0, std::min(32767.0, std::round(v))));
  }
  Bank b;
  double worst_lsb = 0, worst_snr = 1e9;
  for (int f = 0; f < frames; f++) {
    b.frame(&x[size_t(f) * 2048]);
    const double scale = std::ldexp(32768.0, b.q.out_scale - 21);  // stored value per unit of the model
    double sig = 0, err = 0, peak = 0;
    for (int l = 0; l < 32; l += 3)
      for (int k = 0; k < 64; k++) {
        std::complex<double> r = reference(x, c, long(f) * 32 + l, k) * scale;
        double er = b.re[size_t(l) * 64 + size_t(k)] - r.real(), ei = b.im[size_t(l) * 64 + size_t(k)] - r.imag();
        sig += std::norm(r);
        err += er * er + ei * ei;
        peak = std::max(peak, std::max(std::fabs(er), std::fabs(ei)));
      }
    // The rows are 16-bit values of the transform / 2^21 (truncating shifts) before the
    // frame's normalising shift: the error is about one unit of that stage, i.e. 2^shift
    // units of the stored rows.
    const int shift = b.q.out_scale - b.q.hist_scale;
    const double pre = peak / std::ldexp(1.0, shift);
    const double snr = 10 * std::log10(sig / std::max(err, 1e-9));
    worst_lsb = std::max(worst_lsb, pre);
    EXPECT_LT(pre, 1.6) << "frame " << f;
    if (level[f] == 0) continue;  // only the history's tail rings: no meaningful ratio
    worst_snr = std::min(worst_snr, snr);
    EXPECT_GT(snr, 45.0) << "frame " << f;
  }
  std::printf("QMF vs double reference: worst %.2f units before the normalising shift, worst SNR %.1f dB\n",
              worst_lsb, worst_snr);
}

TEST(SbrQmf, SineCentredInABandLeavesFarBandsFortyDecibelsDown) {
  double worst = 0;  // smallest distance in dB between the band's energy and any far band's
  for (int k : {0, 1, 5, 17, 31, 40, 62, 63}) {
    Bank b;
    std::vector<int16_t> x(2 * 2048);
    for (size_t i = 0; i < x.size(); i++) x[i] = int16_t(std::lround(16000 * std::sin(M_PI * (k + 0.5) / 64 * double(i))));
    b.frame(&x[0]);
    b.frame(&x[2048]);  // the second frame has a full history
    std::vector<double> e(64, 0);
    for (int l = 0; l < 32; l++)
      for (int j = 0; j < 64; j++)
        e[size_t(j)] += double(b.re[size_t(l) * 64 + size_t(j)]) * b.re[size_t(l) * 64 + size_t(j)] +
                        double(b.im[size_t(l) * 64 + size_t(j)]) * b.im[size_t(l) * 64 + size_t(j)];
    double top = e[size_t(k)];
    for (int j = 0; j < 64; j++) EXPECT_LE(e[size_t(j)], top * 1.0001) << "sine in band " << k << ", band " << j;
    for (int j = 0; j < 64; j++) {
      if (std::abs(j - k) < 2) continue;
      double db = 10 * std::log10(top / std::max(e[size_t(j)], 1e-3));
      EXPECT_GT(db, 40.0) << "sine in band " << k << ", band " << j;
      worst = worst == 0 ? db : std::min(worst, db);
    }
  }
  std::printf("QMF selectivity: far bands at least %.1f dB down\n", worst);
}

TEST(SbrQmf, BlockExponentEdges) {
  {
    // silence on a silent history: all-zero rows
    Bank b;
    std::vector<int16_t> x(2048, 0);
    b.frame(x.data());
    for (size_t i = 0; i < b.re.size(); i++) ASSERT_TRUE(b.re[i] == 0 && b.im[i] == 0) << i;
    EXPECT_LE(b.q.out_scale, 15);
  }
  {
    // a full-scale input is analysed at exponent 0 and no subband value saturates
    Bank b;
    std::vector<int16_t> x(2 * 2048);
    for (size_t i = 0; i < x.size(); i++) x[i] = (i / 7) & 1 ? 32767 : -32768;
    b.frame(&x[0]);
    EXPECT_EQ(b.q.hist_scale, 0);
    b.frame(&x[2048]);
    EXPECT_EQ(b.q.hist_scale, 0);
    for (size_t i = 0; i < b.re.size(); i++) ASSERT_TRUE(b.re[i] != 32767 && b.re[i] != -32768) << i;
  }
  {
    // a tiny input is scaled up: the rows use their 16 bits, the exponent says by how much
    Bank b;
    std::vector<int16_t> x(2048);
    for (size_t i = 0; i < x.size(); i++) x[i] = int16_t((i % 5) - 2);
    b.frame(x.data());
    EXPECT_GT(b.q.out_scale, 10);
    int peak = 0;
    for (size_t i = 0; i < b.re.size(); i++) peak = std::max(peak, std::abs(int(b.re[i])));
    EXPECT_GE(peak, 8192);
  }
}

TEST(SbrQmf, SlotPairEnergies) {
  std::vector<int16_t> re(5 * 64, 0), im(5 * 64, 0);
  int16_t *rp[5], *ip[5];
  int32_t e[2][64], *ep[2] = {e[0], e[1]};
  for (int l = 0; l < 5; l++) {
    rp[l] = &re[size_t(l) * 64];
    ip[l] = &im[size_t(l) * 64];
  }
  re[0] = -32768;  // squares to the saturated Q31 value before the quarter
  im[0] = -32768;
  re[64] = 100;
  im[64 + 1] = 3;
  re[4 * 64] = 5000;  // the odd fifth slot is left out
  for (auto &row : e)
    for (auto &v : row) v = -1;
  QmfSlotPairEnergies(ep, rp, ip, 2, 5);
  EXPECT_EQ(e[0][0], (0x7FFFFFFF >> 2) * 2 + (2 * 100 * 100 >> 2));
  EXPECT_EQ(e[0][1], 2 * 3 * 3 >> 2);
  EXPECT_EQ(e[1][0], 0);
  EXPECT_EQ(e[0][2], -1);  // bands above the count are not touched
  QmfSlotPairEnergies(ep, rp, ip, 0, 4);
  EXPECT_EQ(e[1][1], 0);
  EXPECT_EQ(e[1][2], -1);
}
