#include "aac_bitbuf.h"

#include <string.h>

void aacBitBufOpen(AacBitBuf *bb, uint32_t size, uint32_t start_bit) {
  memset(bb, 0, sizeof(*bb));
  bb->size = size;
  if (start_bit > size * 8u) start_bit = size * 8u;
  bb->read_pos = bb->write_pos = start_bit / 8u;
  bb->read_bit = bb->write_bit = 7 - (int32_t)(start_bit % 8u);
  bb->capacity = size * 8u - start_bit;
}

void aacBitBufWrite(uint8_t *base, AacBitBuf *bb, uint32_t value, int32_t n) {
  if (n <= 0) return;
  if (n > 32) n = 32;
  if ((uint32_t)bb->valid_bits + (uint32_t)n > bb->capacity || bb->size == 0) {
    bb->overflow += (uint32_t)n;
    return;
  }
  for (int32_t i = n - 1; i >= 0; i--) {
    uint8_t bit = (uint8_t)((value >> i) & 1u);
    uint8_t mask = (uint8_t)(1u << bb->write_bit);
    base[bb->write_pos] = (uint8_t)((base[bb->write_pos] & ~mask) | (bit << bb->write_bit));
    if (--bb->write_bit < 0) {
      bb->write_bit = 7;
      if (++bb->write_pos >= bb->size) bb->write_pos = 0;
    }
  }
  bb->valid_bits += n;
}

uint32_t aacBitBufRead(const uint8_t *base, AacBitBuf *bb, int32_t n) {
  if (n > 24 || n <= 0 || bb->size == 0) return 0;
  uint32_t v = 0;
  for (int32_t i = 0; i < n; i++) {
    v = (v << 1) | ((base[bb->read_pos] >> bb->read_bit) & 1u);
    if (--bb->read_bit < 0) {
      bb->read_bit = 7;
      if (++bb->read_pos >= bb->size) bb->read_pos = 0;
    }
  }
  bb->valid_bits -= n;
  return v;
}

void aacBitBufSkip(AacBitBuf *bb, int32_t n) {
  if (bb->size == 0) return;
  int64_t total = (int64_t)bb->size * 8;
  int64_t pos = (int64_t)bb->read_pos * 8 + (7 - bb->read_bit) + n;
  pos %= total;
  if (pos < 0) pos += total;
  bb->read_pos = (uint32_t)(pos / 8);
  bb->read_bit = 7 - (int32_t)(pos % 8);
  bb->valid_bits -= n;
}

void aacBitBufSnapshot(const uint8_t *src_base, const AacBitBuf *src, uint8_t *dst_base, AacBitBuf *dst) {
  uint32_t n = src->size < dst->size ? src->size : dst->size;
  memcpy(dst_base, src_base, n);
  uint32_t dst_size = dst->size;
  *dst = *src;
  dst->size = dst_size;
}
