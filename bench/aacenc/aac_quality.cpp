// aac_quality: compares a decoded file with its original, both 16-bit WAV.
// The decoded signal is aligned with the original by cross-correlation, then each channel is
// cut into 2048-sample segments (Hann window, hop 1024) and compared in the band up to the
// cutoff: segmental SNR (per segment 10 log10(signal / error), limited to -10 .. 35 dB,
// segments more than 60 dB below the loudest left out) and log-spectral distance (RMS of the
// dB difference of the power spectra over the band, per segment, averaged).
// Usage: aac_quality original.wav decoded.wav cutoff_hz [-v]   (-v: per-channel SNR on stderr)
// Prints: delay segsnr_db lsd_db bandwidth_hz (bandwidth: the upper edge of the highest block of
// 4 bins in which the decoded long-term spectrum keeps at least half of the original's energy).
#include "pcm_wav.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct Wav {
  uint32_t rate = 0, channels = 0;
  std::vector<std::vector<double>> ch;
};

bool readWav(const char *path, Wav &w) {
  PcmWav pw;
  if (!readPcmWav(path, pw)) return false;
  w.rate = pw.rate;
  w.channels = pw.channels;
  const size_t frames = pw.pcm.size() / pw.channels;
  w.ch.assign(w.channels, std::vector<double>(frames));
  for (size_t i = 0; i < frames; i++)
    for (uint32_t c = 0; c < w.channels; c++) w.ch[c][i] = pw.pcm[i * w.channels + c] / 32768.0;
  return true;
}

void fft(std::vector<std::complex<double>> &a) {
  size_t n = a.size();
  for (size_t i = 1, j = 0; i < n; i++) {
    size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (size_t len = 2; len <= n; len <<= 1) {
    double ang = -2 * M_PI / double(len);
    std::complex<double> wl(std::cos(ang), std::sin(ang));
    for (size_t i = 0; i < n; i += len) {
      std::complex<double> w(1);
      for (size_t j = 0; j < len / 2; j++) {
        auto u = a[i + j], v = a[i + j + len / 2] * w;
        a[i + j] = u + v;
        a[i + j + len / 2] = u - v;
        w *= wl;
      }
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 4 && !(argc == 5 && !std::strcmp(argv[4], "-v"))) {
    std::fprintf(stderr, "usage: aac_quality original.wav decoded.wav cutoff_hz [-v]\n");
    return 2;
  }
  Wav a, b;
  if (!readWav(argv[1], a) || !readWav(argv[2], b) || a.channels != b.channels || a.rate != b.rate) {
    std::fprintf(stderr, "aac_quality: unreadable or mismatched files\n");
    return 1;
  }
  double cutoff = std::atof(argv[3]);
  // delay: the lag in 0 .. 4096 samples of the largest cross-correlation, summed channel by
  // channel (a sum of the channels would vanish for an anti-phase pair), over every sample
  // (sparse signals such as clicks fall between the samples of any decimated search)
  size_t na = a.ch[0].size(), nb = b.ch[0].size();
  size_t nf = 1;
  while (nf < na + nb) nf <<= 1;
  std::vector<std::complex<double>> acc(nf);
  for (size_t c = 0; c < a.channels; c++) {
    std::vector<std::complex<double>> fa(nf), fb(nf);
    for (size_t i = 0; i < na; i++) fa[i] = a.ch[c][i];
    for (size_t i = 0; i < nb; i++) fb[i] = b.ch[c][i];
    fft(fa);
    fft(fb);
    for (size_t k = 0; k < nf; k++) acc[k] += std::conj(fa[k]) * fb[k];
  }
  for (auto &v : acc) v = std::conj(v);  // inverse transform as the conjugate of a forward one
  fft(acc);
  int best = 0;
  double bestv = -1e300;
  for (int lag = 0; lag <= 4096 && size_t(lag) < nf; lag++) {
    double v = acc[size_t(lag)].real();  // conj(.) leaves the real part
    if (v > bestv) {
      bestv = v;
      best = lag;
    }
  }
  const size_t N = 2048, H = 1024;
  std::vector<double> win(N);
  for (size_t i = 0; i < N; i++) win[i] = 0.5 - 0.5 * std::cos(2 * M_PI * (i + 0.5) / N);
  size_t kmax = size_t(cutoff * N / a.rate);
  if (kmax > N / 2) kmax = N / 2;
  size_t kmin = size_t(std::ceil(50.0 * N / a.rate));
  double snr_sum = 0, lsd_sum = 0;
  size_t segs = 0;
  std::vector<double> lta(N / 2 + 1, 0), ltb(N / 2 + 1, 0);
  size_t len = std::min(na, nb > size_t(best) ? nb - best : 0);
  for (size_t c = 0; c < a.channels; c++) {
    std::vector<double> sig, err;
    std::vector<std::vector<double>> pa, pb;
    double loud = 0;
    for (size_t s = 0; s + N <= len; s += H) {
      std::vector<std::complex<double>> xa(N), xb(N);
      for (size_t i = 0; i < N; i++) {
        xa[i] = a.ch[c][s + i] * win[i];
        xb[i] = b.ch[c][s + i + best] * win[i];
      }
      fft(xa);
      fft(xb);
      double se = 0, ee = 0;
      std::vector<double> va(kmax + 1), vb(kmax + 1);
      for (size_t k = kmin; k <= kmax; k++) {
        se += std::norm(xa[k]);
        ee += std::norm(xa[k] - xb[k]);
        va[k] = std::norm(xa[k]);
        vb[k] = std::norm(xb[k]);
      }
      for (size_t k = 0; k <= N / 2; k++) {
        lta[k] += std::norm(xa[k]);
        ltb[k] += std::norm(xb[k]);
      }
      sig.push_back(se);
      err.push_back(ee);
      pa.push_back(va);
      pb.push_back(vb);
      loud = std::max(loud, se);
    }
    double ch_snr = 0;
    size_t ch_segs = 0;
    for (size_t i = 0; i < sig.size(); i++) {
      if (sig[i] < loud * 1e-6 || sig[i] <= 0) continue;
      double snr = 10 * std::log10(sig[i] / std::max(err[i], 1e-30));
      snr = std::min(35.0, std::max(-10.0, snr));
      double floor = sig[i] / double(kmax - kmin + 1) * 1e-6, d2 = 0;
      for (size_t k = kmin; k <= kmax; k++) {
        double d = 10 * std::log10((pa[i][k] + floor) / (pb[i][k] + floor));
        d2 += d * d;
      }
      snr_sum += snr;
      lsd_sum += std::sqrt(d2 / double(kmax - kmin + 1));
      segs++;
      ch_snr += snr;
      ch_segs++;
    }
    if (argc == 5) std::fprintf(stderr, "channel %zu: %zu segments, segmental SNR %.2f dB\n", c, ch_segs,
                                ch_segs ? ch_snr / double(ch_segs) : 0.0);
  }
  // bandwidth: the upper edge of the highest block of 4 bins in which the decoded long-term
  // spectrum keeps at least half (-3 dB) of the original's energy (blocks more than 60 dB below
  // the loudest block of the original do not count).  A looser test would count the part of a
  // block above the encoder's lowpass as kept, and signals with much energy at the top of the
  // band (clicks) would then be judged on lines that the encoder never meant to code.
  double bw = 0, peak = 0;
  const size_t B = 4;
  for (size_t k = 0; k + B <= N / 2; k += B) {
    double ea = 0;
    for (size_t j = k; j < k + B; j++) ea += lta[j];
    peak = std::max(peak, ea);
  }
  for (size_t k = 0; k + B <= N / 2; k += B) {
    double ea = 0, eb = 0;
    for (size_t j = k; j < k + B; j++) {
      ea += lta[j];
      eb += ltb[j];
    }
    if (ea > peak * 1e-6 && eb > ea * 0.5) bw = double(k + B) * a.rate / N;
  }
  if (segs == 0) {
    std::printf("%d nan nan %.0f\n", best, bw);
    return 0;
  }
  std::printf("%d %.2f %.2f %.0f\n", best, snr_sum / segs, lsd_sum / segs, bw);
  return 0;
}
