// HE-AAC (mode 1) and HE-AAC v2 (mode 3) end to end: WAV files through the front end,
// every stream decoded by ffmpeg.  Every reachable tuning row at every SBR input rate
// decodes cleanly at the full output rate and keeps its bit rate; the high band is
// rebuilt at the input's level on pink noise and stays empty for a low-passed input; the
// parametric stereo keeps a one-sided image on its side and identical channels together.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "aac_core.h"
#include "aac_sbr.h"
#include "aac_sbr_int.h"
#include "aacenc.h"
#include "front_end_support.h"
#include "kavo/test/test_root.h"
#include "wav.h"

namespace {

using namespace frontend_test;

// ---- files and processes ----------------------------------------------------------------

struct Decoded {
  uint32_t rate = 0, channels = 0;
  std::vector<std::vector<double>> ch;  // per channel
};

bool readDecoded(const std::string &path, Decoded &d, std::string &err) {
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) {
    err = "no decoded file";
    return false;
  }
  WavInfo w;
  bool ok = readWavHeader(f, w, err);
  if (ok) {
    d.rate = w.rate;
    d.channels = w.channels;
    std::vector<int16_t> pcm(size_t(w.frames) * w.channels);
    std::fseek(f, w.data_offset, SEEK_SET);
    size_t got = std::fread(pcm.data(), 2, pcm.size(), f);
    d.ch.assign(w.channels, std::vector<double>(got / w.channels));
    for (size_t i = 0; i < got / w.channels; i++)
      for (uint32_t c = 0; c < w.channels; c++) d.ch[c][i] = pcm[i * w.channels + c];
  }
  std::fclose(f);
  return ok;
}

struct Stream {
  uint32_t mode, channels, rate, bit_rate;
};

std::string label(const Stream &s) {
  return "mode " + std::to_string(s.mode) + ", " + std::to_string(s.channels) + " ch, " + std::to_string(s.rate) +
         " Hz, " + std::to_string(s.bit_rate) + " bit/s";
}

struct Encoded {
  std::string aac;
  Decoded dec;
};

// Encodes through the front end and decodes with ffmpeg; both must be silent on stderr.
void encodeAndDecode(const std::string &dir, const Stream &s, const std::vector<int16_t> &pcm, Encoded &e) {
  const std::string wav = dir + "/in.wav", aac = dir + "/out.aac", dec = dir + "/dec.wav";
  writeWav(wav, s.rate, s.channels, pcm);
  int rc = 0;
  std::string msg = run(kavo::test::binaryDir() + "/bin/aacenc_wav -m " + std::to_string(s.mode) + " -b " +
                            std::to_string(s.bit_rate) + " " + wav + " " + aac,
                        &rc);
  ASSERT_EQ(rc, 0) << msg;
  EXPECT_EQ(msg, "");
  e.aac = slurp(aac);
  msg = run("ffmpeg -nostdin -v error -f aac -i " + aac + " -f wav -y " + dec, &rc);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(msg, "");
  std::string err;
  ASSERT_TRUE(readDecoded(dec, e.dec, err)) << err;
}

// ---- signals ------------------------------------------------------------------------------

// Stationary pink noise (three-pole approximation of a 1/f spectrum), about -22 dBFS.
std::vector<double> pink(size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> nd(0, 1);
  std::vector<double> v(n);
  double b0 = 0, b1 = 0, b2 = 0;
  for (size_t i = 0; i < n; i++) {
    double w = nd(rng);
    b0 = 0.99765 * b0 + w * 0.0990460;
    b1 = 0.96300 * b1 + w * 0.2965164;
    b2 = 0.57000 * b2 + w * 1.0526913;
    v[i] = 0.05 * (b0 + b1 + b2 + w * 0.1848);
  }
  return v;
}

// Blackman-windowed sinc low-pass, 511 taps (stop band below -70 dB from the cut-off plus
// about 0.011 of the rate on).
std::vector<double> lowPass(const std::vector<double> &x, double cutoff_fraction) {
  const int taps = 511, half = taps / 2;
  std::vector<double> h(taps);
  for (int i = 0; i < taps; i++) {
    double n = i - half;
    double s = n == 0 ? 2 * cutoff_fraction : std::sin(2 * M_PI * cutoff_fraction * n) / (M_PI * n);
    h[i] = s * (0.42 - 0.5 * std::cos(2 * M_PI * i / (taps - 1)) + 0.08 * std::cos(4 * M_PI * i / (taps - 1)));
  }
  std::vector<double> y(x.size(), 0.0);
  const long n = long(x.size());
  for (long i = 0; i < n; i++) {
    const long j0 = std::max(0L, half - i), j1 = std::min(long(taps), n - i + half);
    double a = 0;
    for (long j = j0; j < j1; j++) a += h[j] * x[i + j - half];
    y[i] = a;
  }
  return y;
}

std::vector<int16_t> interleave(const std::vector<double> &l, const std::vector<double> *r) {
  std::vector<int16_t> pcm(l.size() * (r ? 2 : 1));
  auto q = [](double v) { return int16_t(std::lround(std::max(-32768.0, std::min(32767.0, 32767.0 * v)))); };
  for (size_t i = 0; i < l.size(); i++) {
    if (r) {
      pcm[2 * i] = q(l[i]);
      pcm[2 * i + 1] = q((*r)[i]);
    } else {
      pcm[i] = q(l[i]);
    }
  }
  return pcm;
}

// Clicks that make the time grid split (on the left only in stereo, at changing places in
// the frame), first alone, then over noise with a tone high in the SBR range on the right,
// then silence: the two channels' grids differ, agree and differ again.
std::vector<int16_t> mixedSignal(uint32_t rate, uint32_t ch, double seconds) {
  const size_t n = size_t(rate * seconds), spacing = size_t(5.37 * 2048);
  std::vector<double> l = pink(n, rate), r = pink(n, rate + 1);
  for (size_t i = 0; i < n; i++) {
    double t = double(i) / rate;
    const bool noise = t >= 1.0 && t < seconds - 0.4;
    l[i] *= noise ? 1.0 : 0.0;
    r[i] *= noise ? 0.6 : 0.0;
    if (t < seconds - 0.4 && i % spacing < 8) l[i] += (i % 2 ? -0.7 : 0.7);
    if (noise && t < 1.8) r[i] += 0.06 * std::sin(2 * M_PI * 0.3 * rate * t);
  }
  if (ch == 1) {
    for (size_t i = 0; i < n; i++) l[i] = 0.5 * (l[i] + r[i]);
    return interleave(l, nullptr);
  }
  return interleave(l, &r);
}

// ---- analysis -----------------------------------------------------------------------------

void fft(std::vector<std::complex<double>> &a) {
  const size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    std::complex<double> wl = std::polar(1.0, -2 * M_PI / double(len));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1);
      for (size_t j = 0; j < len / 2; j++) {
        std::complex<double> u = a[i + j], v = a[i + j + len / 2] * w;
        a[i + j] = u + v;
        a[i + j + len / 2] = u - v;
        w *= wl;
      }
    }
  }
}

const size_t kFft = 2048;

// Averaged power spectrum (Hann windows, half overlap) of x[from, to).
std::vector<double> spectrum(const std::vector<double> &x, size_t from, size_t to) {
  std::vector<double> p(kFft / 2, 0.0);
  int count = 0;
  for (size_t o = from; o + kFft <= to && o + kFft <= x.size(); o += kFft / 2, count++) {
    std::vector<std::complex<double>> a(kFft);
    for (size_t i = 0; i < kFft; i++) a[i] = x[o + i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / kFft));
    fft(a);
    for (size_t i = 0; i < kFft / 2; i++) p[i] += std::norm(a[i]);
  }
  for (double &v : p) v /= std::max(count, 1);
  return p;
}

// Energy of the bins lying wholly inside [f0, f1) Hz.
double bandEnergy(const std::vector<double> &p, double rate, double f0, double f1) {
  double e = 0;
  for (size_t i = 1; i < p.size(); i++) {
    double lo = (i - 0.5) * rate / kFft, hi = (i + 0.5) * rate / kFft;
    if (lo >= f0 && hi <= f1) e += p[i];
  }
  return e;
}

// Real part of the coherence of two signals over the bins wholly inside [f0, f1) Hz.
double coherence(const std::vector<double> &a, const std::vector<double> &b, double rate, double f0, double f1,
                 size_t from) {
  double paa = 0, pbb = 0, pab = 0;
  for (size_t o = from; o + kFft <= a.size() && o + kFft <= b.size(); o += kFft / 2) {
    std::vector<std::complex<double>> x(kFft), y(kFft);
    for (size_t i = 0; i < kFft; i++) {
      const double w = 0.5 - 0.5 * std::cos(2 * M_PI * double(i) / kFft);
      x[i] = a[o + i] * w;
      y[i] = b[o + i] * w;
    }
    fft(x);
    fft(y);
    for (size_t i = 1; i < kFft / 2; i++) {
      const double lo = (i - 0.5) * rate / kFft, hi = (i + 0.5) * rate / kFft;
      if (lo < f0 || hi > f1) continue;
      paa += std::norm(x[i]);
      pbb += std::norm(y[i]);
      pab += (x[i] * std::conj(y[i])).real();
    }
  }
  return pab / std::sqrt(paa * pbb + 1e-12);
}

double dB(double a, double b) { return 10 * std::log10((a + 1e-12) / (b + 1e-12)); }

// The SBR bands the encoder uses for a configuration, in QMF band indices.
SbrFreqTables sbrBands(const Stream &s) {
  const int32_t coded = s.mode == 3 ? 1 : int32_t(s.channels);
  sbrConfiguration c;
  sbrEncoderInitDefaultConfig(&c, 2, 1024);
  sbrEncoderConfigure(&c, int32_t(s.bit_rate), coded, int32_t(s.rate / 2), 0, s.mode == 3, 1000);
  SbrHeaderData h{};
  h.amp_res = c.amp_res;
  h.start_freq = c.start_freq;
  h.stop_freq = c.stop_freq;
  h.freq_scale = c.freq_scale;
  h.alter_scale = c.alter_scale;
  h.noise_bands = c.noise_bands;
  SbrFreqTables t{};
  EXPECT_EQ(sbrFreqTablesUpdate(&h, int32_t(s.rate), &t), 0) << label(s);
  return t;
}

double qmfHz(const Stream &s, int k) { return double(k) * s.rate / 128.0; }

// ADTS frames of a stream: the total bits and the reservoir level of the last frame.
struct AdtsTotals {
  size_t frames = 0;
  uint64_t bits = 0;
  uint32_t last_fullness = 0, channel_config = 0;
  bool ok = true;
};

AdtsTotals adtsTotals(const std::string &s) {
  AdtsTotals t;
  size_t p = 0;
  while (p + 7 <= s.size()) {
    const uint8_t *h = reinterpret_cast<const uint8_t *>(s.data()) + p;
    if (h[0] != 0xFF || (h[1] & 0xF0) != 0xF0) {
      t.ok = false;
      break;
    }
    uint32_t len = ((h[3] & 3u) << 11) | (uint32_t(h[4]) << 3) | (h[5] >> 5);
    t.last_fullness = ((h[5] & 0x1Fu) << 6) | (h[6] >> 2);
    t.channel_config = ((h[2] & 1u) << 2) | (h[3] >> 6);
    if (len < 7) {
      t.ok = false;
      break;
    }
    t.frames++;
    t.bits += 8ull * len;
    p += len;
  }
  if (p != s.size()) t.ok = false;
  return t;
}

// The bit rates that select each reachable tuning row, inside the validation range, and
// the highest valid rate.
std::vector<uint32_t> tuningRates(uint32_t mode, uint32_t channels, uint32_t rate) {
  const uint32_t coded = mode == 3 ? 1 : channels;
  const uint32_t lo = mode == 3 ? 16000 : channels * 14000, hi = mode == 3 ? 64000 : channels * 64000;
  std::vector<uint32_t> v;
  for (int32_t i = 0; i < sbrTuningRows; i++) {
    const SbrTuningRow &r = sbrTuningTable[i];
    if (uint32_t(r.channels) != coded || uint32_t(r.core_rate) != rate / 2) continue;
    uint32_t br = std::max(uint32_t(r.bitrate_from), lo);
    if (br < uint32_t(r.bitrate_below) && br <= hi) v.push_back(br);
  }
  if (std::find(v.begin(), v.end(), hi) == v.end()) v.push_back(hi);
  return v;
}

struct Config {
  uint32_t mode, channels, rate;
};
std::string configName(const testing::TestParamInfo<Config> &i) {
  return "mode" + std::to_string(i.param.mode) + "_" + std::to_string(i.param.channels) + "ch_" +
         std::to_string(i.param.rate);
}
const Config kConfigs[] = {{1, 1, 32000}, {1, 1, 44100}, {1, 1, 48000}, {1, 2, 32000}, {1, 2, 44100},
                         {1, 2, 48000}, {3, 2, 32000}, {3, 2, 44100}, {3, 2, 48000}};

}  // namespace

class SbrStreams : public testing::TestWithParam<Config> {};

// Every tuning row: ffmpeg decodes silently at the full rate (two channels with parametric
// stereo), one output frame of 2048 samples per call, and the bits spent plus those left in
// the reservoir (the ADTS buffer fullness) keep to the bit rate.
TEST_P(SbrStreams, EveryTuningRowDecodesAtTheFullRateAndKeepsItsBitRate) {
  const Config p = GetParam();
  kavo::test::TestRoot root;
  const double seconds = 2.5;
  const std::vector<int16_t> pcm = mixedSignal(p.rate, p.channels, seconds);
  const size_t calls = (size_t(p.rate * seconds) + 2047) / 2048;
  const uint32_t coded = p.mode == 3 ? 1 : p.channels;
  for (uint32_t br : tuningRates(p.mode, p.channels, p.rate)) {
    const Stream s{p.mode, p.channels, p.rate, br};
    SCOPED_TRACE(label(s));
    Encoded e;
    encodeAndDecode(root.dir(), s, pcm, e);
    if (HasFatalFailure()) return;
    EXPECT_EQ(e.dec.rate, p.rate);
    if (p.channels == 2) {
      EXPECT_EQ(e.dec.channels, 2u);
    }
    ASSERT_FALSE(e.dec.ch.empty());
    EXPECT_EQ(e.dec.ch[0].size(), calls * 2048);

    AdtsTotals t = adtsTotals(e.aac);
    ASSERT_TRUE(t.ok);
    EXPECT_EQ(t.frames, calls);
    EXPECT_EQ(t.channel_config, coded);
    const double target = double(br) * 1024.0 * double(t.frames) / (p.rate / 2);
    const double kept = double(t.bits) + 32.0 * coded * t.last_fullness;
    EXPECT_LE(double(t.bits), target + 8);
    EXPECT_NEAR(kept / target, 1.0, 0.05) << "stream " << t.bits << " bits, reservoir " << 32 * coded * t.last_fullness;
    std::printf("  %-36s frames %zu  stream %.4f  with reservoir %.4f of the target\n", label(s).c_str(), t.frames,
                double(t.bits) / target, kept / target);
  }
}

INSTANTIATE_TEST_SUITE_P(Sbr, SbrStreams, testing::ValuesIn(kConfigs), configName);

class SbrHighBand : public testing::TestWithParam<Config> {};

// Pink noise: every SBR band of the decoded high band within 3 dB of the input's; the same
// noise low-passed below the crossover: the decoded high band at least 30 dB below that.
// Mode 3 takes identical channels here, which its mono down-mix keeps at their level.  The
// lowest and the highest tuning row whose crossover lies in the pass band of the 2:1
// down-sampler (flat to 0.19 of the input rate): above it the core lacks the top of its
// band, which the decoder's patches then copy up.
TEST_P(SbrHighBand, PinkNoiseRebuiltAndNothingInventedAboveALowPass) {
  const Config p = GetParam();
  kavo::test::TestRoot root;
  std::vector<uint32_t> rates;
  for (uint32_t br : tuningRates(p.mode, p.channels, p.rate))
    if (sbrBands(Stream{p.mode, p.channels, p.rate, br}).kx < 0.19 * 128) rates.push_back(br);
  ASSERT_FALSE(rates.empty());
  if (rates.size() > 2) rates.erase(rates.begin() + 1, rates.end() - 1);
  const size_t n = size_t(p.rate * 2.5), from = size_t(p.rate * 0.5), to = n - p.rate / 5;
  const std::vector<double> l = pink(n, 7), r = p.mode == 3 ? l : pink(n, 8);
  for (uint32_t br : rates) {
    const Stream s{p.mode, p.channels, p.rate, br};
    SCOPED_TRACE(label(s));
    const SbrFreqTables ft = sbrBands(s);
    const double fx = qmfHz(s, ft.kx), f2 = qmfHz(s, ft.k2);
    std::vector<int16_t> pcm = interleave(l, p.channels == 2 ? &r : nullptr);
    Encoded e;
    encodeAndDecode(root.dir(), s, pcm, e);
    if (HasFatalFailure()) return;
    ASSERT_EQ(e.dec.rate, p.rate);
    double high[2] = {0, 0};
    for (uint32_t c = 0; c < p.channels; c++) {
      std::vector<double> in(n);
      for (size_t i = 0; i < n; i++) in[i] = pcm[i * p.channels + c];
      std::vector<double> pin = spectrum(in, from, to), pout = spectrum(e.dec.ch[c], from, to);
      std::string row;
      for (int32_t b = 0; b < ft.n_hi; b++) {
        const double f0 = qmfHz(s, ft.hi[b]), f1 = qmfHz(s, ft.hi[b + 1]);
        const double d = dB(bandEnergy(pout, p.rate, f0, f1), bandEnergy(pin, p.rate, f0, f1));
        EXPECT_NEAR(d, 0.0, 3.0) << "channel " << c << ", band " << f0 << " to " << f1 << " Hz";
        char cell[32];
        std::snprintf(cell, sizeof(cell), " %+.1f", d);
        row += cell;
      }
      high[c] = bandEnergy(pout, p.rate, fx, f2);
      std::printf("  %-36s ch %u, %.0f to %.0f Hz, decoded/input per SBR band (dB):%s\n", label(s).c_str(), c, fx,
                  f2, row.c_str());
    }

    // the same noise low-passed well below the crossover
    const std::vector<double> lp = lowPass(l, 0.8 * fx / p.rate);
    pcm = interleave(lp, p.channels == 2 ? &lp : nullptr);
    Encoded q;
    encodeAndDecode(root.dir(), s, pcm, q);
    if (HasFatalFailure()) return;
    for (uint32_t c = 0; c < p.channels; c++) {
      std::vector<double> pout = spectrum(q.dec.ch[c], from, to);
      const double d = dB(bandEnergy(pout, p.rate, fx, f2), high[c]);
      EXPECT_LT(d, -30.0) << "channel " << c;
      std::printf("  %-36s ch %u, low-passed input: high band %.1f dB against the pink noise's\n",
                  label(s).c_str(), c, d);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Sbr, SbrHighBand, testing::ValuesIn(kConfigs), configName);

// Parametric stereo: a hard-left input decodes much louder on the left, identical channels
// decode identical, and partly coherent channels (0.6, and 0) decode with about their
// coherence above the hybrid bands, at both parameter resolutions (10 bands below 21000
// bit/s).
TEST(SbrParametricStereo, KeepsTheImage) {
  kavo::test::TestRoot root;
  for (uint32_t rate : {32000u, 44100u, 48000u}) {
    for (uint32_t br : {16000u, 32000u}) {
      const Stream s{3, 2, rate, br};
      SCOPED_TRACE(label(s));
      const size_t n = size_t(rate * 2.0), from = rate / 2;
      const std::vector<double> p1 = pink(n, 11), p2 = pink(n, 12), silent(n, 0.0);
      Encoded e;
      std::vector<int16_t> pcm = interleave(p1, &silent);
      encodeAndDecode(root.dir(), s, pcm, e);
      if (HasFatalFailure()) return;
      ASSERT_EQ(e.dec.channels, 2u);
      double el = 0, er = 0;
      for (size_t i = from; i < e.dec.ch[0].size(); i++) {
        el += e.dec.ch[0][i] * e.dec.ch[0][i];
        er += e.dec.ch[1][i] * e.dec.ch[1][i];
      }
      EXPECT_GT(dB(el, er), 15.0);

      pcm = interleave(p1, &p1);
      encodeAndDecode(root.dir(), s, pcm, e);
      if (HasFatalFailure()) return;
      double lr = 0, ll = 0, rr = 0;
      for (size_t i = from; i < e.dec.ch[0].size(); i++) {
        lr += e.dec.ch[0][i] * e.dec.ch[1][i];
        ll += e.dec.ch[0][i] * e.dec.ch[0][i];
        rr += e.dec.ch[1][i] * e.dec.ch[1][i];
      }
      const double corr = lr / std::sqrt(ll * rr + 1e-12);
      EXPECT_GT(corr, 0.9);
      std::printf("  %-36s hard left: left %.1f dB above right; identical channels: correlation %.4f\n",
                  label(s).c_str(), dB(el, er), corr);

      // l = a + g b, r = a - g b: coherence (1 - g^2) / (1 + g^2)
      for (double g : {0.5, 1.0}) {
        std::vector<double> l(n), r(n);
        for (size_t i = 0; i < n; i++) {
          l[i] = 0.7 * (p1[i] + g * p2[i]);
          r[i] = 0.7 * (p1[i] - g * p2[i]);
        }
        pcm = interleave(l, &r);
        encodeAndDecode(root.dir(), s, pcm, e);
        if (HasFatalFailure()) return;
        const double f0 = 4000, f1 = 0.3 * rate;
        const double in = coherence(l, r, rate, f0, f1, from);
        const double out = coherence(e.dec.ch[0], e.dec.ch[1], rate, f0, f1, from);
        EXPECT_NEAR(out, in, 0.15) << "coherence from " << f0 << " to " << f1 << " Hz";
        std::printf("  %-36s coherence %.0f to %.0f Hz: input %.2f, decoded %.2f\n", label(s).c_str(), f0, f1, in,
                    out);
      }
    }
  }
}

// The decoded high band starts with the low band: over a steady low band, bursts of noise
// that start at changing places in the frame decode with their high band (above the
// crossover) starting within a few time slots of the core's onset, never a frame early.
// The core's delay is that of a low-passed click at the stream's start.
TEST(SbrTiming, HighBandOnsetsMeetTheCore) {
  kavo::test::TestRoot root;
  for (const Stream &s : {Stream{1, 1, 44100, 24000}, Stream{1, 2, 32000, 32000}, Stream{3, 2, 48000, 24000}}) {
    SCOPED_TRACE(label(s));
    const SbrFreqTables ft = sbrBands(s);
    const double fx = qmfHz(s, ft.kx), f2 = qmfHz(s, ft.k2);
    const size_t n = size_t(s.rate * 2.5), click = s.rate / 4;
    std::vector<double> x = lowPass(pink(n, 21), 0.5 * fx / s.rate), marker(n, 0.0);
    marker[click] = 0.9;
    marker = lowPass(marker, 0.5 * fx / s.rate);
    std::mt19937 rng(5);
    std::normal_distribution<double> nd(0, 0.08);
    std::vector<size_t> starts;
    for (size_t k = 0; k < 6; k++) starts.push_back(s.rate * 6 / 10 + k * size_t(0.29 * s.rate) + (k * 389) % 2048);
    for (size_t i = 0; i < n; i++) {
      x[i] = i < s.rate * 45 / 100 ? marker[i] : 0.3 * x[i];
      for (size_t b : starts)
        if (i >= b && i < b + s.rate / 10) x[i] += nd(rng);
    }
    std::vector<int16_t> pcm = interleave(x, s.channels == 2 ? &x : nullptr);
    Encoded e;
    encodeAndDecode(root.dir(), s, pcm, e);
    if (HasFatalFailure()) return;
    const std::vector<double> &y = e.dec.ch[0];
    size_t peak = click;
    for (size_t i = click; i < std::min(y.size(), click + s.rate * 15 / 100); i++)
      if (std::fabs(y[i]) > std::fabs(y[peak])) peak = i;
    const long delay = long(peak) - long(click);
    // energy above the crossover in blocks of 128, every 32 samples
    const size_t block = 128, hop = 32;
    std::vector<double> hi;
    for (size_t o = 0; o + block <= y.size(); o += hop) {
      std::vector<std::complex<double>> a(block);
      for (size_t i = 0; i < block; i++) a[i] = y[o + i] * (0.5 - 0.5 * std::cos(2 * M_PI * double(i) / block));
      fft(a);
      double h = 0;
      for (size_t i = 1; i < block / 2; i++) {
        const double f = double(i) * s.rate / block;
        if (f >= fx + 500 && f < f2) h += std::norm(a[i]);
      }
      hi.push_back(h);
    }
    std::string row;
    for (size_t b : starts) {
      const long expect = long(b) + delay;
      const long from = (expect - long(s.rate / 10)) / long(hop), to = (expect + long(s.rate / 10)) / long(hop);
      ASSERT_LT(size_t(to), hi.size());
      std::vector<double> seg(hi.begin() + from, hi.begin() + to);
      std::sort(seg.begin(), seg.end());
      const double level = seg[seg.size() * 9 / 10];
      long on = -1;
      for (long i = from; i < to && on < 0; i++)
        if (hi[size_t(i)] > 0.25 * level) on = i * long(hop) + long(block / 2);
      ASSERT_GE(on, 0);
      EXPECT_GE(on - expect, -384) << "burst at " << b << ": the high band leads the core";
      EXPECT_LE(on - expect, 640) << "burst at " << b << ": the high band lags the core";
      row += " " + std::to_string(on - expect);
    }
    std::printf("  %-36s core delay %ld, high-band onsets against the core's (samples):%s\n", label(s).c_str(), delay,
                row.c_str());
  }
}

// A bit-rate change re-initialises the SBR encoder in place with its frequency tables as
// opened: the core keeps the crossover as its bandwidth limit (its own rule may take less,
// never more), and the stream, which changes rate twice, still decodes silently.
TEST(SbrRateChange, CoreKeepsTheCrossoverBandwidth) {
  kavo::test::TestRoot root;
  struct Case {
    uint32_t mode, rate, from, to;
  };
  for (const Case &k : {Case{1, 44100, 32000, 96000}, Case{1, 32000, 128000, 28000}, Case{3, 48000, 16000, 48000}}) {
    const Stream s{k.mode, 2, k.rate, k.from};
    SCOPED_TRACE(label(s) + " to " + std::to_string(k.to));
    aacenc_config_t cfg;
    std::memset(&cfg, 0, sizeof(cfg));
    std::vector<uint8_t> block(AACENC_BLOCK_BYTES(2), 0);
    cfg.sample_rate = k.rate;
    cfg.channels_in = 2;
    cfg.bit_rate = k.from;
    cfg.mode = k.mode;
    cfg.format = 't';
    cfg.output_buffer = block.data();
    cfg.work_memory = block.data() + AACENC_OUTPUT_BYTES(2);
    aacenc_setup(&cfg);
    aacenc_open(&cfg);
    ASSERT_EQ(cfg.error, 0u);
    const AacCoreState *core = static_cast<const AacCoreState *>(aacenc_core_handle(&cfg));
    const SbrFreqTables ft = sbrBands(s);
    const int32_t crossover = int32_t((int64_t(k.rate) * ft.kx / 64 + 1) / 2);
    EXPECT_EQ(core->bandwidth, crossover);
    // the rate is re-checked about once a second (the period counts frames of the process)
    const size_t frames = size_t(k.rate) * 4 / 2048;
    std::vector<int16_t> pcm = mixedSignal(k.rate, 2, frames * 2048.0 / k.rate + 0.01);
    std::string adts;
    bool changed = false;
    for (size_t f = 0; f < frames; f++) {
      if (f == 2) cfg.requested_bit_rate = k.to;
      if (changed && cfg.bit_rate == k.to) cfg.requested_bit_rate = k.from;
      cfg.input_pcm = pcm.data() + f * 4096;
      aacenc_encode(&cfg);
      ASSERT_EQ(cfg.error, 0u);
      changed |= cfg.bit_rate == k.to;
      const uint32_t coded = k.mode == 3 ? 1 : 2;
      EXPECT_EQ(core->bandwidth, AacCoreBandwidth(crossover, int32_t(cfg.bit_rate / coded), int32_t(k.rate / 2),
                                                  core->elements.channel_mode))
          << "frame " << f << " at " << cfg.bit_rate << " bit/s";
      EXPECT_LE(core->bandwidth, crossover);
      adts.append(reinterpret_cast<const char *>(cfg.output_buffer), cfg.output_bits / 8);
    }
    EXPECT_TRUE(changed);
    const std::string path = root.dir() + "/rc.aac";
    std::ofstream(path, std::ios::binary) << adts;
    int rc = 0;
    EXPECT_EQ(run("ffmpeg -nostdin -v error -f aac -i " + path + " -f null -", &rc), "");
    EXPECT_EQ(rc, 0);
  }
}
