/* SBR bitstream: header, grid, single-channel and channel-pair elements, and the payload
 * wrapping (extension type, fill bits, CRC) that the core carries in a fill element. */
#include <string.h>

#include "aac_sbr_int.h"

#define EXT_SBR_DATA 13
#define EXT_SBR_DATA_CRC 14

static int32_t put(uint8_t *base, AacBitBuf *bb, uint32_t v, int32_t n) {
  aacBitBufWrite(base, bb, v, n);
  return n;
}

int32_t sbrWriteHeader(uint8_t *base, AacBitBuf *bb, const SbrHeaderData *h, int32_t header_flag) {
  int32_t bits = put(base, bb, header_flag ? 1u : 0u, 1);
  if (!header_flag) return bits;
  bits += put(base, bb, (uint32_t)h->amp_res, 1);
  bits += put(base, bb, (uint32_t)h->start_freq, 4);
  bits += put(base, bb, (uint32_t)h->stop_freq, 4);
  bits += put(base, bb, (uint32_t)h->xover_band, 3);
  bits += put(base, bb, 0, 2);
  bits += put(base, bb, (uint32_t)h->extra1, 1);
  bits += put(base, bb, (uint32_t)h->extra2, 1);
  if (h->extra1) {
    bits += put(base, bb, (uint32_t)h->freq_scale, 2);
    bits += put(base, bb, (uint32_t)h->alter_scale, 1);
    bits += put(base, bb, (uint32_t)h->noise_bands, 2);
  }
  if (h->extra2) {
    bits += put(base, bb, (uint32_t)h->limiter_bands, 2);
    bits += put(base, bb, (uint32_t)h->limiter_gains, 2);
    bits += put(base, bb, (uint32_t)h->interpolation, 1);
    bits += put(base, bb, (uint32_t)h->smoothing, 1);
  }
  return bits;
}

static int32_t pointer_bits(int32_t n_env) {
  int32_t b = 0;
  while ((1 << b) < n_env + 1) b++; /* the relative-border count plus 2 */
  return b;
}

int32_t sbrWriteGrid(uint8_t *base, AacBitBuf *bb, const SbrFrameInfo *fi) {
  int32_t bits = put(base, bb, (uint32_t)fi->frame_class, 2);
  const int32_t L = fi->n_env;
  switch (fi->frame_class) {
    case FIXFIX:
      bits += put(base, bb, L == 4 ? 2u : (L == 2 ? 1u : 0u), 2);
      bits += put(base, bb, (uint32_t)fi->freq_res[0], 1);
      break;
    case FIXVAR:
      bits += put(base, bb, (uint32_t)fi->var_bord1, 2);
      bits += put(base, bb, (uint32_t)fi->n_rel1, 2);
      for (int32_t i = 0; i < fi->n_rel1; i++) bits += put(base, bb, (uint32_t)(fi->rel1[i] - 2) / 2, 2);
      bits += put(base, bb, (uint32_t)fi->pointer, pointer_bits(L));
      /* the resolutions of a FIXVAR frame go last envelope first */
      for (int32_t i = L - 1; i >= 0; i--) bits += put(base, bb, (uint32_t)fi->freq_res[i], 1);
      break;
    case VARFIX:
      bits += put(base, bb, (uint32_t)fi->var_bord0, 2);
      bits += put(base, bb, (uint32_t)fi->n_rel0, 2);
      for (int32_t i = 0; i < fi->n_rel0; i++) bits += put(base, bb, (uint32_t)(fi->rel0[i] - 2) / 2, 2);
      bits += put(base, bb, (uint32_t)fi->pointer, pointer_bits(L));
      for (int32_t i = 0; i < L; i++) bits += put(base, bb, (uint32_t)fi->freq_res[i], 1);
      break;
    default:
      bits += put(base, bb, (uint32_t)fi->var_bord0, 2);
      bits += put(base, bb, (uint32_t)fi->var_bord1, 2);
      bits += put(base, bb, (uint32_t)fi->n_rel0, 2);
      bits += put(base, bb, (uint32_t)fi->n_rel1, 2);
      for (int32_t i = 0; i < fi->n_rel0; i++) bits += put(base, bb, (uint32_t)(fi->rel0[i] - 2) / 2, 2);
      for (int32_t i = 0; i < fi->n_rel1; i++) bits += put(base, bb, (uint32_t)(fi->rel1[i] - 2) / 2, 2);
      bits += put(base, bb, (uint32_t)fi->pointer, pointer_bits(L));
      for (int32_t i = 0; i < L; i++) bits += put(base, bb, (uint32_t)fi->freq_res[i], 1);
      break;
  }
  return bits;
}

static int32_t write_dtdf(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c) {
  int32_t bits = 0;
  for (int32_t i = 0; i < c->fi.n_env; i++) bits += put(base, bb, (uint32_t)c->dir_env[i], 1);
  for (int32_t i = 0; i < c->fi.n_noise; i++) bits += put(base, bb, (uint32_t)c->dir_noise[i], 1);
  return bits;
}

static int32_t write_invf(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c, const SbrFreqTables *ft) {
  int32_t bits = 0;
  for (int32_t b = 0; b < ft->nq; b++) bits += put(base, bb, (uint32_t)c->invf[b], 2);
  return bits;
}

static int32_t write_values(uint8_t *base, AacBitBuf *bb, const int32_t *v, int32_t n, int32_t dir, int32_t amp,
                            int32_t noise, int32_t bal) {
  const SbrBook *b = sbrBook(amp, noise, bal, dir);
  int32_t bits = 0;
  for (int32_t k = 0; k < n; k++) {
    if (k == 0 && !dir) {
      bits += put(base, bb, (uint32_t)v[0], b->start_bits);
      continue;
    }
    int32_t d = v[k];
    if (d > b->lav) d = b->lav;
    if (d < -b->lav) d = -b->lav;
    bits += put(base, bb, b->code[d + b->lav], b->len[d + b->lav]);
  }
  return bits;
}

static int32_t write_envelope(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c, const SbrFreqTables *ft,
                              int32_t bal) {
  int32_t bits = 0;
  for (int32_t i = 0; i < c->fi.n_env; i++) {
    int32_t n = c->fi.freq_res[i] ? ft->n_hi : ft->n_lo;
    bits += write_values(base, bb, c->env + i * SBR_MAX_HI, n, c->dir_env[i], c->amp_res, 0, bal);
  }
  return bits;
}

static int32_t write_noise(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c, const SbrFreqTables *ft,
                           int32_t bal) {
  int32_t bits = 0;
  for (int32_t i = 0; i < c->fi.n_noise; i++)
    bits += write_values(base, bb, c->noise + i * SBR_MAX_NOISE, ft->nq, c->dir_noise[i], 1, 1, bal);
  return bits;
}

static int32_t write_harmonics(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c, const SbrFreqTables *ft) {
  int32_t bits = put(base, bb, c->add_harmonic ? 1u : 0u, 1);
  if (c->add_harmonic)
    for (int32_t i = 0; i < ft->n_hi; i++) bits += put(base, bb, c->harmonic[i] ? 1u : 0u, 1);
  return bits;
}

int32_t sbrWriteSingleChannelElement(uint8_t *base, AacBitBuf *bb, const SbrChannelData *ch, const SbrFreqTables *ft,
                                     const uint8_t *ps_bytes, int32_t ps_bits) {
  int32_t bits = put(base, bb, 0, 1); /* bs_data_extra */
  bits += sbrWriteGrid(base, bb, &ch->fi);
  bits += write_dtdf(base, bb, ch);
  bits += write_invf(base, bb, ch, ft);
  bits += write_envelope(base, bb, ch, ft, 0);
  bits += write_noise(base, bb, ch, ft, 0);
  bits += write_harmonics(base, bb, ch, ft);
  int32_t nbytes = ps_bytes && ps_bits > 0 ? (ps_bits + 7) / 8 : 0;
  if (nbytes == 0) return bits + put(base, bb, 0, 1);
  bits += put(base, bb, 1, 1);
  if (nbytes < 15) {
    bits += put(base, bb, (uint32_t)nbytes, 4);
  } else {
    bits += put(base, bb, 15, 4);
    bits += put(base, bb, (uint32_t)(nbytes - 15), 8);
  }
  int32_t left = ps_bits;
  for (int32_t i = 0; left > 0; i++) {
    int32_t n = left >= 8 ? 8 : left;
    bits += put(base, bb, (uint32_t)(ps_bytes[i] >> (8 - n)), n);
    left -= n;
  }
  bits += put(base, bb, 0, 8 * nbytes - ps_bits);
  return bits;
}

int32_t sbrWriteChannelPairElement(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c0, const SbrChannelData *c1,
                                   const SbrFreqTables *ft, int32_t coupling) {
  int32_t bits = put(base, bb, 0, 1); /* bs_data_extra */
  bits += put(base, bb, coupling ? 1u : 0u, 1);
  if (coupling) {
    bits += sbrWriteGrid(base, bb, &c0->fi);
    bits += write_dtdf(base, bb, c0);
    bits += write_dtdf(base, bb, c1);
    bits += write_invf(base, bb, c0, ft);
    bits += write_envelope(base, bb, c0, ft, 0);
    bits += write_noise(base, bb, c0, ft, 0);
    bits += write_envelope(base, bb, c1, ft, 1);
    bits += write_noise(base, bb, c1, ft, 1);
  } else {
    bits += sbrWriteGrid(base, bb, &c0->fi);
    bits += sbrWriteGrid(base, bb, &c1->fi);
    bits += write_dtdf(base, bb, c0);
    bits += write_dtdf(base, bb, c1);
    bits += write_invf(base, bb, c0, ft);
    bits += write_invf(base, bb, c1, ft);
    bits += write_envelope(base, bb, c0, ft, 0);
    bits += write_envelope(base, bb, c1, ft, 0);
    bits += write_noise(base, bb, c0, ft, 0);
    bits += write_noise(base, bb, c1, ft, 0);
  }
  bits += write_harmonics(base, bb, c0, ft);
  bits += write_harmonics(base, bb, c1, ft);
  bits += put(base, bb, 0, 1); /* bs_extended_data */
  return bits;
}

int32_t sbrCountChannelPairBits(uint8_t *base, AacBitBuf *bb, const SbrChannelData *c0, const SbrChannelData *c1,
                                const SbrFreqTables *ft, int32_t coupling) {
  AacBitBuf saved = *bb;
  uint8_t edge = base[bb->write_pos]; /* the partly written byte the trial run touches */
  int32_t bits = sbrWriteChannelPairElement(base, bb, c0, c1, ft, coupling);
  *bb = saved;
  base[bb->write_pos] = edge;
  return bits;
}

void sbrPayloadBegin(uint8_t *base, AacBitBuf *bb, int32_t crc) {
  aacBitBufOpen(bb, SBR_PAYLOAD_BYTES, 0);
  put(base, bb, 0, 4);
  if (crc) put(base, bb, 0, 10);
}

uint32_t sbrCrc10(const uint8_t *base, int32_t start_bit, int32_t bits) {
  uint32_t crc = 0;
  for (int32_t i = 0; i < bits; i++) {
    int32_t p = start_bit + i;
    uint32_t bit = (base[p >> 3] >> (7 - (p & 7))) & 1u;
    uint32_t top = (crc >> 9) & 1u;
    crc = (crc << 1) & 0x3FFu;
    if (top ^ bit) crc ^= 0x233u;
  }
  return crc;
}

int32_t sbrPayloadAssemble(uint8_t *base, AacBitBuf *bb, int32_t crc) {
  int32_t used = aacBitBufCount(bb);
  int32_t fill = (8 - (used & 7)) & 7;
  put(base, bb, 0, fill);
  int32_t total = aacBitBufCount(bb);
  if (!crc) {
    base[0] = (uint8_t)((base[0] & 0x0F) | (EXT_SBR_DATA << 4));
  } else {
    uint32_t c = sbrCrc10(base, 14, total - 14);
    uint32_t head = ((uint32_t)EXT_SBR_DATA_CRC << 10) | c; /* 14 bits */
    base[0] = (uint8_t)(head >> 6);
    base[1] = (uint8_t)((base[1] & 0x03) | ((head & 0x3F) << 2));
  }
  return total;
}
