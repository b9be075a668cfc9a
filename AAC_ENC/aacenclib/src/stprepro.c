/* Stereo pre-processing: narrows a channel pair at low bit rates by mixing each channel
 * with a share of the other, steered by bit budget, PE and the stereo character. */
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_qc.h"

#define L(x) aacQuarterLog2(x)

static int32_t div0(int64_t a, int64_t b) { return b == 0 ? 0 : sat32(a / b); }

static void derive(AacStereoPrePro *sp, int32_t bit_rate, int32_t rate, int32_t act_pct, int32_t bandwidth) {
  int64_t avg = rate > 0 ? (int64_t)bit_rate * 1024 / rate : 0;
  sp->pe_weight = div0((int64_t)act_pct * (rate > 24000 ? 3100000 : 1250000), (int64_t)bandwidth * avg);
  sp->rise_limit = div0(882000000, (int64_t)rate * avg);
  sp->fall_limit = div0(441000000, (int64_t)rate * avg);
  int64_t d = (int64_t)bit_rate - (int64_t)rate * rate / 72000;
  sp->br_factor = d > 0 ? (int32_t)(400000 / d) : 1;
  int64_t a = 100 - avg / 26;
  if (a < 0) a = 0;
  sp->atten = (int32_t)(a * 1200 / 100);
}

void AacStereoPreProInit(AacStereoPrePro *sp, int32_t channels, int32_t bit_rate, int32_t rate, int32_t act_pct,
                         int32_t bandwidth, int32_t reinit) {
  if (reinit) {
    if (sp->active) derive(sp, bit_rate, rate, act_pct, bandwidth);
    return;
  }
  memset(sp, 0, sizeof(*sp));
  derive(sp, bit_rate, rate, act_pct, bandwidth);
  sp->smoothed_pe = 7000;
  sp->smoothed_sm_ratio = -10;
  sp->active = channels == 2;
  sp->atten_max = 1200;
  sp->bal_thr_lo = 10;
  sp->bal_thr_hi = 30;
  sp->sm_thr_lo = 0;
  sp->sm_thr_hi = 15;
  sp->pe_thr_lo = 700;
  sp->pe_thr_hi = 1200;
  sp->pe_excess_max = 50000;
}

static int32_t db(int32_t ldiff) { return ldiff * 3 / 4; }
static int32_t iabs(int32_t v) { return v < 0 ? -v : v; }

void AacStereoPreProApply(AacStereoPrePro *sp, int16_t *ts, int32_t stride, int32_t n) {
  if (!sp->active) return;
  int32_t g = sp->mix_gain;
  int32_t a = 0x40000000 + (g >> 1), b = 0x40000000 - (g >> 1);
  int32_t x = fixmul_q31(sp->nrg_m, L_sub(AAC_MAX_32, fixmul_q31(g, g)));
  int32_t el = L_sub(L_add(fixmul_q31(sp->nrg_l, a), fixmul_q31(sp->nrg_r, b)), x);
  int32_t er = L_sub(L_add(fixmul_q31(sp->nrg_r, a), fixmul_q31(sp->nrg_l, b)), x);
  int32_t balance = iabs(db(L(el) - L(er)));
  int32_t change = iabs(db(L(L_add(sp->nrg_l, sp->nrg_r)) - L(sp->prev_mean_nrg) - 4));
  sp->smoothed_sm_ratio = (db(L(sp->nrg_s) - L(sp->nrg_m)) * 10 + sp->smoothed_sm_ratio * 90) / 100;
  int64_t wn = 1, wd = 1;
  int32_t ratio = sp->smoothed_sm_ratio;
  if (ratio > sp->sm_thr_lo) {
    if (ratio <= sp->sm_thr_hi) {
      wn = sp->sm_thr_hi - ratio;
      wd = sp->sm_thr_hi;
    } else {
      wn = 0;
    }
  }
  if (balance > sp->bal_thr_lo) {
    if (balance <= sp->bal_thr_hi) {
      wn *= sp->bal_thr_hi - balance;
      wd *= sp->bal_thr_hi - sp->bal_thr_lo;
    } else {
      wn = 0;
    }
  }
  int64_t e = (int64_t)sp->pe_weight * sp->smoothed_pe / 100, excess = 0;
  if (e > sp->pe_thr_lo) {
    excess = e - sp->pe_thr_lo;
    wd *= sp->pe_thr_hi - sp->pe_thr_lo;
  }
  if (excess > sp->pe_excess_max) excess = sp->pe_excess_max;
  int64_t att = wd ? excess * 100 * sp->br_factor * wn / wd : 0;
  if (att > sp->atten_max) att = sp->atten_max;
  int32_t p = sp->atten;
  if (att != 0 && iabs((int32_t)att - p) < 100) att = p;
  int64_t ch = change < 5 ? 5 : change;
  int64_t s = (int64_t)(p + 600) * ch / ((int64_t)(balance + 10) * 5);
  int64_t df = balance - sp->prev_balance;
  if (df < 3) df = 3;
  int64_t fall = df * df * s / 9;
  if (fall > 500) fall = 500;
  fall = fall * sp->fall_limit / 100;
  if (fall > (int64_t)p * 8 / 10) fall = (int64_t)p * 8 / 10;
  int64_t dr = sp->prev_balance - balance;
  if (dr < 3) dr = 3;
  int64_t rise = dr * dr * s / 9;
  if (rise > 500) rise = 500;
  rise = p + rise * sp->rise_limit / 100;
  if (att > rise) att = rise;
  if (att < p - fall) att = p - fall;
  /* coherence limit, from the energies with the last mix taken out: the measured ones
   * already carry the mix, which would hide a one-sided signal from the limit */
  if (el < 0) el = 0;
  if (er < 0) er = 0;
  int32_t hi = el > er ? el : er, lo = el > er ? er : el;
  int32_t r = (hi == 0 || hi == lo) ? AAC_MAX_32 : aacSafeDiv(L_add(lo, 0x53E3), L_add(hi, 0x53E3));
  int32_t c = L_sub(0x20C49C, fixmul_q31(r, r));
  if (c < 0x346DC) c = 0x346DC;
  sp->smoothed_coh_limit = (int32_t)((((int64_t)L(c) * -347 - 13816) * 3 + (int64_t)sp->smoothed_coh_limit * 7) / 10);
  if (att > sp->smoothed_coh_limit) att = sp->smoothed_coh_limit;
  if (att < 0) att = 0;
  sp->atten = sp->fixed_atten ? sp->fixed_atten : (int32_t)att;
  g = aacPow2xy(-sp->atten, 602);
  sp->mix_gain = g;
  a = 0x40000000 + (g >> 1);
  b = 0x40000000 - (g >> 1);
  if (g != AAC_MAX_32) {
    for (int32_t j = 0; j < n; j++) {
      int16_t *pl = ts + (int64_t)j * stride, *pr = pl + 1;
      int32_t l = *pl, rr = *pr;
      int32_t vl = sat32(2 * ((((int64_t)a * l) >> 16) + (((int64_t)b * rr) >> 16)));
      int32_t vr = sat32(2 * ((((int64_t)a * rr) >> 16) + (((int64_t)b * l) >> 16)));
      int32_t ol = (vl >> 16) + ((vl >> 15) & 1), orr = (vr >> 16) + ((vr >> 15) & 1);
      *pl = (int16_t)(ol > 32767 ? 32767 : ol);
      *pr = (int16_t)(orr > 32767 ? 32767 : orr);
    }
  }
  sp->prev_balance = balance;
  sp->prev_mean_nrg = (sp->nrg_l >> 1) + (sp->nrg_r >> 1);
}

static int32_t rescale(int32_t v, int32_t e) { return L_shr(v, 22 - 2 * e); }

void AacStereoPreProUpdate(AacStereoPrePro *sp, AacPsyChannel **pc, const AacQcOutElement *qe, int32_t weight) {
  if (!sp->active) return;
  sp->nrg_l = rescale(pc[0]->nrg_sum, pc[0]->spec_exp);
  sp->nrg_r = rescale(pc[1]->nrg_sum, pc[1]->spec_exp);
  sp->nrg_m = rescale(pc[0]->nrg_ms_sum, pc[0]->spec_exp);
  sp->nrg_s = rescale(pc[1]->nrg_ms_sum, pc[1]->spec_exp);
  sp->smoothed_pe = (int32_t)(((int64_t)qe->pe * weight + (int64_t)sp->smoothed_pe * 900) / 1000);
}
