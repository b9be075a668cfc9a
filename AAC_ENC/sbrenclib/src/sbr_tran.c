/* Transient detection on the QMF slot energies of the SBR range, and the frame splitter
 * that decides whether a frame without a transient gets one or two fixed envelopes. */
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_sbr_int.h"

int32_t sbrSplitThreshold(int32_t frame_length, int32_t sbr_rate, int32_t std_rate, int32_t bit_rate) {
  (void)frame_length;
  int32_t x = sbr_rate > 0 ? 2048 * 10000 / sbr_rate - 100 : 1;
  if (x < 1) x = 1;
  int32_t thr = (int32_t)(7500000 / ((int64_t)x * x));
  if (bit_rate > 0) thr = (int32_t)((int64_t)std_rate * thr / bit_rate);
  return thr;
}

int sbrTransientDetectorOpen(SbrTransientDetector *d, int32_t frame_length, int32_t sbr_rate, int32_t std_rate,
                             int32_t bit_rate, int32_t threshold, int32_t low_band) {
  (void)threshold;
  memset(d, 0, sizeof(*d));
  d->split_threshold = sbrSplitThreshold(frame_length, sbr_rate, std_rate, bit_rate);
  d->window = sbr_rate / 12000;
  if (d->window < 2) d->window = 2;
  if (d->window > 4) d->window = 4; /* the look-ahead of the energy history */
  d->low_band = low_band;
  d->energy_scale = 30;
  d->prev_low_scale = 30;
  return 0;
}

void sbrTransientDetectorUpdateRate(SbrTransientDetector *d, int32_t frame_length, int32_t sbr_rate,
                                    int32_t std_rate, int32_t bit_rate) {
  d->split_threshold = sbrSplitThreshold(frame_length, sbr_rate, std_rate, bit_rate);
}

static int32_t isqrt64(uint64_t v) {
  uint64_t r = 0, bit = (uint64_t)1 << 62;
  while (bit > v) bit >>= 2;
  while (bit) {
    if (v >= r + bit) {
      v -= r + bit;
      r = (r >> 1) + bit;
    } else {
      r >>= 1;
    }
    bit >>= 2;
  }
  return (int32_t)(r > 0x7FFFFFFF ? 0x7FFFFFFF : r);
}

/* energy history index i holds QMF slot i - 16 of this frame */
void sbrDetectTransient(int16_t *const *re, int16_t *const *im, int32_t qmf_scale, SbrTransientDetector *d,
                        int32_t first, int32_t stop, SbrTransientInfo *out) {
  int32_t w = stop - first;
  if (w < 1) w = 1;
  memmove(d->energy, d->energy + 32, 16 * sizeof(int32_t));
  memmove(d->measure, d->measure + 32, 16 * sizeof(int32_t));
  /* the new slots at the frame's exponent, the history at its own: bring both to the smaller */
  int32_t scale = 2 * qmf_scale;
  int32_t common = scale < d->energy_scale ? scale : d->energy_scale;
  int32_t old_shift = d->energy_scale - common, new_shift = scale - common;
  if (old_shift)
    for (int32_t i = 0; i < 16; i++) d->energy[i] = L_shr(d->energy[i], old_shift);
  for (int32_t l = 0; l < 32; l++) {
    int64_t acc = 0;
    /* two squares of -32768 reach 2^31: sum them in 64 bits */
    for (int32_t k = first; k < stop; k++) acc += (int64_t)re[l][k] * re[l][k] + (int64_t)im[l][k] * im[l][k];
    d->energy[16 + l] = sat32(LL_shr(acc / w, new_shift));
  }
  d->energy_scale = common;

  /* a rise is measured against the running mean and deviation of the preceding slots, and
   * against an absolute floor so that quiet passages trigger nothing */
  const int32_t n = d->window;
  int32_t floor_thr = L_shl(8, common);
  if (floor_thr < 1) floor_thr = 1;
  for (int32_t i = 15; i < 47; i++) {
    int64_t sum = 0;
    for (int32_t j = i - 1 - n; j < i - 1; j++) sum += d->energy[j < 0 ? 0 : j];
    int64_t mean = sum / n, var = 0;
    for (int32_t j = i - 1 - n; j < i - 1; j++) {
      int64_t dv = ((int64_t)d->energy[j < 0 ? 0 : j] - mean) >> 4;
      var += dv * dv;
    }
    var /= n - 1;
    int64_t t = mean + ((int64_t)isqrt64((uint64_t)var) << 4);
    if (t < floor_thr) t = floor_thr;
    int64_t diff = ((int64_t)d->energy[i + 1] - d->energy[i - 1]) / 64;
    int32_t m;
    if (diff >= t) m = AAC_MAX_32;
    else if (-diff >= t) m = AAC_MIN_32;
    else {
      /* |diff| < t: scale both into 31 bits for the fractional division */
      int64_t tt = t, dd = diff;
      while (tt > 0x7FFFFFFF) {
        tt >>= 1;
        dd >>= 1;
      }
      m = aacFixDiv((int32_t)dd, (int32_t)tt);
    }
    d->measure[i] = m;
  }

  const int32_t arm_thr = (int32_t)(((int64_t)255 << 31) / (64 * w));
  const int32_t low_thr = (int32_t)(((int64_t)350 << 31) / (64 * w));
  out->flag = 0;
  out->pos = 0;
  /* positions -3 .. 28 of this frame: each slot is judged once, with two slots of look-ahead */
  for (int32_t i = 13; i < 45; i++) {
    if (d->measure[i - 1] > arm_thr && d->measure[i] <= arm_thr) d->armed = 1;
    if (d->measure[i] > d->maximum) d->maximum = d->measure[i];
    if (d->armed && d->measure[i] < low_thr && d->measure[i + 1] < d->maximum && d->measure[i + 2] < d->maximum) {
      int32_t slot = i - 16 - 1; /* the rise lies one slot before the end of its measure */
      out->flag = 1;
      /* a rise in the last QMF slots of the previous frame keeps its place in this frame's
       * lead-in (time slot -2 or -1) rather than moving to the frame start */
      out->pos = slot >= 0 ? slot / 2 : -((1 - slot) / 2);
      d->armed = 0;
      d->maximum = 0;
      break;
    }
  }
}

static int32_t bit_length(int64_t v) {
  int32_t n = 0;
  while (v > 1) {
    v >>= 1;
    n++;
  }
  return n;
}

void sbrFrameSplitter(int32_t *const *rows, int32_t row_scale, SbrTransientDetector *d, const int8_t *hi,
                      int32_t n_hi, int32_t low_band, SbrTransientInfo *info) {
  /* energies of the frame's 16 time slots at exponent 0 (an energy of 1 is near the floor) */
  int64_t low = 0, sbr = 0, band[SBR_MAX_HI][2];
  for (int32_t s = 0; s < SBR_TIME_SLOTS; s++)
    for (int32_t k = 0; k < low_band; k++) low += LL_shr(rows[s][k], row_scale);
  low /= SBR_TIME_SLOTS;
  for (int32_t b = 0; b < n_hi; b++) {
    band[b][0] = band[b][1] = 0;
    for (int32_t s = 0; s < SBR_TIME_SLOTS; s++)
      for (int32_t k = hi[b]; k < hi[b + 1]; k++) band[b][s >= 8] += LL_shr(rows[s][k], row_scale);
    sbr += band[b][0] + band[b][1];
  }
  int64_t prev = d->prev_low_energy;
  d->prev_low_energy = (int32_t)(low > 0x7FFFFFFF ? 0x7FFFFFFF : low);
  if (info->flag) return;
  int64_t total = (low + prev) / 2 + sbr + 1;
  const int32_t n1 = 8, n2 = 8;
  int64_t sum = 0; /* Q31 */
  for (int32_t b = 0; b < n_hi; b++) {
    int64_t e1 = n1 + band[b][0], e2 = n2 + band[b][1];
    int32_t l1 = bit_length(e1 / n1), l2 = bit_length(e2 / n2);
    int64_t num = e1 + e2, den = total;
    while (num > 0x3FFFFFFF || den > 0x3FFFFFFF) {
      num >>= 1;
      den >>= 1;
    }
    if (den < 1) den = 1;
    int32_t r = num >= den ? AAC_MAX_32 : (int32_t)((num << 31) / den);
    sum += (int64_t)aacSqrtQ31(r) * (l2 > l1 ? l2 - l1 : l1 - l2);
  }
  /* the factor 1 - (1 - 2 n1 / (n1 + n2))^2 is 1 for two equal halves */
  info->pos = (int64_t)d->split_threshold << 31 < 693 * sum ? 1 : 0;
}
