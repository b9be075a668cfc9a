/* Psychoacoustic model: configuration per block type, per-channel analysis records and
 * output, the mid/side decision of a channel pair.  All records are pointer-free. */
#ifndef AAC_PSY_H
#define AAC_PSY_H

#include <stdint.h>

#include "aac_bands.h"
#include "aac_blockswitch.h"
#include "aac_tns.h"
#include "aac_transform.h"

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_MAX_GROUPED_SFB 60
#define AAC_PRE_ECHO_MIN 0x147AE14   /* 0.01 */
#define AAC_THR_RATIO 2703521        /* -29 dB */

typedef struct AacPsyConfig {
  int32_t sfb_cnt;
  int32_t sfb_active;
  int32_t is_long;
  int32_t sfb_offset[AAC_MAX_SFB_LONG + 1];
  int32_t bark[AAC_MAX_SFB_LONG];            /* hundredths of a Bark */
  int32_t thr_quiet[AAC_MAX_SFB_LONG];
  int32_t spread_thr_lo[AAC_MAX_SFB_LONG];
  int32_t spread_thr_hi[AAC_MAX_SFB_LONG];
  int32_t spread_nrg_lo[AAC_MAX_SFB_LONG];
  int32_t spread_nrg_hi[AAC_MAX_SFB_LONG];
  int32_t min_snr[AAC_MAX_SFB_LONG];
  int32_t pre_echo_inc;
  int32_t pre_echo_min;
  int32_t lowpass_line;
  int32_t clip_energy;
  int32_t ratio;
} AacPsyConfig;

/* Psychoacoustic channel record (one per coded channel, carved from module memory): the
 * analysis state and the channel's output for the quantisation side. */
typedef struct AacPsyChannel {
  AacBlockSwitch bs;
  int16_t history[AAC_HISTORY];
  int32_t spectrum[1024];
  int32_t spec_exp;       /* common exponent of the element after the transform */
  int32_t prev_exp;       /* for the pre-echo control */
  int32_t pre_echo_thr[AAC_MAX_SFB_LONG];
  int32_t band_thr[180];  /* long: 0..50; short: window w band b at 60 + 15 w + b, grouped from 0 */
  int32_t band_nrg[180];
  int32_t band_nrg_ms[180];
  int32_t band_spread[180];
  int32_t nrg_total[9];   /* long block, then the eight short windows */
  int32_t nrg_ms_total[9];
  AacTnsInfo tns;
  int32_t tns_filtered;   /* the lines of some window went through the TNS filter */
  /* output */
  int32_t sfb_count;
  int32_t sfb_per_group;
  int32_t max_sfb_per_group;
  int32_t window_shape;
  int32_t grouping_mask;
  int32_t sfb_offsets[AAC_MAX_GROUPED_SFB + 1];
  int32_t min_snr[AAC_MAX_GROUPED_SFB];
  int32_t nrg_sum;
  int32_t nrg_ms_sum;
} AacPsyChannel;

/* Psychoacoustic output of an element. */
typedef struct AacPsyElementOut {
  int32_t common_window;
  int32_t ms_mask;                      /* 0 none, 1 per band, 2 all */
  int32_t ms_used[AAC_MAX_GROUPED_SFB];
  int32_t ms_weight;                    /* o * 28 / 100 + 125 of the cost ratios */
} AacPsyElementOut;

/* Configuration of a block type (long != 0: 1024 lines); 0, or 1 without a band partition. */
int AacPsyConfigOpen(AacPsyConfig *cfg, int32_t bpc, int32_t rate, int32_t bandwidth, int32_t is_long);
/* The bit-rate dependent part again (keeps partition, lowpass line and constants). */
void AacPsyConfigUpdate(AacPsyConfig *cfg, int32_t bpc, int32_t rate);
/* 1000 * atan(x / 1000) in integer steps. */
int32_t AacAtan1000(int32_t x);

/* Analysis of one element after block switching, transform and common exponent (the
 * psychoacoustic steps 3 to 6): energies, TNS, thresholds, spreading, pre-echo control,
 * grouping and, for a pair, the mid/side decision.  scratch holds 1024 words. */
void AacPsyAnalyse(AacPsyChannel **pc, int32_t n_channels, int32_t is_pair, const AacPsyConfig *cfg_long,
                   const AacPsyConfig *cfg_short, const AacTnsConfig *tns_long, const AacTnsConfig *tns_short,
                   AacPsyElementOut *eo, int32_t *scratch);
/* Mid/side decision of a pair over the coded bands of every group. */
void AacMsStereo(AacPsyChannel *l, AacPsyChannel *r, AacPsyElementOut *eo);
/* Spreading of a band array in place (upwards with hi[], then downwards with lo[]). */
void AacSpreading(int32_t *x, int32_t n, const int32_t *lo, const int32_t *hi);
/* Pre-echo control of n bands. */
void AacPreEchoControl(int32_t *hist, int32_t n, int32_t *thr, int32_t exp, int32_t prev_exp);
/* Grouping mask of a grouping (7 bits; 0 for one group of one window). */
int32_t AacGroupingMask(const int32_t *group_len, int32_t n_groups);

#ifdef __cplusplus
}
#endif
#endif
