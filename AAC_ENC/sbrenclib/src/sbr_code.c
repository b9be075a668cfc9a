/* Delta coding of the envelope and noise-floor values, each envelope along frequency or
 * along time, whichever costs fewer bits. */
#include <string.h>

#include "aac_sbr_int.h"
#include "aac_sbr_tables.h"

static const SbrBook kBooks[2][2][2] = {
    /* 1.5 dB: level freq / time, balance freq / time */
    {{{v_Huff_envelopeLevelC10F, v_Huff_envelopeLevelL10F, 60, 7}, {v_Huff_envelopeLevelC10T, v_Huff_envelopeLevelL10T, 60, 7}},
     {{bookSbrEnvBalanceC10F, bookSbrEnvBalanceL10F, 24, 6}, {bookSbrEnvBalanceC10T, bookSbrEnvBalanceL10T, 24, 6}}},
    /* 3.0 dB */
    {{{v_Huff_envelopeLevelC11F, v_Huff_envelopeLevelL11F, 31, 6}, {v_Huff_envelopeLevelC11T, v_Huff_envelopeLevelL11T, 31, 6}},
     {{bookSbrEnvBalanceC11F, bookSbrEnvBalanceL11F, 12, 5}, {bookSbrEnvBalanceC11T, bookSbrEnvBalanceL11T, 12, 5}}}};
static const SbrBook kNoiseBooks[2][2] = {
    {{v_Huff_envelopeLevelC11F, v_Huff_envelopeLevelL11F, 31, 5}, {v_Huff_NoiseLevelC11T, v_Huff_NoiseLevelL11T, 31, 5}},
    {{bookSbrEnvBalanceC11F, bookSbrEnvBalanceL11F, 12, 5}, {bookSbrNoiseBalanceC11T, bookSbrNoiseBalanceL11T, 12, 5}}};

const SbrBook *sbrBook(int32_t amp_res, int32_t noise, int32_t balance, int32_t time) {
  if (noise) return &kNoiseBooks[balance != 0][time != 0];
  return &kBooks[amp_res != 0][balance != 0][time != 0];
}

void sbrCodeEnvOpen(SbrCodeEnv *c, int32_t n_hi, int32_t n_lo, int32_t w0, int32_t w1, int32_t is_noise) {
  memset(c, 0, sizeof(*c));
  c->n_hi = n_hi;
  c->n_lo = n_lo;
  c->offset = 2 * n_lo - n_hi;
  c->weight0 = w0;
  c->weight1 = w1;
  c->is_noise = is_noise;
  c->amp_res = is_noise ? -1 : 1;
}

int sbrHuffmanTablesInit(SbrHuffSet *h, SbrCodeEnv *env, SbrCodeEnv *noise, int32_t amp_res) {
  if (!h || !env || !noise || (amp_res != 0 && amp_res != 1)) return 1;
  h->amp_res = amp_res;
  h->lav_level = amp_res ? 31 : 60;
  h->lav_bal = amp_res ? 12 : 24;
  h->start_bits_level = amp_res ? 6 : 7;
  h->start_bits_bal = amp_res ? 5 : 6;
  env->amp_res = amp_res;
  noise->amp_res = -1;
  return 0;
}

static int32_t clamp_delta(int32_t d, int32_t lav, int32_t *cost, const SbrBook *b) {
  if (d > lav) {
    *cost += 10000;
    return lav;
  }
  if (d < -lav) {
    *cost += 10000;
    return -lav;
  }
  *cost += b->len[d + lav];
  return d;
}

/* position in the high-resolution history of band k of an envelope with n values */
static int32_t hist_pos(const SbrCodeEnv *c, int32_t k, int32_t hires) {
  if (c->is_noise || hires) return k;
  return k < c->offset ? k : 2 * k - c->offset;
}

int32_t sbrCodeEnvelope(int32_t *values, const int32_t *freq_res, SbrCodeEnv *c, int32_t *dir, int32_t coupling,
                        int32_t n_env, int32_t channel, int32_t force_freq) {
  const int32_t bal = coupling && channel == 1;
  const int32_t amp = c->is_noise ? 1 : c->amp_res;
  const SbrBook *bf = sbrBook(amp, c->is_noise, bal, 0), *bt = sbrBook(amp, c->is_noise, bal, 1);
  const int32_t lav = bf->lav, start_max = (1 << bf->start_bits) - 1;
  for (int32_t i = 0; i < n_env; i++) {
    int32_t *v = values + i * (c->is_noise ? SBR_MAX_NOISE : SBR_MAX_HI);
    const int32_t hires = c->is_noise ? 1 : freq_res[i];
    const int32_t n = c->is_noise ? c->n_hi : (hires ? c->n_hi : c->n_lo);
    int32_t x[SBR_MAX_HI], df[SBR_MAX_HI], dt[SBR_MAX_HI];
    if (n <= 0 || n > SBR_MAX_HI) {
      dir[i] = 0;
      continue;
    }
    for (int32_t k = 0; k < n; k++) x[k] = bal ? v[k] >> 1 : v[k];
    /* along frequency */
    int32_t cost_f = bf->start_bits;
    df[0] = x[0] < 0 ? 0 : (x[0] > start_max ? start_max : x[0]);
    if (df[0] != x[0]) cost_f += 10000;
    int32_t rec = df[0];
    for (int32_t k = 1; k < n; k++) {
      df[k] = clamp_delta(x[k] - rec, lav, &cost_f, bf);
      rec += df[k];
    }
    /* along time */
    int32_t use_time = 0;
    int allowed = c->time_allowed && !(i == 0 && force_freq);
    if (allowed) {
      int32_t cost_t = 0;
      for (int32_t k = 0; k < n; k++) dt[k] = clamp_delta(x[k] - c->prev[hist_pos(c, k, hires)], lav, &cost_t, bt);
      if (i == 0) {
        /* the first envelope leans towards frequency coding, more so after time-coded frames */
        int64_t w = 32768 + c->weight0 + (int64_t)c->weight1 * c->weight_counter;
        use_time = (((int64_t)cost_t * w) >> 15) < cost_f;
      } else {
        use_time = cost_t < cost_f;
      }
    }
    dir[i] = use_time;
    /* the deltas as sent, and the values the decoder reconstructs from them */
    int32_t r[SBR_MAX_HI];
    for (int32_t k = 0; k < n; k++) {
      if (use_time) {
        r[k] = c->prev[hist_pos(c, k, hires)] + dt[k];
        v[k] = dt[k];
      } else {
        r[k] = k ? r[k - 1] + df[k] : df[0];
        v[k] = df[k];
      }
    }
    if (c->is_noise || hires) {
      for (int32_t k = 0; k < n; k++) c->prev[k] = r[k];
    } else {
      for (int32_t k = 0; k < n; k++) {
        int32_t p = hist_pos(c, k, 0);
        c->prev[p] = r[k];
        if (!(k == 0 && c->offset == 1) && p + 1 < c->n_hi) c->prev[p + 1] = r[k];
      }
    }
    c->time_allowed = 1;
  }
  return 0;
}

void sbrCodeEnvFrameDone(SbrCodeEnv *c, int32_t first_env_time) {
  if (c->is_noise) return;
  c->weight_counter = first_env_time ? c->weight_counter + 1 : 0;
}
