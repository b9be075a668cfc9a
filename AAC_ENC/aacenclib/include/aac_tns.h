/* Temporal noise shaping: configuration by rate and bit rate, detection by linear
 * prediction over the spectrum, arcsine quantisation of the reflection coefficients, order
 * reduction and the lattice analysis filter. */
#ifndef AAC_TNS_H
#define AAC_TNS_H

#include <stdint.h>

#include "aac_bands.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TNS_MAX_ORDER 12
#define TNS_MAX_ORDER_SHORT 5

extern const int32_t tnsCoeff4Borders[16]; /* Q31 decision borders, first entry -1.0 */
extern const int32_t tnsCoeff3Borders[8];
extern const int32_t tnsCoeff4[16];        /* dequantised values of indexes -8..7 */
extern const int32_t tnsCoeff3[8];         /* indexes -4..3 */
extern const int32_t tnsAcfWindowTab[5 * 13]; /* lag windows of the parameters 0.6, 0.5, 0.8, 0.3, 0.1 */

typedef struct AacTnsConfig {
  int32_t active;          /* TNS allowed for this block type */
  int32_t is_long;
  int32_t max_order;       /* 12 long, 5 short */
  int32_t coef_res;        /* 4 long, 3 short */
  int32_t threshold;       /* prediction-gain threshold in hundredths */
  int32_t start_freq;
  int32_t stop_freq;
  int32_t lag_param;       /* Q31 */
  int32_t lag_row;         /* row of tnsAcfWindowTab */
  int32_t max_bands;       /* from tnsMaxBandsTab */
  int32_t num_bands;       /* bands of the block type */
  int32_t start_band;
  int32_t stop_band;
  int32_t start_line;
  int32_t stop_line;
  int32_t band_extra;      /* band of 1275 Hz (long) or 2750 Hz (short) */
  int32_t band_2600;
  int32_t band_380;
  int32_t rate;
  int32_t band_offsets[AAC_MAX_SFB_LONG + 1];
} AacTnsConfig;

/* Per channel, one entry per window (8 for short blocks, entry 0 for long ones). */
typedef struct AacTnsInfo {
  int32_t num_windows;
  int32_t coef_res;
  int32_t start_band;
  int32_t stop_band;
  int32_t active[8];
  int32_t order[8];
  int32_t gain[8];                     /* prediction gain in hundredths */
  int32_t parcor[8][TNS_MAX_ORDER];    /* reflection coefficients, Q31 */
  int32_t coef[8][TNS_MAX_ORDER];      /* quantised indexes */
} AacTnsInfo;

/* Configuration of one block type; 0, or 1 when the rate has no band partition. */
int AacTnsConfigure(AacTnsConfig *cfg, int32_t bit_rate_per_ch, int32_t rate, int32_t channels, int32_t is_long,
                    int32_t active);
/* The bit-rate part only; a bit rate outside every row keeps the parameters. */
void AacTnsUpdateBitrate(AacTnsConfig *cfg, int32_t bit_rate_per_ch, int32_t channels);
/* Frequency (Hz) to the nearest band border of offsets[0..count]. */
int32_t AacTnsFreqToBand(int32_t freq, int32_t rate, const int32_t *offsets, int32_t count);

/* Detection for window w on its lines (1024 long, 128 short). */
void AacTnsDetect(const AacTnsConfig *cfg, const int32_t *spectrum, AacTnsInfo *info, int32_t w);
/* Second channel of a pair takes the first's decision when their gains are within 3 %. */
void AacTnsSync(const AacTnsInfo *first, AacTnsInfo *second, int32_t windows);
/* Quantisation, order reduction and (when still active) filtering of window w in place.
 * coded_bands: the bands that may hold lines (below the lowpass); the filter reaches at least
 * their top, within the TNS band limit, because the decoder undoes it up to max_sfb. */
void AacTnsEncode(const AacTnsConfig *cfg, AacTnsInfo *info, int32_t *spectrum, int32_t w, int32_t coded_bands);

/* Arcsine quantiser of a Q31 reflection coefficient with 4- or 3-bit resolution. */
int32_t AacTnsQuantIndex(int32_t parcor, int32_t coef_res);
/* Dequantised Q31 value of an index. */
int32_t AacTnsDequant(int32_t index, int32_t coef_res);
/* Order after cutting the trailing coefficients whose value lies in [-0.1, 0.1). */
int32_t AacTnsReduceOrder(const int32_t *index, int32_t order, int32_t coef_res);
/* Lattice analysis filter with dequantised coefficients over lines [start, stop), in place. */
void AacTnsFilter(int32_t *spectrum, int32_t start, int32_t stop, const int32_t *k, int32_t order);

#ifdef __cplusplus
}
#endif
#endif
