/* Attack detection and the window-sequence state machine of one coded channel. */
#ifndef AAC_BLOCKSWITCH_H
#define AAC_BLOCKSWITCH_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { ONLY_LONG = 0, LONG_START = 1, EIGHT_SHORT = 2, LONG_STOP = 3 };

typedef struct AacBlockSwitch {
  int32_t prev_seq;
  int32_t seq;
  int32_t next_seq;
  int32_t attack;
  int32_t last_attack;
  int32_t last_attack_idx;
  int32_t attack_idx;
  int32_t n_groups;
  int32_t group_len[8];
  int32_t win_nrg_prev[8];
  int32_t win_nrg[8];
  int32_t hp_nrg_prev[8];
  int32_t hp_nrg[8];
  int32_t max_win_nrg;
  int32_t acc_nrg;
  int32_t hp_x1; /* filter input and output carried to the next frame */
  int32_t hp_y1;
} AacBlockSwitch;

extern const int32_t aacGroupingTable[8][4];
extern const int32_t aacSyncTable[4][4];

void AacBlockSwitchInit(AacBlockSwitch *bs);
/* One frame of 1024 new samples read with `stride`; calib is the calibration words (may be null). */
void AacBlockSwitching(AacBlockSwitch *bs, const int16_t *x, int32_t stride, const uint32_t *calib);
/* Channel pair with a common window (common != 0), or separate channels: final sequences and grouping. */
void AacSyncBlockSwitching(AacBlockSwitch *left, AacBlockSwitch *right, int32_t channels, int32_t common);

#ifdef __cplusplus
}
#endif
#endif
