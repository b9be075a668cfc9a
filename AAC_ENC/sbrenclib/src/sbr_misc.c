/* Small routines shared by the SBR estimators and the frame generator. */
#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_sbr_int.h"

int32_t SbrMulDiv(int32_t a, int32_t b, int32_t c) {
  if (c == 0) return (a < 0) != (b < 0) ? AAC_MIN_32 : AAC_MAX_32;
  int32_t s = norm_l(c);
  int32_t p = L_shl(fixmul_q31(a, b), s);
  return aacFixDiv(p, L_shl(c, s));
}

void ShellSortInt(int32_t *v, int32_t count) {
  if (count < 2) return;
  int32_t inc = 1;
  while (inc <= count) inc = 3 * inc + 1;
  do {
    inc /= 3;
    for (int32_t i = inc; i < count; i++) {
      int32_t x = v[i], j = i;
      while (j >= inc && v[j - inc] > x) {
        v[j] = v[j - inc];
        j -= inc;
      }
      v[j] = x;
    }
  } while (inc > 1);
}

void VecInsertFront(int32_t *v, int32_t *len, int32_t value) {
  for (int32_t i = *len; i > 0; i--) v[i] = v[i - 1];
  v[0] = value;
  (*len)++;
}

void VecPrependReversed(int32_t *v, int32_t *len, const int32_t *src, int32_t n) {
  for (int32_t i = n - 1; i >= 0; i--) VecInsertFront(v, len, src[i]);
}

void VecAppend(int32_t *v, int32_t *len, int32_t value) { v[(*len)++] = value; }

int32_t sbrLog2Fine(uint32_t x) {
  if (x <= 1) return 0;
  int32_t n = 31 - clz32(x);
  /* mantissa in [1, 2) as Q30; each squaring yields one fractional bit */
  uint64_t m = n <= 30 ? (uint64_t)x << (30 - n) : (uint64_t)x >> (n - 30);
  int32_t frac = 0;
  for (int32_t i = 0; i < 26; i++) {
    m = (m * m) >> 30;
    frac <<= 1;
    if (m >= ((uint64_t)2 << 30)) {
      m >>= 1;
      frac |= 1;
    }
  }
  return (n << 26) + frac;
}
