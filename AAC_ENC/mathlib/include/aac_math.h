/* Fixed-point arithmetic shared by the encoder's modules: divisions, logarithms, powers of
 * two, square roots and mantissa/exponent arithmetic, each built on one table. */
#ifndef AAC_MATH_H
#define AAC_MATH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const int16_t logDualisTable[65]; /* round(4096 log2 i), entry 0 = -16384 */
extern const int16_t invTable[256];      /* round(2^23 / (257 + i)) */
extern const int16_t sqrtTable[256];     /* round(32768 sqrt((257 + i) / 512)), at most 32767 */
extern const int32_t pow2Table[256];     /* 2^31 * 2^(-i/256), entry 0 saturated */
extern const uint16_t aacDivSeeds[8];    /* floor(32768 / (1 + (i + 1) / 8)) */

/* floor(a / b) for a >= 0, b > 0 by shifted subtraction; b <= 0 or a < 0 answers 0x7FFFFFFF / 0. */
int32_t aacDivInt(int32_t a, int32_t b);
/* logDualisTable[b] - logDualisTable[a]; indexes are clamped to 0..64. */
int16_t aacLog2Diff(int32_t a, int32_t b);
/* a / b in Q31 (|a| < |b|, any signs) by Goldschmidt iteration; b == 0 answers the saturated value. */
int32_t aacFixDiv(int32_t a, int32_t b);
/* aacFixDiv when a < b (b > 0), else 0x7FFFFFFF. */
int32_t aacSafeDiv(int32_t a, int32_t b);
/* Q15 quotient of the magnitudes by 15 restoring steps, sign of a XOR b; |a| >= |b| saturates. */
int16_t aacDivQ15(int16_t a, int16_t b);
/* 2^(a / b) in Q31 for a <= 0, b > 0 (a > 0 is taken as 0; b <= 0 answers 0x7FFFFFFF). */
int32_t aacPow2xy(int32_t a, int32_t b);
/* 4 log2(a) - 124 rounded down for powers of two (about 4 log2(a / 2^31)); a <= 0 gives -128. */
int32_t aacQuarterLog2(int32_t a);
/* 1 / sqrt(x) for a Q31 x in [0.25, 1): result r with 1/sqrt(x) = r / 2^30. */
int32_t aacInvSqrtNorm(int32_t x);
/* 1 / sqrt(x) for any Q31 x > 0: returns the mantissa m (Q31 scale) and *shift so that
 * 1 / sqrt(x / 2^31) = m / 2^31 * 2^(*shift).  x <= 0 gives 0x7FFFFFFF with shift 31. */
int32_t aacInvSqrt(int32_t x, int32_t *shift);
/* sqrt(x) for Q31 x >= 0, in Q31. */
int32_t aacSqrtQ31(int32_t x);

/* Mantissa/exponent values: value = m * 2^e with a 16-bit mantissa. */
void aacMantExpAdd(int16_t m1, int16_t e1, int16_t m2, int16_t e2, int16_t *m, int16_t *e);
void aacMantExpDiv(int16_t m1, int16_t e1, int16_t m2, int16_t e2, int16_t *m, int16_t *e);
void aacMantExpSqrt(int16_t m1, int16_t e1, int16_t *m, int16_t *e);

/* a * 118 / 100 in integer arithmetic. */
int32_t aacMul118Percent(int32_t a);

#ifdef __cplusplus
}
#endif
#endif
