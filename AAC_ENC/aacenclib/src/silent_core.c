/* Until the quantisation and coding stages exist, every frame is coded as silence. */
#include <string.h>

#include "aac_core.h"
#include "aac_workmem.h"

void AacCoreQuantiseStub(AacCoreState *core, int32_t header_bits) {
  /* nothing is quantised: no bits are borrowed from or returned to the reservoir */
  (void)header_bits;
  core->reservoir_bits = 0;
}

static uint32_t grouping_mask(const AacBlockSwitch *bs) {
  uint32_t m = 0;
  for (int32_t g = 0; g < bs->n_groups; g++) {
    m <<= 1;
    for (int32_t k = 1; k < bs->group_len[g]; k++) m = (m << 1) | 1u;
  }
  return m & 0x7Fu;
}

static void write_ics_info(uint8_t *out, AacBitBuf *bb, const AacBlockSwitch *bs) {
  aacBitBufWrite(out, bb, 0, 1); /* ics_reserved_bit */
  aacBitBufWrite(out, bb, (uint32_t)bs->seq, 2);
  aacBitBufWrite(out, bb, bs->seq == EIGHT_SHORT ? 0u : (uint32_t)AacWindowShape(bs->seq), 1);
  if (bs->seq == EIGHT_SHORT) {
    aacBitBufWrite(out, bb, 0, 4); /* max_sfb */
    aacBitBufWrite(out, bb, grouping_mask(bs), 7);
  } else {
    aacBitBufWrite(out, bb, 0, 6); /* max_sfb */
    aacBitBufWrite(out, bb, 0, 1); /* predictor_data_present */
  }
}

/* individual_channel_stream of a channel without coded bands */
static void write_silent_ics(uint8_t *out, AacBitBuf *bb, const AacBlockSwitch *bs, int common) {
  aacBitBufWrite(out, bb, 0, 8); /* global_gain */
  if (!common) write_ics_info(out, bb, bs);
  /* no sections, no scalefactors */
  aacBitBufWrite(out, bb, 0, 1); /* pulse_data_present */
  aacBitBufWrite(out, bb, 0, 1); /* tns_data_present */
  aacBitBufWrite(out, bb, 0, 1); /* gain_control_data_present */
}

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

int AacCoreWriteSilentBlock(AacCoreState *core, uint8_t *wm, const uint8_t *sbr, int32_t sbr_bytes, uint8_t *out,
                            uint32_t size, uint32_t start_bit, int32_t header_bits, uint32_t *bits) {
  AacBitBuf bb;
  aacBitBufOpen(&bb, size, start_bit);
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    const AacElementInfo *el = &core->elements.el[e];
    const AacPsyChannel *l = (const AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[0]]);
    aacBitBufWrite(out, &bb, (uint32_t)el->kind, 3);
    aacBitBufWrite(out, &bb, (uint32_t)el->tag, 4);
    if (el->kind == ID_CPE) {
      const AacPsyChannel *r = (const AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[1]]);
      aacBitBufWrite(out, &bb, 1, 1); /* common_window */
      write_ics_info(out, &bb, &l->bs);
      aacBitBufWrite(out, &bb, 0, 2); /* ms_mask_present */
      write_silent_ics(out, &bb, &l->bs, 1);
      write_silent_ics(out, &bb, &r->bs, 1);
    } else {
      write_silent_ics(out, &bb, &l->bs, 0);
    }
  }
  if (sbr && sbr_bytes > 0) {
    int32_t ext = 8 * sbr_bytes + (sbr_bytes < 15 ? 7 : 15);
    AacWriteFillElements(out, &bb, ext, sbr, sbr_bytes);
  }
  /* the rest of the frame's budget goes into fill elements, so the stream runs at its rate */
  int32_t budget = core->frame_bits - header_bits;
  int32_t fill = budget - aacBitBufCount(&bb) - 3;
  if (fill > 6) AacWriteFillElements(out, &bb, fill, 0, 0);
  aacBitBufWrite(out, &bb, ID_END, 3);
  int32_t pad = (8 - (aacBitBufCount(&bb) & 7)) & 7; /* byte-aligned relative to the block's start */
  aacBitBufWrite(out, &bb, 0, pad);
  *bits = (uint32_t)aacBitBufCount(&bb);
  if (bb.overflow) {
    *bits = 0;
    return 1;
  }
  return 0;
}
