/* Fixed-point complex FFT: a digit-reversed radix-4 (or radix-8) first stage followed by
 * in-place radix-4 stages.  Every stage divides by its radix, so the transform scales by
 * 1/N and no stage can grow the magnitude of its input. */
#include "aac_dsp.h"

#include "aac_intrinsics.h"

static uint32_t rev4(uint32_t j, int digits) {
  uint32_t r = 0;
  for (int d = 0; d < digits; d++) {
    r = (r << 2) | (j & 3);
    j >>= 2;
  }
  return r;
}

static inline int32_t mul14(int32_t x, int16_t w) { return (int32_t)(((int64_t)x * w) >> 16); }

/* out[0..3] = 4-point DFT (+i) of (x0..x3) / 4 */
static void bfly4(const int32_t *x0, const int32_t *x1, const int32_t *x2, const int32_t *x3,
                  int32_t *o0, int32_t *o1, int32_t *o2, int32_t *o3) {
  int64_t a0r = x0[0], a0i = x0[1], a1r = x1[0], a1i = x1[1];
  int64_t a2r = x2[0], a2i = x2[1], a3r = x3[0], a3i = x3[1];
  int64_t s02r = a0r + a2r, s02i = a0i + a2i, d02r = a0r - a2r, d02i = a0i - a2i;
  int64_t s13r = a1r + a3r, s13i = a1i + a3i, d13r = a1r - a3r, d13i = a1i - a3i;
  o0[0] = (int32_t)(s02r + s13r);
  o0[1] = (int32_t)(s02i + s13i);
  o1[0] = (int32_t)(d02r - d13i);
  o1[1] = (int32_t)(d02i + d13r);
  o2[0] = (int32_t)(s02r - s13r);
  o2[1] = (int32_t)(s02i - s13i);
  o3[0] = (int32_t)(d02r + d13i);
  o3[1] = (int32_t)(d02i - d13r);
}

static void first_stage4(const int32_t *in, int32_t *out, int n) {
  int nb = n / 4, q = n / 4, digits = 0;
  while ((1 << (2 * digits)) < nb) digits++;
  for (int j = 0; j < nb; j++) {
    uint32_t c = rev4((uint32_t)j, digits);
    int32_t x[4][2];
    for (int m = 0; m < 4; m++) {
      x[m][0] = in[2 * (c + (uint32_t)(m * q))] >> 2;
      x[m][1] = in[2 * (c + (uint32_t)(m * q)) + 1] >> 2;
    }
    int32_t *o = out + 8 * j;
    bfly4(x[0], x[1], x[2], x[3], o, o + 2, o + 4, o + 6);
  }
}

static inline int32_t diag(int64_t v) { return (int32_t)((v * 11585) >> 14); }

static void first_stage8(const int32_t *in, int32_t *out, int n) {
  int nb = n / 8, q = n / 8, digits = 0;
  while ((1 << (2 * digits)) < nb) digits++;
  for (int j = 0; j < nb; j++) {
    uint32_t c = rev4((uint32_t)j, digits);
    int32_t x[8][2];
    for (int m = 0; m < 8; m++) {
      x[m][0] = in[2 * (c + (uint32_t)(m * q))] >> 3;
      x[m][1] = in[2 * (c + (uint32_t)(m * q)) + 1] >> 3;
    }
    int32_t e[4][2], o[4][2];
    /* bfly4 sums without its own scaling: inputs are already divided by 8 */
    bfly4(x[0], x[2], x[4], x[6], e[0], e[1], e[2], e[3]);
    bfly4(x[1], x[3], x[5], x[7], o[0], o[1], o[2], o[3]);
    int32_t r[4][2];
    r[0][0] = o[0][0];
    r[0][1] = o[0][1];
    r[1][0] = diag((int64_t)o[1][0] - o[1][1]);
    r[1][1] = diag((int64_t)o[1][0] + o[1][1]);
    r[2][0] = L_negate(o[2][1]);
    r[2][1] = o[2][0];
    r[3][0] = diag(-(int64_t)o[3][0] - o[3][1]);
    r[3][1] = diag((int64_t)o[3][0] - o[3][1]);
    int32_t *dst = out + 16 * j;
    for (int k = 0; k < 4; k++) {
      dst[2 * k] = (int32_t)((int64_t)e[k][0] + r[k][0]);
      dst[2 * k + 1] = (int32_t)((int64_t)e[k][1] + r[k][1]);
      dst[2 * (k + 4)] = (int32_t)((int64_t)e[k][0] - r[k][0]);
      dst[2 * (k + 4) + 1] = (int32_t)((int64_t)e[k][1] - r[k][1]);
    }
  }
}

static void radix4_stages(int32_t *out, int n, int g, const int16_t *tw) {
  for (; g <= n; g *= 4) {
    int q = g / 4;
    for (int b = 0; b < n; b += g) {
      const int16_t *t = tw;
      for (int k = 0; k < q; k++, t += 6) {
        int32_t *p0 = out + 2 * (b + k), *p1 = out + 2 * (b + k + q);
        int32_t *p2 = out + 2 * (b + k + 2 * q), *p3 = out + 2 * (b + k + 3 * q);
        int32_t y0[2] = {p0[0] >> 2, p0[1] >> 2}, y1[2], y2[2], y3[2];
        /* pairs in the table: angle 2k (for input 2), k (input 1), 3k (input 3) */
        y2[0] = mul14(p2[0], t[0]) - mul14(p2[1], t[1]);
        y2[1] = mul14(p2[0], t[1]) + mul14(p2[1], t[0]);
        y1[0] = mul14(p1[0], t[2]) - mul14(p1[1], t[3]);
        y1[1] = mul14(p1[0], t[3]) + mul14(p1[1], t[2]);
        y3[0] = mul14(p3[0], t[4]) - mul14(p3[1], t[5]);
        y3[1] = mul14(p3[0], t[5]) + mul14(p3[1], t[4]);
        bfly4(y0, y1, y2, y3, p0, p1, p2, p3);
      }
    }
    tw += 6 * q;
  }
}

int FftComplex(const int32_t *in, int32_t *out, int n) {
  switch (n) {
    case 4:
    case 16:
    case 64:
      first_stage4(in, out, n);
      radix4_stages(out, n, 16, fftTwiddlePow4);
      return 0;
    case 8:
    case 32:
    case 128:
    case 512:
      first_stage8(in, out, n);
      radix4_stages(out, n, 32, fftTwiddlePow4x2);
      return 0;
    default:
      return 1;
  }
}
