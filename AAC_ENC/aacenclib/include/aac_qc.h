/* Quantisation side of the core: bit budget and reservoir, threshold adaptation, stereo
 * pre-processing, scalefactor estimation and quantiser, static bits and noiseless coding.
 * All records are pointer-free (they live in the working memory). */
#ifndef AAC_QC_H
#define AAC_QC_H

#include <stdint.h>

#include "aac_psy.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_INVALID_BITS 0x1FFFFFFF
#define AAC_CODE_BOOKS 12
#define AAC_MAX_QUANT 8191
#define AAC_SF_NONE ((int16_t)-32768)

extern const int32_t quant_recon[16];
extern const int32_t pow2tominusNover16[17];
extern const int32_t iSfbWidth_table[32];
extern const int32_t formfac_sqrttable[96];
extern const uint32_t aacPow43Q13[8192];
extern const int32_t aacPow2Quarter[4];

typedef struct AacSectionInfo {
  int32_t code_book;
  int32_t sfb_start;
  int32_t sfb_cnt;
  int32_t bits;
} AacSectionInfo;

typedef struct AacSectionData {
  int32_t window_seq;
  int32_t sfb_cnt;
  int32_t sfb_per_group;
  int32_t max_sfb_per_group;
  int32_t n_groups;
  int32_t n_sections;
  AacSectionInfo section[AAC_MAX_GROUPED_SFB];
  int32_t huffman_bits;
  int32_t side_info_bits;
  int32_t scalefac_bits;
  int32_t first_scf;
} AacSectionData;

/* Quantisation output of one channel (carved from module memory). */
typedef struct AacQcOutChannel {
  int16_t quant_spec[1024];
  uint16_t max_value[AAC_MAX_GROUPED_SFB];
  int16_t scf[AAC_MAX_GROUPED_SFB];
  int32_t global_gain;
  int32_t spec_exp;
  int32_t grouping_mask;
  int32_t window_shape;
  int32_t dyn_bits;
  AacSectionData sections;
} AacQcOutChannel;

typedef struct AacQcOutElement {
  int32_t static_bits;
  int32_t dyn_bits;
  int32_t pe;
  int32_t ext_bits;
  int32_t fill_bits;
} AacQcOutElement;

typedef struct AacElementBits {
  int32_t bit_rate;
  int32_t average_bits;
  int32_t max_bits;
  int32_t bit_res_level;
  int32_t max_bit_res_bits;
  int32_t weight;        /* Q15 share of the frame budget */
  int32_t share;         /* this frame's share */
} AacElementBits;

typedef struct AacAdjThrElement {
  int32_t pe_min;
  int32_t pe_max;
  int32_t pe_offset;
  int32_t modify_min_snr;
  int32_t start_sfb_long;
  int32_t start_sfb_short;
  int32_t start_ratio;
  int32_t last_target_pe;
  int32_t last_dyn_bits;
  int32_t correction;
} AacAdjThrElement;

typedef struct AacStereoPrePro {
  int32_t pe_weight, rise_limit, fall_limit;
  int32_t nrg_l, nrg_r, nrg_m, nrg_s;
  int32_t smoothed_pe, smoothed_sm_ratio, prev_balance, prev_mean_nrg;
  int32_t br_factor, atten, mix_gain, active, fixed_atten, atten_max, smoothed_coh_limit;
  int32_t bal_thr_lo, bal_thr_hi, sm_thr_lo, sm_thr_hi, pe_thr_lo, pe_thr_hi, pe_excess_max;
} AacStereoPrePro;

/* Per-element record of the PE computation. */
typedef struct AacPeChannel {
  int32_t ld_nrg[AAC_MAX_GROUPED_SFB];
  int32_t lines[AAC_MAX_GROUPED_SFB];
  int32_t pe[AAC_MAX_GROUPED_SFB];
  int32_t const_part[AAC_MAX_GROUPED_SFB];
  int32_t active_lines[AAC_MAX_GROUPED_SFB];
  int32_t pe_sum, const_sum, active_sum;
} AacPeChannel;
typedef struct AacPeData {
  AacPeChannel ch[2];
  int32_t pe, const_part, active_lines, offset;
} AacPeData;

/* ---- quantiser and scalefactors ---- */
int32_t QuantizeLines(int32_t gain, int32_t n, const int32_t *x, int16_t *q);
int32_t QuantizeSpectrum(int32_t sfb_cnt, int32_t max_sfb, int32_t per_group, const int32_t *offsets,
                         const int32_t *x, int32_t global_gain, const int16_t *scf, int16_t *q, uint16_t *maxv);
int32_t CalcSfbDist(const int32_t *x, int32_t n, int32_t gain);
void CalcFormFactor(int32_t ff[][AAC_MAX_GROUPED_SFB], int32_t nl[][AAC_MAX_GROUPED_SFB], AacPsyChannel **pc,
                    int32_t n_channels);
void EstimateScaleFactors(AacPsyChannel **pc, AacQcOutChannel **qc, int32_t ff[][AAC_MAX_GROUPED_SFB],
                          int32_t nl[][AAC_MAX_GROUPED_SFB], int32_t n_channels, int32_t quality, int32_t *scratch);

/* ---- bit counting ---- */
int32_t BitCountScalefactorDelta(int32_t delta);
void BitCount(const int16_t *q, int32_t n, int32_t max_val, int32_t *bits);
int32_t DynBitCount(const int16_t *q, const uint16_t *maxv, const int16_t *scf, int32_t window_seq, int32_t sfb_cnt,
                    int32_t max_sfb, int32_t per_group, const int32_t *offsets, AacSectionData *sd);
int32_t CountStaticBitdemand(AacPsyChannel **pc, const AacPsyElementOut *eo, int32_t n_channels);
int32_t AacTnsBits(const AacPsyChannel *pc);
/* Walks the scalefactors of the coded sections: with out != 0 they are written, and the
 * bits are returned either way (one routine for counting and writing). */
struct AacBitBuf;
int32_t AacScalefactorData(const AacSectionData *sd, const int16_t *scf, const uint16_t *maxv, uint8_t *out,
                           struct AacBitBuf *bb);

/* ---- threshold adaptation ---- */
void AacAdjThrInit(AacAdjThrElement *at, int32_t mean_pe, int32_t element_bit_rate);
void AacCalcPe(AacPeData *pd, AacPsyChannel **pc, int32_t nl[][AAC_MAX_GROUPED_SFB], int32_t n_channels);
void AacAdjustThresholds(AacAdjThrElement *at, AacPsyChannel **pc, AacPsyElementOut *eo, int32_t *bit_dist,
                         int32_t nl[][AAC_MAX_GROUPED_SFB], int32_t n_channels, AacQcOutElement *qe,
                         int32_t avail_bits, int32_t bit_res_level, int32_t max_bits, int32_t bit_factor,
                         int32_t fixed_bits);

/* ---- stereo pre-processing ---- */
void AacStereoPreProInit(AacStereoPrePro *sp, int32_t channels, int32_t bit_rate, int32_t rate, int32_t act_pct,
                         int32_t bandwidth, int32_t reinit);
void AacStereoPreProApply(AacStereoPrePro *sp, int16_t *ts, int32_t stride, int32_t n);
void AacStereoPreProUpdate(AacStereoPrePro *sp, AacPsyChannel **pc, const AacQcOutElement *qe, int32_t weight);

/* ---- one element ---- */
int QcMain(int32_t quality, int32_t bit_factor, int32_t n_channels, AacElementBits *eb, AacAdjThrElement *at,
           AacPsyChannel **pc, AacPsyElementOut *eo, AacQcOutChannel **qc, AacQcOutElement *qe, int32_t sbr_bytes,
           int32_t *scratch);

#ifdef __cplusplus
}
#endif
#endif
