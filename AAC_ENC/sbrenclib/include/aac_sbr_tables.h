/* Constant tables of the SBR and parametric-stereo encoders (generated from the standard's
 * tables by sbrenclib/gen/gen_sbr_tables.py). */
#ifndef AAC_SBR_TABLES_H
#define AAC_SBR_TABLES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* QMF prototype: 66 rows of five Q15 taps; row r = c(r + 128 j), row 65 = row 0 reversed. */
extern const int16_t sbr_qmf_64_640_enc[66 * 5];
/* (sin, cos) of pi (4n + 1) / 256, n = 0..31, Q15 */
extern const int16_t sbr_sc_twiddle_L64_enc[64];
/* sin(pi n / 64), n = 0..32, Q15 */
extern const int16_t sbr_alt_sin_twiddle_L64_enc[33];

/* SBR Huffman books: code words right-aligned, lengths in bits; a delta d is entry d + offset. */
extern const uint32_t v_Huff_envelopeLevelC10T[121];
extern const uint8_t v_Huff_envelopeLevelL10T[121];
extern const uint32_t v_Huff_envelopeLevelC10F[121];
extern const uint8_t v_Huff_envelopeLevelL10F[121];
extern const uint32_t bookSbrEnvBalanceC10T[49];
extern const uint8_t bookSbrEnvBalanceL10T[49];
extern const uint32_t bookSbrEnvBalanceC10F[49];
extern const uint8_t bookSbrEnvBalanceL10F[49];
extern const uint32_t v_Huff_envelopeLevelC11T[63];
extern const uint8_t v_Huff_envelopeLevelL11T[63];
extern const uint32_t v_Huff_envelopeLevelC11F[63];
extern const uint8_t v_Huff_envelopeLevelL11F[63];
extern const uint32_t bookSbrEnvBalanceC11T[25];
extern const uint8_t bookSbrEnvBalanceL11T[25];
extern const uint32_t bookSbrEnvBalanceC11F[25];
extern const uint8_t bookSbrEnvBalanceL11F[25];
extern const uint32_t v_Huff_NoiseLevelC11T[63];
extern const uint8_t v_Huff_NoiseLevelL11T[63];
extern const uint32_t bookSbrNoiseBalanceC11T[25];
extern const uint8_t bookSbrNoiseBalanceL11T[25];

/* Parametric-stereo books: IID (default quantisation, index = delta + 14), ICC (delta + 7). */
extern const uint32_t aBookPsIidTimeCode[29];
extern const int8_t aBookPsIidTimeLength[29];
extern const uint32_t aBookPsIidFreqCode[29];
extern const int8_t aBookPsIidFreqLength[29];
extern const uint16_t aBookPsIccTimeCode[15];
extern const int8_t aBookPsIccTimeLength[15];
extern const uint16_t aBookPsIccFreqCode[15];
extern const int8_t aBookPsIccFreqLength[15];

/* Per SBR rate: startMin, the start-offset row and (for the rates with a stop table) the 14
 * stop borders. */
typedef struct SbrRateRow {
  int32_t rate;
  int8_t start_min;
  int8_t has_stop;
  int8_t start_offset[16];
  int8_t stop_border[14];
} SbrRateRow;
extern const SbrRateRow sbrRateRows[9];

#ifdef __cplusplus
}
#endif
#endif
