/* Psychoacoustic configuration, frame analysis and mid/side decision. */
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_psy.h"

static const int32_t thrQuietDb[25] = {15, 10, 7, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 5, 10, 20, 30};

int32_t AacAtan1000(int32_t x) {
  int64_t v = x;
  if (v < 1000) return (int32_t)(v * 1000 / (v * v / 3560 + 1000));
  return (int32_t)(1571 - v * 1000 / (v * v / 1000 + 281));
}

static void calc_bark(AacPsyConfig *c, int32_t rate) {
  int32_t n_lines = c->sfb_offset[c->sfb_cnt], zprev = 0;
  for (int32_t i = 0; i < c->sfb_cnt; i++) {
    int32_t f = (int32_t)((int64_t)c->sfb_offset[i + 1] * rate / (2 * n_lines));
    int64_t m = AacAtan1000((int32_t)((int64_t)f * 2 / 15));
    int64_t u = AacAtan1000((int32_t)((int64_t)f * 76 / 100));
    int32_t z = (int32_t)((7 * m * m + 26600 * u) / 20000);
    c->bark[i] = (zprev + z) >> 1;
    zprev = z;
  }
}

static int32_t quiet_index(int32_t b) {
  int32_t i = b / 100;
  return i < 0 ? 0 : (i > 24 ? 24 : i);
}

static void calc_thr_quiet(AacPsyConfig *c) {
  int32_t n = c->sfb_cnt;
  const int32_t *b = c->bark;
  for (int32_t i = 0; i < n; i++) {
    int32_t lo = i == 0 ? b[0] >> 1 : (b[i - 1] + b[i]) >> 1;
    int32_t hi = i == n - 1 ? b[i] : (b[i] + b[i + 1]) >> 1;
    int32_t tl = thrQuietDb[quiet_index(lo)], th = thrQuietDb[quiet_index(hi)];
    int32_t t = tl < th ? tl : th;
    int32_t p = aacPow2xy(t * 100 - 6816, 301);
    c->thr_quiet[i] = sat32((int64_t)p * (c->sfb_offset[i + 1] - c->sfb_offset[i]));
  }
}

static void calc_spreading(AacPsyConfig *c, int32_t bpc) {
  int32_t n = c->sfb_cnt;
  int32_t k_hi = (!c->is_long || bpc <= 22000) ? 15 : 20, k_lo = c->is_long ? 30 : 20;
  memset(c->spread_thr_lo, 0, sizeof(c->spread_thr_lo));
  memset(c->spread_thr_hi, 0, sizeof(c->spread_thr_hi));
  memset(c->spread_nrg_lo, 0, sizeof(c->spread_nrg_lo));
  memset(c->spread_nrg_hi, 0, sizeof(c->spread_nrg_hi));
  for (int32_t i = 0; i + 1 < n; i++) {
    int32_t d = c->bark[i + 1] - c->bark[i];
    if (d < 0) d = 0;
    c->spread_thr_lo[i] = aacPow2xy(-30 * d, 301);
    c->spread_thr_hi[i + 1] = aacPow2xy(-15 * d, 301);
    c->spread_nrg_hi[i + 1] = aacPow2xy(-k_hi * d, 301);
    c->spread_nrg_lo[i] = aacPow2xy(-k_lo * d, 301);
  }
}

static void calc_active_and_min_snr(AacPsyConfig *c, int32_t bpc, int32_t rate) {
  int32_t n = c->sfb_cnt, n_lines = c->sfb_offset[n];
  c->sfb_active = 0;
  while (c->sfb_active < n && c->sfb_offset[c->sfb_active] < c->lowpass_line) c->sfb_active++;
  memset(c->min_snr, 0, sizeof(c->min_snr));
  if (c->sfb_active == 0 || rate <= 0) return;
  int64_t B = aacMul118Percent((int32_t)((int64_t)bpc * n_lines / rate));
  int32_t last_bark = c->bark[c->sfb_active - 1];
  int32_t e_lo = 0;
  for (int32_t i = 0; i < c->sfb_active; i++) {
    int32_t e_hi = 2 * c->bark[i] - e_lo;
    int64_t den = (int64_t)(c->sfb_offset[i + 1] - c->sfb_offset[i]) * last_bark;
    int64_t g = den > 0 ? B * (e_hi - e_lo) * 576 / den : 8400;
    if (g < 1400) g = 1400;
    if (g > 8400) g = 8400;
    int32_t h = aacPow2xy((int32_t)g - 16000, 1000);
    int32_t v = aacFixDiv(0x8000, L_sub(h, 0xC000));
    if (v < 0 || v > 0x66666680) v = 0x66666680;
    if (v < 0x624DD3) v = 0x624DD3;
    c->min_snr[i] = v;
    e_lo = e_hi;
  }
}

int AacPsyConfigOpen(AacPsyConfig *c, int32_t bpc, int32_t rate, int32_t bandwidth, int32_t is_long) {
  memset(c, 0, sizeof(*c));
  c->is_long = is_long ? 1 : 0;
  if (rate <= 0 || AacInitSfbTable(rate, is_long ? 0 : 2, c->sfb_offset, &c->sfb_cnt)) return 1;
  calc_bark(c, rate);
  calc_thr_quiet(c);
  calc_spreading(c, bpc);
  c->ratio = AAC_THR_RATIO;
  c->pre_echo_inc = 2;
  c->pre_echo_min = AAC_PRE_ECHO_MIN;
  c->clip_energy = is_long ? 2000000000 : 31250000;
  c->lowpass_line = (int32_t)((int64_t)bandwidth * (is_long ? 2048 : 256) / rate);
  calc_active_and_min_snr(c, bpc, rate);
  return 0;
}

void AacPsyConfigUpdate(AacPsyConfig *c, int32_t bpc, int32_t rate) {
  if (rate <= 0 || c->sfb_cnt <= 0) return;
  calc_bark(c, rate);
  calc_thr_quiet(c);
  calc_spreading(c, bpc);
  calc_active_and_min_snr(c, bpc, rate);
}

/* ---- frame analysis ---- */

static int32_t band_energy(const int32_t *x, int32_t lo, int32_t hi) {
  int32_t e = 0;
  for (int32_t k = lo; k < hi; k++) e = L_add(e, sat32((((int64_t)x[k] * x[k]) >> 32) * 2));
  return e;
}

static int32_t band_energies(const int32_t *x, const int32_t *off, int32_t n, int32_t *nrg) {
  int32_t total = 0;
  for (int32_t b = 0; b < n; b++) {
    nrg[b] = band_energy(x, off[b], off[b + 1]);
    total = L_add(total, nrg[b]);
  }
  return total;
}

static int32_t ms_energies(const int32_t *l, const int32_t *r, const int32_t *off, int32_t n, int32_t *mid,
                           int32_t *side, int32_t *tm, int32_t *ts) {
  int32_t am = 0, as = 0;
  for (int32_t b = 0; b < n; b++) {
    int32_t em = 0, es = 0;
    for (int32_t k = off[b]; k < off[b + 1]; k++) {
      int32_t m = (l[k] >> 1) + (r[k] >> 1), s = (l[k] >> 1) - (r[k] >> 1);
      em = L_add(em, sat32((((int64_t)m * m) >> 32) * 2));
      es = L_add(es, sat32((((int64_t)s * s) >> 32) * 2));
    }
    mid[b] = em;
    side[b] = es;
    am = L_add(am, em);
    as = L_add(as, es);
  }
  *tm = am;
  *ts = as;
  return 0;
}

void AacSpreading(int32_t *x, int32_t n, const int32_t *lo, const int32_t *hi) {
  for (int32_t i = 1; i < n; i++) {
    int32_t v = fixmul_q31(hi[i], x[i - 1]);
    if (v > x[i]) x[i] = v;
  }
  for (int32_t i = n - 2; i >= 0; i--) {
    int32_t v = fixmul_q31(lo[i], x[i + 1]);
    if (v > x[i]) x[i] = v;
  }
}

void AacPreEchoControl(int32_t *h, int32_t n, int32_t *t, int32_t e, int32_t p) {
  int32_t d = sat32(2 * ((int64_t)e - p));
  for (int32_t b = 0; b < n; b++) {
    int32_t before = t[b], old = h[b];
    h[b] = before;
    int32_t limit = d > 0 ? L_shr(old, d - 1) : L_shl(L_shl(old, 1), -d);
    int32_t v = before < limit ? before : limit;
    int32_t floor = fixmul_q31(before, AAC_PRE_ECHO_MIN);
    t[b] = v > floor ? v : floor;
  }
}

int32_t AacGroupingMask(const int32_t *len, int32_t n_groups) {
  int32_t m = 0;
  for (int32_t g = 0; g < n_groups; g++) {
    m <<= 1;
    for (int32_t k = 1; k < len[g]; k++) m = (m << 1) | 1;
  }
  return m & 0x7F;
}

/* Steps 1 to 7 (and 9 and 12) of one block on lines x[0 .. n) with bands at arrays + base. */
static void thresholds_of_block(AacPsyChannel *pc, const AacPsyConfig *c, int32_t *x, int32_t base, int32_t s,
                                int32_t filtered, int32_t exp, int32_t prev_exp, int32_t *total) {
  int32_t n = c->sfb_cnt;
  int32_t *thr = pc->band_thr + base, *nrg = pc->band_nrg + base, *spread = pc->band_spread + base;
  int32_t clip = L_shr(c->clip_energy, s);
  for (int32_t b = 0; b < n; b++) {
    int32_t v = fixmul_q31(nrg[b], c->ratio);
    thr[b] = v < clip ? v : clip;
  }
  if (filtered) *total = band_energies(x, c->sfb_offset, c->sfb_active, nrg);
  AacSpreading(thr, n, c->spread_thr_lo, c->spread_thr_hi);
  for (int32_t b = 0; b < n; b++) {
    int32_t q = L_shr(c->thr_quiet[b], s);
    if (q > thr[b]) thr[b] = q;
  }
  AacPreEchoControl(pc->pre_echo_thr, n, thr, exp, prev_exp);
  /* the thresholds of a TNS range stay as they are (not quartered): the filter hands its lines
   * back at full scale, the scale on which the thresholds were computed */
  memcpy(spread, nrg, (size_t)n * sizeof(int32_t));
  AacSpreading(spread, n, c->spread_nrg_lo, c->spread_nrg_hi);
}

static int32_t highest_band(const int32_t *x, const int32_t *off, int32_t n) {
  for (int32_t b = n - 1; b >= 0; b--)
    for (int32_t k = off[b]; k < off[b + 1]; k++)
      if (x[k]) return b;
  return -1;
}

static void analyse_long(AacPsyChannel *pc, AacPsyChannel *first, const AacPsyConfig *c, const AacTnsConfig *tc) {
  int32_t *x = pc->spectrum, s = 2 * pc->spec_exp + 2, n = c->sfb_cnt, seq = pc->bs.seq;
  for (int32_t k = c->lowpass_line; k < 1024; k++) x[k] = 0;
  memset(pc->band_nrg, 0, sizeof(int32_t) * AAC_MAX_SFB_LONG);
  pc->nrg_total[0] = band_energies(x, c->sfb_offset, c->sfb_active, pc->band_nrg);
  pc->tns.num_windows = 1;
  AacTnsDetect(tc, x, &pc->tns, 0);
  if (first) AacTnsSync(&first->tns, &pc->tns, 1);
  AacTnsEncode(tc, &pc->tns, x, 0, c->sfb_active);
  pc->tns_filtered = pc->tns.active[0];
  if (seq == LONG_STOP) {
    for (int32_t b = 0; b < AAC_MAX_SFB_LONG; b++) pc->pre_echo_thr[b] = AAC_MAX_32;
    pc->prev_exp = 0;
  }
  thresholds_of_block(pc, c, x, 0, s, pc->tns.active[0], pc->spec_exp, pc->prev_exp, &pc->nrg_total[0]);
  if (seq == LONG_START) {
    for (int32_t b = 0; b < AAC_MAX_SFB_LONG; b++) pc->pre_echo_thr[b] = AAC_MAX_32;
    pc->prev_exp = 0;
  } else {
    pc->prev_exp = pc->spec_exp;
  }
  pc->max_sfb_per_group = highest_band(x, c->sfb_offset, n) + 1;
  pc->sfb_count = n;
  pc->sfb_per_group = n;
  memcpy(pc->sfb_offsets, c->sfb_offset, sizeof(int32_t) * (size_t)(n + 1));
  memcpy(pc->min_snr, c->min_snr, sizeof(int32_t) * (size_t)n);
  pc->nrg_sum = pc->nrg_total[0];
  pc->grouping_mask = 0;
  pc->window_shape = AacWindowShape(seq);
  if (first) {
    ms_energies(first->spectrum, x, c->sfb_offset, c->sfb_active, first->band_nrg_ms, pc->band_nrg_ms,
                &first->nrg_ms_total[0], &pc->nrg_ms_total[0]);
    for (int32_t b = c->sfb_active; b < n; b++) first->band_nrg_ms[b] = pc->band_nrg_ms[b] = 0;
    first->nrg_ms_sum = first->nrg_ms_total[0];
    pc->nrg_ms_sum = pc->nrg_ms_total[0];
  }
}

static void analyse_short(AacPsyChannel *pc, AacPsyChannel *first, const AacPsyConfig *c, const AacTnsConfig *tc) {
  int32_t s = 2 * pc->spec_exp + 2;
  pc->tns.num_windows = 8;
  pc->tns_filtered = 0;
  for (int32_t w = 0; w < 8; w++) {
    int32_t *x = pc->spectrum + 128 * w, base = 60 + 15 * w;
    for (int32_t k = c->lowpass_line; k < 128; k++) x[k] = 0;
    for (int32_t b = 0; b < 15; b++) pc->band_nrg[base + b] = 0;
    pc->nrg_total[1 + w] = band_energies(x, c->sfb_offset, c->sfb_active, pc->band_nrg + base);
    AacTnsDetect(tc, x, &pc->tns, w);
  }
  if (first) AacTnsSync(&first->tns, &pc->tns, 8);
  for (int32_t w = 0; w < 8; w++) {
    int32_t *x = pc->spectrum + 128 * w, base = 60 + 15 * w;
    AacTnsEncode(tc, &pc->tns, x, w, c->sfb_active);
    int32_t act = pc->tns.active[w];
    if (act) pc->tns_filtered = 1;
    thresholds_of_block(pc, c, x, base, s, act, pc->spec_exp, w == 0 ? pc->prev_exp : pc->spec_exp,
                        &pc->nrg_total[1 + w]);
    if (first) {
      int32_t *fm = first->band_nrg_ms + base, *ps = pc->band_nrg_ms + base;
      for (int32_t b = 0; b < 15; b++) fm[b] = ps[b] = 0;
      ms_energies(first->spectrum + 128 * w, x, c->sfb_offset, c->sfb_active, fm, ps, &first->nrg_ms_total[1 + w],
                  &pc->nrg_ms_total[1 + w]);
    }
  }
  pc->prev_exp = pc->spec_exp;
}

/* Grouping of an EIGHT_SHORT channel: max bands, grouped offsets, summed band values and
 * the interleaved spectrum. */
static void group_short(AacPsyChannel *pc, const AacPsyConfig *c, int32_t *scratch) {
  const AacBlockSwitch *bs = &pc->bs;
  int32_t n = c->sfb_cnt, hi = -1;
  for (int32_t w = 0; w < 8; w++) {
    int32_t h = highest_band(pc->spectrum + 128 * w, c->sfb_offset, n);
    if (h > hi) hi = h;
  }
  pc->max_sfb_per_group = hi <= 0 ? 1 : hi + 1;
  int32_t ng = bs->n_groups, start = 0, w0 = 0, idx = 0;
  for (int32_t g = 0; g < ng; g++) {
    int32_t len = bs->group_len[g];
    for (int32_t b = 0; b < n; b++) {
      pc->sfb_offsets[g * n + b] = start + c->sfb_offset[b] * len;
      pc->min_snr[g * n + b] = c->min_snr[b];
      int32_t t = 0, e = 0, m = 0, sp = 0;
      for (int32_t w = w0; w < w0 + len; w++) {
        int32_t i = 60 + 15 * w + b;
        t = L_add(t, pc->band_thr[i]);
        e = L_add(e, pc->band_nrg[i]);
        m = L_add(m, pc->band_nrg_ms[i]);
        sp = L_add(sp, pc->band_spread[i]);
      }
      pc->band_thr[g * n + b] = t;
      pc->band_nrg[g * n + b] = e;
      pc->band_nrg_ms[g * n + b] = m;
      pc->band_spread[g * n + b] = sp;
      for (int32_t w = w0; w < w0 + len; w++)
        for (int32_t k = c->sfb_offset[b]; k < c->sfb_offset[b + 1]; k++) scratch[idx++] = pc->spectrum[128 * w + k];
    }
    /* lines above the last band (none at the standard's partitions) stay in window order */
    for (int32_t w = w0; w < w0 + len; w++)
      for (int32_t k = c->sfb_offset[n]; k < 128; k++) scratch[idx++] = pc->spectrum[128 * w + k];
    start += 128 * len;
    w0 += len;
  }
  pc->sfb_offsets[ng * n] = 1024;
  memcpy(pc->spectrum, scratch, sizeof(int32_t) * 1024);
  pc->sfb_count = ng * n;
  pc->sfb_per_group = n;
  pc->grouping_mask = AacGroupingMask(bs->group_len, ng);
  pc->window_shape = 0;
  int32_t tot = 0, tms = 0;
  for (int32_t w = 0; w < 8; w++) {
    tot = L_add(tot, pc->nrg_total[1 + w]);
    tms = L_add(tms, pc->nrg_ms_total[1 + w]);
  }
  pc->nrg_sum = tot;
  pc->nrg_ms_sum = tms;
}

void AacPsyAnalyse(AacPsyChannel **pc, int32_t nch, int32_t is_pair, const AacPsyConfig *cl, const AacPsyConfig *cs,
                   const AacTnsConfig *tl, const AacTnsConfig *ts, AacPsyElementOut *eo, int32_t *scratch) {
  for (int32_t i = 0; i < nch; i++) {
    AacPsyChannel *first = (i == 1 && is_pair) ? pc[0] : 0;
    if (pc[i]->bs.seq == EIGHT_SHORT)
      analyse_short(pc[i], first, cs, ts);
    else
      analyse_long(pc[i], first, cl, tl);
  }
  for (int32_t i = 0; i < nch; i++)
    if (pc[i]->bs.seq == EIGHT_SHORT) group_short(pc[i], cs, scratch);
  eo->ms_mask = 0;
  eo->common_window = 0;
  eo->ms_weight = 125;
  memset(eo->ms_used, 0, sizeof(eo->ms_used));
  if (nch == 2 && is_pair) {
    eo->common_window = 1;
    /* one ics_info serves both channels: both take the larger max-bands value */
    int32_t m = pc[0]->max_sfb_per_group > pc[1]->max_sfb_per_group ? pc[0]->max_sfb_per_group
                                                                     : pc[1]->max_sfb_per_group;
    pc[0]->max_sfb_per_group = pc[1]->max_sfb_per_group = m;
    AacMsStereo(pc[0], pc[1], eo);
  }
}

void AacMsStereo(AacPsyChannel *l, AacPsyChannel *r, AacPsyElementOut *eo) {
  int32_t n = l->sfb_count, per = l->sfb_per_group, maxb = l->max_sfb_per_group;
  int32_t used = 0, total = 0;
  int64_t g = 0;
  for (int32_t gs = 0; gs < n; gs += per) {
    for (int32_t b = 0; b < maxb; b++) {
      int32_t i = gs + b;
      int32_t tl = l->band_thr[i], tr = r->band_thr[i];
      int32_t el = l->band_nrg[i], er = r->band_nrg[i];
      int32_t em = l->band_nrg_ms[i], es = r->band_nrg_ms[i];
      int32_t m = fixmul_q31(tl < tr ? tl : tr, AAC_MAX_32);
      int32_t rl = aacFixDiv(tl, L_add(el > tl ? el : tl, 1));
      int32_t rr = aacFixDiv(tr, L_add(er > tr ? er : tr, 1));
      int32_t rm = aacFixDiv(m, L_add(em > m ? em : m, 1));
      int32_t rs = aacFixDiv(m, L_add(es > m ? es : m, 1));
      int32_t plr = fixmul_q31(rl, rr), pms = fixmul_q31(rm, rs);
      g += ((int64_t)plr + 1) / ((int64_t)pms + 1);
      total++;
      if (plr < pms) {
        eo->ms_used[i] = 1;
        used++;
        for (int32_t k = l->sfb_offsets[i]; k < l->sfb_offsets[i + 1]; k++) {
          int32_t a = l->spectrum[k] >> 1, c = r->spectrum[k] >> 1;
          l->spectrum[k] = a + c;
          r->spectrum[k] = a - c;
        }
        l->band_thr[i] = r->band_thr[i] = m;
        l->band_nrg[i] = em;
        r->band_nrg[i] = es;
        int32_t sp = l->band_spread[i] < r->band_spread[i] ? l->band_spread[i] : r->band_spread[i];
        l->band_spread[i] = r->band_spread[i] = (sp >> 2) * 2;
      } else {
        eo->ms_used[i] = 0;
      }
    }
  }
  eo->ms_mask = used == 0 ? 0 : (used == total ? 2 : 1);
  int64_t nb = total ? total : 1;
  int64_t lv = g * 37 / nb - 241;
  if (lv < -10000) lv = -10000;
  if (lv > 10000) lv = 10000;
  int64_t o;
  if (lv > -100 && lv < 100)
    o = lv * 100 / (lv * lv / 356 + 100);
  else if (lv >= 100)
    o = 157 - lv * 100 / (lv * lv / 100 + 28);
  else
    o = -157 - lv * 100 / (lv * lv / 100 + 28);
  eo->ms_weight = (int32_t)(o * 28 / 100 + 125);
}
