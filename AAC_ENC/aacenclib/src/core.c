#include <string.h>

#include "aac_core.h"
#include "aac_intrinsics.h"
#include "aac_math.h"
#include "aac_workmem.h"

_Static_assert(AAC_CORE_FIXED_BYTES <= AAC_CORE_STATE_BYTES, "core state exceeds its 20504 bytes");

static int rate_supported(int32_t rate) {
  static const int32_t rates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000};
  for (unsigned i = 0; i < sizeof(rates) / sizeof(rates[0]); i++)
    if (rates[i] == rate) return 1;
  return 0;
}

int AacInitElementList(AacElementList *l, int32_t coded, int32_t dual_mono) {
  memset(l, 0, sizeof(*l));
  if (coded == 1) {
    l->channel_mode = AAC_MODE_MONO;
    l->n_elements = 1;
    l->el[0] = (AacElementInfo){ID_SCE, 0, 1, {0, 0}};
  } else if (coded == 2 && !dual_mono) {
    l->channel_mode = AAC_MODE_STEREO;
    l->n_elements = 1;
    l->el[0] = (AacElementInfo){ID_CPE, 0, 2, {0, 1}};
  } else if (coded == 2) {
    l->channel_mode = AAC_MODE_DUAL_MONO;
    l->n_elements = 2;
    l->el[0] = (AacElementInfo){ID_SCE, 0, 1, {0, 0}};
    l->el[1] = (AacElementInfo){ID_SCE, 1, 1, {1, 1}};
  } else {
    return 1;
  }
  return 0;
}

int32_t AacCoreBandwidth(int32_t word, int32_t bpc, int32_t rate, int32_t mode) {
  if (rate <= 0) return -1;
  if (word != 0) {
    int32_t k;
    if (mode == AAC_MODE_MONO) k = 0x129AD42C;
    else if (mode == AAC_MODE_DUAL_MONO) k = 0x11C710CB;
    else if (mode == AAC_MODE_STEREO) k = 0x10000000;
    else return -1;
    int64_t den = 8 * (int64_t)rate;
    int32_t ratio = (bpc >= den) ? AAC_MAX_32 : aacFixDiv(bpc < 0 ? 0 : bpc, (int32_t)den);
    int32_t f = ratio >= k ? AAC_MAX_32 : aacFixDiv(ratio, k);
    int32_t bw = (int32_t)(((int64_t)(rate / 2) * f) >> 31);
    if (f == AAC_MAX_32) bw = rate / 2;
    if (bw > word) bw = word;
    if (bw > 20000) bw = 20000;
    return bw;
  }
  static const int32_t rows[8][3] = {{12000, 3700, 5000},   {20000, 5000, 6400},   {28000, 6900, 8200},
                                     {40000, 9600, 11000},  {56000, 13500, 15500}, {72000, 15500, 16000},
                                     {96000, 17600, 17600}, {200000, 48000, 48000}};
  for (int i = 0; i < 8; i++) {
    if (bpc >= 0 && bpc < rows[i][0]) {
      int32_t bw = rows[i][mode == AAC_MODE_MONO ? 1 : 2];
      return bw > rate / 2 ? rate / 2 : bw;
    }
  }
  return -1;
}

static int check_config(const int32_t *cfg) {
  int32_t ch = cfg[AAC_CFG_CHANNELS_CODED], br = cfg[AAC_CFG_BIT_RATE], rate = cfg[AAC_CFG_SAMPLE_RATE];
  if (ch != 1 && ch != 2) return 1;
  if (br != 0 && (br / ch < 8000 || br / ch > 160000)) return 1;
  if (!rate_supported(rate)) return 1;
  if ((int64_t)br > (int64_t)rate * ch * 5400 / 1024) return 1;
  return 0;
}

/* Element budgets of the bit reservoir (per element of the list). */
static int init_element_bits(AacCoreState *core) {
  int32_t rate = core->sample_rate, br = core->bit_rate;
  int32_t avg = (int32_t)((int64_t)br * 1024 / rate);
  const AacElementList *l = &core->elements;
  for (int32_t e = 0; e < l->n_elements; e++) {
    AacElementBits *eb = &core->elem_bits[e];
    int32_t level = eb->bit_res_level;
    memset(eb, 0, sizeof(*eb));
    switch (l->channel_mode) {
      case AAC_MODE_MONO:
        eb->bit_rate = br;
        eb->average_bits = avg - 3;
        eb->max_bits = 6144;
        eb->max_bit_res_bits = (6144 - avg) & ~7;
        eb->weight = 32767;
        break;
      case AAC_MODE_STEREO:
        eb->bit_rate = br / 2;
        eb->average_bits = avg - 3;
        eb->max_bits = 12288;
        eb->max_bit_res_bits = (12288 - avg) & ~7;
        eb->weight = 32767;
        break;
      case AAC_MODE_DUAL_MONO:
        eb->bit_rate = br / 2;
        eb->average_bits = e == 0 ? (avg - 3) / 2 : (avg - 3) - (avg - 3) / 2;
        eb->max_bits = 6144;
        eb->max_bit_res_bits = (6144 - avg / 2) & ~7;
        eb->weight = 16384;
        break;
      default:
        return 1;
    }
    if (eb->max_bit_res_bits < 0) eb->max_bit_res_bits = 0;
    eb->bit_res_level = level < 0 ? 0 : (level > eb->max_bit_res_bits ? eb->max_bit_res_bits : level);
  }
  int32_t a = avg > 0 ? avg : 1;
  core->bit_factor = (int32_t)((int64_t)540000 * core->coded_channels / a);
  return 0;
}

/* Everything that follows from the configuration words; per-channel state is kept. */
static int configure(AacCoreState *core, const int32_t *cfg, int reinit) {
  memcpy(core->config, cfg, sizeof(core->config));
  core->sample_rate = cfg[AAC_CFG_SAMPLE_RATE];
  core->bit_rate = cfg[AAC_CFG_BIT_RATE];
  core->channels_in = cfg[AAC_CFG_CHANNELS_IN];
  core->coded_channels = cfg[AAC_CFG_CHANNELS_CODED];
  core->quality = cfg[AAC_CFG_QUALITY];
  core->tns_flags = cfg[AAC_CFG_TNS];
  if (AacInitElementList(&core->elements, core->coded_channels, cfg[AAC_CFG_DUAL_MONO])) return 1;
  int32_t bpc = core->bit_rate / core->coded_channels;
  core->bandwidth = AacCoreBandwidth(cfg[AAC_CFG_BANDWIDTH], bpc, core->sample_rate, core->elements.channel_mode);
  if (core->bandwidth < 0) return 1;
  if (init_element_bits(core)) return 1;
  int32_t rate = core->sample_rate;
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    int32_t nch = core->elements.el[e].n_channels;
    if (reinit) {
      AacPsyConfigUpdate(&core->psy_long[e], bpc, rate);
      AacPsyConfigUpdate(&core->psy_short[e], bpc, rate);
      AacTnsUpdateBitrate(&core->tns_long[e], bpc, nch);
      AacTnsUpdateBitrate(&core->tns_short[e], bpc, nch);
    } else {
      if (AacPsyConfigOpen(&core->psy_long[e], bpc, rate, core->bandwidth, 1)) return 1;
      if (AacTnsConfigure(&core->tns_long[e], bpc, rate, nch, 1, (core->tns_flags >> 1) & 1)) return 1;
      if (AacPsyConfigOpen(&core->psy_short[e], bpc, rate, core->bandwidth, 0)) return 1;
      if (AacTnsConfigure(&core->tns_short[e], bpc, rate, nch, 0, core->tns_flags & 1)) return 1;
    }
    int32_t mean_pe = (int32_t)((int64_t)10240 * core->bandwidth / (rate / 2));
    AacAdjThrInit(&core->adj_thr[e], mean_pe, core->elem_bits[e].bit_rate);
    const AacPsyConfig *pl = &core->psy_long[e];
    int32_t act_pct = pl->sfb_cnt ? pl->sfb_active * 100 / pl->sfb_cnt : 0;
    int32_t bw = (int32_t)((int64_t)pl->lowpass_line * rate / 2048);
    int32_t lim = rate <= 24000 ? 60000 : 120000;
    int32_t use = core->elements.el[e].kind == ID_CPE && cfg[AAC_CFG_RESERVED0 + 4] == 0 && 2 * bpc < lim;
    if (!use) {
      memset(&core->stprepro[e], 0, sizeof(core->stprepro[e]));
    } else {
      AacStereoPreProInit(&core->stprepro[e], nch, core->bit_rate, rate, act_pct, bw,
                          reinit && core->stprepro[e].active);
    }
  }
  return 0;
}

int AacCoreOpen(uint8_t *wm, const int32_t *cfg, uint32_t *core_off) {
  if (check_config(cfg)) return 1;
  uint32_t off;
  int r = aacWmTake(wm, AAC_CORE_STATE_BYTES, &off);
  if (r) return r;
  AacCoreState *core = (AacCoreState *)(void *)(wm + off);
  for (int32_t ch = 0; ch < cfg[AAC_CFG_CHANNELS_CODED]; ch++) {
    r = aacWmTake(wm, (uint32_t)sizeof(AacPsyChannel), &core->psy_channel[ch]);
    if (r) return r;
    AacPsyChannel *pc = (AacPsyChannel *)aacWmPtr(wm, core->psy_channel[ch]);
    AacBlockSwitchInit(&pc->bs);
  }
  for (int32_t ch = 0; ch < cfg[AAC_CFG_CHANNELS_CODED]; ch++) {
    r = aacWmTake(wm, (uint32_t)sizeof(AacQcOutChannel), &core->qc_channel[ch]);
    if (r) return r;
  }
  if (configure(core, cfg, 0)) return 1;
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    const AacElementInfo *el = &core->elements.el[e];
    for (int32_t i = 0; i < el->n_channels; i++) {
      AacPsyChannel *pc = (AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[i]]);
      for (int32_t b = 0; b < core->psy_long[e].sfb_cnt; b++) pc->pre_echo_thr[b] = core->psy_long[e].thr_quiet[b];
      pc->prev_exp = 0;
    }
  }
  core->reservoir_bits = 0;
  core->frame_acc = core->sample_rate;
  *core_off = off;
  return 0;
}

int AacCoreReinit(uint8_t *wm, uint32_t core_off, const int32_t *cfg) {
  if (!core_off || check_config(cfg)) return 1;
  AacCoreState *core = (AacCoreState *)(void *)(wm + core_off);
  if (cfg[AAC_CFG_CHANNELS_CODED] != core->coded_channels) return 1;
  return configure(core, cfg, 1);
}

int32_t AacCoreReservoirBits(uint8_t *wm, uint32_t core_off) {
  return core_off ? ((AacCoreState *)(void *)(wm + core_off))->reservoir_bits : 0;
}

int32_t AacCoreCodedChannels(uint8_t *wm, uint32_t core_off) {
  return core_off ? ((AacCoreState *)(void *)(wm + core_off))->coded_channels : 0;
}

void AacCoreClose(uint8_t *core_state) { (void)core_state; }

int32_t AacFrameBits(AacCoreState *core) {
  int32_t rate = core->sample_rate;
  if (rate <= 0) return 0;
  int64_t num = (int64_t)core->bit_rate * 128;
  int32_t q = (int32_t)(num / rate), r = (int32_t)(num % rate), extra = 0;
  core->frame_acc -= r;
  if (core->frame_acc <= 0) {
    core->frame_acc += rate;
    extra = 1;
  }
  return 8 * (q + extra);
}

void AacFrameBudget(AacCoreState *core, int32_t header_bits) {
  int32_t budget = core->frame_bits - header_bits - 3;
  int32_t b16 = budget > 32767 ? 32767 : (budget < -32768 ? -32768 : budget), given = 0;
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    AacElementBits *eb = &core->elem_bits[e];
    eb->share = (int32_t)(((int64_t)eb->weight * b16) >> 15);
    given += eb->share;
  }
  if (core->elements.n_elements > 0) core->elem_bits[0].share += budget - given;
}

int32_t AacFitFillBits(int32_t fill) {
  if (fill <= 0) return 0;
  int32_t full = fill / 2167, rem = fill % 2167;
  if (rem > 0) {
    if (rem < 7) rem = 7;
    rem = 7 + ((rem - 7 + 7) / 8) * 8;
  }
  return full * 2167 + rem;
}

int AacFrameClose(AacCoreState *core) {
  int32_t n = core->elements.n_elements;
  int64_t st = 3, dyn = 0, ext = 0, asked = 0;
  for (int32_t e = 0; e < n; e++) {
    st += core->qc_el[e].static_bits;
    dyn += core->qc_el[e].dyn_bits;
    ext += core->qc_el[e].ext_bits;
    asked += core->qc_el[e].fill_bits;
  }
  int32_t fill = AacFitFillBits((int32_t)asked);
  int32_t align = 7 - (int32_t)((st + dyn + ext + fill - 1) & 7);
  if (align + fill - asked == 8 && fill > 8) fill -= 8;
  align = 7 - (int32_t)((st + dyn + ext + fill - 1) & 7);
  int64_t surplus = align + fill - asked;
  if (surplus != 0 && n > 0) {
    int32_t with = 0;
    for (int32_t e = 0; e < n; e++) with += core->qc_el[e].fill_bits > 0;
    int32_t k = with ? with : n, given = 0, last = -1;
    for (int32_t e = 0; e < n; e++) {
      if (with && core->qc_el[e].fill_bits <= 0) continue;
      int32_t part = (int32_t)(surplus / k);
      core->qc_el[e].fill_bits += part;
      given += part;
      last = e;
    }
    if (last >= 0) core->qc_el[last].fill_bits += (int32_t)surplus - given;
  }
  core->fill_bits = fill;
  core->align_bits = align;
  core->counted_bits = (int32_t)(st + dyn + ext + fill + align);
  int32_t max_bits = 0;
  for (int32_t e = 0; e < n; e++) max_bits += core->elem_bits[e].max_bits;
  if (core->counted_bits > max_bits) {
    core->too_long++;
    return -1;
  }
  return 0;
}

void AacReservoirUpdate(AacCoreState *core) {
  int32_t total = 0;
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    AacElementBits *eb = &core->elem_bits[e];
    const AacQcOutElement *qe = &core->qc_el[e];
    if (eb->share <= 0)
      eb->bit_res_level = eb->max_bit_res_bits;
    else
      eb->bit_res_level += eb->share - (qe->static_bits + qe->dyn_bits + qe->ext_bits + qe->fill_bits);
    total += eb->bit_res_level;
  }
  core->reservoir_bits = total;
}

/* Block switching, transform and common exponent of one element. */
static void transform_element(AacCoreState *core, uint8_t *wm, int32_t e, const int16_t *ts, const uint32_t *calib,
                              const int8_t *calib_table, int32_t *scratch, AacPsyChannel **pc) {
  const AacElementInfo *el = &core->elements.el[e];
  for (int32_t i = 0; i < el->n_channels; i++) {
    pc[i] = (AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[i]]);
    AacBlockSwitching(&pc[i]->bs, ts + el->channel[i], 2, calib);
  }
  AacSyncBlockSwitching(&pc[0]->bs, el->n_channels > 1 ? &pc[1]->bs : 0, el->n_channels, el->kind == ID_CPE);

  int32_t max_exp = 0;
  for (int32_t i = 0; i < el->n_channels; i++) {
    AacTransformReal(pc[i]->history, ts + el->channel[i], 2, pc[i]->spectrum, pc[i]->bs.seq, scratch,
                     el->channel[i], calib, calib_table, &pc[i]->spec_exp);
    if (pc[i]->spec_exp > max_exp) max_exp = pc[i]->spec_exp;
  }
  for (int32_t i = 0; i < el->n_channels; i++) {
    int32_t d = max_exp - pc[i]->spec_exp;
    if (d > 0)
      for (int32_t k = 0; k < 1024; k++) pc[i]->spectrum[k] = L_shr(pc[i]->spectrum[k], d);
    pc[i]->spec_exp = max_exp;
  }
}

int AacCoreEncode(uint8_t *wm, uint32_t core_off, const int16_t *ts_in, const uint8_t *sbr, int32_t sbr_bytes,
                  uint8_t *out, uint32_t size, uint32_t start_bit, int32_t header_bits, const uint32_t *calib,
                  uint32_t *bits) {
  if (!core_off) return 1;
  AacCoreState *core = (AacCoreState *)(void *)(wm + core_off);
  AacWmHeader *h = aacWmHeader(wm);
  int32_t *scratch = (int32_t *)aacWmPtr(wm, h->scratch1);
  int32_t *scratch2 = (int32_t *)aacWmPtr(wm, h->scratch2);
  if (!scratch || !scratch2) return 1;
  int16_t *ts = (int16_t *)(uintptr_t)ts_in; /* the pair's pre-processing mixes the buffer in place */

  /* calibration table: word 3 is an offset into the working memory on this host */
  const int8_t *calib_table = 0;
  if (calib && calib[0] == 0 && calib[2] == 1) {
    uint32_t need = 1024u * (uint32_t)core->coded_channels;
    if (calib[3] != 0 && calib[3] <= AAC_WM_SIZE && need <= AAC_WM_SIZE - calib[3])
      calib_table = (const int8_t *)(wm + calib[3]);
  }
  if (sbr_bytes < 0 || !sbr) sbr_bytes = 0;

  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    const AacElementInfo *el = &core->elements.el[e];
    AacPsyChannel *pc[2] = {0, 0};
    if (el->kind == ID_CPE) AacStereoPreProApply(&core->stprepro[e], ts + el->channel[0], 2, 1024);
    transform_element(core, wm, e, ts, calib, calib_table, scratch, pc);
    AacPsyAnalyse(pc, el->n_channels, el->kind == ID_CPE, &core->psy_long[e], &core->psy_short[e],
                  &core->tns_long[e], &core->tns_short[e], &core->psy_el[e], scratch);
  }
  core->frame_bits = AacFrameBits(core);
  AacFrameBudget(core, header_bits);
  int32_t left = sbr_bytes;
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    const AacElementInfo *el = &core->elements.el[e];
    AacPsyChannel *pc[2] = {0, 0};
    AacQcOutChannel *qc[2] = {0, 0};
    for (int32_t i = 0; i < el->n_channels; i++) {
      pc[i] = (AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[i]]);
      qc[i] = (AacQcOutChannel *)aacWmPtr(wm, core->qc_channel[el->channel[i]]);
    }
    int32_t share = sbr_bytes / core->elements.n_elements;
    if (share > left) share = left;
    left -= share;
    QcMain(core->quality, core->bit_factor, el->n_channels, &core->elem_bits[e], &core->adj_thr[e], pc,
           &core->psy_el[e], qc, &core->qc_el[e], share, scratch2);
    if (el->kind == ID_CPE)
      AacStereoPreProUpdate(&core->stprepro[e], pc, &core->qc_el[e], core->psy_el[e].ms_weight);
  }
  AacFrameClose(core);
  int r = AacWriteRawDataBlock(core, wm, sbr, sbr_bytes, out, size, start_bit, bits);
  AacReservoirUpdate(core);
  core->frames++;
  return r > 0 ? 1 : 0;
}
