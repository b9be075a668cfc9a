/* Envelope estimation: the mean QMF energy of every envelope and band of the frame info,
 * quantised in steps of 1.5 or 3 dB (as level and balance for a coupled pair). */
#include <stdlib.h>
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_sbr_int.h"

/* Offset of the quantised energy in octaves, Q26: a value v stands for a QMF energy of
 * 2^(v / a - offset) per subband sample of the unscaled signal.  Measured against decoded
 * streams: 8.585 octaves reproduce the input's band energies. */
#define SBR_ENV_OFFSET_Q26 ((int64_t)576129597)

static int32_t nearest_step(int32_t v, const int32_t *steps, int32_t n) {
  int32_t a = v < 0 ? -v : v, best = steps[0];
  for (int32_t i = 1; i < n; i++)
    if (abs(a - steps[i]) < abs(a - best)) best = steps[i];
  return v > 0 ? best : -best;
}

/* mean energy (and the largest per-QMF-band mean) of rows s0..s1-1, bands k0..k1-1 */
static void band_energy(int32_t *const *rows, int32_t s0, int32_t s1, int32_t k0, int32_t k1, int64_t *mean,
                        int64_t *peak) {
  int64_t sum = 0, pk = 0;
  for (int32_t k = k0; k < k1; k++) {
    int64_t b = 0;
    for (int32_t s = s0; s < s1; s++) b += rows[s][k];
    sum += b;
    if (b > pk) pk = b;
  }
  int32_t ns = s1 - s0 > 0 ? s1 - s0 : 1, nk = k1 - k0 > 0 ? k1 - k0 : 1;
  *mean = sum / ((int64_t)ns * nk);
  *peak = pk / ns;
}

/* log2 of the unscaled energy plus the offset, Q26 (a very negative value for 0) */
static int64_t log_energy(int64_t e, int32_t scale) {
  if (e <= 0) return -((int64_t)64 << 26);
  int32_t sh = 0;
  while ((e >> sh) > 0xFFFFFFFF) sh++;
  return (int64_t)sbrLog2Fine((uint32_t)(e >> sh)) + (int64_t)(sh - scale) * ((int64_t)1 << 26) + SBR_ENV_OFFSET_Q26;
}

static int32_t quantise(int64_t l, int32_t a, int32_t max) {
  if (l < 0) return 0;
  int64_t v = (a * l + ((int64_t)1 << 25)) >> 26;
  return (int32_t)(v > max ? max : v);
}

void sbrEstimateEnvelope(int32_t *const *rows_l, int32_t scale_l, int32_t *const *rows_r, int32_t scale_r,
                         const SbrFrameInfo *fi, const SbrFreqTables *ft, const int8_t *harmonic_l,
                         const int8_t *harmonic_r, const int8_t *comp_l, const int8_t *comp_r, int32_t amp_res,
                         int32_t harm_comp, int32_t coupled, int32_t *out_l, int32_t *out_r) {
  static const int32_t steps15[9] = {0, 2, 4, 6, 8, 12, 16, 20, 24}, steps30[5] = {0, 2, 4, 8, 12};
  const int32_t a = amp_res ? 1 : 2, maxv = amp_res ? 63 : 127;
  const int32_t nch = rows_r ? 2 : 1;
  for (int32_t i = 0; i < fi->n_env; i++) {
    int32_t s0 = fi->borders[i], s1 = fi->borders[i + 1];
    if (fi->short_env >= 0 && i + 1 == fi->short_env && s1 - 1 > s0) s1--;
    if (s1 > SBR_ENERGY_ROWS) s1 = SBR_ENERGY_ROWS;
    const int32_t hires = fi->freq_res[i];
    const int8_t *f = hires ? ft->hi : ft->lo;
    const int32_t n = hires ? ft->n_hi : ft->n_lo;
    for (int32_t j = 0; j < n; j++) {
      int32_t k0 = f[j], k1 = f[j + 1];
      if (j == 0 && k1 - k0 > (hires ? 1 : 2)) k0++;
      int64_t lg[2] = {0, 0}, lin[2] = {0, 0};
      for (int32_t c = 0; c < nch; c++) {
        int32_t *const *rows = c ? rows_r : rows_l;
        const int8_t *harm = c ? harmonic_r : harmonic_l;
        int harmonic = 0;
        if (harm) {
          if (hires) {
            harmonic = harm[j];
          } else {
            for (int32_t h = 0; h < ft->n_hi; h++)
              if (ft->hi[h] >= f[j] && ft->hi[h] < f[j + 1] && harm[h]) harmonic = 1;
          }
        }
        int64_t mean, peak;
        band_energy(rows, s0, s1, k0, k1, &mean, &peak);
        if (harmonic) {
          /* a sinusoid will be added: the band's level follows its peak */
          int32_t w = k1 - k0;
          mean = w > 2 ? (peak * 854928846) >> 31 : (w == 2 ? peak >> 1 : peak);
        }
        lin[c] = mean;
        lg[c] = log_energy(mean, c ? scale_r : scale_l);
      }
      int32_t idx = i * SBR_MAX_HI + j;
      if (nch == 2 && coupled) {
        int32_t sc = scale_l < scale_r ? scale_l : scale_r;
        int64_t el = lin[0] >> (scale_l - sc), er = lin[1] >> (scale_r - sc);
        out_l[idx] = quantise(log_energy(el / 2 + er / 2, sc), a, maxv);
        int64_t d = lg[0] - lg[1];
        if (lin[0] <= 0 && lin[1] <= 0) d = 0;
        int32_t b = (int32_t)((a * d + (d >= 0 ? ((int64_t)1 << 25) : -((int64_t)1 << 25))) / ((int64_t)1 << 26));
        out_r[idx] = amp_res ? 12 + nearest_step(b, steps30, 5) : 24 + nearest_step(b, steps15, 9);
      } else {
        out_l[idx] = quantise(lg[0], a, maxv);
        if (nch == 2) out_r[idx] = quantise(lg[1], a, maxv);
      }
      if (harm_comp && hires) {
        if (comp_l && comp_l[j]) {
          out_l[idx] -= abs(comp_l[j]) * a;
          if (out_l[idx] < 0) out_l[idx] = 0;
        }
        if (nch == 2 && !coupled && comp_r && comp_r[j]) {
          out_r[idx] -= abs(comp_r[j]) * a;
          if (out_r[idx] < 0) out_r[idx] = 0;
        }
      }
    }
  }
}
