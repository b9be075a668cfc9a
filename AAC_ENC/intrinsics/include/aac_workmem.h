/* Byte layout of the encoder's working memory (the caller's block past the output buffer).
 *
 * Every slot that the design calls a pointer is a 32-bit byte offset from the start of the
 * working memory (0 meaning null), so the layout is the same on the camera and on a 64-bit
 * host.  Module states are handed out in order of opening from the running offset. */
#ifndef AAC_WORKMEM_H
#define AAC_WORKMEM_H

#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_WM_SIZE 106000u
#define AAC_WM_TIME_SIGNAL 0u         /* 2376 sample frames of two 16-bit samples */
#define AAC_WM_TIME_FRAMES 2376u
#define AAC_WM_DOWNSAMPLER 9504u      /* 2 x 148 bytes */
#define AAC_WM_HEADER 9800u           /* AacWmHeader */
#define AAC_WM_MODULES 9896u          /* module states, up to AAC_WM_MODULES_END */
#define AAC_WM_MODULES_END 84312u
#define AAC_WM_SCRATCH1 84312u        /* 4096 bytes, shared within a frame */
#define AAC_WM_SCRATCH1_SIZE 4096u
#define AAC_WM_SCRATCH2 88408u        /* 16384 bytes, shared within a frame */
#define AAC_WM_SCRATCH2_SIZE 16384u
#define AAC_WM_TRANSPORT 104792u      /* transport writer state, up to 1208 bytes */
#define AAC_WM_TRANSPORT_SIZE 1208u

/* Core configuration words (fifteen 32-bit words at 9808). */
enum {
  AAC_CFG_SAMPLE_RATE = 0,
  AAC_CFG_BIT_RATE,
  AAC_CFG_CHANNELS_IN,
  AAC_CFG_CHANNELS_CODED,
  AAC_CFG_BANDWIDTH,
  AAC_CFG_DUAL_MONO,
  AAC_CFG_TNS,
  AAC_CFG_ADTS_HEADER,
  AAC_CFG_CRC,
  AAC_CFG_RESERVED0, /* five further words, 0 */
  AAC_CFG_QUALITY = 14,
  AAC_CFG_WORDS = 15
};

typedef struct AacWmHeader {
  uint32_t core_state;   /* 9800 */
  uint32_t sbr_state;    /* 9804; 0 without SBR */
  int32_t core_config[AAC_CFG_WORDS]; /* 9808 */
  uint32_t anc_payload;  /* 9868: ancillary-data link, always 0, 0, -1 */
  uint32_t anc_size;
  int32_t anc_tag;
  uint32_t input_offset; /* 9880: sample frames carried from one call to the next */
  uint32_t mem_next;     /* 9884: running offset for module memory */
  uint32_t scratch1;     /* 9888 */
  uint32_t scratch2;     /* 9892 */
} AacWmHeader;

static inline AacWmHeader *aacWmHeader(uint8_t *wm) { return (AacWmHeader *)(void *)(wm + AAC_WM_HEADER); }

static inline void *aacWmPtr(uint8_t *wm, uint32_t off) { return off ? (void *)(wm + off) : (void *)0; }

/* Takes `bytes` (rounded up to 8) of zeroed module memory; 0 with the offset, or 2 when the
 * module area is exhausted. */
static inline int aacWmTake(uint8_t *wm, uint32_t bytes, uint32_t *off) {
  AacWmHeader *h = aacWmHeader(wm);
  uint32_t at = (h->mem_next + 7u) & ~7u;
  bytes = (bytes + 7u) & ~7u;
  if (at < AAC_WM_MODULES || at > AAC_WM_MODULES_END || bytes > AAC_WM_MODULES_END - at) return 2;
  memset(wm + at, 0, bytes);
  h->mem_next = at + bytes;
  *off = at;
  return 0;
}

#ifdef __cplusplus
}
#endif
#endif
