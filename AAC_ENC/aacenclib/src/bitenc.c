/* Raw data block writer: element syntax, section, scalefactor, TNS and spectral data, the
 * fill elements and the END element. */
#include <stdio.h>

#include "aac_core.h"
#include "aac_huffman.h"
#include "aac_intrinsics.h"
#include "aac_workmem.h"

/* Fill elements for n bits carrying the given bytes (zeros when bytes runs out). */
int32_t AacWriteFillElements(uint8_t *out, AacBitBuf *bb, int32_t n, const uint8_t *bytes, int32_t count) {
  int32_t written = 0, used = 0;
  while (n > 6) {
    int32_t cnt;
    aacBitBufWrite(out, bb, ID_FIL, 3);
    if (n >= 127) {
      int32_t esc = (n - 7) / 8 - 15;
      if (esc > 255) esc = 255;
      aacBitBufWrite(out, bb, 15, 4);
      aacBitBufWrite(out, bb, (uint32_t)esc, 8);
      cnt = esc + 14;
      n -= 15;
      written += 15;
    } else {
      cnt = (n - 7) / 8;
      aacBitBufWrite(out, bb, (uint32_t)cnt, 4);
      n -= 7;
      written += 7;
    }
    for (int32_t i = 0; i < cnt; i++) {
      aacBitBufWrite(out, bb, used < count ? bytes[used] : 0u, 8);
      used++;
      n -= 8;
      written += 8;
    }
  }
  return written;
}

static void write_ics_info(uint8_t *out, AacBitBuf *bb, const AacPsyChannel *pc) {
  aacBitBufWrite(out, bb, 0, 1);
  aacBitBufWrite(out, bb, (uint32_t)pc->bs.seq, 2);
  aacBitBufWrite(out, bb, (uint32_t)pc->window_shape, 1);
  if (pc->bs.seq == EIGHT_SHORT) {
    aacBitBufWrite(out, bb, (uint32_t)pc->max_sfb_per_group, 4);
    aacBitBufWrite(out, bb, (uint32_t)pc->grouping_mask, 7);
  } else {
    aacBitBufWrite(out, bb, (uint32_t)pc->max_sfb_per_group, 6);
    aacBitBufWrite(out, bb, 0, 1);
  }
}

int32_t AacWriteSectionData(uint8_t *out, AacBitBuf *bb, const AacSectionData *sd) {
  int32_t start = aacBitBufCount(bb);
  int32_t is_short = sd->window_seq == EIGHT_SHORT, lb = is_short ? 3 : 5, esc = is_short ? 7 : 31;
  for (int32_t s = 0; s < sd->n_sections; s++) {
    const AacSectionInfo *si = &sd->section[s];
    aacBitBufWrite(out, bb, (uint32_t)si->code_book, 4);
    int32_t len = si->sfb_cnt;
    while (len >= esc) {
      aacBitBufWrite(out, bb, (uint32_t)esc, lb);
      len -= esc;
    }
    aacBitBufWrite(out, bb, (uint32_t)len, lb);
  }
  return aacBitBufCount(bb) - start;
}

void AacWriteTnsData(uint8_t *out, AacBitBuf *bb, const AacPsyChannel *pc, int32_t num_swb) {
  const AacTnsInfo *t = &pc->tns;
  int32_t is_short = pc->bs.seq == EIGHT_SHORT, nw = is_short ? 8 : 1, any = 0;
  for (int32_t w = 0; w < nw; w++) any |= t->active[w];
  aacBitBufWrite(out, bb, any ? 1u : 0u, 1);
  if (!any) return;
  int32_t res = is_short ? 3 : 4;
  for (int32_t w = 0; w < nw; w++) {
    aacBitBufWrite(out, bb, t->active[w] ? 1u : 0u, is_short ? 1 : 2);
    if (!t->active[w]) continue;
    aacBitBufWrite(out, bb, res == 4 ? 1u : 0u, 1);
    int32_t length = num_swb - t->start_band;
    if (length < 0) length = 0;
    aacBitBufWrite(out, bb, (uint32_t)length, is_short ? 4 : 6);
    int32_t order = t->order[w];
    aacBitBufWrite(out, bb, (uint32_t)order, is_short ? 3 : 5);
    if (!order) continue;
    int32_t lo = res == 4 ? -4 : -2, hi = res == 4 ? 3 : 1, comp = 1;
    for (int32_t k = 0; k < order; k++)
      if (t->coef[w][k] < lo || t->coef[w][k] > hi) comp = 0;
    aacBitBufWrite(out, bb, 0, 1); /* direction */
    aacBitBufWrite(out, bb, (uint32_t)comp, 1);
    int32_t width = comp ? res - 1 : res;
    for (int32_t k = 0; k < order; k++)
      aacBitBufWrite(out, bb, (uint32_t)t->coef[w][k] & ((1u << width) - 1u), width);
  }
}

static inline int32_t iabs(int32_t v) { return v < 0 ? -v : v; }

static void write_esc(uint8_t *out, AacBitBuf *bb, int32_t a) {
  int32_t n = 31 - __builtin_clz((uint32_t)a);
  aacBitBufWrite(out, bb, (1u << (n - 4)) - 1u, n - 4);
  aacBitBufWrite(out, bb, 0, 1);
  aacBitBufWrite(out, bb, (uint32_t)a & ((1u << n) - 1u), n);
}

int32_t AacWriteSpectralData(uint8_t *out, AacBitBuf *bb, const AacSectionData *sd, const int16_t *q,
                             const int32_t *off) {
  int32_t start = aacBitBufCount(bb);
  for (int32_t s = 0; s < sd->n_sections; s++) {
    const AacSectionInfo *si = &sd->section[s];
    int32_t cb = si->code_book;
    if (cb < 1 || cb > 11) continue;
    for (int32_t i = off[si->sfb_start]; i < off[si->sfb_start + si->sfb_cnt];) {
      if (cb <= 4) {
        int32_t w = q[i], x = q[i + 1], y = q[i + 2], z = q[i + 3];
        if (cb <= 2) {
          int32_t idx = 27 * w + 9 * x + 3 * y + z + 40;
          uint32_t len = cb == 1 ? huff_ltab1_2[idx] >> 8 : huff_ltab1_2[idx] & 0xFF;
          aacBitBufWrite(out, bb, cb == 1 ? huff_ctab1[idx] : huff_ctab2[idx], (int32_t)len);
        } else {
          int32_t idx = 27 * iabs(w) + 9 * iabs(x) + 3 * iabs(y) + iabs(z);
          uint32_t len = cb == 3 ? huff_ltab3_4[idx] >> 8 : huff_ltab3_4[idx] & 0xFF;
          aacBitBufWrite(out, bb, cb == 3 ? huff_ctab3[idx] : huff_ctab4[idx], (int32_t)len);
          int32_t v[4] = {w, x, y, z};
          for (int32_t k = 0; k < 4; k++)
            if (v[k]) aacBitBufWrite(out, bb, v[k] < 0 ? 1u : 0u, 1);
        }
        i += 4;
      } else {
        int32_t y = q[i], z = q[i + 1], ay = iabs(y), az = iabs(z);
        if (cb <= 6) {
          int32_t idx = 9 * y + z + 40;
          uint32_t len = cb == 5 ? huff_ltab5_6[idx] >> 8 : huff_ltab5_6[idx] & 0xFF;
          aacBitBufWrite(out, bb, cb == 5 ? huff_ctab5[idx] : huff_ctab6[idx], (int32_t)len);
        } else {
          if (cb <= 8) {
            int32_t idx = 8 * ay + az;
            uint32_t len = cb == 7 ? huff_ltab7_8[idx] >> 8 : huff_ltab7_8[idx] & 0xFF;
            aacBitBufWrite(out, bb, cb == 7 ? huff_ctab7[idx] : huff_ctab8[idx], (int32_t)len);
          } else if (cb <= 10) {
            int32_t idx = 13 * ay + az;
            uint32_t len = cb == 9 ? huff_ltab9_10[idx] >> 8 : huff_ltab9_10[idx] & 0xFF;
            aacBitBufWrite(out, bb, cb == 9 ? huff_ctab9[idx] : huff_ctab10[idx], (int32_t)len);
          } else {
            int32_t cy = ay > 16 ? 16 : ay, cz = az > 16 ? 16 : az;
            int32_t idx = 17 * cy + cz;
            aacBitBufWrite(out, bb, huff_ctab11[idx], huff_ltab11[idx] & 0xFF);
          }
          if (y) aacBitBufWrite(out, bb, y < 0 ? 1u : 0u, 1);
          if (z) aacBitBufWrite(out, bb, z < 0 ? 1u : 0u, 1);
          if (cb == 11) {
            if (ay >= 16) write_esc(out, bb, ay);
            if (az >= 16) write_esc(out, bb, az);
          }
        }
        i += 2;
      }
    }
  }
  return aacBitBufCount(bb) - start;
}

static void write_ics(uint8_t *out, AacBitBuf *bb, const AacPsyChannel *pc, const AacQcOutChannel *qc, int32_t common,
                      int32_t num_swb) {
  const AacSectionData *sd = &qc->sections;
  int32_t first = qc->scf[0];
  for (int32_t s = 0; s < sd->n_sections; s++)
    if (sd->section[s].code_book != 0) {
      first = qc->scf[sd->section[s].sfb_start];
      break;
    }
  int32_t gg = 164 + 4 * qc->spec_exp + qc->global_gain - first;
  if (gg < 0) gg = 0;
  if (gg > 255) gg = 255;
  aacBitBufWrite(out, bb, (uint32_t)gg, 8);
  if (!common) write_ics_info(out, bb, pc);
  if (AacWriteSectionData(out, bb, sd) != sd->side_info_bits) fputs("ERROR writing sectionData\n", stderr);
  int32_t at = aacBitBufCount(bb);
  AacScalefactorData(sd, qc->scf, qc->max_value, out, bb);
  if (aacBitBufCount(bb) - at != sd->scalefac_bits) fputs("ERROR writing scalefacData\n", stderr);
  aacBitBufWrite(out, bb, 0, 1); /* pulse_data_present */
  AacWriteTnsData(out, bb, pc, num_swb);
  aacBitBufWrite(out, bb, 0, 1); /* gain_control_data_present */
  if (AacWriteSpectralData(out, bb, sd, qc->quant_spec, pc->sfb_offsets) != sd->huffman_bits)
    fputs("ERROR writing spectralData\n", stderr);
}

int AacWriteRawDataBlock(AacCoreState *core, uint8_t *wm, const uint8_t *sbr, int32_t sbr_bytes, uint8_t *out,
                         uint32_t size, uint32_t start_bit, uint32_t *bits) {
  AacBitBuf bb;
  aacBitBufOpen(&bb, size, start_bit);
  int32_t left = sbr_bytes > 0 && sbr ? sbr_bytes : 0, used = 0;
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    const AacElementInfo *el = &core->elements.el[e];
    AacPsyChannel *pc[2] = {0, 0};
    AacQcOutChannel *qc[2] = {0, 0};
    for (int32_t i = 0; i < el->n_channels; i++) {
      pc[i] = (AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[i]]);
      qc[i] = (AacQcOutChannel *)aacWmPtr(wm, core->qc_channel[el->channel[i]]);
    }
    int32_t num_swb = pc[0]->bs.seq == EIGHT_SHORT ? core->psy_short[e].sfb_cnt : core->psy_long[e].sfb_cnt;
    aacBitBufWrite(out, &bb, (uint32_t)el->kind, 3);
    aacBitBufWrite(out, &bb, (uint32_t)el->tag, 4);
    if (el->kind == ID_CPE) {
      const AacPsyElementOut *eo = &core->psy_el[e];
      aacBitBufWrite(out, &bb, 1, 1);
      write_ics_info(out, &bb, pc[0]);
      aacBitBufWrite(out, &bb, (uint32_t)eo->ms_mask, 2);
      if (eo->ms_mask == 1)
        for (int32_t gs = 0; gs < pc[0]->sfb_count; gs += pc[0]->sfb_per_group)
          for (int32_t b = 0; b < pc[0]->max_sfb_per_group; b++)
            aacBitBufWrite(out, &bb, (uint32_t)(eo->ms_used[gs + b] & 1), 1);
      write_ics(out, &bb, pc[0], qc[0], 1, num_swb);
      write_ics(out, &bb, pc[1], qc[1], 1, num_swb);
    } else {
      write_ics(out, &bb, pc[0], qc[0], 0, num_swb);
    }
    /* the element's share of the SBR payload travels in fill elements */
    int32_t share = core->elements.n_elements > 0 ? sbr_bytes / core->elements.n_elements : 0;
    if (share > left) share = left;
    if (share > 0) {
      AacWriteFillElements(out, &bb, 8 * share + (share < 15 ? 7 : 15), sbr + used, share);
      used += share;
      left -= share;
    }
  }
  if (core->fill_bits > 0) AacWriteFillElements(out, &bb, core->fill_bits, 0, 0);
  aacBitBufWrite(out, &bb, ID_END, 3);
  int32_t pad = (8 - (aacBitBufCount(&bb) & 7)) & 7;
  aacBitBufWrite(out, &bb, 0, pad);
  *bits = (uint32_t)aacBitBufCount(&bb);
  if (bb.overflow) {
    *bits = 0;
    return 1;
  }
  return (int32_t)*bits == core->counted_bits ? 0 : -1;
}
