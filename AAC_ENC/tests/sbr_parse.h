// A reader of the SBR payloads the encoder writes, built from the standard's syntax and
// tables and independent of the encoder's writer: header, grid, delta decoding of the
// envelopes and noise floors, harmonics and the extended data.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "aac_sbr.h"
#include "aac_sbr_int.h"
#include "aac_sbr_tables.h"
#include "aac_workmem.h"

namespace sbrtest {

struct Bits {
  const uint8_t *p = nullptr;
  int size = 0;  // bits
  int pos = 0;
  bool over = false;
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++, pos++) {
      if (pos >= size) {
        over = true;
        return v;
      }
      v = (v << 1) | ((p[pos >> 3] >> (7 - (pos & 7))) & 1u);
    }
    return v;
  }
  // Huffman decode against right-aligned codes
  template <typename C, typename L>
  int huff(const C *codes, const L *lens, int entries) {
    uint32_t v = 0;
    for (int n = 1; n <= 24; n++) {
      v = (v << 1) | get(1);
      for (int i = 0; i < entries; i++)
        if (int(lens[i]) == n && uint32_t(codes[i]) == v) return i;
    }
    over = true;
    return 0;
  }
};

struct ChannelState {
  int prev_env[48] = {0};   // last envelope at high resolution
  int prev_noise[5] = {0};
  bool have_prev = false;
  bool have_prev_noise = false;
};

struct Parsed {
  bool ok = true;
  std::string error;
  bool header = false;
  int n_env[2] = {0, 0};
  int env[2][5][48];
  int noise[2][2][5];
  int freq_res[2][5];
  int borders[2][6];
  int frame_class[2] = {0, 0};
  bool coupled = false;
  int ps_bytes = 0;
  int ps_bits_used = 0;
  bool ps_header = false;     // the parametric-stereo header is present
  bool ps_time = false;       // a parameter is coded along time (needs the previous frame)
  bool harmonics[2] = {false, false};
  int amp[2] = {1, 1};  // amplitude resolution each channel was read at (1: 3.0 dB)
  // the loudest envelope of a channel: its mean value in dB (3 dB per step at 3.0 dB)
  double loudestDb(int ch) const {
    double best = -1;
    for (int e = 0; e < n_env[ch]; e++) {
      int n = 0;
      double sum = 0;
      for (int k = 0; k < 48 && k < count[ch][e]; k++, n++) sum += env[ch][e][k];
      if (n) best = std::max(best, sum / n * (amp[ch] ? 3.0 : 1.5));
    }
    return best;
  }
  int count[2][5] = {{0}};
};

struct Reader {
  SbrFreqTables ft{};
  int amp_res_hdr = 1;
  ChannelState st[2];
  int channels = 1;
  bool got_header = false;

  void setTables(const SbrFreqTables &t) { ft = t; }

  static int ptrBits(int L) {
    int b = 0;
    while ((1 << b) < L + 1) b++;
    return b;
  }

  bool grid(Bits &b, Parsed &P, int ch) {
    int cls = int(b.get(2)), L, *t = P.borders[ch], *r = P.freq_res[ch];
    P.frame_class[ch] = cls;
    if (cls == 0) {
      L = 1 << b.get(2);
      int fr = int(b.get(1));
      for (int i = 0; i <= L; i++) t[i] = 16 * i / L;
      for (int i = 0; i < L; i++) r[i] = fr;
    } else if (cls == 1) {
      int vb = int(b.get(2)), n = int(b.get(2));
      L = n + 1;
      t[0] = 0;
      t[L] = 16 + vb;
      for (int i = 0; i < n; i++) t[L - 1 - i] = t[L - i] - (2 * int(b.get(2)) + 2);
      b.get(ptrBits(L));
      for (int i = L - 1; i >= 0; i--) r[i] = int(b.get(1));
    } else if (cls == 2) {
      int vb = int(b.get(2)), n = int(b.get(2));
      L = n + 1;
      t[0] = vb;
      t[L] = 16;
      for (int i = 0; i < n; i++) t[i + 1] = t[i] + 2 * int(b.get(2)) + 2;
      b.get(ptrBits(L));
      for (int i = 0; i < L; i++) r[i] = int(b.get(1));
    } else {
      int vb0 = int(b.get(2)), vb1 = int(b.get(2)), n0 = int(b.get(2)), n1 = int(b.get(2));
      L = n0 + n1 + 1;
      if (L > 5) return false;
      t[0] = vb0;
      t[L] = 16 + vb1;
      for (int i = 0; i < n0; i++) t[i + 1] = t[i] + 2 * int(b.get(2)) + 2;
      for (int i = 0; i < n1; i++) t[L - 1 - i] = t[L - i] - (2 * int(b.get(2)) + 2);
      b.get(ptrBits(L));
      for (int i = 0; i < L; i++) r[i] = int(b.get(1));
    }
    for (int i = 0; i < L; i++)
      if (t[i] >= t[i + 1]) return false;
    P.n_env[ch] = L;
    return true;
  }

  // index of the high-resolution band whose start is the low band k (time deltas lo after hi)
  int loToHi(int k) const {
    for (int i = 0; i <= ft.n_hi; i++)
      if (ft.hi[i] == ft.lo[k]) return i;
    return -1;
  }
  int hiToLo(int k) const {
    for (int i = 0; i < ft.n_lo; i++)
      if (ft.lo[i] <= ft.hi[k] && ft.hi[k] < ft.lo[i + 1]) return i;
    return -1;
  }

  bool values(Bits &b, Parsed &P, int ch, const int *df_env, bool bal, int amp) {
    const int lav = bal ? (amp ? 12 : 24) : (amp ? 31 : 60), start = bal ? (amp ? 5 : 6) : (amp ? 6 : 7);
    const uint32_t *ct, *cf;
    const uint8_t *lt, *lf;
    if (amp) {
      ct = bal ? bookSbrEnvBalanceC11T : v_Huff_envelopeLevelC11T;
      lt = bal ? bookSbrEnvBalanceL11T : v_Huff_envelopeLevelL11T;
      cf = bal ? bookSbrEnvBalanceC11F : v_Huff_envelopeLevelC11F;
      lf = bal ? bookSbrEnvBalanceL11F : v_Huff_envelopeLevelL11F;
    } else {
      ct = bal ? bookSbrEnvBalanceC10T : v_Huff_envelopeLevelC10T;
      lt = bal ? bookSbrEnvBalanceL10T : v_Huff_envelopeLevelL10T;
      cf = bal ? bookSbrEnvBalanceC10F : v_Huff_envelopeLevelC10F;
      lf = bal ? bookSbrEnvBalanceL10F : v_Huff_envelopeLevelL10F;
    }
    const int mul = bal ? 2 : 1;
    ChannelState &s = st[ch];
    int prev_res = -1;
    for (int e = 0; e < P.n_env[ch]; e++) {
      int hi = P.freq_res[ch][e], n = hi ? ft.n_hi : ft.n_lo;
      int *v = P.env[ch][e];
      if (!df_env[e]) {
        v[0] = int(b.get(start)) * mul;
        for (int k = 1; k < n; k++) v[k] = v[k - 1] + (b.huff(cf, lf, 2 * lav + 1) - lav) * mul;
      } else {
        if (!s.have_prev) return false;
        int pres = e ? P.freq_res[ch][e - 1] : prev_res_frame[ch];
        for (int k = 0; k < n; k++) {
          int d = (b.huff(ct, lt, 2 * lav + 1) - lav) * mul;
          int ref;
          if (hi == pres) ref = prevRes(ch, k, hi);
          else if (!hi) ref = s.prev_env[loToHi(k)];  // previous stored at high resolution
          else ref = prevLo(ch, hiToLo(k));
          v[k] = ref + d;
        }
      }
      // store
      storeEnv(ch, v, hi);
      prev_res = hi;
      s.have_prev = true;
    }
    prev_res_frame[ch] = prev_res;
    return true;
  }
  // previous envelope kept at its own resolution
  int prev_val[2][48] = {{0}};
  int prev_res_frame[2] = {1, 1};
  int prevRes(int ch, int k, int) const { return prev_val[ch][k]; }
  int prevLo(int ch, int k) const { return prev_val[ch][k]; }
  void storeEnv(int ch, const int *v, int hi) {
    int n = hi ? ft.n_hi : ft.n_lo;
    for (int k = 0; k < n; k++) prev_val[ch][k] = v[k];
    if (hi)
      for (int k = 0; k < n; k++) st[ch].prev_env[k] = v[k];
  }

  bool noise(Bits &b, Parsed &P, int ch, const int *df, bool bal, int nq_env) {
    const int lav = bal ? 12 : 31;
    const int mul = bal ? 2 : 1;
    for (int e = 0; e < nq_env; e++) {
      int *v = P.noise[ch][e];
      if (df[e] && !st[ch].have_prev_noise) return false;
      st[ch].have_prev_noise = true;
      if (!df[e]) {
        v[0] = int(b.get(5)) * mul;
        for (int k = 1; k < ft.nq; k++)
          v[k] = v[k - 1] + (bal ? b.huff(bookSbrEnvBalanceC11F, bookSbrEnvBalanceL11F, 25)
                                 : b.huff(v_Huff_envelopeLevelC11F, v_Huff_envelopeLevelL11F, 63)) * mul -
                 lav * mul;
      } else {
        for (int k = 0; k < ft.nq; k++) {
          int d = bal ? b.huff(bookSbrNoiseBalanceC11T, bookSbrNoiseBalanceL11T, 25)
                      : b.huff(v_Huff_NoiseLevelC11T, v_Huff_NoiseLevelL11T, 63);
          v[k] = st[ch].prev_noise[k] + (d - lav) * mul;
        }
      }
      for (int k = 0; k < ft.nq; k++) st[ch].prev_noise[k] = v[k];
    }
    return true;
  }

  // payload: bytes as the core carries them (extension type first)
  Parsed parse(const uint8_t *bytes, int n) {
    Parsed P;
    Bits b;
    b.p = bytes;
    b.size = n * 8;
    int type = int(b.get(4));
    if (type != 13) return fail(P, "extension type");
    P.header = b.get(1);
    if (P.header) {
      amp_res_hdr = int(b.get(1));
      b.get(4 + 4 + 3 + 2);
      int e1 = int(b.get(1)), e2 = int(b.get(1));
      if (e1) b.get(5);
      if (e2) b.get(6);
      got_header = true;
    }
    if (!got_header) return fail(P, "data before any header");
    int chans = channels;
    if (b.get(1)) b.get(4);  // data extra
    int coupling = 0;
    if (chans == 2) coupling = int(b.get(1));
    P.coupled = coupling;
    if (!grid(b, P, 0)) return fail(P, "grid 0");
    if (chans == 2) {
      if (coupling) {
        P.n_env[1] = P.n_env[0];
        std::memcpy(P.borders[1], P.borders[0], sizeof(P.borders[0]));
        std::memcpy(P.freq_res[1], P.freq_res[0], sizeof(P.freq_res[0]));
        P.frame_class[1] = P.frame_class[0];
      } else if (!grid(b, P, 1)) {
        return fail(P, "grid 1");
      }
    }
    int df[2][5], dfn[2][2], nq_env[2];
    for (int c = 0; c < chans; c++) {
      nq_env[c] = P.n_env[c] > 1 ? 2 : 1;
      for (int e = 0; e < P.n_env[c]; e++) df[c][e] = int(b.get(1));
      for (int e = 0; e < nq_env[c]; e++) dfn[c][e] = int(b.get(1));
    }
    for (int c = 0; c < (coupling ? 1 : chans); c++)
      for (int k = 0; k < ft.nq; k++) b.get(2);
    auto amp = [&](int c) { return (P.frame_class[c] == 0 && P.n_env[c] == 1) ? 0 : amp_res_hdr; };
    for (int c = 0; c < chans; c++) {
      P.amp[c] = amp(c);
      for (int e = 0; e < P.n_env[c]; e++) P.count[c][e] = P.freq_res[c][e] ? ft.n_hi : ft.n_lo;
    }
    if (coupling) {
      if (!values(b, P, 0, df[0], false, amp(0))) return fail(P, "envelope 0");
      if (!noise(b, P, 0, dfn[0], false, nq_env[0])) return fail(P, "noise 0");
      if (!values(b, P, 1, df[1], true, amp(0))) return fail(P, "balance");
      if (!noise(b, P, 1, dfn[1], true, nq_env[0])) return fail(P, "noise balance");
    } else {
      for (int c = 0; c < chans; c++)
        if (!values(b, P, c, df[c], false, amp(c))) return fail(P, "envelope");
      for (int c = 0; c < chans; c++)
        if (!noise(b, P, c, dfn[c], false, nq_env[c])) return fail(P, "noise");
    }
    for (int c = 0; c < chans; c++) {
      P.harmonics[c] = b.get(1);
      if (P.harmonics[c]) b.get(ft.n_hi);
    }
    if (b.get(1)) {
      int cnt = int(b.get(4));
      if (cnt == 15) cnt += int(b.get(8));
      P.ps_bytes = cnt;
      const int end = b.pos + 8 * cnt;
      psHead(b, P);
      b.pos = end;
    }
    if (b.over) return fail(P, "read past the payload");
    if (b.size - b.pos >= 8) return fail(P, "more than the fill bits left");
    for (int c = 0; c < chans; c++)
      for (int e = 0; e < P.n_env[c]; e++) {
        int n = P.freq_res[c][e] ? ft.n_hi : ft.n_lo;
        int mx = (P.coupled && c == 1) ? (amp(c) ? 24 : 48) : (amp(c) ? 63 : 127);
        for (int k = 0; k < n; k++)
          if (P.env[c][e][k] < 0 || P.env[c][e][k] > mx) return fail(P, "envelope value out of range");
      }
    return P;
  }
  // the parametric-stereo header and the direction of its parameters (the enable flags and
  // band counts carry over from the last header)
  int ps_iid = -1, ps_n_iid = 0, ps_icc = 0;
  void psHead(Bits &b, Parsed &P) {
    if (b.get(2) != 2) return;
    P.ps_header = b.get(1);
    if (P.ps_header) {
      ps_iid = int(b.get(1));
      ps_n_iid = ps_iid ? (b.get(3) ? 20 : 10) : 0;
      ps_icc = int(b.get(1));
      if (ps_icc) b.get(3);
      b.get(1);  // extension
    }
    if (ps_iid < 0) return;  // no header seen yet
    b.get(1);                // frame class
    if (b.get(2) == 0) return;
    if (ps_iid) {
      bool time = b.get(1);
      P.ps_time |= time;
      for (int i = 0; i < ps_n_iid; i++)
        time ? b.huff(aBookPsIidTimeCode, aBookPsIidTimeLength, 29) : b.huff(aBookPsIidFreqCode, aBookPsIidFreqLength, 29);
    }
    if (ps_icc) P.ps_time |= b.get(1) != 0;
  }
  static Parsed fail(Parsed &P, const char *why) {
    P.ok = false;
    P.error = why;
    return P;
  }
};

// A working memory with just the SBR encoder in it.
struct Harness {
  std::vector<uint8_t> wm = std::vector<uint8_t>(AAC_WM_SIZE, 0);
  sbrConfiguration cfg{};
  uint32_t inst = 0;
  int32_t bandwidth = 0;
  uint8_t payload[SBR_MAX_PAYLOAD_BYTES];
  bool open(int rate, int coded, int bit_rate, bool ps) {
    AacWmHeader *h = aacWmHeader(wm.data());
    h->mem_next = AAC_WM_MODULES;
    h->scratch1 = AAC_WM_SCRATCH1;
    h->scratch2 = AAC_WM_SCRATCH2;
    sbrEncoderInitDefaultConfig(&cfg, 2, 1024);
    if (!sbrEncoderConfigure(&cfg, bit_rate, coded, rate / 2, 0, ps ? 1 : 0, 1000)) return false;
    return sbrEncoderOpen(&cfg, wm.data(), &inst, &bandwidth) == 0;
  }
  // interleaved stereo input of 2048 frames
  int frame(const int16_t *in, int force_header = 0) {
    return sbrEncodeFrame(wm.data(), inst, in, 2, payload, force_header);
  }
};

}  // namespace sbrtest
