/* Non-uniform quantiser, distortion measure, form factors and scalefactor estimation. */
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_qc.h"

#define C0 (-149203943)
#define C1 546527609
#define C2 32389154
#define Q_0P8 0x66666666
#define ROUND_0405 0x33E425C0

/* Decision levels of the quantised values 0..3 at a gain: the midpoints of neighbouring
 * reconstructions, each R_k being half of k^(4/3) 2^(G/4) on the lines' Q31 scale. */
static void small_levels(int32_t gain, int32_t *r, int32_t *lv) {
  int32_t ng = -gain;
  int32_t m = ng & 3, sh = (ng >> 2) - 2;
  for (int32_t k = 0; k < 4; k++) r[k] = L_shr(quant_recon[4 * m + k], sh);
  lv[0] = r[0];
  lv[1] = L_add(r[0], r[1]);
  lv[2] = L_add(r[1], r[2]);
  lv[3] = L_add(r[2], r[3]);
}

static inline int32_t quant_large(int32_t a, int32_t gain) {
  int32_t n = clz32((uint32_t)a) - 1;
  int32_t f16 = (int32_t)(((uint32_t)a << n) >> 16);
  int32_t t = (int32_t)(((int64_t)C0 * f16) >> 16);
  int32_t p = C2 + (int32_t)((((int64_t)C1 + t) * f16) >> 16);
  int32_t e = 3 * (gain + 4 * n) + 496;
  int32_t k = e >> 4, j = e & 15;
  int64_t v = (((int64_t)8 * p) * (pow2tominusNover16[j] >> 16)) >> 16;
  if (k < 1) return AAC_MAX_16; /* far above the quantiser's range: saturate */
  if (k > 40) return 0;
  int64_t rnd = k <= 32 ? (int64_t)(ROUND_0405 >> (32 - k)) : ((int64_t)ROUND_0405 << (k - 32));
  int64_t q = (v + rnd) >> (k - 1);
  return q > AAC_MAX_16 ? AAC_MAX_16 : (int32_t)q;
}

static inline int32_t quant_one(int32_t a, int32_t gain, const int32_t *lv) {
  if (a < lv[0]) return 0;
  if (a < lv[1]) return 1;
  if (a < lv[2]) return 2;
  if (a < lv[3]) return 3;
  return quant_large(a, gain);
}

int32_t QuantizeLines(int32_t gain, int32_t n, const int32_t *x, int16_t *q) {
  int32_t r[4], lv[4], maxq = 0;
  small_levels(gain, r, lv);
  for (int32_t i = 0; i < n; i++) {
    int32_t a = L_abs(x[i]);
    int32_t v = quant_one(a, gain, lv);
    if (v > maxq) maxq = v;
    q[i] = (int16_t)(x[i] < 0 ? -v : v);
  }
  return maxq;
}

int32_t QuantizeSpectrum(int32_t sfb_cnt, int32_t max_sfb, int32_t per_group, const int32_t *off, const int32_t *x,
                         int32_t global_gain, const int16_t *scf, int16_t *q, uint16_t *maxv) {
  int32_t maxq = 0;
  for (int32_t gs = 0; gs < sfb_cnt; gs += per_group) {
    for (int32_t b = 0; b < max_sfb; b++) {
      int32_t i = gs + b;
      int32_t m = QuantizeLines(global_gain - scf[i], off[i + 1] - off[i], x + off[i], q + off[i]);
      maxv[i] = (uint16_t)m;
      if (m > maxq) maxq = m;
    }
  }
  return maxq;
}

/* Reconstruction of q (0..8191) at a gain on the lines' Q31 scale, 64-bit. */
static inline int64_t recon(int32_t q, int32_t gain) {
  int32_t ng = -gain, m = ng & 3, a = ng >> 2;
  int64_t v = (int64_t)aacPow43Q13[q > AAC_MAX_QUANT ? AAC_MAX_QUANT : q] * aacPow2Quarter[m];
  int32_t sh = 13 + a;
  if (sh < 0) return INT64_MAX / 4;
  return sh > 62 ? 0 : v >> sh;
}

int32_t CalcSfbDist(const int32_t *x, int32_t n, int32_t gain) {
  if (n <= 0) return AAC_MAX_32;
  int32_t r[4], lv[4];
  small_levels(gain, r, lv);
  uint64_t acc = 0;
  for (int32_t i = 0; i < n; i++) {
    int32_t a = L_abs(x[i]);
    int32_t q = quant_one(a, gain, lv);
    int64_t d = (int64_t)a - (q == 0 ? 0 : recon(q, gain));
    uint64_t ad = (uint64_t)(d < 0 ? -d : d);
    if (ad >= ((uint64_t)1 << 32)) return AAC_MAX_32;
    acc += (ad * ad) >> 31;
    if (acc >= (uint64_t)AAC_MAX_32) return AAC_MAX_32;
  }
  return (int32_t)acc;
}

void CalcFormFactor(int32_t ff[][AAC_MAX_GROUPED_SFB], int32_t nl[][AAC_MAX_GROUPED_SFB], AacPsyChannel **pc,
                    int32_t nch) {
  for (int32_t ch = 0; ch < nch; ch++) {
    const AacPsyChannel *p = pc[ch];
    for (int32_t gs = 0; gs < p->sfb_count; gs += p->sfb_per_group) {
      for (int32_t b = 0; b < p->max_sfb_per_group; b++) {
        int32_t i = gs + b;
        if (p->band_nrg[i] > p->band_thr[i]) {
          int32_t sum = 0;
          for (int32_t k = p->sfb_offsets[i]; k < p->sfb_offsets[i + 1]; k++) {
            int32_t a = L_abs(p->spectrum[k]);
            if (!a) continue;
            int32_t c = (clz32((uint32_t)a) - 1) >> 1;
            int32_t t = (int32_t)(((uint32_t)a << (2 * c)) >> 24);
            if (t < 32) t = 32;
            if (t > 127) t = 127;
            sum = L_add(sum, (formfac_sqrttable[t - 32] * 16) >> c);
          }
          ff[ch][i] = sum;
          int32_t w = p->sfb_offsets[i + 1] - p->sfb_offsets[i];
          int32_t wi = w / 4 - 1;
          if (wi < 0) wi = 0;
          if (wi > 31) wi = 31;
          int32_t root = aacSqrtQ31(p->band_nrg[i]);
          int32_t v = sat32(2 * (int64_t)fixmul_32x32(root, iSfbWidth_table[wi]));
          int32_t r = aacSqrtQ31(v);
          int32_t d = r >> 8;
          nl[ch][i] = d > 0 ? sum / d : 0;
        } else {
          ff[ch][i] = 1;
          nl[ch][i] = 0;
        }
      }
    }
  }
}

static int32_t ql(int32_t v) { return aacQuarterLog2(v); }

/* ---- smoothing passes (quality level 2) ---- */

typedef struct SmoothCtx {
  const AacPsyChannel *pc;
  int16_t *s;
  const int16_t *lo;
  int32_t *dist;
  int32_t *ld_ratio;
  const int32_t *ff;
  const int32_t *nl;
  int32_t n;
} SmoothCtx;

static int32_t f_pe(int32_t t) { return t < 24 ? (t + 21) >> 1 : t; }

static int32_t ld_ratio(SmoothCtx *c, int32_t i) {
  if (c->ld_ratio[i] == AAC_MIN_32) c->ld_ratio[i] = (ql(c->pc->band_nrg[i]) - ql(c->ff[i]) - 21) / 4;
  return c->ld_ratio[i];
}

static int32_t pe_of(SmoothCtx *c, int32_t i, int32_t s) {
  return (int32_t)((int64_t)c->nl[i] * f_pe(8 * ld_ratio(c, i) - 3 * s) * 7 / 80);
}

static int32_t dist_at(SmoothCtx *c, int32_t i, int32_t s) {
  int32_t lo = c->pc->sfb_offsets[i], hi = c->pc->sfb_offsets[i + 1];
  return CalcSfbDist(c->pc->spectrum + lo, hi - lo, s);
}

static int32_t sf_bits(int32_t d) { return BitCountScalefactorDelta(d < -60 ? -60 : (d > 60 ? 60 : d)); }

static void smooth_single(SmoothCtx *c, int16_t *rmin) {
  int32_t n = c->n;
  int32_t prev_nb[AAC_MAX_GROUPED_SFB][2], prev_budget[AAC_MAX_GROUPED_SFB];
  for (int32_t i = 0; i < n; i++) {
    prev_nb[i][0] = prev_nb[i][1] = 32767;
    prev_budget[i] = AAC_MAX_32;
  }
  int32_t budget = 0, guard = 0;
  int32_t i = 0;
  while (i < n && guard++ < 4 * AAC_MAX_GROUPED_SFB * AAC_MAX_GROUPED_SFB) {
    int32_t changed = 0;
    if (c->s[i] != AAC_SF_NONE) {
      int32_t p = i - 1, nx = i + 1;
      while (p >= 0 && c->s[p] == AAC_SF_NONE) p--;
      while (nx < n && c->s[nx] == AAC_SF_NONE) nx++;
      int32_t has_p = p >= 0, has_n = nx < n;
      if (has_p || has_n) {
        int32_t sp = has_p ? c->s[p] : c->s[i], sn = has_n ? c->s[nx] : c->s[i];
        int32_t fl = sp < sn ? sp : sn;
        if (c->lo[i] > fl) fl = c->lo[i];
        int32_t same = prev_nb[i][0] == sp && prev_nb[i][1] == sn && budget >= prev_budget[i];
        if (c->s[i] > fl && !same) {
          int32_t si = c->s[i];
          int32_t base = sf_bits(sp - si) + sf_bits(si - sn) + pe_of(c, i, si);
          int32_t lowering = 1, last_delta = budget;
          for (int32_t cand = si - 1; cand >= fl; cand--) {
            if (cand >= rmin[i]) continue;
            int32_t delta = sf_bits(sp - cand) + sf_bits(cand - sn) + pe_of(c, i, cand) - base + budget;
            if (delta > 9) {
              lowering = 0;
              continue;
            }
            int32_t d = dist_at(c, i, cand);
            if (d < c->dist[i]) {
              c->s[i] = (int16_t)cand;
              c->dist[i] = d;
              last_delta = delta;
              changed = 1;
            }
            if (lowering) rmin[i] = (int16_t)cand;
          }
          budget = last_delta;
          prev_nb[i][0] = sp;
          prev_nb[i][1] = sn;
          prev_budget[i] = budget;
        }
      }
    }
    i = changed ? 0 : i + 1;
  }
}

static void smooth_runs(SmoothCtx *c) {
  int32_t n = c->n, m0 = 32767, M = -32768;
  for (int32_t i = 0; i < n; i++) {
    if (c->s[i] == AAC_SF_NONE) continue;
    if (c->s[i] < m0) m0 = c->s[i];
    if (c->s[i] > M) M = c->s[i];
  }
  if (M < m0) return;
  int32_t budget = 0;
  for (int32_t l = M - 1; l >= m0; l--) {
    int32_t i = 0;
    while (i < n) {
      while (i < n && (c->s[i] == AAC_SF_NONE || c->s[i] <= l)) i++;
      if (i >= n) break;
      int32_t start = i, end = i;
      while (end < n && (c->s[end] == AAC_SF_NONE || c->s[end] > l)) end++;
      i = end;
      int32_t ok = 1;
      for (int32_t k = start; k < end; k++)
        if (c->s[k] != AAC_SF_NONE && l < c->lo[k]) ok = 0;
      if (!ok) continue;
      int32_t prev = start - 1, next = end;
      while (prev >= 0 && c->s[prev] == AAC_SF_NONE) prev--;
      int32_t bits_old = 0, bits_new = 0, last_o = prev >= 0 ? c->s[prev] : AAC_SF_NONE, last_n = last_o;
      int64_t pe_d = 0;
      for (int32_t k = start; k < end; k++) {
        if (c->s[k] == AAC_SF_NONE) continue;
        if (last_o != AAC_SF_NONE) {
          bits_old += sf_bits(last_o - c->s[k]);
          bits_new += sf_bits(last_n - l);
        }
        last_o = c->s[k];
        last_n = l;
        pe_d += (int64_t)c->nl[k] * (f_pe(8 * ld_ratio(c, k) - 3 * l) - f_pe(8 * ld_ratio(c, k) - 3 * c->s[k]));
      }
      if (next < n) {
        bits_old += sf_bits(last_o - c->s[next]);
        bits_new += sf_bits(last_n - c->s[next]);
      }
      int64_t delta = pe_d * 7 / 80 + (bits_new - bits_old) + budget;
      if (delta >= 10) continue;
      int32_t nd[AAC_MAX_GROUPED_SFB];
      int64_t so = 0, sn = 0;
      int32_t rejected = 0;
      for (int32_t k = start; k < end && !rejected; k++) {
        if (c->s[k] == AAC_SF_NONE) continue;
        nd[k] = dist_at(c, k, l);
        if (nd[k] > c->pc->band_thr[k]) rejected = 1;
        so += c->dist[k];
        sn += nd[k];
      }
      if (rejected || sn >= so) continue;
      for (int32_t k = start; k < end; k++) {
        if (c->s[k] == AAC_SF_NONE) continue;
        c->s[k] = (int16_t)l;
        c->dist[k] = nd[k];
      }
      budget = (int32_t)delta;
    }
  }
}

static void estimate_channel(const AacPsyChannel *pc, AacQcOutChannel *qc, int32_t *ff, int32_t *nl, int32_t quality,
                             int32_t *spec) {
  int32_t n = pc->sfb_count;
  int16_t s[AAC_MAX_GROUPED_SFB], lo[AAC_MAX_GROUPED_SFB], rmin[AAC_MAX_GROUPED_SFB];
  int32_t dist[AAC_MAX_GROUPED_SFB], ldr[AAC_MAX_GROUPED_SFB];
  for (int32_t i = 0; i < n; i++) {
    s[i] = AAC_SF_NONE;
    lo[i] = AAC_SF_NONE;
    dist[i] = AAC_MAX_32;
    ldr[i] = AAC_MIN_32;
    rmin[i] = 32767;
  }
  for (int32_t gs = 0; gs < n; gs += pc->sfb_per_group) {
    for (int32_t b = 0; b < pc->max_sfb_per_group; b++) {
      int32_t i = gs + b, o = pc->sfb_offsets[i], w = pc->sfb_offsets[i + 1] - o;
      int32_t maxa = 0;
      for (int32_t k = 0; k < w; k++) {
        int32_t a = L_abs(pc->spectrum[o + k]);
        if (a > maxa) maxa = a;
      }
      if (maxa == 0 || pc->band_nrg[i] <= pc->band_thr[i]) continue;
      int32_t thr = pc->band_thr[i];
      int32_t est = (8 * ((ql(thr) + 11) - (ql(ff[i]) + 32))) / 12;
      int32_t lim = ql(maxa) - 68;
      if (est < lim) est = lim;
      lo[i] = (int16_t)lim;
      if (quality >= 1) {
        const int32_t *x = pc->spectrum + o;
        int32_t d = CalcSfbDist(x, w, est), best = est, bd = d;
        rmin[i] = (int16_t)est;
        if (fixmul_q31(d, Q_0P8) > thr) {
          int32_t last = d;
          for (int32_t t = 1; t <= 3 && fixmul_q31(last, Q_0P8) > thr; t++) {
            last = CalcSfbDist(x, w, est + t);
            if (last < bd) {
              bd = last;
              best = est + t;
            }
          }
          if (fixmul_q31(bd, Q_0P8) > thr && est > lim) {
            int32_t dm = CalcSfbDist(x, w, est - 1);
            rmin[i] = (int16_t)(est - 1);
            if (dm < bd) {
              bd = dm;
              best = est - 1;
            }
          }
        } else {
          int32_t allowed = fixmul_q31(thr, Q_0P8);
          if (d < allowed) allowed = d;
          for (int32_t t = 1; t <= 3; t++) {
            int32_t dt = CalcSfbDist(x, w, est + t);
            if (fixmul_q31(dt, Q_0P8) < allowed) {
              rmin[i] = (int16_t)(best + 1);
              best = est + t;
              bd = dt;
            }
          }
        }
        est = best;
        dist[i] = bd;
      }
      s[i] = (int16_t)(est > 32767 ? 32767 : est);
    }
  }
  if (quality >= 2) {
    SmoothCtx c = {pc, s, lo, dist, ldr, ff, nl, n};
    smooth_single(&c, rmin);
    smooth_runs(&c);
  }
  int32_t gmax = AAC_SF_NONE, gmin = 32767;
  for (int32_t i = 0; i < n; i++) {
    if (s[i] == AAC_SF_NONE) continue;
    if (s[i] > gmax) gmax = s[i];
    if (s[i] < gmin) gmin = s[i];
  }
  if (gmax == AAC_SF_NONE) {
    qc->global_gain = 0;
    for (int32_t i = 0; i < AAC_MAX_GROUPED_SFB; i++) qc->scf[i] = 0;
    memset(spec, 0, sizeof(int32_t) * 1024);
    return;
  }
  if (gmax > gmin + 60) gmax = gmin + 60;
  qc->global_gain = gmax;
  int32_t prev = 0;
  for (int32_t i = 0; i < n; i++) {
    if (s[i] == AAC_SF_NONE) {
      qc->scf[i] = (int16_t)prev;
      for (int32_t k = pc->sfb_offsets[i]; k < pc->sfb_offsets[i + 1]; k++) spec[k] = 0;
    } else {
      int32_t e = s[i] > gmax ? gmax : s[i];
      qc->scf[i] = (int16_t)(gmax - e);
      prev = qc->scf[i];
    }
  }
}

void EstimateScaleFactors(AacPsyChannel **pc, AacQcOutChannel **qc, int32_t ff[][AAC_MAX_GROUPED_SFB],
                          int32_t nl[][AAC_MAX_GROUPED_SFB], int32_t nch, int32_t quality, int32_t *scratch) {
  (void)scratch;
  for (int32_t ch = 0; ch < nch; ch++) estimate_channel(pc[ch], qc[ch], ff[ch], nl[ch], quality, pc[ch]->spectrum);
}
