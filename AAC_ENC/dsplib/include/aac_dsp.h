/* Signal-processing kernels: the complex FFT shared by the MDCT and the QMF bank, and the
 * array helpers (headroom, scaling, saturating addition). */
#ifndef AAC_DSP_H
#define AAC_DSP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Q14 twiddles, three (cos, sin) pairs per radix-4 butterfly for the angles 2kt, kt, 3kt. */
extern const int16_t fftTwiddlePow4[20 * 6];    /* group sizes 16, 64 */
extern const int16_t fftTwiddlePow4x2[168 * 6]; /* group sizes 32, 128, 512 */

/* out(k) = 1/N sum in(n) exp(+2 pi i n k / N) over N interleaved (re, im) pairs.
 * N = 4, 16, 64 or 8, 32, 128, 512.  Returns 0, or 1 without touching anything for any
 * other N.  The input is not written. */
int FftComplex(const int32_t *in, int32_t *out, int n);

/* Left shifts every element, placed in the upper half of a 32-bit word, can take (31 when all are 0). */
int32_t aacHeadroom16(const int16_t *x, int32_t count);
int32_t aacHeadroom16Stride(const int16_t *x, int32_t count, int32_t stride);
int32_t aacHeadroom32(const int32_t *x, int32_t count);
/* s < 0: arithmetic right shift by -s; s >= 0: saturating left shift. */
void aacScale32(int32_t *x, int32_t count, int32_t s);
void aacScale16(int16_t *x, int32_t count, int32_t s);
/* dst[i] = sat(a[i] + b[i]) */
void aacAddSat32(const int32_t *a, const int32_t *b, int32_t *dst, int32_t count);

#ifdef __cplusplus
}
#endif
#endif
