/* Frequency band tables of the SBR encoder: the master table and the high- and
 * low-resolution tables derived from the header exactly as a decoder derives them, the
 * noise-floor bands, and the decoder's patching (which low band feeds each high band).
 *
 * The geometric borders are found in the log domain with a 26-bit logarithm, so that
 * borders that lie within 10^-5 of a rounding tie round as in exact arithmetic. */
#include "aac_intrinsics.h"
#include "aac_sbr_int.h"
#include "aac_sbr_tables.h"

static const SbrRateRow *rate_row(int32_t rate) {
  for (int32_t i = 0; i < (int32_t)(sizeof(sbrRateRows) / sizeof(sbrRateRows[0])); i++)
    if (sbrRateRows[i].rate == rate) return &sbrRateRows[i];
  return 0;
}

int32_t sbrStartBandOf(int32_t sbr_rate, int32_t start) {
  static const int8_t other[16] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 11, 13, 16, 20, 24, 28, 33};
  if (start < 0 || start > 15) return -1;
  const SbrRateRow *r = rate_row(sbr_rate);
  return r ? r->start_min + r->start_offset[start] : 11 + other[start];
}

int32_t sbrStopBandOf(int32_t sbr_rate, int32_t stop, int32_t k0) {
  if (stop == 14) return 2 * k0;
  if (stop == 15) return 3 * k0;
  if (stop < 0 || stop > 15) return -1;
  const SbrRateRow *r = rate_row(sbr_rate);
  if (!r || !r->has_stop) return -1;
  int32_t d[13];
  for (int32_t i = 0; i < 13; i++) d[i] = r->stop_border[i + 1] - r->stop_border[i];
  ShellSortInt(d, 13);
  int32_t k2 = r->stop_border[0];
  for (int32_t i = 0; i < stop; i++) k2 += d[i];
  return k2;
}

int32_t sbrStartFreqHz(int32_t start, int32_t bands, int32_t sbr_rate) {
  if (start < 0 || start > 15 || bands <= 0) return -1;
  int32_t k0 = sbrStartBandOf(sbr_rate, start);
  return (int32_t)(((int64_t)sbr_rate * k0 / bands + 1) / 2);
}

/* round(lo * (hi / lo)^(i / n)) for i = 0..n, as widths sorted ascending; 0 or 1 */
static int geometric_widths(int32_t lo, int32_t hi, int32_t n, int32_t *w) {
  if (n <= 0 || n > SBR_MAX_HI) return 1;
  int64_t l0 = sbrLog2Fine((uint32_t)lo), span = (int64_t)sbrLog2Fine((uint32_t)hi) - l0;
  int32_t prev = lo;
  for (int32_t i = 1; i <= n; i++) {
    int64_t t = l0 + span * i / n;
    int32_t m = 1;
    /* smallest m with log2(m + 1/2) > t */
    while (m < 128 && (int64_t)sbrLog2Fine((uint32_t)(2 * m + 1)) - ((int64_t)1 << 26) <= t) m++;
    w[i - 1] = m - prev;
    prev = m;
  }
  ShellSortInt(w, n);
  for (int32_t i = 0; i < n; i++)
    if (w[i] <= 0) return 1;
  return 0;
}

/* 2 x round(bands x log2(hi / lo) / (2 x warp)), warp 1 or 1.3 */
static int32_t region_bands(int32_t bands, int32_t lo, int32_t hi, int warp13) {
  int64_t l = (int64_t)sbrLog2Fine((uint32_t)hi) - sbrLog2Fine((uint32_t)lo);
  if (warp13) return 2 * (int32_t)(((int64_t)bands * l * 10 + ((int64_t)13 << 26)) / ((int64_t)26 << 26));
  return 2 * (int32_t)(((int64_t)bands * l + ((int64_t)1 << 26)) >> 27);
}

static int master_table(const SbrHeaderData *h, int32_t k0, int32_t k2, int8_t *master, int32_t *n_master) {
  int32_t w[2 * SBR_MAX_HI + 2], n = 0;
  if (h->freq_scale == 0) {
    int32_t dk = h->alter_scale ? 2 : 1;
    int32_t nb = h->alter_scale ? 2 * (((k2 - k0) / 2 + 1) / 2) : 2 * ((k2 - k0) / 2);
    if (nb <= 0 || nb > SBR_MAX_HI) return 1;
    for (int32_t i = 0; i < nb; i++) w[i] = dk;
    int32_t diff = k0 + nb * dk - k2;
    for (int32_t k = nb - 1; diff > 0 && k >= 0; k--, diff--) w[k]--; /* too wide: the top bands give */
    for (int32_t k = 0; diff < 0 && k < nb; k++, diff++) w[k]++;      /* too narrow: the bottom bands take */
    n = nb;
  } else {
    static const int32_t bpo[4] = {0, 12, 10, 8};
    int32_t bands = bpo[h->freq_scale & 3];
    int two = 4 * k2 >= 9 * k0;
    int32_t k1 = two ? 2 * k0 : k2;
    int32_t n0 = region_bands(bands, k0, k1, 0);
    if (geometric_widths(k0, k1, n0, w)) return 1;
    n = n0;
    if (two) {
      int32_t n1 = region_bands(bands, k1, k2, h->alter_scale != 0);
      if (n0 + n1 > SBR_MAX_HI || geometric_widths(k1, k2, n1, w + n0)) return 1;
      int32_t *w1 = w + n0;
      if (w1[0] < w[n0 - 1]) {
        int32_t change = w[n0 - 1] - w1[0], half = (w1[n1 - 1] - w1[0]) / 2;
        if (half < change) change = half;
        w1[0] += change;
        w1[n1 - 1] -= change;
        ShellSortInt(w1, n1);
      }
      n = n0 + n1;
    }
  }
  if (n <= 0 || n > SBR_MAX_HI) return 1;
  master[0] = (int8_t)k0;
  for (int32_t i = 0; i < n; i++) {
    if (w[i] <= 0) return 1;
    master[i + 1] = (int8_t)(master[i] + w[i]);
  }
  *n_master = n;
  return master[n] == k2 ? 0 : 1;
}

int sbrNoiseTableUpdate(int32_t noise_bands, const int8_t *lo, int32_t n_lo, int32_t k2, int8_t *noise,
                        int32_t *nq) {
  int32_t kx = lo[0], q = 1;
  if (noise_bands > 0 && k2 > kx) {
    int64_t l = (int64_t)sbrLog2Fine((uint32_t)k2) - sbrLog2Fine((uint32_t)kx);
    q = (int32_t)(((int64_t)noise_bands * l + ((int64_t)1 << 25)) >> 26);
    if (q < 1) q = 1;
  }
  /* the noise arrays hold five bands: more refuses the header instead of running past them */
  if (q > SBR_MAX_NOISE || q > n_lo) return 1;
  int32_t idx = 0;
  noise[0] = lo[0];
  for (int32_t k = 1; k <= q; k++) {
    idx += (n_lo - idx) / (q + 1 - k);
    noise[k] = lo[idx];
  }
  if (idx != n_lo) return 1;
  *nq = q;
  return 0;
}

int sbrFreqTablesUpdate(const SbrHeaderData *h, int32_t sbr_rate, SbrFreqTables *t) {
  int32_t k0 = sbrStartBandOf(sbr_rate, h->start_freq);
  int32_t k2 = sbrStopBandOf(sbr_rate, h->stop_freq, k0);
  if (k0 < 0 || k2 < 0) return 1;
  if (k2 > 64) k2 = 64;
  if (2 * k0 > 64) return 1;
  if (sbr_rate == 44100 && k2 - k0 > 35) return 1;
  if (sbr_rate >= 48000 && k2 - k0 > 32) return 1;
  if (k2 - k0 < 0 || k2 - k0 > 48) return 1;
  if (master_table(h, k0, k2, t->master, &t->n_master)) return 1;
  if (h->xover_band < 0 || h->xover_band >= t->n_master) return 1;
  t->n_hi = t->n_master - h->xover_band;
  for (int32_t i = 0; i <= t->n_hi; i++) t->hi[i] = t->master[i + h->xover_band];
  int32_t n = t->n_hi;
  if ((n & 1) == 0) {
    t->n_lo = n / 2;
    for (int32_t i = 0; i <= t->n_lo; i++) t->lo[i] = t->hi[2 * i];
  } else {
    t->n_lo = (n + 1) / 2;
    t->lo[0] = t->hi[0];
    for (int32_t i = 1; i <= t->n_lo; i++) t->lo[i] = t->hi[2 * i - 1];
  }
  if (t->n_lo > SBR_MAX_LO) return 1;
  t->k0 = k0;
  t->k2 = k2;
  t->kx = t->hi[0];
  t->m = t->hi[t->n_hi] - t->kx;
  if (t->kx > 32 || t->kx + t->m > 64) return 1;
  return sbrNoiseTableUpdate(h->noise_bands, t->lo, t->n_lo, t->hi[t->n_hi], t->noise, &t->nq);
}

int sbrBuildSourceIndex(const SbrFreqTables *t, int32_t sbr_rate, int8_t *src) {
  int32_t goal = (int32_t)(((int64_t)64 * 64000 / sbr_rate + 1) / 2);
  int32_t k0 = t->k0, kx = t->kx, m = t->m, nm = t->n_master;
  int32_t k = nm;
  if (goal < kx + m) {
    for (k = 0; k < nm && t->master[k] < goal; k++) {
    }
  }
  int32_t msb = k0, usb = kx, np = 0, sb;
  int32_t p_src[8], p_dst[8], p_len[8];
  int32_t guard = 0;
  do {
    int32_t j = k, odd;
    sb = t->master[j];
    odd = (sb - 2 + k0) & 1;
    while (j > 0 && sb > k0 - 1 + msb - odd) {
      j--;
      sb = t->master[j];
      odd = (sb - 2 + k0) & 1;
    }
    int32_t size = sb - usb > 0 ? sb - usb : 0;
    if (size > 0) {
      if (np >= 6) return 1;
      p_dst[np] = usb;
      p_src[np] = k0 - odd - size;
      p_len[np] = size;
      np++;
      usb = sb;
      msb = sb;
    } else {
      msb = kx;
    }
    if (t->master[k] - sb < 3) k = nm;
  } while (sb != kx + m && ++guard < 64);
  if (sb != kx + m) return 1;
  if (np > 1 && p_len[np - 1] < 3) np--;
  /* a decoder refuses more than five patches */
  if (np > 5) return 1;
  for (int32_t i = 0; i < SBR_QMF_BANDS; i++) src[i] = (int8_t)((i >= kx && i < kx + m) ? -1 : i);
  for (int32_t p = 0; p < np; p++)
    for (int32_t i = 0; i < p_len[p]; i++) {
      int32_t s = p_src[p] + i;
      if (s < 0 || s >= kx) return 1;
      src[p_dst[p] + i] = (int8_t)s;
    }
  return 0;
}
