#include <string.h>

#include "aac_dsp.h"
#include "aac_intrinsics.h"
#include "aac_ps.h"
#include "aac_sbr.h"
#include "aac_sbr_int.h"
#include "aac_workmem.h"

_Static_assert(sizeof(sbrConfiguration) == 128, "the SBR configuration record is 128 bytes");

/* The rows that the encoder can select (core rate = half the input rate); speech columns
 * repeat the normal ones since the speech flag is never set. */
#define R(ch, rate, from, below, start, stop, nb, noff, nmax, sm, fs) \
  {from, below, rate, ch, 0, start, start, stop, stop, nb, 0, noff, nmax, sm, fs}
const SbrTuningRow sbrTuningTable[] = {
    R(1, 16000, 8000, 10000, 1, 0, 1, 0, 6, 0, 3),    R(1, 16000, 10000, 12000, 2, 6, 1, 0, 6, 0, 3),
    R(1, 16000, 12000, 16000, 4, 6, 1, 0, 6, 0, 3),   R(1, 16000, 16000, 18000, 4, 8, 1, 0, 6, 0, 3),
    R(1, 16000, 18000, 22000, 6, 11, 2, 0, 6, 0, 2),  R(1, 16000, 22000, 28000, 10, 12, 2, 0, 6, 0, 2),
    R(1, 16000, 28000, 36000, 12, 13, 2, 0, 3, 0, 2), R(1, 16000, 36000, 44000, 14, 13, 2, 0, 3, 0, 1),
    R(1, 16000, 44000, 64001, 15, 13, 2, 0, 3, 0, 1), R(1, 22050, 8000, 11369, 1, 1, 1, 0, 6, 0, 3),
    R(1, 22050, 11369, 16000, 3, 4, 1, 0, 6, 0, 3),   R(1, 22050, 16000, 18000, 3, 5, 1, 0, 6, 0, 3),
    R(1, 22050, 18000, 22000, 4, 8, 2, 0, 6, 0, 2),   R(1, 22050, 22000, 28000, 7, 8, 2, 0, 6, 0, 2),
    R(1, 22050, 28000, 36000, 10, 9, 2, 0, 3, 0, 2),  R(1, 22050, 36000, 44000, 11, 10, 2, 0, 3, 0, 1),
    R(1, 22050, 44000, 64001, 13, 12, 2, 0, 3, 0, 1), R(1, 24000, 8000, 12000, 1, 1, 1, 0, 6, 0, 3),
    R(1, 24000, 12000, 16000, 3, 4, 1, 0, 6, 0, 3),   R(1, 24000, 16000, 18000, 3, 5, 1, 0, 6, 0, 3),
    R(1, 24000, 18000, 22000, 4, 8, 2, 0, 6, 0, 2),   R(1, 24000, 22000, 28000, 7, 8, 2, 0, 6, 0, 2),
    R(1, 24000, 28000, 36000, 10, 8, 2, 0, 3, 0, 2),  R(1, 24000, 36000, 44000, 11, 8, 2, 0, 3, 0, 1),
    R(1, 24000, 44000, 64001, 13, 11, 2, 0, 3, 0, 1), R(2, 16000, 16000, 24000, 4, 1, 1, 0, -3, 3, 3),
    R(2, 16000, 24000, 28000, 8, 10, 1, 0, -3, 3, 3), R(2, 16000, 28000, 36000, 10, 12, 2, 0, -3, 3, 2),
    R(2, 16000, 36000, 44000, 13, 13, 2, 0, -3, 3, 2), R(2, 16000, 44000, 52000, 15, 13, 2, 0, -3, 3, 2),
    R(2, 16000, 52000, 60000, 15, 13, 3, 0, -3, 3, 1), R(2, 16000, 60000, 76000, 15, 13, 3, 0, -3, 1, 1),
    R(2, 16000, 76000, 128001, 15, 13, 3, 0, -3, 1, 1), R(2, 22050, 16000, 24000, 2, 1, 1, 0, -3, 3, 3),
    R(2, 22050, 24000, 28000, 5, 6, 1, 0, -3, 3, 3),  R(2, 22050, 28000, 32000, 5, 8, 2, 0, -3, 3, 2),
    R(2, 22050, 32000, 36000, 7, 8, 2, 0, -3, 3, 2),  R(2, 22050, 36000, 44000, 10, 9, 2, 0, -3, 3, 2),
    R(2, 22050, 44000, 52000, 12, 9, 3, 0, -3, 3, 2), R(2, 22050, 52000, 60000, 13, 10, 3, 0, -3, 3, 1),
    R(2, 22050, 60000, 76000, 14, 12, 3, 0, -3, 1, 1), R(2, 22050, 76000, 128001, 14, 12, 3, 0, -3, 1, 1),
    R(2, 24000, 16000, 24000, 2, 1, 1, 0, -3, 3, 3),  R(2, 24000, 24000, 28000, 5, 6, 1, 0, -3, 3, 3),
    R(2, 24000, 28000, 36000, 7, 8, 2, 0, -3, 3, 2),  R(2, 24000, 36000, 44000, 10, 8, 2, 0, -3, 3, 2),
    R(2, 24000, 44000, 52000, 12, 8, 3, 0, -3, 3, 2), R(2, 24000, 52000, 60000, 13, 8, 3, 0, -3, 3, 1),
    R(2, 24000, 60000, 76000, 14, 8, 3, 0, -3, 1, 1), R(2, 24000, 76000, 128001, 15, 12, 3, 0, -3, 1, 1),
};
const int32_t sbrTuningRows = (int32_t)(sizeof(sbrTuningTable) / sizeof(sbrTuningTable[0]));

int32_t sbrTuningLookup(int32_t bit_rate, int32_t channels, int32_t core_rate) {
  for (int32_t i = 0; i < sbrTuningRows; i++) {
    const SbrTuningRow *r = &sbrTuningTable[i];
    if (r->channels == channels && r->core_rate == core_rate && bit_rate >= r->bitrate_from &&
        bit_rate < r->bitrate_below)
      return i;
  }
  return -1;
}

int sbrEncoderInitDefaultConfig(sbrConfiguration *c, int32_t channels, int32_t core_frame) {
  if (channels != 2 || core_frame != 1024) return 1;
  memset(c, 0, sizeof(*c));
  c->header_time_ms = 1000;
  c->crc = 0;
  c->harmonic_compensation = 1;
  c->transient_threshold = 13000;
  c->noise_floor_offset = 0;
  c->speech = 0;
  c->frame_length = 2048;
  c->amp_res = 1;
  c->noise_max_level = 6;
  c->allow_spread = 1;
  c->static_framing = 0;
  c->log2_static_envelopes = 1;
  c->stereo_mode = 3;
  c->time_coding = 1;
  c->inverse_filtering_mode = 4;
  c->missing_harmonics_mode = 2;
  c->patching_mode = 2;
  c->fourth_option = 0;
  c->start_freq = 5;
  c->stop_freq = 9;
  c->freq_scale = 2;
  c->alter_scale = 1;
  c->noise_bands = 2;
  c->limiter_bands = 2;
  c->limiter_gains = 2;
  c->interpolation = 1;
  c->smoothing = 0;
  c->first_env_weight[0] = 9830;
  c->first_env_weight[1] = 9830;
  return 0;
}

int sbrEncoderConfigure(sbrConfiguration *c, int32_t bit_rate, int32_t channels, int32_t core_rate, int32_t speech,
                        int32_t ps, int32_t header_time_ms) {
  int32_t row = sbrTuningLookup(bit_rate, channels, core_rate);
  if (row < 0) return 0;
  const SbrTuningRow *r = &sbrTuningTable[row];
  c->bit_rate = bit_rate;
  c->coded_channels = (int16_t)channels;
  c->core_rate = core_rate;
  c->rate_factor = 8;
  c->std_bitrate_per_channel = 24000;
  c->header_time_ms = header_time_ms;
  c->start_freq = speech ? r->start_freq_speech : r->start_freq;
  c->stop_freq = speech ? r->stop_freq_speech : r->stop_freq;
  c->noise_bands = r->noise_bands;
  c->noise_floor_offset = r->noise_offset;
  c->noise_max_level = r->noise_max_level;
  c->stereo_mode = r->stereo_mode;
  c->freq_scale = (int16_t)r->freq_scale;
  if (speech || bit_rate < (channels == 1 ? 16000 : 20000)) c->harmonic_compensation = 0;
  if (ps) {
    c->ps_on = 1;
    c->ps_mode = bit_rate < 21000 ? 0x20000 : 0;
  }
  return 1;
}


/* ---- instance ---------------------------------------------------------------------- */

typedef struct SbrChannel {
  SbrTransientDetector tran;
  SbrFrameGen fg;
  SbrTonality ton;
  SbrCodeEnv env_coder, noise_coder;
  SbrHuffSet huff;
  SbrFrameInfo fi;
  SbrTransientInfo ti;
  SbrTonalityOut tout;
  int32_t energy_carry[SBR_LEAD_IN][SBR_QMF_BANDS]; /* the last four time slots of the previous frame */
  int32_t carry_scale;
  int32_t amp_res;
} SbrChannel;

typedef struct SbrPayload {
  uint8_t bytes[SBR_PAYLOAD_BYTES];
  int32_t bits;  /* assembled payload bits; 0: nothing to send */
  int32_t valid;
} SbrPayload;

typedef struct SbrInstance {
  SbrHeaderData header;
  SbrFreqTables ft;
  int32_t sbr_rate, frame_length, coded_channels, analysed_channels, stereo_mode;
  int32_t header_period, header_counter, crc, time_coding, harm_comp;
  int32_t std_rate, bit_rate;
  int32_t prev_coupling;
  int32_t force_independent; /* the last element did not fit: the next one starts afresh */
  int32_t last_payload_bytes;
  int32_t have_pending;
  int32_t delay_pos; /* the oldest element in `delayed` */
  uint32_t channel_off[2];
  uint32_t ps_off;
  AacBitBuf bb;
  SbrPayload delayed[SBR_PAYLOAD_DELAY]; /* the elements of the last frames */
  SbrPayload cur;
  QmfBank qmf[2];
} SbrInstance;

#define SBR_QMF_BLOCK (2 * SBR_QMF_SLOTS * SBR_QMF_BANDS * (int32_t)sizeof(int16_t)) /* re and im of a channel */
_Static_assert(2 * SBR_QMF_BLOCK <= (int32_t)AAC_WM_SCRATCH2_SIZE, "two channels of QMF rows fit scratch 2");
_Static_assert(PS_HYBRID_BYTES <= AAC_WM_SCRATCH1_SIZE, "the hybrid rows fit scratch 1");
_Static_assert(16 * SBR_QMF_BANDS * 4 <= SBR_QMF_BLOCK, "the energy rows overlay a channel's QMF rows");

static SbrInstance *inst_of(uint8_t *wm, uint32_t off) { return (SbrInstance *)aacWmPtr(wm, off); }
static SbrChannel *chan_of(uint8_t *wm, const SbrInstance *s, int32_t c) {
  return (SbrChannel *)aacWmPtr(wm, s->channel_off[c]);
}

uint32_t sbrInstanceBytes(int32_t coded_channels, int32_t ps) {
  uint32_t n = ((uint32_t)sizeof(SbrInstance) + 7u) & ~7u;
  n += (uint32_t)coded_channels * (((uint32_t)sizeof(SbrChannel) + 7u) & ~7u);
  if (ps) n += ((uint32_t)sizeof(PsEncoder) + 7u) & ~7u;
  return n;
}

static void header_from_config(const sbrConfiguration *c, SbrHeaderData *h) {
  memset(h, 0, sizeof(*h));
  h->amp_res = c->amp_res;
  h->start_freq = c->start_freq;
  h->stop_freq = c->stop_freq;
  h->xover_band = 0;
  h->freq_scale = c->freq_scale;
  h->alter_scale = c->alter_scale;
  h->noise_bands = c->noise_bands;
  h->limiter_bands = c->limiter_bands;
  h->limiter_gains = c->limiter_gains;
  h->interpolation = c->interpolation;
  h->smoothing = c->smoothing;
  h->extra1 = !(h->freq_scale == 2 && h->alter_scale == 1 && h->noise_bands == 2);
  h->extra2 = !(h->limiter_bands == 2 && h->limiter_gains == 2 && h->interpolation == 1 && h->smoothing == 0);
}

static int open_channel(SbrInstance *s, SbrChannel *ch, const sbrConfiguration *c) {
  const SbrFreqTables *ft = &s->ft;
  sbrFrameGenOpen(&ch->fg, c->allow_spread, c->static_framing, 1 << c->log2_static_envelopes);
  if (sbrTonalityOpen(&ch->ton, ft, s->sbr_rate, c->noise_floor_offset, c->noise_max_level,
                      c->inverse_filtering_mode, c->missing_harmonics_mode))
    return 1;
  if (sbrTransientDetectorOpen(&ch->tran, s->frame_length, s->sbr_rate, s->std_rate, s->bit_rate,
                               c->transient_threshold, ft->kx))
    return 1;
  sbrCodeEnvOpen(&ch->env_coder, ft->n_hi, ft->n_lo, c->first_env_weight[0], c->first_env_weight[1], 0);
  sbrCodeEnvOpen(&ch->noise_coder, ft->nq, ft->nq, 0, 0, 1);
  ch->amp_res = c->amp_res;
  if (sbrHuffmanTablesInit(&ch->huff, &ch->env_coder, &ch->noise_coder, c->amp_res)) return 1;
  ch->carry_scale = 30;
  return 0;
}

int sbrEncoderOpen(const sbrConfiguration *c, uint8_t *wm, uint32_t *instance, int32_t *bandwidth) {
  if (c->coded_channels != 1 && c->coded_channels != 2) return 1;
  if (c->frame_length != 2048) return 1; /* 16 time slots: the only frame length of the core's 1024 */
  const int32_t ps = c->ps_on && c->coded_channels == 1;
  uint32_t off;
  if (aacWmTake(wm, sbrInstanceBytes(c->coded_channels, ps), &off)) return 2;
  SbrInstance *s = inst_of(wm, off);
  s->coded_channels = c->coded_channels;
  s->analysed_channels = ps ? 2 : c->coded_channels;
  s->stereo_mode = c->coded_channels == 2 ? c->stereo_mode : 0;
  s->sbr_rate = c->core_rate <= 24000 ? 2 * c->core_rate : c->core_rate;
  s->frame_length = c->frame_length;
  s->crc = c->crc;
  s->time_coding = c->time_coding;
  s->harm_comp = c->harmonic_compensation;
  s->std_rate = c->std_bitrate_per_channel * c->coded_channels;
  s->bit_rate = c->bit_rate;
  s->header_period = c->header_time_ms > 0 ? (int32_t)((int64_t)c->header_time_ms * s->sbr_rate / (1000 * 2048)) : 0;
  if (c->header_time_ms > 0 && s->header_period < 1) s->header_period = 1;
  s->header_counter = 0;
  header_from_config(c, &s->header);
  if (sbrFreqTablesUpdate(&s->header, s->sbr_rate, &s->ft)) return 1;
  uint32_t at = off + ((((uint32_t)sizeof(SbrInstance)) + 7u) & ~7u);
  for (int32_t ch = 0; ch < s->coded_channels; ch++) {
    s->channel_off[ch] = at;
    at += ((uint32_t)sizeof(SbrChannel) + 7u) & ~7u;
    if (open_channel(s, chan_of(wm, s, ch), c)) return 1;
  }
  for (int32_t ch = 0; ch < s->analysed_channels; ch++)
    if (QmfAnalysisOpen(ch, &s->qmf[ch], 0, s->frame_length)) return 1;
  if (ps) {
    s->ps_off = at;
    PsEncoderOpen((PsEncoder *)aacWmPtr(wm, at), c->ps_mode);
  }
  *instance = off;
  *bandwidth = (int32_t)(((int64_t)s->sbr_rate * s->ft.kx / 64 + 1) / 2);
  return 0;
}

int sbrEncoderReset(uint8_t *wm, uint32_t instance, const sbrConfiguration *c) {
  if (sbrTuningLookup(c->bit_rate, c->coded_channels, c->core_rate) < 0) return 1;
  SbrInstance *s = inst_of(wm, instance);
  if (!s) return 1;
  s->bit_rate = c->bit_rate;
  for (int32_t ch = 0; ch < s->coded_channels; ch++)
    sbrTransientDetectorUpdateRate(&chan_of(wm, s, ch)->tran, s->frame_length, s->sbr_rate, s->std_rate, c->bit_rate);
  return 0;
}

void sbrEncoderClose(uint8_t *wm, uint32_t instance) {
  SbrInstance *s = inst_of(wm, instance);
  if (!s) return;
  for (int32_t ch = 0; ch < s->analysed_channels; ch++) QmfAnalysisClose(&s->qmf[ch]);
  s->channel_off[0] = s->channel_off[1] = 0;
}

/* ---- one frame ---------------------------------------------------------------------- */

typedef struct FrameRows {
  int16_t *re[SBR_QMF_SLOTS];
  int16_t *im[SBR_QMF_SLOTS];
  int32_t *nrg[SBR_ENERGY_ROWS];
} FrameRows;

/* Energies of the frame's 16 time slots over the channel's QMF rows (the rows are no longer
 * needed), behind the four carried from the previous frame, all at one exponent. */
static int32_t energy_rows(SbrChannel *ch, FrameRows *r, int32_t qmf_scale) {
  int32_t *dst = (int32_t *)(void *)r->re[0];
  for (int32_t i = 0; i < SBR_TIME_SLOTS; i++) {
    int16_t pair[4][SBR_QMF_BANDS];
    memcpy(pair[0], r->re[2 * i], sizeof(pair[0]));
    memcpy(pair[1], r->re[2 * i + 1], sizeof(pair[1]));
    memcpy(pair[2], r->im[2 * i], sizeof(pair[2]));
    memcpy(pair[3], r->im[2 * i + 1], sizeof(pair[3]));
    int16_t *pre[2] = {pair[0], pair[1]}, *pim[2] = {pair[2], pair[3]};
    int32_t *row = dst + i * SBR_QMF_BANDS;
    QmfSlotPairEnergies(&row, pre, pim, SBR_QMF_BANDS, 2);
    r->nrg[SBR_LEAD_IN + i] = row;
  }
  for (int32_t i = 0; i < SBR_LEAD_IN; i++) r->nrg[i] = ch->energy_carry[i];
  int32_t cur = 2 * qmf_scale, scale = cur < ch->carry_scale ? cur : ch->carry_scale;
  if (ch->carry_scale > scale)
    for (int32_t i = 0; i < SBR_LEAD_IN; i++) aacScale32(r->nrg[i], SBR_QMF_BANDS, scale - ch->carry_scale);
  if (cur > scale)
    for (int32_t i = SBR_LEAD_IN; i < SBR_ENERGY_ROWS; i++) aacScale32(r->nrg[i], SBR_QMF_BANDS, scale - cur);
  return scale;
}

static void code_channel(SbrChannel *ch, SbrChannelData *d, const int32_t *env, const int32_t *noise,
                         int32_t coupling, int32_t channel, int32_t force_freq, const SbrFreqTables *ft) {
  d->fi = ch->fi;
  d->amp_res = ch->amp_res;
  memcpy(d->env, env, sizeof(d->env));
  memcpy(d->noise, noise, sizeof(d->noise));
  sbrCodeEnvelope(d->env, ch->fi.freq_res, &ch->env_coder, d->dir_env, coupling, ch->fi.n_env, channel, force_freq);
  sbrCodeEnvelope(d->noise, 0, &ch->noise_coder, d->dir_noise, coupling, ch->fi.n_noise, channel, force_freq);
  for (int32_t b = 0; b < ft->nq; b++) d->invf[b] = ch->tout.invf[b];
  memcpy(d->harmonic, ch->tout.harmonic, sizeof(d->harmonic));
  d->add_harmonic = ch->tout.any_harmonic;
}

static void noise_values(const SbrChannel *ch, const SbrFreqTables *ft, int32_t *q) {
  for (int32_t e = 0; e < ch->fi.n_noise; e++)
    sbrQuantiseNoise(ch->tout.noise + e * SBR_MAX_NOISE, ft->nq, q + e * SBR_MAX_NOISE);
}

int32_t sbrEncodeFrame(uint8_t *wm, uint32_t instance, const int16_t *input, int32_t stride, uint8_t *payload,
                       int32_t force_header) {
  SbrInstance *s = inst_of(wm, instance);
  if (!s || !input || !payload) return 0;
  const AacWmHeader *wh = aacWmHeader(wm);
  uint8_t *scratch1 = wm + wh->scratch1, *scratch2 = wm + wh->scratch2;
  const SbrFreqTables *ft = &s->ft;

  /* 1: header repetition; an element that did not fit makes the next one self-contained */
  int32_t header_flag = s->header_counter == 0 || force_header || s->force_independent;
  s->header_counter = s->header_period > 0 ? (s->header_counter + 1) % s->header_period : 1;
  s->force_independent = 0;

  /* 3: QMF analysis of every analysed channel into scratch 2 */
  FrameRows rows[2];
  int32_t scale[2] = {0, 0};
  for (int32_t c = 0; c < s->analysed_channels; c++) {
    int16_t *blk = (int16_t *)(void *)(scratch2 + c * SBR_QMF_BLOCK);
    for (int32_t l = 0; l < SBR_QMF_SLOTS; l++) {
      rows[c].re[l] = blk + l * SBR_QMF_BANDS;
      rows[c].im[l] = blk + (SBR_QMF_SLOTS + l) * SBR_QMF_BANDS;
    }
    QmfAnalysisFrame(input + c, stride, rows[c].re, rows[c].im, &s->qmf[c]);
    scale[c] = s->qmf[c].out_scale;
  }
  PsEncoder *ps = (PsEncoder *)aacWmPtr(wm, s->ps_off);
  if (ps) {
    PsEncoderEstimate(ps, rows[0].im, rows[0].re, rows[1].im, rows[1].re, &scale[0], &scale[1],
                      (int16_t *)(void *)scratch1);
    /* the mono down-mix at the common exponent replaces channel 0 */
    for (int32_t i = 0; i < SBR_QMF_SLOTS * SBR_QMF_BANDS; i++) {
      rows[0].re[0][i] = (int16_t)(((int32_t)rows[0].re[0][i] + rows[1].re[0][i]) >> 1);
      rows[0].im[0][i] = (int16_t)(((int32_t)rows[0].im[0][i] + rows[1].im[0][i]) >> 1);
    }
  }

  /* 4: tonality, transients, energies; 6: frame infos */
  int32_t row_scale[2] = {0, 0};
  for (int32_t c = 0; c < s->coded_channels; c++) {
    SbrChannel *ch = chan_of(wm, s, c);
    sbrTonalityAnalyse(&ch->ton, rows[c].re, rows[c].im, scale[c]);
    sbrDetectTransient(rows[c].re, rows[c].im, scale[c], &ch->tran, ft->kx, ft->k2, &ch->ti);
    row_scale[c] = energy_rows(ch, &rows[c], scale[c]);
    sbrFrameSplitter(rows[c].nrg, row_scale[c], &ch->tran, ft->hi, ft->n_hi, ft->kx, &ch->ti);
  }
  SbrChannel *c0 = chan_of(wm, s, 0), *c1 = s->coded_channels == 2 ? chan_of(wm, s, 1) : 0;
  sbrFrameInfoGenerate(&c0->fg, &c0->ti, &c0->fi);
  int32_t coupling = 0;
  if (c1) {
    if (s->stereo_mode == 2) {
      SbrTransientInfo t = c0->ti;
      sbrFrameInfoGenerate(&c1->fg, &t, &c1->fi);
      c1->fi = c0->fi;
      coupling = 1;
    } else {
      sbrFrameInfoGenerate(&c1->fg, &c1->ti, &c1->fi);
      coupling = s->stereo_mode == 3 && sbrFrameInfoEqual(&c0->fi, &c1->fi);
      /* a coupled pair is decoded on channel 0's grid: equal borders may still come in
       * another frame class (a one-envelope VARFIX is coded at 3 dB, a FIXFIX at 1.5 dB) */
      if (coupling) c1->fi = c0->fi;
    }
  }

  /* 7: amplitude resolution of the frame and the tonality correction; the history of the
   * envelope coder is in the old steps after a switch, so the first envelope goes along
   * frequency then */
  int32_t amp_changed = 0;
  for (int32_t c = 0; c < s->coded_channels; c++) {
    SbrChannel *ch = chan_of(wm, s, c);
    int32_t amp = (ch->fi.frame_class == FIXFIX && ch->fi.n_env == 1) ? 0 : s->header.amp_res;
    if (amp != ch->amp_res) {
      amp_changed = 1;
      sbrHuffmanTablesInit(&ch->huff, &ch->env_coder, &ch->noise_coder, amp);
      ch->amp_res = amp;
    }
    sbrTonalityCorrection(&ch->ton, &ch->fi, &ch->ti, ft, &ch->tout);
  }

  /* 8-9: estimation and coding */
  SbrChannelData data[2];
  int32_t env[2][SBR_MAX_ENV * SBR_MAX_HI], noise[2][SBR_MAX_NOISE_ENV * SBR_MAX_NOISE];
  memset(env, 0, sizeof(env));
  memset(noise, 0, sizeof(noise));
  const int32_t force_freq = header_flag || !s->time_coding || amp_changed;
  aacBitBufOpen(&s->bb, SBR_PAYLOAD_BYTES, 0);
  sbrPayloadBegin(s->cur.bytes, &s->bb, s->crc);
  if (!c1) {
    sbrEstimateEnvelope(rows[0].nrg, row_scale[0], 0, 0, &c0->fi, ft, c0->tout.harmonic, 0, c0->tout.compensation, 0,
                        c0->amp_res, s->harm_comp, 0, env[0], 0);
    noise_values(c0, ft, noise[0]);
    code_channel(c0, &data[0], env[0], noise[0], 0, 0, force_freq, ft);
    sbrCodeEnvFrameDone(&c0->env_coder, data[0].dir_env[0]);
    sbrWriteHeader(s->cur.bytes, &s->bb, &s->header, header_flag);
    int32_t ps_bits = 0;
    if (ps) {
      aacBitBufOpen(&ps->bb, PS_PAYLOAD_AREA, 0);
      ps_bits = PsWriteData(ps, header_flag);
    }
    sbrWriteSingleChannelElement(s->cur.bytes, &s->bb, &data[0], ft, ps ? ps->area : 0, ps_bits > 0 ? ps_bits : 0);
    if (ps) aacBitBufOpen(&ps->bb, PS_PAYLOAD_AREA, 0);
  } else {
    /* left/right first, with the coders' history kept so that the coupled trial can be undone */
    SbrCodeEnv save[2][2];
    save[0][0] = c0->env_coder;
    save[0][1] = c0->noise_coder;
    save[1][0] = c1->env_coder;
    save[1][1] = c1->noise_coder;
    int32_t fq_lr = force_freq || (s->stereo_mode == 3 && s->prev_coupling != 0);
    sbrEstimateEnvelope(rows[0].nrg, row_scale[0], rows[1].nrg, row_scale[1], &c0->fi, ft, c0->tout.harmonic,
                        c1->tout.harmonic, c0->tout.compensation, c1->tout.compensation, c0->amp_res, s->harm_comp, 0,
                        env[0], env[1]);
    /* each channel follows its own frame info */
    if (!sbrFrameInfoEqual(&c0->fi, &c1->fi)) {
      int32_t tmp[SBR_MAX_ENV * SBR_MAX_HI];
      sbrEstimateEnvelope(rows[1].nrg, row_scale[1], 0, 0, &c1->fi, ft, c1->tout.harmonic, 0, c1->tout.compensation,
                          0, c1->amp_res, s->harm_comp, 0, tmp, 0);
      memcpy(env[1], tmp, sizeof(tmp));
    }
    noise_values(c0, ft, noise[0]);
    noise_values(c1, ft, noise[1]);
    code_channel(c0, &data[0], env[0], noise[0], 0, 0, fq_lr, ft);
    code_channel(c1, &data[1], env[1], noise[1], 0, 1, fq_lr, ft);
    int32_t use_coupling = s->stereo_mode == 2;
    if (coupling && s->stereo_mode == 3) {
      int32_t lr_bits = sbrCountChannelPairBits(s->cur.bytes, &s->bb, &data[0], &data[1], ft, 0);
      SbrCodeEnv lr[2][2] = {{c0->env_coder, c0->noise_coder}, {c1->env_coder, c1->noise_coder}};
      SbrChannelData lr_data[2] = {data[0], data[1]};
      c0->env_coder = save[0][0];
      c0->noise_coder = save[0][1];
      c1->env_coder = save[1][0];
      c1->noise_coder = save[1][1];
      int32_t fq_c = force_freq || s->prev_coupling == 0;
      int32_t cenv[2][SBR_MAX_ENV * SBR_MAX_HI], cnoise[2][SBR_MAX_NOISE_ENV * SBR_MAX_NOISE];
      memset(cnoise, 0, sizeof(cnoise));
      sbrEstimateEnvelope(rows[0].nrg, row_scale[0], rows[1].nrg, row_scale[1], &c0->fi, ft, c0->tout.harmonic,
                          c1->tout.harmonic, c0->tout.compensation, c1->tout.compensation, c0->amp_res,
                          s->harm_comp, 1, cenv[0], cenv[1]);
      for (int32_t e = 0; e < c0->fi.n_noise; e++)
        sbrCoupleNoise(c0->tout.noise + e * SBR_MAX_NOISE, c1->tout.noise + e * SBR_MAX_NOISE, ft->nq,
                       cnoise[0] + e * SBR_MAX_NOISE, cnoise[1] + e * SBR_MAX_NOISE);
      code_channel(c0, &data[0], cenv[0], cnoise[0], 1, 0, fq_c, ft);
      code_channel(c1, &data[1], cenv[1], cnoise[1], 1, 1, fq_c, ft);
      int32_t cp_bits = sbrCountChannelPairBits(s->cur.bytes, &s->bb, &data[0], &data[1], ft, 1);
      if (cp_bits < lr_bits) {
        use_coupling = 1;
      } else {
        c0->env_coder = lr[0][0];
        c0->noise_coder = lr[0][1];
        c1->env_coder = lr[1][0];
        c1->noise_coder = lr[1][1];
        data[0] = lr_data[0];
        data[1] = lr_data[1];
      }
    }
    int32_t first_time = data[0].dir_env[0] || data[1].dir_env[0];
    sbrCodeEnvFrameDone(&c0->env_coder, first_time);
    sbrCodeEnvFrameDone(&c1->env_coder, first_time);
    s->prev_coupling = use_coupling;
    sbrWriteHeader(s->cur.bytes, &s->bb, &s->header, header_flag);
    sbrWriteChannelPairElement(s->cur.bytes, &s->bb, &data[0], &data[1], ft, use_coupling);
  }
  s->cur.bits = sbrPayloadAssemble(s->cur.bytes, &s->bb, s->crc);
  /* an element the payload cannot hold is never sent; the decoder would keep wrong history,
   * so the next element is coded without reference to this one */
  s->cur.valid = s->bb.overflow == 0 && s->cur.bits <= 8 * SBR_PAYLOAD_BYTES;
  if (!s->cur.valid) s->force_independent = 1;

  /* 11-12: the element computed SBR_PAYLOAD_DELAY frames earlier goes out (the first
   * element fills the delay, so it goes out SBR_PAYLOAD_DELAY + 1 times) */
  if (!s->have_pending) {
    for (int32_t i = 0; i < SBR_PAYLOAD_DELAY; i++) s->delayed[i] = s->cur;
    s->have_pending = 1;
    s->delay_pos = 0;
  }
  const SbrPayload *out = &s->delayed[s->delay_pos];
  int32_t bytes = out->valid ? out->bits / 8 : 0;
  if (bytes > SBR_MAX_PAYLOAD_BYTES) bytes = 0;
  if (bytes) memcpy(payload, out->bytes, (size_t)bytes);
  s->last_payload_bytes = bytes;
  s->delayed[s->delay_pos] = s->cur;
  s->delay_pos = (s->delay_pos + 1) % SBR_PAYLOAD_DELAY;

  /* 13: the last four time slots are the next frame's lead-in */
  for (int32_t c = 0; c < s->coded_channels; c++) {
    SbrChannel *ch = chan_of(wm, s, c);
    for (int32_t i = 0; i < SBR_LEAD_IN; i++)
      memcpy(ch->energy_carry[i], rows[c].nrg[SBR_ENERGY_ROWS - SBR_LEAD_IN + i], sizeof(ch->energy_carry[i]));
    ch->carry_scale = row_scale[c];
  }
  return bytes;
}
