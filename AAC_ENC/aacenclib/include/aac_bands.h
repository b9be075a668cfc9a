/* Scalefactor-band partitions and TNS band limits of the twelve sampling rates. */
#ifndef AAC_BANDS_H
#define AAC_BANDS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define AAC_SFB_RATES 12
#define AAC_MAX_SFB_LONG 51
#define AAC_MAX_SFB_SHORT 15

typedef struct AacSfbInfoRow {
  int32_t rate;
  int32_t num_long;
  int32_t num_short;
  int8_t long_widths[AAC_MAX_SFB_LONG];
  int8_t short_widths[AAC_MAX_SFB_SHORT];
} AacSfbInfoRow;

typedef struct AacTnsMaxBandsRow {
  int32_t rate;
  int32_t max_long;
  int32_t max_short;
} AacTnsMaxBandsRow;

extern const AacSfbInfoRow sfbInfoTab[AAC_SFB_RATES];
extern const AacTnsMaxBandsRow tnsMaxBandsTab[AAC_SFB_RATES];

/* Band partition of a rate: block type 0, 1, 3 long (1024 lines), 2 short (128 lines).
 * Writes count + 1 offsets and the count; 0, or 1 for a rate without a row or another type. */
int AacInitSfbTable(int32_t rate, int32_t block_type, int32_t *offsets, int32_t *count);
/* Highest TNS band for long (long != 0) or short windows; -1 for a rate without a row. */
int32_t AacTnsMaxBands(int32_t rate, int32_t is_long);

#ifdef __cplusplus
}
#endif
#endif
