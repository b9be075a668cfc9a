/* Parametric-stereo analysis: both channels' QMF data at one exponent, the hybrid split of
 * QMF bands 0 to 2, powers and cross products per parameter band over a window of 32
 * slots (the second half of the previous frame and the first half of this one), and the
 * intensity differences and coherences derived from them. */
#include <string.h>

#include "aac_dsp.h"
#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_ps.h"

const int8_t hiResBandBorders[21] = {0, 1, 2, 3, 10, 11, 12, 13, 3, 4, 5, 6, 7, 8, 9, 11, 14, 18, 23, 35, 64};
const int32_t aHybridResolution[3] = {8, 4, 4};
/* magnitudes of the 4-band prototype with the signs of the polyphase evaluation */
const int32_t p4_13[13] = {-6553088, 17069538, 0, -92748184, -269347040, 455863680, 536870912,
                           455863680, 269347040, -92748184, 0, 17069538, 6553088};
static const int32_t p8_13[13] = {16022009, 48756920, 97643200, 156038608, 212281088, 253268000, 268435456,
                                  253268000, 212281088, 156038608, 97643200, 48756920, 16022009};

/* cos and sin of pi / 16 multiples, Q31 (the modulation of the 8- and 4-band filters) */
static const int32_t kCos32[32] = {
    2147483647, 2106220352, 1984016189, 1785567396, 1518500250, 1193077991, 821806413, 418953276,
    0, -418953276, -821806413, -1193077991, -1518500250, -1785567396, -1984016189, -2106220352,
    -2147483647, -2106220352, -1984016189, -1785567396, -1518500250, -1193077991, -821806413, -418953276,
    0, 418953276, 821806413, 1193077991, 1518500250, 1785567396, 1984016189, 2106220352};

static int32_t cos32(int32_t i) { return kCos32[i & 31]; }
static int32_t sin32(int32_t i) { return kCos32[(i - 8) & 31]; }

int PsEncoderOpen(PsEncoder *ps, int32_t mode_flags) {
  memset(ps, 0, sizeof(*ps));
  aacBitBufOpen(&ps->bb, PS_PAYLOAD_AREA, 0);
  ps->mode_flags = mode_flags;
  ps->fine = (mode_flags & PS_MODE_COARSE) ? 0 : 1;
  ps->n_bands = (uint8_t)(ps->fine ? 20 : 10);
  for (int32_t b = 0; b < PS_MAX_BANDS; b++) {
    ps->iid[b] = 0;
    ps->icc[b] = AAC_MAX_32;
  }
  return 0;
}

/* the true taps of the 4-band prototype: symmetric, negative beyond four taps from the centre */
static int32_t proto4(int32_t n) {
  int32_t v = p4_13[n] < 0 ? -p4_13[n] : p4_13[n];
  int32_t d = n > 6 ? n - 6 : 6 - n;
  return d >= 5 ? -v : v;
}

void HybridAnalysis(int16_t *const *re, int16_t *const *im, int16_t *h_re, int16_t *h_im, int32_t stride,
                    const int16_t (*dre_lo)[3], const int16_t (*dim_lo)[3], const int16_t (*dre_hi)[64],
                    const int16_t (*dim_hi)[64]) {
  static const int32_t offset[3] = {0, 8, 12};
  for (int32_t band = 0; band < 3; band++) {
    const int32_t q = aHybridResolution[band];
    int32_t sr[44], si[44];
    for (int32_t j = 0; j < 6; j++) {
      sr[j] = dre_lo[j][band];
      si[j] = dim_lo[j][band];
      sr[6 + j] = dre_hi[j][band];
      si[6 + j] = dim_hi[j][band];
    }
    for (int32_t l = 0; l < 32; l++) {
      sr[12 + l] = re[l][band];
      si[12 + l] = im[l][band];
    }
    for (int32_t p = 0; p < q; p++) {
      /* g_p(n) = proto(n) exp(i 2 pi / q (p + 1/2)(n - 6)); the phase in 32nds of a turn */
      int32_t gr[13], gi[13];
      for (int32_t n = 0; n < 13; n++) {
        int32_t pr = q == 8 ? p8_13[n] : proto4(n);
        int32_t ph = (32 / q) * (2 * p + 1) * (n - 6) / 2; /* (2 p + 1)(n - 6) 16 / q */
        gr[n] = fixmul_q31(pr, cos32(ph));
        gi[n] = fixmul_q31(pr, sin32(ph));
      }
      for (int32_t l = 0; l < 32; l++) {
        int64_t ar = 0, ai = 0;
        for (int32_t n = 0; n < 13; n++) {
          int32_t xr = sr[l + 12 - n], xi = si[l + 12 - n];
          ar += (int64_t)gr[n] * xr - (int64_t)gi[n] * xi;
          ai += (int64_t)gr[n] * xi + (int64_t)gi[n] * xr;
        }
        int32_t o = (offset[band] + p) + l * 4 * stride;
        h_re[o] = sat16((int32_t)((ar + ((int64_t)1 << 30)) >> 31));
        h_im[o] = sat16((int32_t)((ai + ((int64_t)1 << 30)) >> 31));
      }
    }
  }
}

static inline int32_t sq(int16_t x) { return sat32(2 * (int64_t)x * x); }
static inline int32_t mul(int16_t a, int16_t b) { return sat32(2 * (int64_t)a * b); }

static int32_t shift_count(int32_t x) { return x == 0 ? 31 : norm_l(x); }

static int16_t round_down(int16_t v, int32_t s) {
  if (s > 15) return 0;
  int32_t r = (((int32_t)v * 65536) >> s) + 32768;
  r >>= 16;
  return (int16_t)(r > 32767 ? 32767 : r);
}

static void rescale_delay(PsEncoder *ps, int32_t s) {
  int16_t *lo = &ps->delay_lo[0][0][0], *hi = &ps->delay_hi[0][0][0];
  const int32_t nlo = 4 * 6 * 3, nhi = 4 * 6 * 64;
  for (int32_t i = 0; i < nlo + nhi; i++) {
    int16_t *v = i < nlo ? lo + i : hi + (i - nlo);
    *v = s < 0 ? (int16_t)L_shl_nosat(*v, -s) : round_down(*v, s);
  }
}

static int32_t delay_headroom(const PsEncoder *ps) {
  int32_t g = aacHeadroom16(&ps->delay_lo[0][0][0], 4 * 6 * 3);
  int32_t h = aacHeadroom16(&ps->delay_hi[0][0][0], 4 * 6 * 64);
  if (h < g) g = h;
  return g > 16 ? 16 : g;
}

static void scale_rows(int16_t *const *re, int16_t *const *im, int32_t s) {
  if (s <= 0) return;
  for (int32_t i = 0; i < 32 * 64; i++) {
    re[0][i] = (int16_t)(s > 15 ? (re[0][i] < 0 ? -1 : 0) : re[0][i] >> s);
    im[0][i] = (int16_t)(s > 15 ? (im[0][i] < 0 ? -1 : 0) : im[0][i] >> s);
  }
}

/* signed coherence and intensity ratio of one band's accumulators */
static void parameters(int32_t pl, int32_t pr, int32_t cr, int32_t ci, int32_t low_band, int32_t *iid,
                       int32_t *icc) {
  if (pl < 0) pl = 0;
  if (pr < 0) pr = 0;
  int32_t n = shift_count(pl) < shift_count(pr) ? shift_count(pl) : shift_count(pr);
  int32_t PL = L_shl(pl, n), PR = L_shl(pr, n);
  int32_t num, m;
  if (low_band) {
    m = shift_count(cr);
    int32_t c = L_shl(cr, m);
    num = fixmul_q31(c, c);
    if (c <= 0) num = L_negate(num);
  } else {
    m = (shift_count(cr) < shift_count(ci) ? shift_count(cr) : shift_count(ci)) - 1;
    int32_t a = L_shl(cr, m), b = L_shl(ci, m);
    num = L_add(fixmul_q31(a, a), fixmul_q31(b, b));
  }
  num = L_shl(num, 2 * (n - m)); /* clamped and saturating */
  int32_t den = fixmul_q31(PL, PR);
  int32_t an = L_abs(num);
  int32_t ratio;
  if (an < den) {
    ratio = aacFixDiv(num, den);
  } else {
    ratio = ((int64_t)num * den < 0) ? AAC_MIN_32 : AAC_MAX_32;
  }
  /* the measure stays the signed squared coherence: the quantiser's thresholds are squares */
  *icc = ratio;
  *iid = (PL >> 8) < PR ? aacFixDiv(PL >> 8, PR) : AAC_MAX_32;
}

void PsEncoderEstimate(PsEncoder *ps, int16_t *const *l_im, int16_t *const *l_re, int16_t *const *r_im,
                       int16_t *const *r_re, int32_t *l_scale, int32_t *r_scale, int16_t *hybrid) {
  /* 1-3: one exponent for the delay rows and both channels */
  int32_t f = *l_scale < *r_scale ? *l_scale : *r_scale;
  if (ps->delay_scale < f) {
    int32_t g = delay_headroom(ps);
    if (ps->delay_scale + g < f) f = ps->delay_scale + g;
  }
  int32_t s = ps->delay_scale - f;
  if (s != 0) rescale_delay(ps, s);
  scale_rows(l_re, l_im, *l_scale - f);
  scale_rows(r_re, r_im, *r_scale - f);
  int32_t k = 2 * (f - ps->delay_scale);
  ps->delay_scale = f;
  *l_scale = f;
  *r_scale = f;

  /* 4: hybrid rows, per slot: left re, left im, right re, right im (16 values each) */
  HybridAnalysis(l_re, l_im, hybrid, hybrid + 16, 16, (const int16_t(*)[3])ps->delay_lo[0],
                 (const int16_t(*)[3])ps->delay_lo[1], (const int16_t(*)[64])ps->delay_hi[0],
                 (const int16_t(*)[64])ps->delay_hi[1]);
  HybridAnalysis(r_re, r_im, hybrid + 32, hybrid + 48, 16, (const int16_t(*)[3])ps->delay_lo[2],
                 (const int16_t(*)[3])ps->delay_lo[3], (const int16_t(*)[64])ps->delay_hi[2],
                 (const int16_t(*)[64])ps->delay_hi[3]);

  /* 5-7: two half windows of sums per fine band */
  for (int32_t h = 0; h < 2; h++) {
    int32_t sum[4][PS_MAX_BANDS];
    memset(sum, 0, sizeof(sum));
    for (int32_t b = 0; b < PS_MAX_BANDS; b++) {
      for (int32_t l = 16 * h; l < 16 * h + 16; l++) {
        int32_t lo, hi;
        if (b < 8) {
          lo = hiResBandBorders[b];
          hi = lo + 1;
        } else {
          lo = hiResBandBorders[b];
          hi = hiResBandBorders[b + 1] < 48 ? hiResBandBorders[b + 1] : 48;
        }
        for (int32_t q = lo; q < hi; q++) {
          int16_t lr, li, rr, ri;
          if (b < 8) {
            const int16_t *row = hybrid + l * 64;
            lr = row[q];
            li = row[16 + q];
            rr = row[32 + q];
            ri = row[48 + q];
          } else if (l >= 6) {
            lr = l_re[l - 6][q];
            li = l_im[l - 6][q];
            rr = r_re[l - 6][q];
            ri = r_im[l - 6][q];
          } else {
            lr = ps->delay_hi[0][l][q];
            li = ps->delay_hi[1][l][q];
            rr = ps->delay_hi[2][l][q];
            ri = ps->delay_hi[3][l][q];
          }
          sum[0][b] = L_add(sum[0][b], L_add(sq(lr), sq(li)));
          sum[1][b] = L_add(sum[1][b], L_add(sq(rr), sq(ri)));
          sum[2][b] = L_add(sum[2][b], L_add(mul(lr, rr), mul(li, ri)));
          sum[3][b] = L_add(sum[3][b], L_sub(mul(li, rr), mul(lr, ri)));
        }
      }
    }
    for (int32_t j = 0; j < 4; j++)
      for (int32_t b = 0; b < PS_MAX_BANDS; b++) {
        if (h == 0) {
          int32_t old = ps->acc[j][b], nw;
          if (k < 0) {
            old = L_shr(old, -k);
            nw = L_shr(sum[j][b], 6);
          } else {
            nw = L_shr(sum[j][b], 6 + k);
          }
          ps->acc[j][b] = L_add(old, nw);
        }
      }
    if (h == 0) {
      for (int32_t b = 0; b < ps->n_bands; b++) {
        int32_t a[4];
        for (int32_t j = 0; j < 4; j++)
          a[j] = ps->fine ? ps->acc[j][b] : L_add(ps->acc[j][2 * b], ps->acc[j][2 * b + 1]);
        int32_t fine_index = ps->fine ? b : 2 * b;
        parameters(a[0], a[1], a[2], a[3], fine_index < 12, &ps->iid[b], &ps->icc[b]);
      }
    } else {
      for (int32_t j = 0; j < 4; j++)
        for (int32_t b = 0; b < PS_MAX_BANDS; b++) ps->acc[j][b] = L_shr(sum[j][b], 6);
    }
  }

  /* 8: the history of the next frame */
  for (int32_t row = 0; row < 12; row++) {
    int32_t slot = 20 + row;
    if (row < 6) {
      for (int32_t b = 0; b < 3; b++) {
        ps->delay_lo[0][row][b] = l_re[slot][b];
        ps->delay_lo[1][row][b] = l_im[slot][b];
        ps->delay_lo[2][row][b] = r_re[slot][b];
        ps->delay_lo[3][row][b] = r_im[slot][b];
      }
    } else {
      memcpy(ps->delay_hi[0][row - 6], l_re[slot], 64 * sizeof(int16_t));
      memcpy(ps->delay_hi[1][row - 6], l_im[slot], 64 * sizeof(int16_t));
      memcpy(ps->delay_hi[2][row - 6], r_re[slot], 64 * sizeof(int16_t));
      memcpy(ps->delay_hi[3][row - 6], r_im[slot], 64 * sizeof(int16_t));
    }
  }
}
