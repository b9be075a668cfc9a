#include "aac_math.h"

#include "aac_intrinsics.h"

int32_t aacDivInt(int32_t a, int32_t b) {
  if (b <= 0) return AAC_MAX_32;
  if (a <= 0) return 0;
  uint32_t ua = (uint32_t)a, ub = (uint32_t)b, q = 0;
  while (ua >= ub) {
    int32_t s = 0;
    while (s < 31 && ((uint64_t)ub << (s + 1)) <= ua) s++;
    ua -= ub << s;
    q += 1u << s;
  }
  return (int32_t)q;
}

int16_t aacLog2Diff(int32_t a, int32_t b) {
  a = a < 0 ? 0 : (a > 64 ? 64 : a);
  b = b < 0 ? 0 : (b > 64 ? 64 : b);
  return (int16_t)(logDualisTable[b] - logDualisTable[a]);
}

int32_t aacFixDiv(int32_t a, int32_t b) {
  if (a == 0) return 0;
  if (b == 0) return a < 0 ? AAC_MIN_32 : AAC_MAX_32;
  int neg = (a < 0) != (b < 0);
  int64_t na = a < 0 ? -(int64_t)a : a;
  int64_t nb = b < 0 ? -(int64_t)b : b;
  if (na >= nb) return neg ? AAC_MIN_32 : AAC_MAX_32;
  /* normalise b to [2^30, 2^31); a < b keeps a below 2^31 */
  while (nb < ((int64_t)1 << 30)) {
    nb <<= 1;
    na <<= 1;
  }
  uint32_t seed = aacDivSeeds[(nb >> 27) & 7];
  /* Q30 numerator and denominator after the seed; the denominator lands near 1.0 */
  int64_t n = (na * seed) >> 15;
  int64_t d = (nb * seed) >> 15;
  for (int i = 0; i < 4; i++) {
    int64_t f = ((int64_t)2 << 30) - d;
    n = (n * f) >> 30;
    d = (d * f) >> 30;
  }
  int32_t r = sat32(n << 1);
  return neg ? -r : r;
}

int32_t aacSafeDiv(int32_t a, int32_t b) {
  if (b <= 0 || a >= b) return AAC_MAX_32;
  return aacFixDiv(a, b);
}

int16_t aacDivQ15(int16_t a, int16_t b) {
  if (a == 0) return 0;
  if (b == 0) return (a < 0) ? AAC_MIN_16 : AAC_MAX_16;
  int neg = (a < 0) != (b < 0);
  int32_t na = a < 0 ? -(int32_t)a : a;
  int32_t nb = b < 0 ? -(int32_t)b : b;
  if (na >= nb) return neg ? AAC_MIN_16 : AAC_MAX_16;
  int32_t q = 0;
  for (int i = 0; i < 15; i++) {
    na <<= 1;
    q <<= 1;
    if (na >= nb) {
      na -= nb;
      q |= 1;
    }
  }
  return (int16_t)(neg ? -q : q);
}

int32_t aacPow2xy(int32_t a, int32_t b) {
  if (b <= 0) return AAC_MAX_32;
  if (a > 0) a = 0;
  int64_t na = -(int64_t)a;
  int64_t whole = na / b;
  int64_t frac = na % b;
  int32_t idx = (int32_t)((frac * 256) / b);
  return L_shr(pow2Table[idx], whole > 31 ? 31 : (int32_t)whole);
}

int32_t aacQuarterLog2(int32_t a) {
  if (a <= 0) return -128;
  int32_t n = clz32((uint32_t)a);
  int32_t x = (int32_t)((uint32_t)a << (n - 1)); /* in [2^30, 2^31) */
  for (int i = 0; i < 2; i++) x = (int32_t)((((int64_t)x * x) >> 32) << 1);
  int32_t z = clz32((uint32_t)x);
  return 4 - 4 * n - z;
}

int32_t aacInvSqrtNorm(int32_t x) {
  /* quadratic seed: about 0.5 / sqrt(x) in Q31, i.e. 1 / sqrt(x) in Q30 */
  int32_t t = (int32_t)(((int64_t)x * 14809) >> 16);
  int32_t c1 = L_add((int32_t)0x900EBEE0, L_shl(t, 1));
  int32_t p = (int32_t)(((int64_t)x * (c1 >> 16)) >> 16);
  int64_t y = 2 * (int64_t)L_add(0x573B645A, L_shl(p, 1));
  for (int i = 0; i < 2; i++) {
    int64_t y2 = (y * y) >> 30;                 /* Q30 */
    int64_t xy2 = ((int64_t)x * y2) >> 31;      /* Q30 */
    int64_t f = ((int64_t)3 << 30) - xy2;       /* Q30 */
    y = (y * f) >> 31;                          /* y * f / 2 in Q30 */
  }
  return sat32(y);
}

int32_t aacInvSqrt(int32_t x, int32_t *shift) {
  if (x <= 0) {
    *shift = 31;
    return AAC_MAX_32;
  }
  int32_t n = norm_l(x) & ~1; /* even normalisation: x' = x * 2^n in [0.25, 1) */
  int32_t xn = x << n;
  int32_t r = aacInvSqrtNorm(xn); /* 1/sqrt(x') in Q30 */
  /* 1/sqrt(x) = 2^(n/2) / sqrt(x') = (r / 2^30) 2^(n/2) = (r / 2^31) 2^(n/2 + 1) */
  *shift = n / 2 + 1;
  return r;
}

int32_t aacSqrtQ31(int32_t x) {
  if (x <= 0) return 0;
  int32_t s;
  int32_t m = aacInvSqrt(x, &s);
  /* sqrt(x) = x / sqrt(x) = x * m / 2^31 * 2^s  */
  return sat32(LL_shr((int64_t)x * m, 31 - s));
}

static int16_t norm_s(int16_t m) { return (int16_t)(m == 0 ? 0 : norm_l((int32_t)m * 65536)); }

void aacMantExpAdd(int16_t m1, int16_t e1, int16_t m2, int16_t e2, int16_t *m, int16_t *e) {
  int32_t a = m1, b = m2, ex;
  if (e1 > e2) {
    int32_t d = e1 - e2;
    b = d > 15 ? (b < 0 ? -1 : 0) : b >> d;
    ex = e1;
  } else {
    int32_t d = e2 - e1;
    a = d > 15 ? (a < 0 ? -1 : 0) : a >> d;
    ex = e2;
  }
  int32_t sum = a + b;
  int32_t half = sum >> 1;
  if (half > -16384 && half < 16383) {
    *m = (int16_t)sum;
    *e = (int16_t)ex;
  } else {
    *m = (int16_t)half;
    *e = (int16_t)(ex + 1);
  }
}

void aacMantExpDiv(int16_t m1, int16_t e1, int16_t m2, int16_t e2, int16_t *m, int16_t *e) {
  int32_t sh2 = 0;
  int32_t d = m2 < 0 ? -(int32_t)m2 : m2;
  int neg = m2 < 0;
  if (d == 0) d = 1;
  /* divisor normalised to 9 bits: 256..511 */
  while (d < 256) {
    d <<= 1;
    sh2++;
  }
  while (d > 511) {
    d >>= 1;
    sh2--;
  }
  int32_t inv = invTable[d - 256];                  /* about 256 / (d + 1) in Q15 */
  int16_t n1 = norm_s(m1);                          /* full precision of the dividend */
  int32_t q = sat32(((int64_t)m1 * (1 << n1) * inv) >> 15); /* m1 / (d/256) */
  e1 = (int16_t)(e1 - n1);
  if (neg) q = -q;
  int32_t ex = e1 - e2 + sh2 - 8;
  /* renormalise to 16 bits */
  while (q > 32767 || q < -32768) {
    q >>= 1;
    ex++;
  }
  int16_t qs = (int16_t)q;
  int16_t ns = norm_s(qs);
  *m = (int16_t)(qs * (1 << ns));
  *e = (int16_t)(ex - ns);
}

void aacMantExpSqrt(int16_t m1, int16_t e1, int16_t *m, int16_t *e) {
  if (m1 <= 0) {
    *m = 0;
    *e = -16;
    return;
  }
  int32_t v = m1, ex = e1;
  /* normalise to 9 bits (256..511), keeping the value m * 2^e */
  while (v < 256) {
    v <<= 1;
    ex--;
  }
  while (v > 511) {
    v >>= 1;
    ex++;
  }
  /* value = (v / 512) * 2^(ex + 9) */
  int32_t r = (v == 256) ? 23170 : sqrtTable[v - 256]; /* sqrt(v/512) in Q15 */
  int32_t p = ex + 9;                                  /* sqrt(2^p) */
  if (p & 1) {
    r = (r * 46340 + 32768) >> 16; /* times sqrt(2)/2 */
    p += 1;
  }
  *m = (int16_t)r;
  *e = (int16_t)(p / 2 - 15);
}

int32_t aacMul118Percent(int32_t a) { return sat32((int64_t)a * 118 / 100); }
