/* Bit writers of the encoder.
 *
 * The circular bit buffer keeps no pointers in its state (read and write positions are
 * byte offsets from the buffer's base), so a state may live in the working memory whose
 * byte layout must not depend on the host's pointer width; the base is passed to every
 * call.  Writes never go past the capacity: a write that would is refused and counted
 * in `overflow`, so a frame can never run over the output buffer.
 *
 * The header writer is a 32-bit cache over a byte pointer, bounded by the buffer size. */
#ifndef AAC_BITBUF_H
#define AAC_BITBUF_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct AacBitBuf {
  uint32_t size;         /* bytes of the buffer */
  uint32_t read_pos;     /* byte offset of the read pointer */
  int32_t read_bit;      /* 7 down to 0, most significant first */
  uint32_t write_pos;    /* byte offset of the write pointer */
  int32_t write_bit;     /* 7 down to 0 */
  int32_t valid_bits;    /* bits written and not yet read */
  uint32_t capacity;     /* in bits */
  uint32_t overflow;     /* bits refused because the capacity was reached */
} AacBitBuf;

/* Opens over `size` bytes starting at bit `start_bit`; capacity = size * 8 - start_bit. */
void aacBitBufOpen(AacBitBuf *bb, uint32_t size, uint32_t start_bit);
/* Writes the n (0..32) low bits of value, most significant first, wrapping at the end. */
void aacBitBufWrite(uint8_t *base, AacBitBuf *bb, uint32_t value, int32_t n);
/* Reads n bits (at most 24; more answers 0 and reads nothing). */
uint32_t aacBitBufRead(const uint8_t *base, AacBitBuf *bb, int32_t n);
/* Moves the read position by n bits (negative moves back). */
void aacBitBufSkip(AacBitBuf *bb, int32_t n);
/* Copies the bytes and the state of one buffer into another of the same size. */
void aacBitBufSnapshot(const uint8_t *src_base, const AacBitBuf *src, uint8_t *dst_base, AacBitBuf *dst);
/* Bits written since the buffer was opened (the valid count when nothing was read). */
static inline int32_t aacBitBufCount(const AacBitBuf *bb) { return bb->valid_bits; }

typedef struct AacHdrWriter {
  uint8_t *buf;
  uint32_t size;    /* bytes the writer may touch */
  uint32_t bytes;   /* whole bytes written (index of the next byte) */
  int32_t pending;  /* bits in the cache */
  uint32_t cache;   /* pending bits at the top */
  uint32_t overflow;
} AacHdrWriter;

void aacHdrOpen(AacHdrWriter *w, uint8_t *buf, uint32_t size, uint32_t bit_pos);
void aacHdrWrite(AacHdrWriter *w, uint32_t value, int32_t n); /* n at most 25 */
int32_t aacHdrAlign(AacHdrWriter *w);                         /* returns the padding bits */
/* Keeps the bits the buffer already holds behind the last written bit. */
void aacHdrCloseInPlace(AacHdrWriter *w);
static inline uint32_t aacHdrBitPos(const AacHdrWriter *w) { return w->bytes * 8u + (uint32_t)w->pending; }

#ifdef __cplusplus
}
#endif
#endif
