#include "aac_blockswitch.h"

#include <string.h>

#include "aac_intrinsics.h"

const int32_t aacGroupingTable[8][4] = {{1, 3, 3, 1}, {1, 1, 3, 3}, {2, 1, 3, 2}, {3, 1, 3, 1},
                                        {3, 1, 1, 3}, {3, 2, 1, 2}, {3, 3, 1, 1}, {3, 3, 1, 1}};
const int32_t aacSyncTable[4][4] = {{0, 1, 2, 3}, {1, 1, 2, 2}, {2, 2, 2, 2}, {3, 2, 2, 3}};

#define HP_C0 (-16695)
#define HP_C1 24733
#define MIN_ATTACK_NRG 1952
#define ACC_OLD 0x5999999A /* 0.7 in Q31 */
#define ACC_NEW 0x26666666 /* 0.3 */
#define ATTACK_RATIO 0x0CCCCCCD /* 0.1 */

void AacBlockSwitchInit(AacBlockSwitch *bs) {
  int32_t attack_idx = bs->attack_idx, last_idx = bs->last_attack_idx;
  int32_t groups = bs->n_groups, len[8];
  memcpy(len, bs->group_len, sizeof(len));
  memset(bs, 0, sizeof(*bs));
  /* the attack indexes and the grouping are not reset with the rest */
  bs->attack_idx = attack_idx;
  bs->last_attack_idx = last_idx;
  bs->n_groups = groups;
  memcpy(bs->group_len, len, sizeof(len));
  bs->prev_seq = bs->seq = bs->next_seq = ONLY_LONG;
}

static int32_t mul_q31(int32_t a, int32_t b) { return (int32_t)(((int64_t)a * b) >> 31); }

void AacBlockSwitching(AacBlockSwitch *bs, const int16_t *x, int32_t stride, const uint32_t *calib) {
  int allow = !(calib && (calib[0] == 1 || calib[2] == 1));

  bs->prev_seq = bs->seq;
  memset(bs->group_len, 0, sizeof(bs->group_len));
  bs->max_win_nrg = 0;
  for (int w = 0; w < 8; w++)
    if (bs->win_nrg[w] > bs->max_win_nrg) bs->max_win_nrg = bs->win_nrg[w];
  bs->last_attack_idx = bs->attack_idx;
  bs->n_groups = 4;
  for (int g = 0; g < 4; g++) bs->group_len[g] = aacGroupingTable[bs->last_attack_idx & 7][g];

  memcpy(bs->win_nrg_prev, bs->win_nrg, sizeof(bs->win_nrg));
  memcpy(bs->hp_nrg_prev, bs->hp_nrg, sizeof(bs->hp_nrg));

  /* window energies, plain and high-passed */
  int32_t x1 = bs->hp_x1, y1 = bs->hp_y1;
  for (int w = 0; w < 8; w++) {
    int32_t e = 0, eh = 0;
    for (int n = 0; n < 128; n++) {
      int32_t s = x[(int64_t)(w * 128 + n) * stride];
      int64_t y = 2 * (int64_t)HP_C1 * (s - x1) - 2 * (((int64_t)y1 * HP_C0) >> 16);
      int32_t ys = sat32(y);
      x1 = s;
      y1 = ys;
      e = L_add(e, (s * s) >> 7);
      eh = L_add(eh, (int32_t)((((int64_t)ys * (ys >> 16)) >> 16) >> 7));
    }
    bs->win_nrg[w] = e;
    bs->hp_nrg[w] = eh;
  }
  bs->hp_x1 = x1;
  bs->hp_y1 = y1;

  /* attack search */
  bs->attack = 0;
  int32_t d = bs->hp_nrg_prev[7];
  int32_t max_hp = 0;
  for (int w = 0; w < 8; w++) {
    bs->acc_nrg = L_add(mul_q31(bs->acc_nrg, ACC_OLD), mul_q31(d, ACC_NEW));
    if (allow && bs->acc_nrg < mul_q31(bs->hp_nrg[w], ATTACK_RATIO)) {
      bs->attack = 1;
      bs->attack_idx = w;
    }
    d = bs->hp_nrg[w];
    if (d > max_hp) max_hp = d;
  }
  if (max_hp <= MIN_ATTACK_NRG) bs->attack = 0;

  if (!bs->attack && bs->last_attack && bs->last_attack_idx == 7) {
    bs->attack = 1;
    bs->last_attack = 0;
  } else {
    bs->last_attack = bs->attack;
  }

  bs->seq = bs->next_seq;
  if (bs->attack) {
    bs->next_seq = EIGHT_SHORT;
    if (bs->seq == ONLY_LONG) {
      bs->seq = LONG_START;
    } else if (bs->seq == LONG_STOP) {
      bs->seq = EIGHT_SHORT;
      bs->n_groups = 3;
      bs->group_len[0] = 3;
      bs->group_len[1] = 3;
      bs->group_len[2] = 2;
      bs->group_len[3] = 0;
    }
  } else {
    bs->next_seq = ONLY_LONG;
    if (bs->seq == EIGHT_SHORT) bs->next_seq = LONG_STOP;
  }
}

static void one_group(AacBlockSwitch *bs) {
  memset(bs->group_len, 0, sizeof(bs->group_len));
  bs->n_groups = 1;
  bs->group_len[0] = 1;
}

void AacSyncBlockSwitching(AacBlockSwitch *left, AacBlockSwitch *right, int32_t channels, int32_t common) {
  if (channels == 2 && common) {
    int32_t seq = aacSyncTable[left->seq & 3][right->seq & 3];
    left->seq = right->seq = seq;
    if (seq == EIGHT_SHORT) {
      const AacBlockSwitch *src = left->max_win_nrg > right->max_win_nrg ? left : right;
      AacBlockSwitch *dst = src == left ? right : left;
      dst->n_groups = src->n_groups;
      memcpy(dst->group_len, src->group_len, sizeof(dst->group_len));
    } else {
      one_group(left);
      one_group(right);
    }
    return;
  }
  if (left && left->seq != EIGHT_SHORT) one_group(left);
  if (channels == 2 && right && right->seq != EIGHT_SHORT) one_group(right);
}
