/* 64-band complex QMF analysis of the SBR encoder in 16-bit block floating point: one
 * exponent per frame and channel, shared by the history and the subband samples. */
#include <string.h>

#include "aac_dsp.h"
#include "aac_intrinsics.h"
#include "aac_sbr_int.h"
#include "aac_sbr_tables.h"

int QmfAnalysisOpen(int32_t channel, QmfBank *q, int32_t open_flag, int32_t frame_length) {
  (void)channel;
  if (open_flag) return 1;
  memset(q, 0, sizeof(*q));
  q->bands = SBR_QMF_BANDS;
  q->filter_len = 640;
  q->taps = 5;
  q->slots = frame_length / SBR_QMF_BANDS;
  return 0;
}

void QmfAnalysisClose(QmfBank *q) { (void)q; }

/* 64-point DCT-IV of x by a 32-point complex FFT; the stored value is the transform / 2^21. */
static void dct4_64(const int32_t *x, int16_t *out, int32_t step) {
  int32_t buf[64], f[64];
  for (int32_t n = 0; n < 32; n++) {
    int32_t a = x[2 * n], b = x[63 - 2 * n];
    int16_t s = sbr_sc_twiddle_L64_enc[2 * n], c = sbr_sc_twiddle_L64_enc[2 * n + 1];
    buf[2 * n] = fixmul_32x16(a, c) + fixmul_32x16(b, s);
    buf[2 * n + 1] = fixmul_32x16(a, s) - fixmul_32x16(b, c);
  }
  FftComplex(buf, f, 32);
  for (int32_t k = 0; k < 32; k++) {
    int32_t wr = f[2 * k], wi = f[2 * k + 1];
    int16_t c = sbr_alt_sin_twiddle_L64_enc[32 - k], s = sbr_alt_sin_twiddle_L64_enc[k];
    int32_t zr = fixmul_32x16(wr, c) - fixmul_32x16(wi, s);
    int32_t zi = fixmul_32x16(wr, s) + fixmul_32x16(wi, c);
    out[(2 * k) * step] = sat16(zr >> 14);
    out[(63 - 2 * k) * step] = sat16(zi >> 14);
  }
}

void QmfModulate(const int32_t *u, int16_t *re, int16_t *im) {
  int32_t a[64], b[64];
  for (int32_t n = 0; n < 64; n++) {
    /* the fold of two sums near 2^31 needs 33 bits before the halving */
    int64_t p = u[n], m = u[127 - n];
    a[n] = (int32_t)((p - m) >> 1);
    b[63 - n] = (int32_t)((p + m) >> 1); /* reversed: the DST-IV is a DCT-IV of the reversed input */
  }
  dct4_64(a, re, 1);
  dct4_64(b, im, 1);
  for (int32_t k = 1; k < 64; k += 2) im[k] = (int16_t)(im[k] == AAC_MIN_16 ? AAC_MAX_16 : -im[k]);
}

void QmfAnalysisFrame(const int16_t *in, int32_t stride, int16_t *const *re, int16_t *const *im, QmfBank *q) {
  const int32_t slots = q->slots;
  int32_t in_hr = aacHeadroom16Stride(in, slots * 64, stride);
  int32_t hist_hr = aacHeadroom16(q->history, 576);
  if (in_hr > 15) in_hr = 15;
  if (hist_hr > 15) hist_hr = 15;
  int32_t e = hist_hr + q->hist_scale;
  if (in_hr < e) e = in_hr;
  int32_t d = e - q->hist_scale;
  if (d != 0)
    for (int32_t i = 0; i < 576; i++)
      q->history[i] = (int16_t)(d > 0 ? L_shl_nosat(q->history[i], d) : (q->history[i] >> (-d > 15 ? 15 : -d)));
  q->hist_scale = e;
  q->out_scale = e;

  const int16_t *rows = sbr_qmf_64_640_enc;
  int16_t *h = q->history;
  for (int32_t l = 0; l < slots; l++) {
    int16_t xn[64]; /* the slot's new samples, newest first */
    for (int32_t m = 0; m < 64; m++) {
      int32_t v = in[(int64_t)(l * 64 + 63 - m) * stride];
      xn[m] = (int16_t)(e >= 0 ? L_shl_nosat(v, e) : v >> (-e));
    }
    int32_t u[128];
    for (int32_t n = 0; n < 128; n++) {
      const int16_t *c = n <= 64 ? rows + 5 * n : rows + 5 * (128 - n);
      int32_t acc = 0;
      for (int32_t j = 0; j < 5; j++) {
        int32_t i = n + 128 * j;
        int32_t x = i < 64 ? xn[i] : h[i - 64];
        int32_t cj = n <= 64 ? c[j] : c[4 - j];
        acc += x * cj;
      }
      u[n] = acc;
    }
    memmove(h + 64, h, 512 * sizeof(int16_t));
    memcpy(h, xn, sizeof(xn));
    QmfModulate(u, re[l], im[l]);
  }

  /* normalise the frame's subband block to its headroom */
  int32_t hr = aacHeadroom16(re[0], slots * 64), hi = aacHeadroom16(im[0], slots * 64);
  if (hi < hr) hr = hi;
  int32_t s = 15 - q->out_scale;
  if (hr < s) s = hr;
  if (s < 0) {
    memset(re[0], 0, (size_t)slots * 64 * sizeof(int16_t));
    memset(im[0], 0, (size_t)slots * 64 * sizeof(int16_t));
  } else if (s > 0) {
    for (int32_t i = 0; i < slots * 64; i++) {
      re[0][i] = (int16_t)L_shl_nosat(re[0][i], s);
      im[0][i] = (int16_t)L_shl_nosat(im[0][i], s);
    }
  }
  q->out_scale += s;
}

static inline int32_t sq_q31(int16_t x) { return sat32(2 * (int64_t)x * x); }

void QmfSlotPairEnergies(int32_t *const *nrg, int16_t *const *re, int16_t *const *im, int32_t bands, int32_t slots) {
  for (int32_t i = 0; i < slots / 2; i++)
    for (int32_t k = 0; k < bands; k++) {
      int32_t a = (sq_q31(re[2 * i][k]) >> 2) + (sq_q31(im[2 * i][k]) >> 2);
      int32_t b = (sq_q31(re[2 * i + 1][k]) >> 2) + (sq_q31(im[2 * i + 1][k]) >> 2);
      nrg[i][k] = L_add(a, b);
    }
}
