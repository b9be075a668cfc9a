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

/* Everything that follows from the configuration words; per-channel state is kept. */
static int configure(AacCoreState *core, const int32_t *cfg) {
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
  for (int32_t e = 0; e < core->elements.n_elements; e++) {
    int32_t nch = core->elements.el[e].n_channels;
    int32_t ebpc = core->bit_rate / core->coded_channels;
    if (AacTnsConfigure(&core->tns_long[e], ebpc, core->sample_rate, nch, 1, (core->tns_flags >> 1) & 1)) return 1;
    if (AacTnsConfigure(&core->tns_short[e], ebpc, core->sample_rate, nch, 0, core->tns_flags & 1)) return 1;
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
  if (configure(core, cfg)) return 1;
  core->reservoir_bits = 0;
  core->frame_acc = core->sample_rate;
  *core_off = off;
  return 0;
}

int AacCoreReinit(uint8_t *wm, uint32_t core_off, const int32_t *cfg) {
  if (!core_off || check_config(cfg)) return 1;
  AacCoreState *core = (AacCoreState *)(void *)(wm + core_off);
  if (cfg[AAC_CFG_CHANNELS_CODED] != core->coded_channels) return 1;
  return configure(core, cfg);
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

/* Block switching, transform and TNS of one element. */
static void analyse_element(AacCoreState *core, uint8_t *wm, int32_t e, const int16_t *ts, const uint32_t *calib,
                            const int8_t *calib_table, int32_t *scratch) {
  const AacElementInfo *el = &core->elements.el[e];
  AacPsyChannel *pc[2] = {0, 0};
  for (int32_t i = 0; i < el->n_channels; i++) {
    pc[i] = (AacPsyChannel *)aacWmPtr(wm, core->psy_channel[el->channel[i]]);
    AacBlockSwitching(&pc[i]->bs, ts + el->channel[i], 2, calib);
  }
  AacSyncBlockSwitching(&pc[0]->bs, pc[1] ? &pc[1]->bs : 0, el->n_channels, el->kind == ID_CPE);

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

  for (int32_t i = 0; i < el->n_channels; i++) {
    int is_short = pc[i]->bs.seq == EIGHT_SHORT;
    const AacTnsConfig *tc = is_short ? &core->tns_short[e] : &core->tns_long[e];
    int32_t windows = is_short ? 8 : 1, lines = is_short ? 128 : 1024;
    pc[i]->tns.num_windows = windows;
    for (int32_t w = 0; w < windows; w++) AacTnsDetect(tc, pc[i]->spectrum + w * lines, &pc[i]->tns, w);
    if (i == 1) AacTnsSync(&pc[0]->tns, &pc[1]->tns, windows);
    for (int32_t w = 0; w < windows; w++) AacTnsEncode(tc, &pc[i]->tns, pc[i]->spectrum + w * lines, w);
  }
}

int AacCoreEncode(uint8_t *wm, uint32_t core_off, const int16_t *ts, const uint8_t *sbr, int32_t sbr_bytes,
                  uint8_t *out, uint32_t size, uint32_t start_bit, int32_t header_bits, const uint32_t *calib,
                  uint32_t *bits) {
  if (!core_off) return 1;
  AacCoreState *core = (AacCoreState *)(void *)(wm + core_off);
  AacWmHeader *h = aacWmHeader(wm);
  int32_t *scratch = (int32_t *)aacWmPtr(wm, h->scratch1);
  if (!scratch) return 1;

  /* calibration table: word 3 is an offset into the working memory on this host */
  const int8_t *calib_table = 0;
  if (calib && calib[0] == 0 && calib[2] == 1) {
    uint32_t need = 1024u * (uint32_t)core->coded_channels;
    if (calib[3] != 0 && calib[3] <= AAC_WM_SIZE && need <= AAC_WM_SIZE - calib[3])
      calib_table = (const int8_t *)(wm + calib[3]);
  }

  for (int32_t e = 0; e < core->elements.n_elements; e++) analyse_element(core, wm, e, ts, calib, calib_table, scratch);
  core->frame_bits = AacFrameBits(core);
  AacCoreQuantiseStub(core, header_bits);
  core->frames++;
  return AacCoreWriteSilentBlock(core, wm, sbr, sbr_bytes, out, size, start_bit, header_bits, bits);
}
