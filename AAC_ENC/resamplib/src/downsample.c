#include "aac_resamp.h"

#include <string.h>

#include "aac_intrinsics.h"

_Static_assert(sizeof(AacDownsampler) == 148, "down-sampler state is 148 bytes of the working memory");

const int16_t aacDownsampleCoeffs[AAC_DS_TAPS] = {
    -6,    -5,    17,   51,  43,   -25,  -75,  -11,  108, 92,   -96, -199, 9,
    291,   173,   -306, -443, 162, 761,  247,  -1064, -1191, 1282, 5020, 6831,
    5020,  1282,  -1191, -1064, 247, 761, 162,  -443, -306, 173,  291, 9,    -199,
    -96,   92,    108,  -11,  -75, -25,  43,   51,   17,   -5,   -6};

int aacDownsamplerOpen(AacDownsampler *ds, int32_t in_len, int32_t out_len) {
  if (in_len != 2 * out_len) return -1;
  memset(ds, 0, sizeof(*ds));
  ds->table = 0;
  ds->taps = AAC_DS_TAPS;
  ds->in_len = in_len;
  ds->out_len = out_len;
  ds->delay_frames = AAC_DS_DELAY;
  return 0;
}

int32_t aacDownsample(AacDownsampler *ds, const int16_t *in, int32_t in_count, int32_t in_stride,
                      int16_t *out, int32_t out_stride) {
  int16_t *d = ds->delay;
  const int16_t *c = aacDownsampleCoeffs;
  int32_t n = 0;
  for (int32_t i = 0; i + 1 < in_count; i += 2) {
    int16_t a = in[(int64_t)i * in_stride], b = in[(int64_t)(i + 1) * in_stride];
    memmove(d, d + 2, (AAC_DS_TAPS - 2) * sizeof(int16_t));
    d[AAC_DS_TAPS - 2] = a;
    d[AAC_DS_TAPS - 1] = b;
    int32_t acc = c[24] * d[24];
    for (int k = 0; k < 24; k++) acc += c[k] * (d[k] + d[48 - k]);
    int64_t v = (int64_t)L_shl(acc, 2) + 0x8000;
    int32_t r = (int32_t)(v >> 16);
    out[(int64_t)n * out_stride] = (int16_t)(r > 32767 ? 32767 : r);
    n++;
  }
  return n;
}
