/* Windowing and MDCT of one coded channel, with dynamic scaling (block floating point). */
#ifndef AAC_TRANSFORM_H
#define AAC_TRANSFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_HISTORY 1600

extern const int16_t LongWindowKBD[1024];
extern const int16_t LongWindowSine[1024];
extern const int16_t ShortWindowSine[128];
extern const int16_t aacenc_fftTwiddleTable2[257 * 2];

/* Window shape signalled for a window sequence (KBD 1, sine 0). */
int32_t AacWindowShape(int32_t seq);

/* DCT-IV of n = 1024 (log2 10, table LongWindowSine) or n = 128 (log2 7, ShortWindowSine)
 * values in place; scratch holds n 32-bit words. */
void AacMdctCore(int32_t *data, const int16_t *rot, int32_t n, int32_t log2n, int32_t *scratch);

/* Per-line calibration shifts of ONLY_LONG spectra: a signed byte per line (positive: right
 * shift, negative: left shift within the headroom).  Null when calibration is off. */
typedef struct AacCalibShift {
  const int8_t *table; /* 1024 bytes per coded channel, channel-major */
} AacCalibShift;

/* Transforms one channel: history (1600 samples, updated), the 1024 new samples read with
 * stride, the window sequence; writes 1024 lines and the spectrum exponent.  calib may be
 * null (all words 0). */
void AacTransformReal(int16_t *history, const int16_t *input, int32_t stride, int32_t *spectrum, int32_t seq,
                      int32_t *scratch, int32_t channel, const uint32_t *calib, const int8_t *calib_table,
                      int32_t *spec_exp);

#ifdef __cplusplus
}
#endif
#endif
