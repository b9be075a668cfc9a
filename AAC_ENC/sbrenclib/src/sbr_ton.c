/* Tonality of the input and of the band the decoder patches in, and from it the
 * inverse-filtering levels, the missing harmonics and the noise floor of each frame. */
#include <stdlib.h>
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_sbr_int.h"

#define Q11_ONE 2048
#define TONAL_EMPTY 208064 /* measure of a band without content: no noise is added */

static const int32_t kInvfOrigSteps[4] = {0, 3, 7, 10};
static const int32_t kInvfSbrSteps[4] = {1, 10, 14, 19};
static const int32_t kInvfNrgBorders[4] = {25, 30, 35, 40};
static const int8_t kInvfTable[5][5] = {{2, 1, 0, 0, 0}, {2, 1, 0, 0, 0}, {3, 2, 1, 0, 0}, {3, 3, 2, 0, 0}, {3, 3, 2, 0, 0}};
static const int8_t kInvfTableTran[5][5] = {{1, 1, 1, 0, 0}, {1, 1, 1, 0, 0}, {3, 2, 2, 0, 0}, {3, 3, 2, 0, 0}, {3, 3, 2, 0, 0}};
static const int32_t kInvfNrgCorr[5] = {-4, -3, -2, -1, 0};
static const int32_t kInvfSmooth[3] = {268435456, 805306368, 1073741824}; /* 0.125, 0.375, 0.5 */
static const int32_t kNfSmooth[4] = {125796680, 429496730, 733196800, 858993459};

/* 4 log2(x) - 124 for a positive 32-bit x, rounded to the nearest quarter (-128 for x <= 0) */
static int32_t qlog(int32_t x) {
  if (x <= 0) return -128;
  int32_t l = sbrLog2Fine((uint32_t)x); /* Q26 */
  return ((l + (1 << 23)) >> 24) - 124;
}

int sbrTonalityOpen(SbrTonality *t, const SbrFreqTables *ft, int32_t sbr_rate, int32_t noise_offset,
                    int32_t noise_max_level, int32_t invf_mode, int32_t mh_mode) {
  memset(t, 0, sizeof(*t));
  if (sbrBuildSourceIndex(ft, sbr_rate, t->src)) return 1;
  int32_t first = ft->kx;
  for (int32_t k = ft->kx; k < ft->k2; k++)
    if (t->src[k] >= 0 && t->src[k] < first) first = t->src[k];
  t->first_band = first;
  t->stop_band = ft->k2;
  /* 2^(level / 3) in Q29 and 2^(offset / 3) in Q31, both saturating */
  int32_t lvl = noise_max_level;
  t->noise_max_level = lvl >= 6 ? AAC_MAX_32 : aacPow2xy(lvl - 6, 3);
  t->noise_offset_factor = noise_offset >= 0 ? AAC_MAX_32 : aacPow2xy(noise_offset, 3);
  t->invf_setting = 2;
  t->mh_mode = mh_mode;
  t->invf_detect = invf_mode == 4;
  for (int32_t i = 0; i < SBR_MAX_NOISE; i++) t->invf_mode_prev[i] = 0;
  return 0;
}

/* Q11 quota of the predictable to the unpredictable energy of a second-order predictor
 * over the slots of one estimate (covariance method), with 64-bit correlations. */
static int32_t band_quota(const int32_t *xr, const int32_t *xi, int32_t n, int64_t *energy) {
  int64_t r00 = 0, r11 = 0, r22 = 0, r01r = 0, r01i = 0, r02r = 0, r02i = 0, r12r = 0, r12i = 0;
  for (int32_t j = 2; j < n + 2; j++) {
    int64_t ar = xr[j], ai = xi[j], br = xr[j - 1], bi = xi[j - 1], cr = xr[j - 2], ci = xi[j - 2];
    r00 += ar * ar + ai * ai;
    r11 += br * br + bi * bi;
    r22 += cr * cr + ci * ci;
    r01r += ar * br + ai * bi; /* x[n] conj(x[n-1]) */
    r01i += ai * br - ar * bi;
    r02r += ar * cr + ai * ci;
    r02i += ai * cr - ar * ci;
    r12r += br * cr + bi * ci;
    r12i += bi * cr - br * ci;
  }
  *energy = r00;
  if (r00 < 16 || r11 < 1 || r22 < 1) return 0;
  /* common normalisation to 18 bits keeps the triple products inside 64 bits */
  int64_t mx = r00 > r11 ? r00 : r11;
  if (r22 > mx) mx = r22;
  int32_t sh = 0;
  while ((mx >> sh) >= ((int64_t)1 << 18)) sh++;
  int64_t a00 = r00 >> sh, a11 = r11 >> sh, a22 = r22 >> sh;
  int64_t c1r = r01r >> sh, c1i = r01i >> sh, c2r = r02r >> sh, c2i = r02i >> sh, dr = r12r >> sh, di = r12i >> sh;
  if (a11 < 1 || a22 < 1 || a00 < 1) return 0;
  int64_t det = a11 * a22 - (dr * dr + di * di);
  int64_t num, den;
  if (det <= ((a11 * a22) >> 12)) {
    /* nearly singular: one tap predicts as well as two */
    num = c1r * c1r + c1i * c1i;
    den = a00 * a11 - num;
  } else {
    /* Re(r12 r01 conj(r02)) */
    int64_t pr = dr * c1r - di * c1i, pi = dr * c1i + di * c1r;
    int64_t re = pr * c2r + pi * c2i;
    num = a22 * (c1r * c1r + c1i * c1i) + a11 * (c2r * c2r + c2i * c2i) - 2 * re;
    den = a00 * det - num;
  }
  if (num <= 0) return 0;
  if (den <= 0) return AAC_MAX_32;
  while (num >= ((int64_t)1 << 51)) {
    num >>= 1;
    den >>= 1;
  }
  if (den <= 0) return AAC_MAX_32;
  return sat32(num * Q11_ONE / den);
}

void sbrTonalityAnalyse(SbrTonality *t, int16_t *const *re, int16_t *const *im, int32_t qmf_scale) {
  int32_t d = qmf_scale - t->lag_scale;
  int32_t xr[SBR_QMF_SLOTS + 2], xi[SBR_QMF_SLOTS + 2];
  for (int32_t k = 0; k < SBR_QMF_BANDS; k++) {
    if (k < t->first_band || k >= t->stop_band) {
      t->quota[0][k] = t->quota[1][k] = 0;
      t->band_nrg[0][k] = t->band_nrg[1][k] = 0;
      continue;
    }
    for (int32_t j = 0; j < 2; j++) {
      xr[j] = sat16(L_shl(t->lag_re[j][k], d));
      xi[j] = sat16(L_shl(t->lag_im[j][k], d));
    }
    for (int32_t l = 0; l < SBR_QMF_SLOTS; l++) {
      xr[l + 2] = re[l][k];
      xi[l + 2] = im[l][k];
    }
    for (int32_t e = 0; e < SBR_ESTIMATES; e++) {
      int64_t nrg;
      t->quota[e][k] = band_quota(xr + 16 * e, xi + 16 * e, 16, &nrg);
      /* mean slot energy of the unscaled signal */
      t->band_nrg[e][k] = sat32(LL_shr(nrg / 16, 2 * qmf_scale));
    }
    for (int32_t j = 0; j < 2; j++) {
      t->lag_re[j][k] = re[SBR_QMF_SLOTS - 2 + j][k];
      t->lag_im[j][k] = im[SBR_QMF_SLOTS - 2 + j][k];
    }
  }
  t->lag_scale = qmf_scale;
}

static int32_t region_of(int32_t v, const int32_t *steps, int32_t n) {
  int32_t r = 0;
  while (r < n && v >= steps[r]) r++;
  return r;
}

static void inverse_filtering(SbrTonality *t, const SbrFreqTables *ft, int32_t transient, int32_t *invf) {
  for (int32_t b = 0; b < ft->nq; b++) {
    int64_t orig = 0, sbr = 0, nrg = 0;
    int32_t n = 0, ns = 0;
    for (int32_t k = ft->noise[b]; k < ft->noise[b + 1]; k++)
      for (int32_t e = 0; e < SBR_ESTIMATES; e++) {
        orig += t->quota[e][k];
        nrg += t->band_nrg[e][k];
        n++;
        if (t->src[k] >= 0) {
          sbr += t->quota[e][t->src[k]];
          ns++;
        }
      }
    int32_t m_orig = n ? (int32_t)(orig / n) : 0, m_sbr = ns ? (int32_t)(sbr / ns) : 0;
    int32_t m_nrg = n ? (int32_t)(nrg / n) : 0;
    for (int32_t h = 0; h < 2; h++) {
      t->invf_hist_orig[h][b] = t->invf_hist_orig[h + 1][b];
      t->invf_hist_sbr[h][b] = t->invf_hist_sbr[h + 1][b];
    }
    t->invf_hist_orig[2][b] = m_orig;
    t->invf_hist_sbr[2][b] = m_sbr;
    int64_t so = 0, ss = 0;
    for (int32_t h = 0; h < 3; h++) {
      so += (int64_t)t->invf_hist_orig[h][b] * kInvfSmooth[h];
      ss += (int64_t)t->invf_hist_sbr[h][b] * kInvfSmooth[h];
    }
    int32_t v_orig = (3 * qlog(sat32(so >> 31)) + 240) / 4;
    int32_t v_sbr = (3 * qlog(sat32(ss >> 31)) + 240) / 4;
    int32_t v_nrg = (3 * qlog(m_nrg) + 576) / 8;
    /* hysteresis: the region of the previous frame widens by one step on each side */
    int32_t so_steps[4], ss_steps[4];
    memcpy(so_steps, kInvfOrigSteps, sizeof(so_steps));
    memcpy(ss_steps, kInvfSbrSteps, sizeof(ss_steps));
    int32_t po = t->invf_prev_region_orig[b], ps = t->invf_prev_region_sbr[b];
    if (po < 4) so_steps[po] += 1;
    if (po > 0) so_steps[po - 1] -= 1;
    if (ps < 4) ss_steps[ps] += 1;
    if (ps > 0) ss_steps[ps - 1] -= 1;
    int32_t ro = region_of(v_orig, so_steps, 4), rs = region_of(v_sbr, ss_steps, 4);
    int32_t rn = region_of(v_nrg, kInvfNrgBorders, 4);
    int32_t mode = (transient ? kInvfTableTran : kInvfTable)[rs][ro] + kInvfNrgCorr[rn];
    invf[b] = mode < 0 ? 0 : mode;
    t->invf_prev_region_orig[b] = ro;
    t->invf_prev_region_sbr[b] = rs;
  }
}

/* geometric over arithmetic mean of the quotas of a band, Q31 */
static int32_t flatness(const int32_t *q, const int8_t *src, int32_t lo, int32_t hi) {
  int32_t n = hi - lo;
  if (n <= 1) return AAC_MAX_32;
  int64_t logsum = 0, sum = 0;
  for (int32_t k = lo; k < hi; k++) {
    int32_t v = src ? (src[k] >= 0 ? q[src[k]] : 0) : q[k];
    v = v < 1 ? 1 : v;
    logsum += sbrLog2Fine((uint32_t)v);
    sum += v;
  }
  int64_t lmean = logsum / n;                             /* log2 of the geometric mean, Q26 */
  int64_t larith = sbrLog2Fine((uint32_t)(sum / n > 0x7FFFFFFF ? 0x7FFFFFFF : sum / n));
  int64_t d = lmean - larith;                             /* <= 0 */
  if (d >= 0) return AAC_MAX_32;
  if (d < -((int64_t)31 << 26)) return 0;
  return aacPow2xy((int32_t)(d >> 10), 1 << 16);
}

static void missing_harmonics(SbrTonality *t, const SbrFreqTables *ft, const SbrTransientInfo *tran,
                              const SbrFrameInfo *fi, SbrTonalityOut *out) {
  const int32_t nh = ft->n_hi;
  int32_t diff[SBR_MAX_HI], peak[SBR_MAX_HI], peak_pos[SBR_MAX_HI];
  int8_t det[SBR_MAX_HI];
  memset(det, 0, sizeof(det));
  for (int32_t i = 0; i < nh; i++) {
    peak[i] = 0;
    peak_pos[i] = ft->hi[i];
  }
  for (int32_t e = 0; e < SBR_ESTIMATES; e++) {
    const int32_t *q = t->quota[e];
    for (int32_t i = 0; i < nh; i++) {
      int32_t lo = ft->hi[i], hi = ft->hi[i + 1], mx = 0, ms = 0, pos = lo;
      for (int32_t k = lo; k < hi; k++) {
        if (q[k] > mx) {
          mx = q[k];
          pos = k;
        }
        int32_t s = t->src[k] >= 0 ? q[t->src[k]] : 0;
        if (s > ms) ms = s;
      }
      diff[i] = ms >= Q11_ONE ? (int32_t)((int64_t)mx * Q11_ONE / ms) : mx;
      if (mx > peak[i]) {
        peak[i] = mx;
        peak_pos[i] = pos;
      }
    }
    for (int32_t i = 0; i < nh; i++) {
      int32_t lo = ft->hi[i], hi = ft->hi[i + 1], mx = 0;
      for (int32_t k = lo; k < hi; k++)
        if (q[k] > mx) mx = q[k];
      int d = 0;
      int32_t g = t->mh_guide_diff[i];
      if (g == 0) {
        d = diff[i] > 40960;
      } else {
        int32_t thr = g / 2 > 2580 ? g / 2 : 2580;
        if (thr > 40960) thr = 40960;
        d = diff[i] > thr;
        if (!d) t->mh_guide_tone[i] = 2580;
      }
      if (!d && t->mh_guide_tone[i]) {
        int32_t tg = t->mh_guide_tone[i];
        int32_t thr = tg < 8607 ? 2580 : (int32_t)((int64_t)tg * 3 / 10);
        if (thr > 30720) thr = 30720;
        d = mx > thr;
      }
      if (!d && hi - lo > 1 && mx > 30720) {
        d = flatness(q, t->src, lo, hi) > 644245120 && flatness(q, 0, lo, hi) < 214748368;
      }
      if (!d && hi - lo == 1 && i + 1 < nh && mx > 30720) {
        d = diff[i + 1] < 137 || (i > 0 && diff[i - 1] < 137);
      }
      if (d) {
        det[i] = 1;
        t->mh_guide_diff[i] = diff[i] > 0 ? diff[i] : 1;
        t->mh_guide_tone[i] = mx;
      } else {
        t->mh_guide_diff[i] = 0;
        if (!t->mh_guide_tone[i] || mx <= 2580) t->mh_guide_tone[i] = 0;
      }
    }
  }
  /* of two detected neighbours with peaks less than two QMF bands apart only the stronger stays */
  for (int32_t i = 0; i + 1 < nh; i++)
    if (det[i] && det[i + 1] && peak_pos[i + 1] - peak_pos[i] < 2) {
      if (peak[i] >= peak[i + 1]) det[i + 1] = 0;
      else det[i] = 0;
    }
  memset(out->compensation, 0, sizeof(out->compensation));
  /* compensation stays only for harmonics that persist, unless a transient re-starts them */
  int32_t last = fi->borders[fi->n_env];
  int recent = (tran->flag && SBR_LEAD_IN + tran->pos + 4 < last) || t->mh_prev_tran;
  for (int32_t i = 0; i < nh; i++) {
    if (!det[i] || (!recent && !t->mh_prev_detected[i])) continue;
    int32_t l = peak_pos[i], lo = ft->hi[i], hi = ft->hi[i + 1];
    const int32_t *q = t->quota[t->quota[1][l] > t->quota[0][l] ? 1 : 0];
    int32_t c_lo = i > 0 ? (abs(qlog(diff[i - 1]) + 80) + 2) / 4 : 0;
    int32_t c_hi = i + 1 < nh ? (abs(qlog(diff[i + 1]) + 80) + 2) / 4 : 0;
    if (c_lo > 2) c_lo = 2;
    if (c_hi > 2) c_hi = 2;
    if (l == lo && i > 0 && !det[i - 1] && l > 0 && (int64_t)q[l] / 5 < q[l - 1]) out->compensation[i - 1] = (int8_t)-c_lo;
    if (l == hi - 1 && i + 1 < nh && !det[i + 1] && l + 1 < SBR_QMF_BANDS && (int64_t)q[l] / 5 < q[l + 1])
      out->compensation[i + 1] = (int8_t)c_hi;
  }
  /* a sinusoid is added only for a harmonic seen in two frames running */
  for (int32_t i = 0; i < nh; i++) out->harmonic[i] = (int8_t)(det[i] && t->mh_prev_detected[i]);
  out->any_harmonic = 0;
  for (int32_t i = 0; i < nh; i++) out->any_harmonic |= out->harmonic[i];
  memcpy(t->mh_prev_detected, det, sizeof(det));
  t->mh_prev_tran = tran->flag;
}

static void noise_floor(SbrTonality *t, const SbrFreqTables *ft, const SbrFrameInfo *fi, const int32_t *invf,
                        int32_t any_harmonic, int32_t *noise) {
  const int32_t nn = fi->n_noise;
  for (int32_t env = 0; env < nn; env++) {
    int32_t e0 = nn == 1 ? 0 : env, e1 = nn == 1 ? SBR_ESTIMATES : env + 1;
    for (int32_t b = 0; b < ft->nq; b++) {
      int64_t so = 0, ss = 0;
      int32_t mo = 0, ms = 0, n = 0;
      for (int32_t k = ft->noise[b]; k < ft->noise[b + 1]; k++) {
        int64_t o = 0, s = 0;
        for (int32_t e = e0; e < e1; e++) {
          o += t->quota[e][k];
          s += t->src[k] >= 0 ? t->quota[e][t->src[k]] : 0;
        }
        o /= e1 - e0;
        s /= e1 - e0;
        if (o > mo) mo = (int32_t)o;
        if (s > ms) ms = (int32_t)s;
        so += o;
        ss += s;
        n++;
      }
      int32_t in_m, src_m;
      if (n == 0) {
        in_m = src_m = TONAL_EMPTY;
      } else if (any_harmonic) {
        in_m = mo;
        src_m = ms;
      } else {
        in_m = (int32_t)(so / n);
        src_m = (int32_t)(ss / n);
      }
      if (in_m < 3 && src_m < 3) {
        in_m = src_m = TONAL_EMPTY;
      } else {
        if (in_m < Q11_ONE) in_m = Q11_ONE;
        if (src_m < Q11_ONE) src_m = Q11_ONE;
      }
      int32_t d;
      if (any_harmonic || invf[b] <= t->invf_setting) {
        d = Q11_ONE;
      } else {
        d = sat32((int64_t)src_m * Q11_ONE / in_m);
        d = fixmul_q31(d, 0x20000000); /* weight 0.25 */
        if (d < Q11_ONE) d = Q11_ONE;
      }
      /* the ratio can reach 1 and beyond: the safe division saturates instead of wrapping */
      int32_t lvl = aacSafeDiv(d / 4, in_m);
      lvl = fixmul_q31(lvl, t->noise_offset_factor);
      if (lvl > t->noise_max_level) lvl = t->noise_max_level;
      int32_t idx = env * SBR_MAX_NOISE + b;
      for (int32_t h = 0; h < 3; h++) t->nf_hist[h][idx] = t->nf_hist[h + 1][idx];
      t->nf_hist[3][idx] = lvl;
      int64_t acc = 0;
      for (int32_t h = 0; h < 4; h++) acc += (int64_t)t->nf_hist[h][idx] * kNfSmooth[h];
      noise[idx] = sat32(acc >> 31);
    }
  }
}

void sbrTonalityCorrection(SbrTonality *t, const SbrFrameInfo *fi, const SbrTransientInfo *tran,
                           const SbrFreqTables *ft, SbrTonalityOut *out) {
  if (t->invf_detect) {
    inverse_filtering(t, ft, tran->flag, out->invf);
  } else {
    for (int32_t b = 0; b < ft->nq; b++) out->invf[b] = 0;
  }
  if (t->mh_mode == 2) {
    missing_harmonics(t, ft, tran, fi, out);
  } else {
    memset(out->harmonic, 0, sizeof(out->harmonic));
    memset(out->compensation, 0, sizeof(out->compensation));
    out->any_harmonic = 0;
  }
  noise_floor(t, ft, fi, out->invf, out->any_harmonic, out->noise);
}

void sbrQuantiseNoise(const int32_t *noise, int32_t n, int32_t *q) {
  for (int32_t i = 0; i < n; i++) {
    int32_t v = (18 - qlog(noise[i])) >> 2;
    q[i] = v > 30 ? 30 : (v < 0 ? 0 : v);
  }
}

static int32_t nearest_step(int32_t v, const int32_t *steps, int32_t n) {
  int32_t a = v < 0 ? -v : v, best = steps[0];
  for (int32_t i = 1; i < n; i++)
    if (abs(a - steps[i]) < abs(a - best)) best = steps[i];
  return v > 0 ? best : -best;
}

void sbrCoupleNoise(const int32_t *l, const int32_t *r, int32_t n, int32_t *level, int32_t *balance) {
  static const int32_t steps[5] = {0, 2, 4, 8, 12};
  for (int32_t i = 0; i < n; i++) {
    int32_t v = (26 - qlog(L_add(l[i] >> 1, r[i] >> 1))) >> 2;
    level[i] = v > 30 ? 30 : (v < 0 ? 0 : v);
    int32_t b = (qlog(l[i]) - qlog(r[i]) + 2) >> 2;
    if (b > 30) b = 30;
    if (b < -30) b = -30;
    balance[i] = 12 + nearest_step(b, steps, 5);
  }
}
