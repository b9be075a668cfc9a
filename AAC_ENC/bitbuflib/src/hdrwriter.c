#include "aac_bitbuf.h"

static void emit(AacHdrWriter *w) {
  while (w->pending >= 8) {
    if (w->bytes < w->size) w->buf[w->bytes] = (uint8_t)(w->cache >> 24);
    else w->overflow += 8;
    w->bytes++;
    w->cache <<= 8;
    w->pending -= 8;
  }
}

void aacHdrOpen(AacHdrWriter *w, uint8_t *buf, uint32_t size, uint32_t bit_pos) {
  w->buf = buf;
  w->size = size;
  w->bytes = bit_pos / 8u;
  w->pending = (int32_t)(bit_pos % 8u);
  w->overflow = 0;
  w->cache = 0;
  if (w->pending && w->bytes < size) {
    uint32_t keep = (uint32_t)buf[w->bytes] >> (8 - w->pending);
    w->cache = keep << (32 - w->pending);
  }
}

void aacHdrWrite(AacHdrWriter *w, uint32_t value, int32_t n) {
  if (n <= 0) return;
  if (n > 25) n = 25;
  emit(w);
  value &= (n == 32) ? 0xFFFFFFFFu : ((1u << n) - 1u);
  w->cache |= value << (32 - w->pending - n);
  w->pending += n;
}

int32_t aacHdrAlign(AacHdrWriter *w) {
  int32_t pad = (8 - (w->pending & 7)) & 7;
  aacHdrWrite(w, 0, pad);
  emit(w);
  return pad;
}

void aacHdrCloseInPlace(AacHdrWriter *w) {
  emit(w);
  if (w->pending > 0) {
    int32_t keep = 8 - w->pending;
    if (w->bytes < w->size) {
      uint32_t low = (uint32_t)w->buf[w->bytes] & ((1u << keep) - 1u);
      w->buf[w->bytes] = (uint8_t)((w->cache >> 24) | low);
    } else {
      w->overflow += 8;
    }
    w->cache = 0;
    w->pending = 0;
    /* the byte is shared with the payload: the position stays at the written bit */
  }
}
