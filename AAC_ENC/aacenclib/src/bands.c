#include "aac_bands.h"

int AacInitSfbTable(int32_t rate, int32_t block_type, int32_t *offsets, int32_t *count) {
  const AacSfbInfoRow *row = 0;
  for (int i = 0; i < AAC_SFB_RATES; i++)
    if (sfbInfoTab[i].rate == rate) row = &sfbInfoTab[i];
  if (!row) return 1;
  const int8_t *w;
  int32_t n, total;
  if (block_type == 0 || block_type == 1 || block_type == 3) {
    w = row->long_widths;
    n = row->num_long;
    total = 1024;
  } else if (block_type == 2) {
    w = row->short_widths;
    n = row->num_short;
    total = 128;
  } else {
    return 1;
  }
  int32_t acc = 0, b = 0;
  offsets[0] = 0;
  while (b < n && acc < total) {
    acc += w[b];
    offsets[++b] = acc;
  }
  *count = b;
  return 0;
}

int32_t AacTnsMaxBands(int32_t rate, int32_t is_long) {
  for (int i = 0; i < AAC_SFB_RATES; i++)
    if (tnsMaxBandsTab[i].rate == rate) return is_long ? tnsMaxBandsTab[i].max_long : tnsMaxBandsTab[i].max_short;
  return -1;
}
