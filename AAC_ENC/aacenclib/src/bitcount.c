/* Static bit demand, Huffman bit counting, sectioning and the scalefactor chain. */
#include <stdio.h>
#include <string.h>

#include "aac_bitbuf.h"
#include "aac_huffman.h"
#include "aac_intrinsics.h"
#include "aac_qc.h"

int32_t BitCountScalefactorDelta(int32_t d) {
  if (d < -60 || d > 60) return AAC_INVALID_BITS;
  return huff_ltabscf[d + 60] & 0xFF;
}

static inline int32_t iabs(int32_t v) { return v < 0 ? -v : v; }

static inline int32_t esc_bits(int32_t a) {
  if (a < 16) return 0;
  int32_t n = 31 - clz32((uint32_t)a);
  return 2 * n - 3;
}

void BitCount(const int16_t *q, int32_t n, int32_t mx, int32_t *bits) {
  for (int32_t b = 0; b < AAC_CODE_BOOKS; b++) bits[b] = AAC_INVALID_BITS;
  bits[0] = mx == 0 ? 0 : AAC_INVALID_BITS;
  int32_t first = mx <= 1 ? 1 : mx == 2 ? 3 : mx <= 4 ? 5 : mx <= 7 ? 7 : mx <= 12 ? 9 : 11;
  uint32_t a12 = 0, a34 = 0, a56 = 0, a78 = 0, a910 = 0, a11 = 0;
  int32_t sign = 0;
  if (first <= 3) {
    for (int32_t i = 0; i + 3 < n; i += 4) {
      int32_t w = q[i], x = q[i + 1], y = q[i + 2], z = q[i + 3];
      if (first == 1) {
        uint32_t e = huff_ltab1_2[27 * w + 9 * x + 3 * y + z + 40];
        a12 += ((e & 0xFF00u) << 8) | (e & 0xFFu);
      }
      uint32_t e = huff_ltab3_4[27 * iabs(w) + 9 * iabs(x) + 3 * iabs(y) + iabs(z)];
      a34 += ((e & 0xFF00u) << 8) | (e & 0xFFu);
    }
  }
  for (int32_t i = 0; i + 1 < n; i += 2) {
    int32_t y = q[i], z = q[i + 1], ay = iabs(y), az = iabs(z);
    sign += (y != 0) + (z != 0);
    if (first <= 5) {
      uint32_t e = huff_ltab5_6[9 * y + z + 40];
      a56 += ((e & 0xFF00u) << 8) | (e & 0xFFu);
    }
    if (first <= 7) {
      uint32_t e = huff_ltab7_8[8 * ay + az];
      a78 += ((e & 0xFF00u) << 8) | (e & 0xFFu);
    }
    if (first <= 9) {
      uint32_t e = huff_ltab9_10[13 * ay + az];
      a910 += ((e & 0xFF00u) << 8) | (e & 0xFFu);
    }
    int32_t cy = ay > 16 ? 16 : ay, cz = az > 16 ? 16 : az;
    a11 += huff_ltab11[17 * cy + cz] + (uint32_t)esc_bits(ay) + (uint32_t)esc_bits(az);
  }
  if (first <= 1) {
    bits[1] = (int32_t)(a12 >> 16);
    bits[2] = (int32_t)(a12 & 0xFFFF);
  }
  if (first <= 3) {
    bits[3] = (int32_t)(a34 >> 16) + sign;
    bits[4] = (int32_t)(a34 & 0xFFFF) + sign;
  }
  if (first <= 5) {
    bits[5] = (int32_t)(a56 >> 16);
    bits[6] = (int32_t)(a56 & 0xFFFF);
  }
  if (first <= 7) {
    bits[7] = (int32_t)(a78 >> 16) + sign;
    bits[8] = (int32_t)(a78 & 0xFFFF) + sign;
  }
  if (first <= 9) {
    bits[9] = (int32_t)(a910 >> 16) + sign;
    bits[10] = (int32_t)(a910 & 0xFFFF) + sign;
  }
  bits[11] = (int32_t)a11 + sign;
}

static int32_t side_bits(int32_t seq, int32_t n) { return seq == EIGHT_SHORT ? 7 + 3 * (n / 7) : 9 + 5 * (n / 31); }

static inline int32_t sat_add(int32_t a, int32_t b) {
  int64_t s = (int64_t)a + b;
  return s > AAC_INVALID_BITS ? AAC_INVALID_BITS : (int32_t)s;
}

static int32_t best_book(const int32_t *v, int32_t *bits) {
  int32_t best = 0, bb = v[0];
  for (int32_t k = 1; k < AAC_CODE_BOOKS; k++)
    if (v[k] < bb) {
      bb = v[k];
      best = k;
    }
  *bits = bb;
  return best;
}

typedef struct Sec {
  int32_t start, cnt, book, bits;
  int32_t v[AAC_CODE_BOOKS];
} Sec;

static int32_t merge_gain(const Sec *a, const Sec *b, int32_t seq) {
  int32_t mn = AAC_INVALID_BITS;
  for (int32_t k = 0; k < AAC_CODE_BOOKS; k++) {
    int32_t s = sat_add(a->v[k], b->v[k]);
    if (s < mn) mn = s;
  }
  return a->bits + b->bits - sat_add(mn, side_bits(seq, a->cnt + b->cnt));
}

static void merge_into(Sec *a, const Sec *b, int32_t seq) {
  for (int32_t k = 0; k < AAC_CODE_BOOKS; k++) a->v[k] = sat_add(a->v[k], b->v[k]);
  a->cnt += b->cnt;
  int32_t hb;
  a->book = best_book(a->v, &hb);
  a->bits = sat_add(hb, side_bits(seq, a->cnt));
}

int32_t DynBitCount(const int16_t *q, const uint16_t *maxv, const int16_t *scf, int32_t seq, int32_t sfb_cnt,
                    int32_t max_sfb, int32_t per_group, const int32_t *off, AacSectionData *sd) {
  sd->window_seq = seq;
  sd->sfb_cnt = sfb_cnt;
  sd->sfb_per_group = per_group;
  sd->max_sfb_per_group = max_sfb;
  sd->n_groups = per_group > 0 ? sfb_cnt / per_group : 0;
  sd->n_sections = 0;
  sd->huffman_bits = 0;
  sd->side_info_bits = 0;
  Sec sec[AAC_MAX_SFB_LONG];
  for (int32_t gs = 0; gs < sfb_cnt; gs += per_group) {
    int32_t ns = 0;
    for (int32_t b = 0; b < max_sfb; b++) {
      int32_t i = gs + b;
      Sec *s = &sec[ns];
      BitCount(q + off[i], off[i + 1] - off[i], maxv[i], s->v);
      int32_t hb;
      s->book = best_book(s->v, &hb);
      s->start = i;
      s->cnt = 1;
      if (ns > 0 && sec[ns - 1].book == s->book) {
        merge_into(&sec[ns - 1], s, seq);
      } else {
        s->bits = sat_add(hb, side_bits(seq, 1));
        ns++;
      }
    }
    /* greedy merging of neighbours while it saves bits */
    int32_t gain[AAC_MAX_SFB_LONG];
    for (int32_t k = 0; k + 1 < ns; k++) gain[k] = merge_gain(&sec[k], &sec[k + 1], seq);
    while (ns > 1) {
      int32_t bk = 0;
      for (int32_t k = 1; k + 1 < ns; k++)
        if (gain[k] > gain[bk]) bk = k;
      if (gain[bk] <= 0) break;
      merge_into(&sec[bk], &sec[bk + 1], seq);
      for (int32_t k = bk + 1; k + 1 < ns; k++) {
        sec[k] = sec[k + 1];
        gain[k] = gain[k + 1];
      }
      ns--;
      if (bk > 0) gain[bk - 1] = merge_gain(&sec[bk - 1], &sec[bk], seq);
      if (bk + 1 < ns) gain[bk] = merge_gain(&sec[bk], &sec[bk + 1], seq);
    }
    for (int32_t k = 0; k < ns; k++) {
      int32_t hb;
      sec[k].book = best_book(sec[k].v, &hb);
      int32_t side = side_bits(seq, sec[k].cnt);
      AacSectionInfo *si = &sd->section[sd->n_sections++];
      si->code_book = sec[k].book;
      si->sfb_start = sec[k].start;
      si->sfb_cnt = sec[k].cnt;
      si->bits = sat_add(hb, side);
      sd->huffman_bits = sat_add(sd->huffman_bits, hb);
      sd->side_info_bits += side;
    }
  }
  sd->scalefac_bits = AacScalefactorData(sd, scf, maxv, 0, 0);
  return sat_add(sat_add(sd->huffman_bits, sd->side_info_bits), sd->scalefac_bits);
}

int32_t AacScalefactorData(const AacSectionData *sd, const int16_t *scf, const uint16_t *maxv, uint8_t *out,
                           AacBitBuf *bb) {
  int32_t bits = 0, have = 0, last = 0;
  for (int32_t s = 0; s < sd->n_sections; s++) {
    const AacSectionInfo *si = &sd->section[s];
    if (si->code_book == 0) continue;
    if (!have) {
      last = scf[si->sfb_start];
      have = 1;
    }
    for (int32_t i = si->sfb_start; i < si->sfb_start + si->sfb_cnt; i++) {
      int32_t d;
      if (maxv[i]) {
        d = last - scf[i];
        last = scf[i];
      } else {
        d = 0;
        /* a jump of 60 or more to the next band with lines is split here */
        int32_t next = -1;
        for (int32_t t = s; t < sd->n_sections && next < 0; t++) {
          const AacSectionInfo *sj = &sd->section[t];
          if (sj->code_book == 0) continue;
          for (int32_t j = sj->sfb_start > i + 1 ? sj->sfb_start : i + 1; j < sj->sfb_start + sj->sfb_cnt; j++)
            if (maxv[j]) {
              next = j;
              break;
            }
        }
        if (next >= 0 && iabs(scf[next] - last) >= 60) {
          d = last - scf[i];
          last = scf[i];
        }
      }
      if (d < -60 || d > 60) {
        if (out) fputs("\nLAV for scf violated\n", stderr);
        return bits;
      }
      int32_t len = huff_ltabscf[d + 60] & 0xFF;
      if (out) aacBitBufWrite(out, bb, huff_ctabscf[d + 60], len);
      bits += len;
    }
  }
  return bits;
}

int32_t AacTnsBits(const AacPsyChannel *pc) {
  const AacTnsInfo *t = &pc->tns;
  int32_t is_short = pc->bs.seq == EIGHT_SHORT, nw = is_short ? 8 : 1, any = 0, bits = 0;
  for (int32_t w = 0; w < nw; w++) any |= t->active[w];
  if (!any) return 0;
  for (int32_t w = 0; w < nw; w++) {
    bits += is_short ? 1 : 2;
    if (!t->active[w]) continue;
    bits += is_short ? 8 : 12;
    int32_t order = t->order[w];
    if (order <= 0) continue;
    int32_t res = is_short ? 3 : 4, lo = res == 4 ? -4 : -2, hi = res == 4 ? 3 : 1, comp = 1;
    for (int32_t k = 0; k < order; k++)
      if (t->coef[w][k] < lo || t->coef[w][k] > hi) comp = 0;
    bits += 2 + order * (comp ? res - 1 : res);
  }
  return bits;
}

int32_t CountStaticBitdemand(AacPsyChannel **pc, const AacPsyElementOut *eo, int32_t nch) {
  if (nch == 1) return AacTnsBits(pc[0]) + (pc[0]->bs.seq == EIGHT_SHORT ? 33 : 29);
  if (nch != 2) return 0;
  int32_t bits;
  int32_t ics = pc[0]->bs.seq == EIGHT_SHORT ? 15 : 11;
  if (eo->common_window) {
    bits = 32 + ics;
    if (eo->ms_mask == 1) bits += pc[0]->max_sfb_per_group * (pc[0]->sfb_count / pc[0]->sfb_per_group);
  } else {
    bits = 30 + ics + (pc[1]->bs.seq == EIGHT_SHORT ? 15 : 11);
  }
  return bits + AacTnsBits(pc[0]) + AacTnsBits(pc[1]);
}
