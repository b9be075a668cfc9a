#include "aac_tns.h"

#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"

typedef struct {
  int32_t threshold, start_freq, stop_freq, lag;
} TnsParams;
typedef struct {
  int32_t lo, hi;
  TnsParams set[4]; /* mono long, mono short, stereo long, stereo short */
} TnsInfoRow;

#define Q31(v) ((int32_t)((v) * 2147483648.0 + 0.5))
static const TnsInfoRow tnsInfoTab[6] = {
    {4000, 12000, {{120, 1800, 16000, Q31(0.6)}, {120, 2500, 16000, Q31(0.6)}, {120, 1800, 16000, Q31(0.6)},
                   {120, 2500, 16000, Q31(0.6)}}},
    {12001, 20000, {{120, 2000, 16000, Q31(0.6)}, {120, 3750, 16000, Q31(0.6)}, {141, 2500, 16000, Q31(0.6)},
                    {141, 3750, 16000, Q31(0.6)}}},
    {20001, 28000, {{141, 2500, 16000, Q31(0.5)}, {141, 3750, 16000, Q31(0.5)}, {141, 2500, 16000, Q31(0.5)},
                    {141, 3750, 16000, Q31(0.5)}}},
    {28001, 36000, {{141, 2500, 16000, Q31(0.8)}, {141, 3750, 16000, Q31(0.3)}, {141, 2500, 16000, Q31(0.5)},
                    {141, 3750, 16000, Q31(0.3)}}},
    {36001, 52000, {{141, 2500, 16000, Q31(0.5)}, {141, 3750, 16000, Q31(0.1)}, {141, 2500, 16000, Q31(0.5)},
                    {141, 3750, 16000, Q31(0.1)}}},
    {52001, 320000, {{141, 2500, 16000, Q31(0.3)}, {141, 3750, 16000, Q31(0.1)}, {141, 2500, 16000, Q31(0.3)},
                     {141, 3750, 16000, Q31(0.1)}}},
};

static int32_t lag_row(int32_t lag) {
  static const int32_t params[5] = {Q31(0.6), Q31(0.5), Q31(0.8), Q31(0.3), Q31(0.1)};
  for (int i = 0; i < 5; i++)
    if (params[i] == lag) return i;
  return 0;
}

int32_t AacTnsFreqToBand(int32_t freq, int32_t rate, const int32_t *offsets, int32_t count) {
  if (rate <= 0 || count <= 0) return 0;
  int32_t n = offsets[count];
  int32_t line = (int32_t)(((int64_t)freq * 4 * n / rate + 1) / 2);
  if (line >= n) return count;
  for (int32_t b = 0; b < count; b++) {
    if (offsets[b + 1] > line) {
      /* nearest of the borders b and b + 1, the lower one on a tie */
      return (line - offsets[b] <= offsets[b + 1] - line) ? b : b + 1;
    }
  }
  return count;
}

static void derive_bands(AacTnsConfig *c) {
  const int32_t *o = c->band_offsets;
  int32_t n = c->num_bands;
  c->start_band = AacTnsFreqToBand(c->start_freq, c->rate, o, n);
  c->stop_band = AacTnsFreqToBand(c->stop_freq, c->rate, o, n);
  if (c->stop_band > n) c->stop_band = n;
  if (c->max_bands >= 0 && c->stop_band > c->max_bands) c->stop_band = c->max_bands;
  if (c->start_band > c->stop_band) c->start_band = c->stop_band;
  c->start_line = o[c->start_band];
  c->stop_line = o[c->stop_band];
  c->band_extra = AacTnsFreqToBand(c->is_long ? 1275 : 2750, c->rate, o, n);
  c->band_2600 = AacTnsFreqToBand(2600, c->rate, o, n);
  c->band_380 = AacTnsFreqToBand(380, c->rate, o, n);
}

void AacTnsUpdateBitrate(AacTnsConfig *c, int32_t bpc, int32_t channels) {
  for (int i = 0; i < 6; i++) {
    if (bpc >= tnsInfoTab[i].lo && bpc <= tnsInfoTab[i].hi) {
      const TnsParams *p = &tnsInfoTab[i].set[(channels == 2 ? 2 : 0) + (c->is_long ? 0 : 1)];
      c->threshold = p->threshold;
      c->start_freq = p->start_freq;
      c->stop_freq = p->stop_freq;
      c->lag_param = p->lag;
      c->lag_row = lag_row(p->lag);
      break;
    }
  }
  derive_bands(c);
}

int AacTnsConfigure(AacTnsConfig *c, int32_t bpc, int32_t rate, int32_t channels, int32_t is_long, int32_t active) {
  memset(c, 0, sizeof(*c));
  c->is_long = is_long ? 1 : 0;
  c->active = active ? 1 : 0;
  c->max_order = is_long ? TNS_MAX_ORDER : TNS_MAX_ORDER_SHORT;
  c->coef_res = is_long ? 4 : 3;
  c->rate = rate;
  c->start_freq = 16000;
  c->stop_freq = 16000;
  if (AacInitSfbTable(rate, is_long ? 0 : 2, c->band_offsets, &c->num_bands)) return 1;
  c->max_bands = AacTnsMaxBands(rate, is_long);
  AacTnsUpdateBitrate(c, bpc, channels);
  return 0;
}

int32_t AacTnsQuantIndex(int32_t parcor, int32_t res) {
  const int32_t *b = res == 4 ? tnsCoeff4Borders : tnsCoeff3Borders;
  int32_t n = res == 4 ? 16 : 8, j = 0;
  while (j + 1 < n && parcor >= b[j + 1]) j++;
  return j - n / 2;
}

int32_t AacTnsDequant(int32_t index, int32_t res) {
  int32_t half = res == 4 ? 8 : 4;
  if (index < -half) index = -half;
  if (index > half - 1) index = half - 1;
  return res == 4 ? tnsCoeff4[index + 8] : tnsCoeff3[index + 4];
}

#define TNS_COEF_MIN ((int32_t)-214748365) /* -0.1 in Q31 */
#define TNS_COEF_MAX ((int32_t)214748365)

int32_t AacTnsReduceOrder(const int32_t *index, int32_t order, int32_t res) {
  while (order > 0) {
    int32_t v = AacTnsDequant(index[order - 1], res);
    if (v < TNS_COEF_MIN || v >= TNS_COEF_MAX) break;
    order--;
  }
  return order;
}

/* The lattice runs on halved lines for headroom, and its output is doubled back (saturating):
 * the decoder's synthesis filter knows nothing of a halving, so lines left halved would come
 * out of it 6 dB low in the whole filtered range. */
void AacTnsFilter(int32_t *x, int32_t start, int32_t stop, const int32_t *k, int32_t order) {
  int32_t st[TNS_MAX_ORDER] = {0};
  if (order > TNS_MAX_ORDER) order = TNS_MAX_ORDER;
  for (int32_t n = start; n < stop; n++) {
    int32_t f = x[n] >> 1, b = f;
    for (int32_t m = 0; m < order; m++) {
      int32_t old = st[m];
      int32_t nf = sat32((int64_t)f + (((int64_t)k[m] * old) >> 31));
      int32_t nb = sat32((int64_t)old + (((int64_t)k[m] * f) >> 31));
      st[m] = b;
      b = nb;
      f = nf;
    }
    x[n] = sat32(2 * (int64_t)f);
  }
}

/* 1 / sqrt(e) for a positive 64-bit energy: mantissa (Q31 scale) and exponent so that
 * 1/sqrt(e) = m / 2^31 * 2^ex. */
static int32_t inv_sqrt64(int64_t e, int32_t *ex) {
  /* e = f * 2^(31 + s) with f in [2^29, 2^31) as a Q31 fraction and 31 + s even */
  int32_t s = 0;
  while (e >= ((int64_t)1 << 31)) {
    e >>= 2;
    s += 2;
  }
  while (e < ((int64_t)1 << 29)) {
    e <<= 2;
    s -= 2;
  }
  /* now value = e * 2^s = (e / 2^31) * 2^(31 + s); make 31 + s even */
  int32_t f = (int32_t)e;
  int32_t p = 31 + s;
  if (p & 1) {
    f >>= 1;
    p += 1;
  }
  int32_t sh;
  int32_t m = aacInvSqrt(f, &sh);
  *ex = sh - p / 2;
  return m;
}

void AacTnsDetect(const AacTnsConfig *c, const int32_t *spec, AacTnsInfo *info, int32_t w) {
  int32_t order = c->max_order;
  info->coef_res = c->coef_res;
  info->start_band = c->start_band;
  info->stop_band = c->stop_band;
  info->active[w] = 0;
  info->order[w] = 0;
  info->gain[w] = 0;
  memset(info->parcor[w], 0, sizeof(info->parcor[w]));
  memset(info->coef[w], 0, sizeof(info->coef[w]));
  if (!c->active || c->stop_line - c->start_line <= order) return;

  /* pre-shift so that squares sum safely in 64 bits */
  int32_t hr = 31;
  for (int32_t i = c->start_line; i < c->stop_line; i++) {
    int32_t h = spec[i] == 0 ? 31 : norm_l(spec[i]);
    if (h < hr) hr = h;
  }
  int32_t pre = 11 - hr;
  if (pre < 0) pre = 0;

  /* band-wise flattened spectrum, each band scaled to an energy of 2^24 */
  int32_t v[1024];
  for (int32_t b = c->start_band; b < c->stop_band; b++) {
    int32_t lo = c->band_offsets[b], hi = c->band_offsets[b + 1];
    int64_t e = 0;
    for (int32_t i = lo; i < hi; i++) {
      int64_t s = spec[i] >> pre;
      e += s * s;
    }
    if (e == 0) {
      for (int32_t i = lo; i < hi; i++) v[i] = 0;
      continue;
    }
    int32_t ex;
    int32_t m = inv_sqrt64(e, &ex);
    int32_t shift = 31 - ex - 12; /* v = s * m / 2^31 * 2^ex * 2^12 */
    for (int32_t i = lo; i < hi; i++) {
      int64_t p = (int64_t)(spec[i] >> pre) * m;
      v[i] = (int32_t)(shift >= 0 ? LL_shr(p, shift) : p * ((int64_t)1 << (-shift > 30 ? 30 : -shift)));
    }
  }

  int64_t r64[TNS_MAX_ORDER + 1];
  for (int32_t lag = 0; lag <= order; lag++) {
    int64_t acc = 0;
    for (int32_t i = c->start_line; i + lag < c->stop_line; i++) acc += (int64_t)v[i] * v[i + lag];
    r64[lag] = acc;
  }
  if (r64[0] <= 200) return;

  /* normalise to 32 bits with r0 in [2^30, 2^31) and apply the lag window */
  int32_t sh = 0;
  int64_t r0 = r64[0];
  while (r0 >= ((int64_t)1 << 31)) {
    r0 >>= 1;
    sh++;
  }
  while (r0 < ((int64_t)1 << 30)) {
    r0 <<= 1;
    sh--;
  }
  int32_t r[TNS_MAX_ORDER + 1];
  const int32_t *lw = tnsAcfWindowTab + 13 * c->lag_row;
  for (int32_t lag = 0; lag <= order; lag++) {
    int64_t x = sh >= 0 ? (r64[lag] >> sh) : r64[lag] * ((int64_t)1 << -sh);
    r[lag] = sat32(lag == 0 ? x : ((x * lw[lag]) >> 31));
  }

  /* Schur recursion: reflection coefficients with every intermediate bounded by r0 */
  int32_t alpha[TNS_MAX_ORDER + 1], beta[TNS_MAX_ORDER + 1];
  for (int32_t i = 0; i <= order; i++) alpha[i] = beta[i] = r[i];
  int32_t err = r[0];
  int32_t m;
  for (m = 1; m <= order; m++) {
    int32_t num = alpha[m], den = beta[m - 1];
    if (den <= 0 || L_abs(num) >= den) break;
    int32_t k = L_negate(aacFixDiv(num, den));
    info->parcor[w][m - 1] = k;
    for (int32_t i = order; i >= m; i--) {
      int32_t a = alpha[i], bprev = beta[i - 1];
      alpha[i] = sat32((int64_t)a + (((int64_t)k * bprev) >> 31));
      beta[i] = sat32((int64_t)bprev + (((int64_t)k * a) >> 31));
    }
    err = beta[m];
  }
  int32_t got = m - 1;
  if (err <= 0) err = 1;
  int64_t gain = ((int64_t)r[0] * 100) / err;
  info->gain[w] = gain > AAC_MAX_32 ? AAC_MAX_32 : (int32_t)gain;
  info->order[w] = got;
  info->active[w] = (got > 0 && info->gain[w] > c->threshold) ? 1 : 0;
}

void AacTnsSync(const AacTnsInfo *a, AacTnsInfo *b, int32_t windows) {
  for (int32_t w = 0; w < windows; w++) {
    int64_t d = (int64_t)a->gain[w] - b->gain[w];
    if (d < 0) d = -d;
    if (100 * d < 3 * (int64_t)b->gain[w]) {
      b->active[w] = a->active[w];
      b->order[w] = a->order[w];
      memcpy(b->parcor[w], a->parcor[w], sizeof(a->parcor[w]));
    }
  }
}

void AacTnsEncode(const AacTnsConfig *c, AacTnsInfo *info, int32_t *spec, int32_t w, int32_t coded_bands) {
  if (!info->active[w]) return;
  int32_t order = info->order[w];
  for (int32_t i = 0; i < order; i++) info->coef[w][i] = AacTnsQuantIndex(info->parcor[w][i], c->coef_res);
  order = AacTnsReduceOrder(info->coef[w], order, c->coef_res);
  for (int32_t i = order; i < TNS_MAX_ORDER; i++) info->coef[w][i] = 0;
  info->order[w] = order;
  if (order == 0) {
    info->active[w] = 0;
    return;
  }
  int32_t k[TNS_MAX_ORDER];
  for (int32_t i = 0; i < order; i++) k[i] = AacTnsDequant(info->coef[w][i], c->coef_res);
  /* The decoder's synthesis filter runs from the start band up to min(TNS band limit, max_sfb),
   * whatever the stop frequency: a stop band below the top coded band would have it filter
   * lines that were never filtered here. */
  int32_t top = coded_bands < c->num_bands ? coded_bands : c->num_bands;
  if (c->max_bands >= 0 && top > c->max_bands) top = c->max_bands;
  int32_t stop = c->stop_line;
  if (top > c->stop_band && top >= 0) stop = c->band_offsets[top];
  AacTnsFilter(spec, c->start_line, stop, k, order);
}
