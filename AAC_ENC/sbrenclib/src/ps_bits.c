/* Parametric-stereo bitstream: quantisation of the intensity differences and coherences,
 * the choice between time and frequency differences, header repetition, one envelope per
 * frame. */
#include "aac_ps.h"
#include "aac_sbr_tables.h"

const int32_t iidQuantLeft[7] = {10560687, 16737722, 29762647, 59385187, 132958430, 333983116, 1184967216};
const int32_t iidQuantRight[7] = {6663274, 4204200, 2364331, 1184955, 529254, 210695, 59385};
const int32_t iccQuant[8] = {2080132118, 1717820703, 1159000146, 517632035, 80237140, -166827332, -1335186147,
                             (int32_t)0x80000000};

/* set once the first header has been written; the encoder is single-instance */
static int32_t psHeaderWritten;

void PsResetHeaderFlagForTest(void) { psHeaderWritten = 0; }

static int32_t quant_iid(int32_t e) {
  if (e >= iidQuantRight[0] && e <= iidQuantLeft[0]) return 0;
  if (e > iidQuantLeft[0]) {
    for (int32_t g = 6; g >= 0; g--)
      if (iidQuantLeft[g] <= e) return g + 1;
    return 1;
  }
  for (int32_t f = 6; f >= 0; f--)
    if (iidQuantRight[f] >= e) return -(f + 1);
  return -1;
}

static int32_t quant_icc(int32_t m) {
  int32_t j = 0;
  while (j < 7 && iccQuant[j] > m) j++;
  return j;
}

static void put(PsEncoder *ps, uint32_t v, int32_t n) { aacBitBufWrite(ps->area, &ps->bb, v, n); }

int32_t PsWriteData(PsEncoder *ps, int32_t independent) {
  if (aacBitBufCount(&ps->bb) != 0) return -1;
  aacBitBufOpen(&ps->bb, PS_PAYLOAD_AREA, 0);
  const int32_t nb = ps->n_bands;
  int32_t iid[PS_MAX_BANDS], icc[PS_MAX_BANDS];
  int32_t iid_df[PS_MAX_BANDS], iid_dt[PS_MAX_BANDS], icc_df[PS_MAX_BANDS], icc_dt[PS_MAX_BANDS];
  int32_t iid_off = 1, icc_off = 1, unchanged = !independent;
  int32_t fi = 0, ti = 0, fc = 0, tc = 0;
  for (int32_t b = 0; b < nb; b++) {
    iid[b] = quant_iid(ps->iid[b]);
    icc[b] = quant_icc(ps->icc[b]);
    if (iid[b]) iid_off = 0;
    if (icc[b]) icc_off = 0;
    iid_df[b] = b ? iid[b] - iid[b - 1] : iid[b];
    iid_dt[b] = iid[b] - ps->prev_iid_idx[b];
    icc_df[b] = b ? icc[b] - icc[b - 1] : icc[b];
    icc_dt[b] = icc[b] - ps->prev_icc_idx[b];
    if (iid_dt[b] || icc_dt[b]) unchanged = 0;
    fi += aBookPsIidFreqLength[iid_df[b] + 14];
    ti += aBookPsIidTimeLength[iid_dt[b] + 14];
    fc += aBookPsIccFreqLength[icc_df[b] + 7];
    tc += aBookPsIccTimeLength[icc_dt[b] + 7];
  }
  for (int32_t b = 0; b < nb; b++) {
    ps->prev_iid_idx[b] = (int8_t)iid[b];
    ps->prev_icc_idx[b] = (int8_t)icc[b];
  }
  const int32_t iid_time = !independent && ti < fi, icc_time = !independent && tc < fc;
  const int32_t header = independent || !psHeaderWritten || iid_off != ps->prev_iid_off || icc_off != ps->prev_icc_off;

  put(ps, 2, 2); /* extension identifier: parametric stereo */
  put(ps, header ? 1u : 0u, 1);
  if (header) {
    psHeaderWritten = 1;
    put(ps, iid_off ? 0u : 1u, 1);
    if (!iid_off) put(ps, ps->fine ? 1u : 0u, 3);
    put(ps, icc_off ? 0u : 1u, 1);
    if (!icc_off) put(ps, ps->fine ? 1u : 0u, 3);
    put(ps, 0, 1); /* no extension */
  }
  put(ps, 0, 1); /* frame class */
  put(ps, unchanged ? 0u : 1u, 2);
  if (!unchanged) {
    if (!iid_off) {
      put(ps, iid_time ? 1u : 0u, 1);
      for (int32_t b = 0; b < nb; b++) {
        int32_t i = (iid_time ? iid_dt[b] : iid_df[b]) + 14;
        if (iid_time) put(ps, aBookPsIidTimeCode[i], aBookPsIidTimeLength[i]);
        else put(ps, aBookPsIidFreqCode[i], aBookPsIidFreqLength[i]);
      }
    }
    if (!icc_off) {
      put(ps, icc_time ? 1u : 0u, 1);
      for (int32_t b = 0; b < nb; b++) {
        int32_t i = (icc_time ? icc_dt[b] : icc_df[b]) + 7;
        if (icc_time) put(ps, aBookPsIccTimeCode[i], aBookPsIccTimeLength[i]);
        else put(ps, aBookPsIccFreqCode[i], aBookPsIccFreqLength[i]);
      }
    }
  }
  ps->prev_iid_off = (int8_t)iid_off;
  ps->prev_icc_off = (int8_t)icc_off;
  return aacBitBufCount(&ps->bb);
}
