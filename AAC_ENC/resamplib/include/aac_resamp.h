/* 2:1 down-sampler in front of the core coder when spectral band replication runs. */
#ifndef AAC_RESAMP_H
#define AAC_RESAMP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_DS_TAPS 49
#define AAC_DS_DELAY 25

/* One channel's state; pointer-free, it lives in the encoder's working memory (148 bytes). */
typedef struct AacDownsampler {
  int16_t delay[50]; /* most recent inputs, delay[0] the oldest of the 49 */
  int32_t table;     /* coefficient set: 0, the 49-tap half-band filter */
  int32_t taps;
  int32_t in_len;
  int32_t out_len;
  int32_t delay_frames;
  int32_t reserved[7];
} AacDownsampler;

extern const int16_t aacDownsampleCoeffs[AAC_DS_TAPS];

/* 0, or -1 when in_len is not twice out_len. */
int aacDownsamplerOpen(AacDownsampler *ds, int32_t in_len, int32_t out_len);
/* Filters in_count samples read with in_stride into in_count / 2 samples written with
 * out_stride (in place is allowed when out is not ahead of in); returns the count written. */
int32_t aacDownsample(AacDownsampler *ds, const int16_t *in, int32_t in_count, int32_t in_stride,
                      int16_t *out, int32_t out_stride);

#ifdef __cplusplus
}
#endif
#endif
