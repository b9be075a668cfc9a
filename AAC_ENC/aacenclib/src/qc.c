/* Quantisation and coding loop of one element. */
#include <stdio.h>
#include <string.h>

#include "aac_intrinsics.h"
#include "aac_qc.h"

/* A gain step lowers every quantised value; from this gain on every line of 32-bit
 * magnitude quantises to 0, so the loop ends there at the latest. */
#define AAC_GAIN_LIMIT 255

int QcMain(int32_t quality, int32_t bit_factor, int32_t nch, AacElementBits *eb, AacAdjThrElement *at,
           AacPsyChannel **pc, AacPsyElementOut *eo, AacQcOutChannel **qc, AacQcOutElement *qe, int32_t sbr_bytes,
           int32_t *scratch) {
  static int reported;
  if (eb->bit_res_level < 0 || eb->bit_res_level > eb->max_bit_res_bits) {
    /* a level out of range is a bookkeeping fault: clamp it and code the frame normally */
    if (!reported) {
      fprintf(stderr, "bit reservoir level %d out of range 0..%d, clamped\n", eb->bit_res_level,
              eb->max_bit_res_bits);
      reported = 1;
    }
    eb->bit_res_level = eb->bit_res_level < 0 ? 0 : eb->max_bit_res_bits;
  }
  /* the frame's real share (the nominal average less the transport header and rounding) */
  int32_t avg = eb->share > 0 ? eb->share : eb->average_bits;
  qe->static_bits = CountStaticBitdemand(pc, eo, nch);
  qe->ext_bits = sbr_bytes <= 0 ? 0 : 8 * sbr_bytes + (sbr_bytes < 15 ? 7 : 15);
  int32_t ff[2][AAC_MAX_GROUPED_SFB], nl[2][AAC_MAX_GROUPED_SFB];
  memset(ff, 0, sizeof(ff));
  memset(nl, 0, sizeof(nl));
  CalcFormFactor(ff, nl, pc, nch);
  int32_t dist[2] = {1000, 0};
  AacAdjustThresholds(at, pc, eo, dist, nl, nch, qe, avg - qe->static_bits - qe->ext_bits,
                      eb->bit_res_level, eb->max_bits, bit_factor, qe->static_bits + qe->ext_bits);
  EstimateScaleFactors(pc, qc, ff, nl, nch, quality, scratch);
  int64_t max_dyn = (int64_t)avg + eb->bit_res_level - qe->static_bits - qe->ext_bits - 7;
  qe->dyn_bits = 0;
  for (int32_t ch = 0; ch < nch; ch++) {
    AacPsyChannel *p = pc[ch];
    AacQcOutChannel *q = qc[ch];
    int32_t ceiling = (int32_t)(max_dyn * dist[ch] / 1000);
    int32_t bits, mx;
    for (;;) {
      mx = QuantizeSpectrum(p->sfb_count, p->max_sfb_per_group, p->sfb_per_group, p->sfb_offsets, p->spectrum,
                            q->global_gain, q->scf, q->quant_spec, q->max_value);
      bits = DynBitCount(q->quant_spec, q->max_value, q->scf, p->bs.seq, p->sfb_count, p->max_sfb_per_group,
                         p->sfb_per_group, p->sfb_offsets, &q->sections);
      if (mx < 8192 && bits < ceiling) break;
      if (mx == 0 || q->global_gain >= AAC_GAIN_LIMIT) break;
      q->global_gain++;
    }
    q->dyn_bits = bits;
    qe->dyn_bits += bits;
    q->spec_exp = p->spec_exp;
    q->grouping_mask = p->grouping_mask;
    q->window_shape = p->window_shape;
  }
  at->last_dyn_bits = qe->dyn_bits;
  int32_t spare = avg - (qe->static_bits + qe->dyn_bits + qe->ext_bits);
  int32_t room = eb->max_bit_res_bits - eb->bit_res_level;
  qe->fill_bits = spare - room > 0 ? spare - room : 0;
  return 0;
}
