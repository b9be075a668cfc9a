/* Parametric-stereo encoder: hybrid analysis of the lowest QMF bands, inter-channel
 * intensity differences and coherences per parameter band, and their bitstream. */
#ifndef AAC_PS_H
#define AAC_PS_H

#include <stdint.h>

#include "aac_bitbuf.h"

#ifdef __cplusplus
extern "C" {
#endif

#define PS_MAX_BANDS 20
#define PS_MODE_COARSE 0x20000 /* ten parameter bands */
#define PS_PAYLOAD_AREA 272    /* holds the largest payload (270 bytes) */
#define PS_HYBRID_BYTES (32 * 4 * 16 * 2)

extern const int8_t hiResBandBorders[21];
extern const int32_t aHybridResolution[3];
extern const int32_t p4_13[13];
extern const int32_t iidQuantLeft[7];
extern const int32_t iidQuantRight[7];
extern const int32_t iccQuant[8];

/* Pointer-free: the record lives in the SBR instance. */
typedef struct PsEncoder {
  int8_t fine;          /* 1 for 20 bands */
  uint8_t n_bands;
  int8_t prev_iid_off;
  int8_t prev_icc_off;
  int32_t mode_flags;
  AacBitBuf bb;         /* over `area` */
  int32_t delay_scale;
  int32_t iid[PS_MAX_BANDS]; /* left / right power, Q23; 0x7FFFFFFF from a ratio of 256 */
  int32_t icc[PS_MAX_BANDS]; /* signed squared coherence, Q31 */
  int8_t prev_iid_idx[PS_MAX_BANDS];
  int8_t prev_icc_idx[PS_MAX_BANDS];
  int32_t acc[4][PS_MAX_BANDS]; /* left power, right power, cross real, cross imaginary */
  int16_t delay_lo[4][6][3];    /* QMF slots 20..25 of the previous frame, bands 0..2 */
  int16_t delay_hi[4][6][64];   /* QMF slots 26..31 of the previous frame */
  uint8_t area[PS_PAYLOAD_AREA];
} PsEncoder;

int PsEncoderOpen(PsEncoder *ps, int32_t mode_flags);
/* One frame of 32 QMF slots per channel; both channels' rows and scales end at one common
 * exponent.  hybrid is frame scratch of PS_HYBRID_BYTES (16-bit aligned). */
void PsEncoderEstimate(PsEncoder *ps, int16_t *const *l_im, int16_t *const *l_re, int16_t *const *r_im,
                       int16_t *const *r_re, int32_t *l_scale, int32_t *r_scale, int16_t *hybrid);
/* Hybrid filter bank of one channel: 32 slots of 16 hybrid subbands (real, imaginary rows of
 * `stride` values apart).  delay_lo / delay_hi: the previous frame's slots 20..31. */
void HybridAnalysis(int16_t *const *re, int16_t *const *im, int16_t *h_re, int16_t *h_im, int32_t stride,
                    const int16_t (*dre_lo)[3], const int16_t (*dim_lo)[3], const int16_t (*dre_hi)[64],
                    const int16_t (*dim_hi)[64]);
/* Writes the frame's parameters into the record's buffer: its bit count, or -1 when the
 * buffer still held bits (nothing is written then). */
int32_t PsWriteData(PsEncoder *ps, int32_t independent);
/* Resets the process-wide "a parametric-stereo header was written" flag (tests only). */
void PsResetHeaderFlagForTest(void);

#ifdef __cplusplus
}
#endif
#endif
