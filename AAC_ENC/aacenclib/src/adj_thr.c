/* Threshold adaptation to the bit budget: perceptual entropy, target PE from the reservoir
 * fill and the recent history, threshold reduction with hole avoidance, bit distribution. */
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_qc.h"

#define L(x) aacQuarterLog2(x)
#define PROTECT_MAX 0x66666666
#define NO_HOLE_SNR 0x7FFFFFFF

static int64_t iabs64(int64_t v) { return v < 0 ? -v : v; }

typedef struct BresParam {
  int32_t save_lo, save_hi, save_at_lo, save_at_hi;
  int32_t spend_lo, spend_hi, spend_at_lo, spend_at_hi;
} BresParam;

static const BresParam bresLong = {20, 95, 30, -5, 10, 95, -10, 50};
static const BresParam bresShort = {20, 75, 20, 0, 10, 75, -5, 60};

void AacAdjThrInit(AacAdjThrElement *at, int32_t mean_pe, int32_t br) {
  memset(at, 0, sizeof(*at));
  at->pe_min = (int32_t)((int64_t)mean_pe * 80 / 100);
  at->pe_max = (int32_t)((int64_t)mean_pe * 120 / 100);
  at->pe_offset = 0;
  if (br < 32000) {
    int32_t v = 100 - (int32_t)((int64_t)br * 100 / 32000);
    at->pe_offset = v > 50 ? v : 50;
  }
  if (br > 20000) {
    at->modify_min_snr = 1;
    at->start_sfb_long = 15;
    at->start_sfb_short = 3;
  }
  at->start_ratio = 0x0CCCCCD0;
  at->correction = 100;
}

static void band_pe(AacPeChannel *c, int32_t i, int32_t nrg, int32_t thr) {
  if (thr < nrg && c->lines[i] > 0) {
    int64_t n = c->lines[i];
    int32_t lde = c->ld_nrg[i], r = lde - L(thr);
    if (r < 12) {
      c->pe[i] = (int32_t)((n * (573 * r + 5415) + 2048) >> 12);
      c->const_part[i] = (int32_t)((n * (573 * (int64_t)lde + 5415) + 2048) >> 12);
      c->active_lines[i] = (int32_t)((573 * n + 512) >> 10);
    } else {
      c->pe[i] = (int32_t)((n * r + 2) >> 2);
      c->const_part[i] = (int32_t)((lde * n) >> 2);
      c->active_lines[i] = (int32_t)n;
    }
  } else {
    c->pe[i] = c->const_part[i] = c->active_lines[i] = 0;
  }
}

static void sum_pe(AacPeData *pd, AacPsyChannel **pc, int32_t nch) {
  pd->pe = pd->offset;
  pd->const_part = pd->active_lines = 0;
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPeChannel *c = &pd->ch[ch];
    const AacPsyChannel *p = pc[ch];
    c->pe_sum = c->const_sum = c->active_sum = 0;
    for (int32_t gs = 0; gs < p->sfb_count; gs += p->sfb_per_group)
      for (int32_t b = 0; b < p->max_sfb_per_group; b++) {
        int32_t i = gs + b;
        c->pe_sum += c->pe[i];
        c->const_sum += c->const_part[i];
        c->active_sum += c->active_lines[i];
      }
    pd->pe += c->pe_sum;
    pd->const_part += c->const_sum;
    pd->active_lines += c->active_sum;
  }
}

static void recalc_pe(AacPeData *pd, AacPsyChannel **pc, int32_t nch) {
  for (int32_t ch = 0; ch < nch; ch++) {
    const AacPsyChannel *p = pc[ch];
    for (int32_t gs = 0; gs < p->sfb_count; gs += p->sfb_per_group)
      for (int32_t b = 0; b < p->max_sfb_per_group; b++)
        band_pe(&pd->ch[ch], gs + b, p->band_nrg[gs + b], p->band_thr[gs + b]);
  }
  sum_pe(pd, pc, nch);
}

void AacCalcPe(AacPeData *pd, AacPsyChannel **pc, int32_t nl[][AAC_MAX_GROUPED_SFB], int32_t nch) {
  for (int32_t ch = 0; ch < nch; ch++) {
    const AacPsyChannel *p = pc[ch];
    AacPeChannel *c = &pd->ch[ch];
    for (int32_t gs = 0; gs < p->sfb_count; gs += p->sfb_per_group)
      for (int32_t b = 0; b < p->max_sfb_per_group; b++) {
        int32_t i = gs + b;
        c->ld_nrg[i] = p->band_nrg[i] > p->band_thr[i] ? L(p->band_nrg[i]) : 0;
        c->lines[i] = nl[ch][i];
      }
  }
  recalc_pe(pd, pc, nch);
}

typedef struct Reduce {
  int32_t root[2][AAC_MAX_GROUPED_SFB];
  int32_t thr0[2][AAC_MAX_GROUPED_SFB];
  int32_t flag[2][AAC_MAX_GROUPED_SFB];
  int32_t spread[2][AAC_MAX_GROUPED_SFB];
} Reduce;

#define FOR_CODED(p, i)                                              \
  for (int32_t gs_ = 0; gs_ < (p)->sfb_count; gs_ += (p)->sfb_per_group) \
    for (int32_t b_ = 0, i = gs_; b_ < (p)->max_sfb_per_group; b_++, i = gs_ + b_)

static void adapt_min_snr(AacPsyChannel *p, const AacAdjThrElement *at) {
  int64_t sum = 0;
  int32_t cnt = 0;
  FOR_CODED(p, i) {
    sum += p->band_nrg[i];
    cnt++;
  }
  if (!cnt) return;
  int32_t avg = (int32_t)(sum / cnt);
  int32_t lim = fixmul_q31(avg, at->start_ratio), lavg = L(avg);
  FOR_CODED(p, i) {
    if (p->band_nrg[i] < lim) {
      int32_t o = 9 * (lavg - L(p->band_nrg[i]));
      int32_t f = o < 360 ? 110 - o / 4 : 20;
      int32_t v = aacPow2xy(f * L(p->min_snr[i]), 320);
      p->min_snr[i] = v < PROTECT_MAX ? v : PROTECT_MAX;
    }
  }
}

static void init_holes(Reduce *rd, AacPsyChannel **pc, const AacPsyElementOut *eo, int32_t nch,
                       const AacAdjThrElement *at) {
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPsyChannel *p = pc[ch];
    int32_t is_short = p->bs.seq == EIGHT_SHORT;
    int32_t fac = is_short ? 0x50C335D3 : 0x40000000;
    for (int32_t i = 0; i < p->sfb_count; i++) rd->spread[ch][i] = fixmul_q31(p->band_spread[i], fac);
    if (at->modify_min_snr) {
      int32_t floor = is_short ? 0x40000000 : 0x287A26C5;
      for (int32_t gs = 0; gs < p->sfb_count; gs += p->sfb_per_group) {
        int32_t per = p->sfb_per_group;
        for (int32_t b = 0; b < p->max_sfb_per_group; b++) {
          int32_t i = gs + b, c = p->band_nrg[i];
          int32_t pv = b > 0 ? p->band_nrg[i - 1] : c, nv = b + 1 < per ? p->band_nrg[i + 1] : c;
          int32_t e = (pv >> 1) + (nv >> 1);
          if (c > e && e > 0) {
            int32_t r = aacFixDiv(fixmul_q31(0x66666666, e), c);
            if (r < floor) r = floor;
            if (r < p->min_snr[i]) p->min_snr[i] = r;
          }
          if (c > 0 && c < (e >> 1)) p->min_snr[i] = fixmul_q31(p->min_snr[i], 0x653160EB);
        }
      }
    }
  }
  if (nch == 2 && eo->common_window) {
    AacPsyChannel *l = pc[0], *r = pc[1];
    FOR_CODED(l, i) {
      if (!eo->ms_used[i]) continue;
      int32_t mx = l->band_nrg[i] > r->band_nrg[i] ? l->band_nrg[i] : r->band_nrg[i];
      int32_t d = fixmul_q31(l->min_snr[i], mx) >> 2;
      AacPsyChannel *c2[2] = {l, r};
      for (int32_t k = 0; k < 2; k++) {
        int32_t e = c2[k]->band_nrg[i];
        if (d >= e) {
          c2[k]->min_snr[i] = NO_HOLE_SNR;
        } else {
          int32_t v = aacFixDiv(d, e);
          if (v < c2[k]->min_snr[i]) v = c2[k]->min_snr[i];
          c2[k]->min_snr[i] = v < 0x66666680 ? v : 0x66666680;
        }
      }
      int32_t lb = rd->spread[0][i] < l->band_nrg[i], rb = rd->spread[1][i] < r->band_nrg[i];
      if (lb) rd->spread[1][i] = fixmul_q31(0x73333333, r->band_nrg[i]);
      if (rb) rd->spread[0][i] = fixmul_q31(0x73333333, l->band_nrg[i]);
    }
  }
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPsyChannel *p = pc[ch];
    for (int32_t i = 0; i < AAC_MAX_GROUPED_SFB; i++) rd->flag[ch][i] = 0;
    FOR_CODED(p, i) {
      rd->flag[ch][i] = (p->band_nrg[i] < rd->spread[ch][i] || p->min_snr[i] == NO_HOLE_SNR) ? 0 : 1;
    }
  }
}

/* Threshold of a band raised by r in the fourth-root domain, capped at the band's minimum
 * SNR unless holes are allowed there. */
static void apply_red(Reduce *rd, AacPsyChannel **pc, int32_t nch, int32_t r) {
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPsyChannel *p = pc[ch];
    FOR_CODED(p, i) {
      int32_t thr = rd->thr0[ch][i], nrg = p->band_nrg[i];
      if (thr >= nrg) continue;
      int32_t x = L_add(rd->root[ch][i], r);
      int32_t x2 = fixmul_q31(x, x);
      int32_t v = fixmul_q31(x2, x2);
      int32_t cap = fixmul_q31(p->min_snr[i], nrg);
      if (rd->flag[ch][i] != 0 && v > cap) {
        v = cap > thr ? cap : thr;
        rd->flag[ch][i] = 2;
      }
      p->band_thr[i] = v;
    }
  }
}

static int32_t pow2_frac(int64_t a, int64_t b) {
  if (b <= 0) return AAC_MAX_32;
  if (a > 0) a = 0;
  if (a < -((int64_t)1 << 30)) return 0;
  if (b > AAC_MAX_32) {
    int32_t s = 0;
    while (b > AAC_MAX_32) {
      b >>= 1;
      a >>= 1;
      s++;
    }
  }
  return aacPow2xy((int32_t)a, (int32_t)b);
}

static void make_hole(AacPeData *pd, AacPsyChannel *p, Reduce *rd, int32_t ch, int32_t i) {
  rd->flag[ch][i] = 0;
  p->band_thr[i] = L_shl(p->band_nrg[i], 1);
  pd->pe -= pd->ch[ch].pe[i];
  pd->ch[ch].pe_sum -= pd->ch[ch].pe[i];
  pd->ch[ch].pe[i] = 0;
}

static void allow_holes(AacPeData *pd, AacPsyChannel **pc, const AacPsyElementOut *eo, Reduce *rd, int32_t nch,
                        const AacAdjThrElement *at, int32_t t) {
  if (nch == 2 && pc[0]->bs.seq == pc[1]->bs.seq && eo->common_window) {
    AacPsyChannel *l = pc[0], *r = pc[1];
    FOR_CODED(l, i) {
      if (pd->pe < t) break;
      if (!eo->ms_used[i]) continue;
      if (rd->flag[1][i] && fixmul_q31(fixmul_q31(0x33333333, l->min_snr[i]), l->band_nrg[i]) > r->band_nrg[i])
        make_hole(pd, r, rd, 1, i);
      else if (rd->flag[0][i] &&
               fixmul_q31(fixmul_q31(0x33333333, r->min_snr[i]), r->band_nrg[i]) > l->band_nrg[i])
        make_hole(pd, l, rd, 0, i);
    }
  }
  if (pd->pe <= t) return;
  int32_t start[2] = {0, 0}, hi = 0, lo_start = 1 << 20;
  int64_t sum = 0;
  int32_t cnt = 0, mn = 1;
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPsyChannel *p = pc[ch];
    start[ch] = p->bs.seq == EIGHT_SHORT ? at->start_sfb_short : at->start_sfb_long;
    if (start[ch] < lo_start) lo_start = start[ch];
    if (p->sfb_count > hi) hi = p->sfb_count;
    for (int32_t i = start[ch]; i < p->sfb_count; i++) {
      if (rd->flag[ch][i] && p->band_thr[i] < p->band_nrg[i]) {
        sum += p->band_nrg[i];
        cnt++;
        if (p->band_nrg[i] < mn) mn = p->band_nrg[i];
      }
    }
  }
  if (!cnt) return;
  int32_t avg = (int32_t)(sum / cnt), d = L(avg) - L(mn);
  for (int32_t k = 0; k < 4 && pd->pe >= t; k++) {
    int32_t level = fixmul_q31(avg, pow2_frac(-(int64_t)d * (6 - 2 * k), 28));
    if (k == 3) level = avg;
    for (int32_t i = hi - 1; i >= lo_start && pd->pe >= t; i--) {
      for (int32_t ch = 0; ch < nch && pd->pe >= t; ch++) {
        AacPsyChannel *p = pc[ch];
        if (i < start[ch] || i >= p->sfb_count) continue;
        if (rd->flag[ch][i] && p->band_nrg[i] < level) make_hole(pd, p, rd, ch, i);
      }
    }
  }
}

static void reduce_thresholds(AacPeData *pd, AacPsyChannel **pc, const AacPsyElementOut *eo, int32_t nch,
                              const AacAdjThrElement *at, int32_t t) {
  Reduce rd;
  memset(&rd, 0, sizeof(rd));
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPsyChannel *p = pc[ch];
    FOR_CODED(p, i) {
      rd.thr0[ch][i] = p->band_thr[i];
      rd.root[ch][i] = aacSqrtQ31(aacSqrtQ31(p->band_thr[i]));
    }
    adapt_min_snr(p, at);
  }
  init_holes(&rd, pc, eo, nch, at);
  if (pd->active_lines <= 0) return;
  int64_t a4 = 4 * (int64_t)pd->active_lines;
  int32_t r = L_sub(pow2_frac((int64_t)pd->const_part - t, a4), pow2_frac((int64_t)pd->const_part - pd->pe, a4));
  apply_red(&rd, pc, nch, r);
  recalc_pe(pd, pc, nch);
  for (int32_t pass = 0; pass < 2; pass++) {
    if (pass == 1 && iabs64((int64_t)pd->pe - t) * 100 <= 5 * (int64_t)t) break;
    int64_t n = 0, c = 0, pp = 0;
    for (int32_t ch = 0; ch < nch; ch++) {
      AacPsyChannel *p = pc[ch];
      FOR_CODED(p, i) {
        if (rd.flag[ch][i] >= 2) continue;
        n += pd->ch[ch].active_lines[i];
        c += pd->ch[ch].const_part[i];
        pp += pd->ch[ch].pe[i];
      }
    }
    if (n <= 0) break;
    int64_t want = (int64_t)t + pp - pd->pe;
    if (want < 0) want = 0;
    r = L_add(r, L_sub(pow2_frac(c - want, 4 * n), pow2_frac(c - pp, 4 * n)));
    apply_red(&rd, pc, nch, r);
    recalc_pe(pd, pc, nch);
  }
  if ((int64_t)pd->pe * 100 < (int64_t)t * 115) {
    int64_t D = (int64_t)t - pd->pe;
    int64_t wsum = 1;
    int64_t wt[2][AAC_MAX_GROUPED_SFB];
    for (int32_t ch = 0; ch < nch; ch++) {
      AacPsyChannel *p = pc[ch];
      FOR_CODED(p, i) {
        int32_t s = L_add(rd.root[ch][i], r);
        wt[ch][i] = 0;
        if (s <= 0 || (rd.flag[ch][i] > 1 && D <= 0)) continue;
        wt[ch][i] = (int64_t)(AAC_MAX_32 / s) * pd->ch[ch].active_lines[i];
        wsum += wt[ch][i];
      }
    }
    for (int32_t ch = 0; ch < nch; ch++) {
      AacPsyChannel *p = pc[ch];
      FOR_CODED(p, i) {
        int32_t a = pd->ch[ch].active_lines[i];
        if (a <= 0 || wt[ch][i] == 0) continue;
        int64_t x = wt[ch][i] * D, den = wsum * a;
        /* keep the exponent x / den representable */
        while (den > AAC_MAX_32 || x > AAC_MAX_32 || x < -(int64_t)AAC_MAX_32) {
          den >>= 1;
          x /= 2;
          if (den == 0) break;
        }
        if (den <= 0) continue;
        int32_t thr = p->band_thr[i], v;
        if (x < 0) {
          int32_t pw = pow2_frac(x, den);
          v = thr >= pw ? AAC_MAX_32 : aacFixDiv(thr, pw);
        } else {
          v = fixmul_q31(thr, pow2_frac(-x, den));
        }
        int32_t cap = fixmul_q31(p->min_snr[i], p->band_nrg[i]);
        if (rd.flag[ch][i] == 1 && v > cap) {
          rd.flag[ch][i] = 2;
          v = cap > thr ? cap : thr;
        }
        p->band_thr[i] = v;
      }
    }
    recalc_pe(pd, pc, nch);
  } else {
    t = (int32_t)((int64_t)t * 105 / 100);
    int32_t hi = 0;
    for (int32_t ch = 0; ch < nch; ch++)
      if (pc[ch]->sfb_count > hi) hi = pc[ch]->sfb_count;
    for (int32_t i = hi - 1; i >= 0 && pd->pe > t; i--) {
      for (int32_t ch = 0; ch < nch && pd->pe > t; ch++) {
        AacPsyChannel *p = pc[ch];
        if (i >= p->sfb_count || (i % p->sfb_per_group) >= p->max_sfb_per_group) continue;
        if (!rd.flag[ch][i] || p->min_snr[i] >= PROTECT_MAX) continue;
        p->min_snr[i] = PROTECT_MAX;
        p->band_thr[i] = fixmul_q31(p->band_nrg[i], PROTECT_MAX);
        int32_t inc = (3 * pd->ch[ch].lines[i]) / 2 - pd->ch[ch].pe[i];
        pd->ch[ch].pe[i] += inc;
        pd->ch[ch].pe_sum += inc;
        pd->pe += inc;
      }
    }
    allow_holes(pd, pc, eo, &rd, nch, at, t);
    recalc_pe(pd, pc, nch);
  }
}

static int32_t clip(int32_t v, int32_t lo, int32_t hi) { return v < lo ? lo : (v > hi ? hi : v); }

static int32_t range_div(int64_t num, int64_t den) { return den == 0 ? 0 : (int32_t)(num / den); }

void AacAdjustThresholds(AacAdjThrElement *at, AacPsyChannel **pc, AacPsyElementOut *eo, int32_t *dist,
                         int32_t nl[][AAC_MAX_GROUPED_SFB], int32_t nch, AacQcOutElement *qe, int32_t avail,
                         int32_t level, int32_t max_bits, int32_t bit_factor, int32_t fixed_bits) {
  AacPeData pd;
  memset(&pd, 0, sizeof(pd));
  pd.offset = at->pe_offset;
  AacCalcPe(&pd, pc, nl, nch);
  int32_t pe0 = pd.pe;
  int is_short = pc[0]->bs.seq == EIGHT_SHORT || (nch == 2 && pc[1]->bs.seq == EIGHT_SHORT);
  const BresParam *bp = is_short ? &bresShort : &bresLong;

  int32_t fill = max_bits > 0 ? range_div((int64_t)level * 100, max_bits) : 0;
  int32_t fs = clip(fill, bp->save_lo, bp->save_hi), fp = clip(fill, bp->spend_lo, bp->spend_hi);
  int32_t save = bp->save_at_lo - range_div((int64_t)(bp->save_at_lo - bp->save_at_hi) * (fs - bp->save_lo),
                                            bp->save_hi - bp->save_lo);
  int32_t spend = bp->spend_at_lo + range_div((int64_t)(bp->spend_at_hi - bp->spend_at_lo) * (fp - bp->spend_lo),
                                              bp->spend_hi - bp->spend_lo);
  int32_t m = pe0 + 5 * fixed_bits;
  int32_t factor = 100 - save +
                   range_div((int64_t)(save + spend) * (clip(m, at->pe_min, at->pe_max) - at->pe_min),
                             at->pe_max - at->pe_min);
  /* follow the PE range */
  if (m > at->pe_max) {
    at->pe_min += (int32_t)((int64_t)(m - at->pe_max) * 30 / 100);
    at->pe_max = m;
  } else if (m < at->pe_min) {
    int32_t old = at->pe_min;
    at->pe_min -= (int32_t)((int64_t)(old - m) * 14 / 100);
    at->pe_max -= (int32_t)((int64_t)(old - m) * 7 / 100);
  } else {
    at->pe_min += (int32_t)((int64_t)(m - at->pe_min) * 30 / 100);
    at->pe_max -= (int32_t)((int64_t)(at->pe_max - m) * 7 / 100);
  }
  if (at->pe_max - at->pe_min < m / 6) {
    int32_t a = at->pe_max - m > 0 ? at->pe_max - m : 0, b = m - at->pe_min > 0 ? m - at->pe_min : 0;
    if (a + b > 0) {
      at->pe_max = m + (int32_t)((int64_t)(m / 6) * a / (a + b));
      int32_t v = m - (int32_t)((int64_t)b * (m / 6) / (a + b));
      at->pe_min = v > 0 ? v : 0;
    } else {
      /* all three coincide: open the range evenly around m */
      at->pe_max = m + m / 12;
      at->pe_min = m - m / 12 > 0 ? m - m / 12 : 0;
    }
  }
  int32_t lim = avail > 0 ? range_div((int64_t)level * 100, avail) + 70 : factor;
  if (lim < factor) factor = lim;
  if (bit_factor < factor) factor = bit_factor;
  int32_t target = (int32_t)((int64_t)factor * aacMul118Percent(avail) / 100);

  /* correction from the last frame's target and spending */
  int32_t ld = aacMul118Percent(at->last_dyn_bits);
  int64_t mtp = (int64_t)(target < pe0 ? target : pe0) * 100;
  if (at->last_dyn_bits <= 0 || mtp >= 150 * (int64_t)at->last_target_pe || mtp <= 70 * (int64_t)at->last_target_pe ||
      (int64_t)at->last_target_pe * 100 >= 120 * (int64_t)ld || (int64_t)at->last_target_pe * 100 <= 65 * (int64_t)ld) {
    at->correction = 100;
  } else {
    int32_t q = range_div((int64_t)at->last_target_pe * 100, ld), k;
    if (q > 99)
      k = clip(q * 90 / 100, 100, 115);
    else
      k = clip(q * 110 / 100, 85, 100);
    int32_t st = at->correction;
    if ((k > 100 && st < 100) || (k < 100 && st > 100)) st = 100;
    int32_t nv;
    if (st != 100 && ((k > st && st > 100) || (k < st && st < 100)))
      nv = (st * 85 + k * 15) / 100;
    else
      nv = (st * 70 + k * 30) / 100;
    at->correction = clip(nv, 85, 115);
  }
  int32_t t = (int32_t)((int64_t)at->correction * target / 100);
  if (t < pd.pe && pd.offset < pd.pe) reduce_thresholds(&pd, pc, eo, nch, at, t);

  if (nch == 1) {
    dist[0] = 1000;
  } else {
    int32_t denom = pd.pe - pd.offset;
    for (int32_t ch = 0; ch < nch; ch++)
      dist[ch] = denom <= 0 ? 1000 / nch
                            : 200 + (int32_t)((int64_t)(1000 - 200 * nch) * pd.ch[ch].pe_sum / denom);
    if (denom > 0) dist[nch - 1] = 1000 - dist[0];
  }
  qe->pe = pe0;
  at->last_target_pe = target;
}
