#include "aac_dsp.h"

#include "aac_intrinsics.h"

int32_t aacHeadroom16Stride(const int16_t *x, int32_t count, int32_t stride) {
  uint32_t acc = 0;
  for (int32_t i = 0; i < count; i++) {
    int32_t w = (int32_t)x[(int64_t)i * stride] * 65536;
    acc |= (uint32_t)(w ^ (w >> 31));
  }
  if (acc == 0) return 31;
  return clz32(acc) - 1;
}

int32_t aacHeadroom16(const int16_t *x, int32_t count) { return aacHeadroom16Stride(x, count, 1); }

int32_t aacHeadroom32(const int32_t *x, int32_t count) {
  uint32_t acc = 0;
  for (int32_t i = 0; i < count; i++) {
    int32_t v = x[i];
    acc |= (uint32_t)(v ^ (v >> 31));
  }
  if (acc == 0) return 31;
  return clz32(acc) - 1;
}

void aacScale32(int32_t *x, int32_t count, int32_t s) {
  for (int32_t i = 0; i < count; i++) x[i] = L_shl(x[i], s);
}

void aacScale16(int16_t *x, int32_t count, int32_t s) {
  for (int32_t i = 0; i < count; i++) x[i] = sat16(L_shl(x[i], s));
}

void aacAddSat32(const int32_t *a, const int32_t *b, int32_t *dst, int32_t count) {
  for (int32_t i = 0; i < count; i++) dst[i] = L_add(a[i], b[i]);
}
