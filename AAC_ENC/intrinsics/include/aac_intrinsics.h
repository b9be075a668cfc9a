/* Basic fixed-point operations of the encoder: saturating arithmetic, clamped shifts,
 * fractional products and normalisation counts.  Every shift count is clamped and every
 * product that can leave 32 bits is formed in 64 bits, so no operation has undefined
 * behaviour whatever its arguments. */
#ifndef AAC_INTRINSICS_H
#define AAC_INTRINSICS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_MAX_32 ((int32_t)0x7FFFFFFF)
#define AAC_MIN_32 ((int32_t)(-0x7FFFFFFF - 1))
#define AAC_MAX_16 ((int16_t)0x7FFF)
#define AAC_MIN_16 ((int16_t)(-0x7FFF - 1))

static inline int32_t sat32(int64_t v) {
  return v > AAC_MAX_32 ? AAC_MAX_32 : (v < AAC_MIN_32 ? AAC_MIN_32 : (int32_t)v);
}
static inline int16_t sat16(int32_t v) {
  return v > AAC_MAX_16 ? AAC_MAX_16 : (v < AAC_MIN_16 ? AAC_MIN_16 : (int16_t)v);
}
static inline int32_t L_add(int32_t a, int32_t b) { return sat32((int64_t)a + b); }
static inline int32_t L_sub(int32_t a, int32_t b) { return sat32((int64_t)a - b); }
static inline int32_t L_negate(int32_t a) { return a == AAC_MIN_32 ? AAC_MAX_32 : -a; }
static inline int32_t L_abs(int32_t a) { return a == AAC_MIN_32 ? AAC_MAX_32 : (a < 0 ? -a : a); }
/* Plain (wrapping) 32-bit addition where the callers guarantee headroom. */
static inline int32_t L_add_wrap(int32_t a, int32_t b) { return (int32_t)(uint32_t)((uint32_t)a + (uint32_t)b); }
static inline int32_t L_sub_wrap(int32_t a, int32_t b) { return (int32_t)(uint32_t)((uint32_t)a - (uint32_t)b); }

/* Arithmetic right shift; counts above 31 give the sign, negative counts shift left saturating. */
static inline int32_t L_shr(int32_t a, int32_t s);
/* Left shift with saturation; counts above 31 saturate any non-zero value, negative counts shift right. */
static inline int32_t L_shl(int32_t a, int32_t s) {
  if (s <= 0) {
    if (s <= -31) return a < 0 ? -1 : 0;
    return a >> (-s);
  }
  if (s > 31) return a == 0 ? 0 : (a > 0 ? AAC_MAX_32 : AAC_MIN_32);
  return sat32((int64_t)a * ((int64_t)1 << s));
}
static inline int32_t L_shr(int32_t a, int32_t s) {
  if (s >= 0) {
    if (s > 31) return a < 0 ? -1 : 0;
    return a >> s;
  }
  return L_shl(a, s < -32 ? 32 : -s);
}
/* Left shift without saturation (the caller knows the headroom); count clamped to 0..31. */
static inline int32_t L_shl_nosat(int32_t a, int32_t s) {
  s = s < 0 ? 0 : (s > 31 ? 31 : s);
  return (int32_t)(uint32_t)((uint32_t)a << s);
}
/* Arithmetic shift of a 64-bit value, count clamped to 0..63. */
static inline int64_t LL_shr(int64_t a, int32_t s) {
  s = s < 0 ? 0 : (s > 63 ? 63 : s);
  return a >> s;
}

/* Upper 32 bits of the 48-bit product of a 32-bit and a 16-bit value. */
static inline int32_t fixmul_32x16(int32_t a, int16_t b) { return (int32_t)(((int64_t)a * b) >> 16); }
/* Upper 32 bits of the 64-bit product. */
static inline int32_t fixmul_32x32(int32_t a, int32_t b) { return (int32_t)(((int64_t)a * b) >> 32); }
/* Q31 product: upper word doubled, saturating (only -1 * -1 saturates). */
static inline int32_t fixmul_q31(int32_t a, int32_t b) { return sat32(((int64_t)a * b) >> 31); }
/* Q15 product of 16-bit values, saturating. */
static inline int16_t mult_q15(int16_t a, int16_t b) { return sat16(((int32_t)a * b) >> 15); }

/* Number of redundant sign bits of a 32-bit value (0 for 0). */
static inline int32_t norm_l(int32_t a) {
  if (a == 0) return 0;
  uint32_t v = (uint32_t)(a ^ (a >> 31));
  if (v == 0) return 31; /* a == -1 */
  return (int32_t)__builtin_clz(v) - 1;
}
/* Leading zeros of the 32-bit pattern (32 for 0). */
static inline int32_t clz32(uint32_t a) { return a == 0 ? 32 : (int32_t)__builtin_clz(a); }

/* Guarded integer division: floor toward zero, with b == 0 answering the saturated quotient. */
static inline int32_t div_guard(int64_t a, int64_t b) {
  if (b == 0) return a < 0 ? AAC_MIN_32 : AAC_MAX_32;
  return sat32(a / b);
}

#ifdef __cplusplus
}
#endif
#endif
