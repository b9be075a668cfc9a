#include "aac_transform.h"

#include <string.h>

#include "aac_blockswitch.h"
#include "aac_dsp.h"
#include "aac_intrinsics.h"

int32_t AacWindowShape(int32_t seq) {
  static const int32_t shape[4] = {1, 0, 0, 1};
  return shape[seq & 3];
}

static inline int32_t dot(int32_t x, int16_t t) { return (int32_t)(((int64_t)x * t) >> 16); }

void AacMdctCore(int32_t *u, const int16_t *T, int32_t n, int32_t log2n, int32_t *y) {
  int32_t step = 1 << (10 - log2n);
  for (int32_t i = 0; i < n / 4; i++) {
    int32_t a = u[2 * i], b = u[n - 1 - 2 * i], c = u[2 * i + 1], d = u[n - 2 - 2 * i];
    int16_t c1 = T[n - 1 - 2 * i], s1 = T[2 * i], c2 = T[n - 2 - 2 * i], s2 = T[2 * i + 1];
    u[2 * i] = (int32_t)(((int64_t)dot(a, c1) + dot(b, s1)) >> 1);
    u[2 * i + 1] = (int32_t)(-(((int64_t)dot(b, c1) - dot(a, s1)) >> 1));
    u[n - 2 - 2 * i] = (int32_t)(((int64_t)dot(c, c2) + dot(d, s2)) >> 1);
    u[n - 1 - 2 * i] = (int32_t)(-(((int64_t)dot(c, s2) - dot(d, c2)) >> 1));
  }
  FftComplex(u, y, n / 2);
  const int16_t *tw = aacenc_fftTwiddleTable2;
  for (int32_t i = 0; i < n / 4; i++) {
    int16_t sA = tw[2 * (i * step)], cA = tw[2 * (i * step) + 1];
    int16_t sB = tw[2 * ((i + 1) * step)], cB = tw[2 * ((i + 1) * step) + 1];
    int32_t re = L_shl_nosat(y[2 * i], 1), im = L_shl_nosat(y[2 * i + 1], 1);
    int32_t re2 = L_shl_nosat(y[n - 2 - 2 * i], 1), im2 = L_shl_nosat(y[n - 1 - 2 * i], 1);
    u[2 * i] = sat32(2 * ((int64_t)dot(re, cA) - dot(im, sA)));
    u[n - 1 - 2 * i] = sat32(2 * ((int64_t)dot(im, cA) + dot(re, sA)));
    u[n - 2 - 2 * i] = sat32(2 * ((int64_t)dot(re2, sB) - dot(im2, cB)));
    u[2 * i + 1] = sat32(2 * ((int64_t)dot(im2, sB) + dot(re2, cB)));
  }
}

/* x * w shifted left by s, as a 64-bit value (sums saturate to 32 bits at the end) */
static inline int64_t wprod(int16_t x, int16_t w, int32_t s) { return (int64_t)x * w * ((int64_t)1 << s); }
static inline int64_t flat(int16_t x, int32_t s) { return (int64_t)x * ((int64_t)1 << (s + 15)); }

static void update_history(int16_t *h, const int16_t *in, int32_t stride) {
  memmove(h, h + 1024, 576 * sizeof(int16_t));
  for (int32_t j = 0; j < 1024; j++) h[576 + j] = in[(int64_t)j * stride];
}

static int32_t min32(int32_t a, int32_t b) { return a < b ? a : b; }

static int32_t normalise(int32_t *u, int32_t s, int32_t limit) {
  int32_t e = 0;
  for (int32_t i = 0; i < 1024; i++) e = L_add(e, (int32_t)(((int64_t)u[i] * u[i]) >> 32));
  int32_t e2 = L_shl(e, 1);
  int32_t h = norm_l(e2);
  if (e2 == 0) h = 31;
  int32_t g = min32(h / 2, limit - s);
  if (g < 0) g = 0;
  if (g > 0)
    for (int32_t i = 0; i < 1024; i++) u[i] = L_shl(u[i], g);
  return limit - s - g;
}

static void calib_shift(int32_t *u, const int8_t *tab) {
  for (int32_t i = 0; i < 1024; i++) {
    int32_t v = tab[i];
    if (v > 0) {
      u[i] = L_shr(u[i], v > 31 ? 31 : v);
    } else if (v < 0) {
      int32_t hr = norm_l(u[i]) - 3;
      if (hr < 0) hr = 0;
      int32_t sh = -v < hr ? -v : hr;
      u[i] = L_shl(u[i], sh);
    }
  }
}

void AacTransformReal(int16_t *A, const int16_t *in, int32_t stride, int32_t *u, int32_t seq, int32_t *scratch,
                      int32_t channel, const uint32_t *calib, const int8_t *calib_table, int32_t *spec_exp) {
  const int16_t *wl = LongWindowKBD, *ws = ShortWindowSine;
  int32_t s;
  uint32_t w0 = calib ? calib[0] : 0, w2 = calib ? calib[2] : 0;
  int32_t hr_new = aacHeadroom16Stride(in, 448, stride);

  switch (seq) {
    case ONLY_LONG:
    default: {
      s = min32(aacHeadroom16(A, AAC_HISTORY), hr_new);
      s = (w0 == 1) ? 0 : min32(s, 11);
      for (int n = 0; n < 512; n++)
        u[512 + n] = sat32(wprod(A[n], wl[n], s) - wprod(A[1023 - n], wl[1023 - n], s));
      update_history(A, in, stride);
      for (int n = 0; n < 512; n++)
        u[511 - n] = L_negate(sat32(wprod(A[n], wl[1023 - n], s) + wprod(A[1023 - n], wl[n], s)));
      AacMdctCore(u, LongWindowSine, 1024, 10, scratch);
      if (w0 == 0 && w2 == 1 && calib_table) calib_shift(u, calib_table + 1024 * channel);
      *spec_exp = normalise(u, s, 11);
      return;
    }
    case LONG_START: {
      s = min32(aacHeadroom16(A, AAC_HISTORY), 11);
      for (int n = 0; n < 512; n++)
        u[512 + n] = sat32(wprod(A[n], wl[n], s) - wprod(A[1023 - n], wl[1023 - n], s));
      update_history(A, in, stride);
      for (int n = 0; n < 448; n++) u[511 - n] = L_negate(sat32(flat(A[n], s)));
      for (int m = 0; m < 64; m++)
        u[63 - m] = L_negate(sat32(wprod(A[448 + m], ws[127 - m], s) + wprod(A[575 - m], ws[m], s)));
      AacMdctCore(u, LongWindowSine, 1024, 10, scratch);
      *spec_exp = normalise(u, s, 11);
      return;
    }
    case LONG_STOP: {
      s = min32(min32(aacHeadroom16(A + 448, AAC_HISTORY - 448), hr_new), 11);
      for (int n = 0; n < 448; n++) u[512 + n] = L_negate(sat32(flat(A[1023 - n], s)));
      for (int m = 0; m < 64; m++)
        u[960 + m] = sat32(wprod(A[448 + m], ws[m], s) - wprod(A[575 - m], ws[127 - m], s));
      update_history(A, in, stride);
      for (int n = 0; n < 512; n++)
        u[511 - n] = L_negate(sat32(wprod(A[n], wl[1023 - n], s) + wprod(A[1023 - n], wl[n], s)));
      AacMdctCore(u, LongWindowSine, 1024, 10, scratch);
      *spec_exp = normalise(u, s, 11);
      return;
    }
    case EIGHT_SHORT: {
      s = min32(aacHeadroom16(A + 448, AAC_HISTORY - 448), 8);
      for (int w = 0; w < 8; w++) {
        int b = 448 + 128 * w;
        int32_t *v = u + 128 * w;
        for (int n = 0; n < 64; n++) {
          v[64 + n] = sat32(wprod(A[b + n], ws[n], s) - wprod(A[b + 127 - n], ws[127 - n], s));
          v[63 - n] = L_negate(sat32(wprod(A[b + 128 + n], ws[127 - n], s) + wprod(A[b + 255 - n], ws[n], s)));
        }
        AacMdctCore(v, ShortWindowSine, 128, 7, scratch);
      }
      *spec_exp = normalise(u, s, 8);
      update_history(A, in, stride);
      return;
    }
  }
}
