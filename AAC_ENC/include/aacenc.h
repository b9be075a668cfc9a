/* Fixed-point AAC-LC encoder (with spectral band replication and parametric stereo modes).
 *
 * The caller owns one aacenc_config_t and one memory block of
 * AACENC_BLOCK_BYTES(channels_in) bytes, both zeroed: the first
 * AACENC_OUTPUT_BYTES(channels_in) bytes are the output buffer (output_buffer points at the
 * block's start) and the rest is the encoder's working memory (work_memory).  Call
 * aacenc_setup, aacenc_open, then aacenc_encode once per frame, and read `error` after each
 * call.  The encoder allocates nothing; it is single-instance and not re-entrant. */
#ifndef AACENC_H
#define AACENC_H

#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AACENC_OUTPUT_BYTES(channels) ((channels) * 768u + 256u)
#define AACENC_WORK_BYTES 106000u
#define AACENC_BLOCK_BYTES(channels) ((channels) * 768u + 106256u)
/* Working-memory offset of the 32-bit offset of the core coder's state. */
#define AACENC_CORE_STATE_SLOT 9800u

typedef struct aacenc_config {
  uint32_t sample_rate;       /* caller: input rate in Hz */
  uint32_t core_sample_rate;  /* setup: rate of the AAC core */
  uint32_t channels_in;       /* caller: 1 or 2 */
  uint32_t channels_out;      /* setup: coded channels */
  uint32_t bit_rate;          /* caller; periodic check: active total bit rate */
  uint8_t rate_check_enabled; /* setup (1): periodic requested-bit-rate check */
  uint32_t requested_bit_rate; /* setup (copy of bit_rate), then the caller */
  uint32_t quality;           /* caller: 0 to 2 */
  uint32_t tns_enabled;       /* caller: temporal noise shaping on when non-zero */
  char format;                /* caller: 'a' ADIF, 'l' LOAS, 'r' raw, 't' ADTS */
  uint32_t mode;              /* caller: 0 AAC-LC, 1 with SBR, 3 SBR with parametric stereo */
  uint32_t reserved;          /* setup (0) */
  uint32_t error;             /* encoder: sticky error code */
  uint32_t output_bits;       /* encode: length in bits of the last transport frame */
  uint8_t *output_buffer;     /* caller */
  const int16_t *input_pcm;   /* caller: interleaved PCM of one call */
  void *work_memory;          /* caller */
  char revision_text[8];      /* setup */
  char location_text[128];    /* setup */
  uint32_t calibration[4];    /* caller: calibration words */
} aacenc_config_t;

/* Error codes of `error`. */
enum {
  AACENC_OK = 0,
  AACENC_ERR_NULL = 1,       /* null pointer, or the core or SBR encoder refused to open */
  AACENC_ERR_RATE = 3,       /* sampling rate not supported for the mode */
  AACENC_ERR_CHANNELS = 4,   /* channels not 1 or 2 */
  AACENC_ERR_BITRATE = 5,    /* bit rate outside the range */
  AACENC_ERR_MODE = 6        /* mode, quality, SBR tuning or SBR open */
};

uint32_t aacenc_setup(aacenc_config_t *config);
uint32_t aacenc_open(aacenc_config_t *config);
uint32_t aacenc_encode(aacenc_config_t *config);
/* handle: the core coder's state (aacenc_core_handle); returns null. */
void *AacEncClose(void *handle);

/* The core coder's state handle kept in the working memory, or null before a successful open. */
static inline void *aacenc_core_handle(const aacenc_config_t *config) {
  if (!config || !config->work_memory) return (void *)0;
  const uint8_t *wm = (const uint8_t *)config->work_memory;
  uint32_t off;
  memcpy(&off, wm + AACENC_CORE_STATE_SLOT, sizeof(off));
  return off ? (void *)((uint8_t *)config->work_memory + off) : (void *)0;
}

#ifdef __cplusplus
}
#endif
#endif
