/* Top layer of the encoder: the four entry points, the validation of a configuration, the
 * working-memory layout, the SBR and down-sampling path and the transport framing around
 * each frame of the core coder. */
#include <stdio.h>
#include <string.h>

#include "aac_core.h"
#include "aac_resamp.h"
#include "aac_sbr.h"
#include "aac_workmem.h"
#include "aacenc.h"
#include "aacenc_framing.h"
#include "aacenc_internal.h"

_Static_assert(sizeof(AacTransport) <= AAC_WM_TRANSPORT_SIZE, "transport state exceeds its slot");
_Static_assert(sizeof(AacWmHeader) == AAC_WM_MODULES - AAC_WM_HEADER, "working-memory header is 96 bytes");
_Static_assert(AAC_WM_TRANSPORT + AAC_WM_TRANSPORT_SIZE == AAC_WM_SIZE, "working memory is 106000 bytes");

static AacEncHandle encHandle;
AacEncHandle *hEnc = &encHandle;
void *hFileformat;
AacBsDesc bsDesc;
uint32_t calib_config[4];
sbrConfiguration sbrConfig;
uint32_t bufSize[3];

static uint32_t recheckPeriod;
static uint32_t rateCheckFrames; /* runs with the process, never reset */
static uint8_t sbrPayload[SBR_MAX_PAYLOAD_BYTES];

static const char kLocation[] = "kavo AAC_ENC fixed-point encoder";
static const char kRevision[] = "";
static const char kRefused[] = "Not Support or Out of Range!!!!\n";

static void refuse(aacenc_config_t *c, uint32_t code) {
  c->error = code;
  fputs(kRefused, stdout);
  fflush(stdout);
}

uint32_t aacencValidate(uint32_t rate, uint32_t ch, uint32_t br, uint32_t mode) {
  if (mode != 0 && mode != 1 && mode != 3) return AACENC_ERR_MODE;
  if (ch != 1 && ch != 2) return AACENC_ERR_CHANNELS;
  if (mode == 1 || mode == 3) {
    if (rate != 32000 && rate != 44100 && rate != 48000) return AACENC_ERR_RATE;
    if (mode == 3 && ch != 2) return AACENC_ERR_MODE;
    uint32_t lo = mode == 1 ? ch * 14000u : 16000u, hi = mode == 1 ? ch * 64000u : 64000u;
    return (br < lo || br > hi) ? AACENC_ERR_BITRATE : 0;
  }
  uint32_t lo, hi;
  switch (rate) {
    case 8000: lo = 8000; hi = 12000; break;
    case 11025: case 12000: lo = 8000; hi = 40000; break;
    case 16000: case 22050: case 24000: lo = 16000; hi = 80000; break;
    case 32000: case 44100: case 48000: lo = 16000; hi = 160000; break;
    default: return AACENC_ERR_RATE;
  }
  return (br < ch * lo || br > ch * hi) ? AACENC_ERR_BITRATE : 0;
}

uint32_t aacencRecheckPeriod(uint32_t rate) {
  switch (rate) {
    case 8000: return 8;
    case 11025: return 11;
    case 12000: return 12;
    case 16000: return 16;
    case 22050: return 22;
    case 24000: return 24;
    case 32000: return 32;
    case 44100: return 44;
    case 48000: return 47;
    default: return 0;
  }
}

static void prepare_transport(aacenc_config_t *c) {
  if (!c->work_memory) {
    hFileformat = 0;
    return;
  }
  AacTransport *t = (AacTransport *)(void *)((uint8_t *)c->work_memory + AAC_WM_TRANSPORT);
  hFileformat = t;
  uint32_t size = AACENC_OUTPUT_BYTES(c->channels_in);
  switch (c->format) {
    case 'a': aacTransportPrepareAdif(t, size, c->bit_rate, (int32_t)c->core_sample_rate, c->channels_out == 2); break;
    case 'l': aacTransportPrepareLatm(t, size, (int32_t)c->core_sample_rate, (int32_t)c->channels_out, 1); break;
    case 'r': aacTransportPrepareRaw(t, size); break;
    case 't': aacTransportPrepareAdts(t, size, (int32_t)c->core_sample_rate, (int32_t)c->channels_out); break;
    default:
      memset(t, 0, sizeof(*t));
      t->format = AAC_TT_NONE;
      t->buffer_size = size;
      break;
  }
}

uint32_t aacenc_setup(aacenc_config_t *c) {
  for (size_t i = 0; kRevision[i] && i < sizeof(c->revision_text) - 1; i++) c->revision_text[i] = kRevision[i];
  for (size_t i = 0; i < sizeof(kLocation) - 1 && i < sizeof(c->location_text) - 1; i++)
    c->location_text[i] = kLocation[i];
  c->error = 0;
  c->core_sample_rate = c->mode != 0 ? c->sample_rate >> 1 : c->sample_rate;
  c->channels_out = c->mode == 3 ? 1 : c->channels_in;
  uint32_t code = aacencValidate(c->sample_rate, c->channels_in, c->bit_rate, c->mode);
  if (code) {
    refuse(c, code);
    return code;
  }
  int sbr = c->mode != 0;
  bufSize[0] = 1024;
  bufSize[1] = sbr ? 4096 : 3922;
  bufSize[2] = sbr ? 21116 : 9320;
  uint8_t *wm = (uint8_t *)c->work_memory;
  encHandle.scratch1 = wm ? wm + AAC_WM_SCRATCH1 : 0;
  encHandle.scratch2 = wm ? wm + AAC_WM_SCRATCH2 : 0;
  encHandle.work_memory = wm;
  prepare_transport(c);
  c->reserved = 0;
  c->rate_check_enabled = 1;
  c->requested_bit_rate = c->bit_rate;
  recheckPeriod = aacencRecheckPeriod(c->sample_rate);
  return 0;
}

static void write_core_config(AacWmHeader *h, const aacenc_config_t *c, int ps) {
  int32_t *w = h->core_config;
  memset(w, 0, sizeof(h->core_config));
  w[AAC_CFG_BIT_RATE] = 128000;
  w[AAC_CFG_TNS] = 3;
  w[AAC_CFG_SAMPLE_RATE] = (int32_t)c->sample_rate;
  w[AAC_CFG_BIT_RATE] = (int32_t)c->bit_rate;
  w[AAC_CFG_CHANNELS_IN] = (int32_t)c->channels_in;
  w[AAC_CFG_CHANNELS_CODED] = ps ? 1 : (int32_t)c->channels_in;
  w[AAC_CFG_BANDWIDTH] = 15300;
  w[AAC_CFG_DUAL_MONO] = 0;
  w[AAC_CFG_TNS] = c->tns_enabled ? 1 : 0;
  w[AAC_CFG_ADTS_HEADER] = 0;
  w[AAC_CFG_CRC] = 0;
  w[AAC_CFG_QUALITY] = (int32_t)c->quality;
}

/* Open steps 2 to 7; `reopen` keeps the state pointers, the down-samplers and the module
 * memory and re-initialises the SBR encoder and the core in place. */
static uint32_t open_steps(aacenc_config_t *c, int reopen) {
  uint8_t *wm = (uint8_t *)c->work_memory;
  AacWmHeader *h = aacWmHeader(wm);
  if (!reopen) {
    h->mem_next = AAC_WM_MODULES;
    h->core_state = 0;
    h->sbr_state = 0;
  }
  h->scratch1 = AAC_WM_SCRATCH1;
  h->scratch2 = AAC_WM_SCRATCH2;
  h->input_offset = 296;
  h->anc_payload = 0;
  h->anc_size = 0;
  h->anc_tag = -1;

  uint32_t code = aacencValidate(c->sample_rate, c->channels_in, c->bit_rate, c->mode);
  if (code) return code;
  int sbr = c->mode == 1 || c->mode == 3, ps = c->mode == 3;
  if (ps && c->channels_in != 2) return AACENC_ERR_MODE;
  if (c->quality > 2) return AACENC_ERR_MODE;

  /* the SBR encoder set the core's bandwidth to its crossover when it opened; a reset keeps
   * the frequency tables, so the core must keep that bandwidth too */
  const int32_t sbr_bandwidth = h->core_config[AAC_CFG_BANDWIDTH];
  write_core_config(h, c, ps);
  int32_t *cfg = h->core_config;
  if (reopen && sbr) cfg[AAC_CFG_BANDWIDTH] = sbr_bandwidth;
  if (!sbr) {
    h->input_offset = 0;
  } else {
    int32_t coded = cfg[AAC_CFG_CHANNELS_CODED];
    if (c->sample_rate < 32000 || sbrTuningLookup((int32_t)c->bit_rate, coded, (int32_t)c->sample_rate / 2) < 0)
      return AACENC_ERR_MODE;
    if (!reopen) sbrEncoderInitDefaultConfig(&sbrConfig, 2, 1024);
    if (!sbrEncoderConfigure(&sbrConfig, (int32_t)c->bit_rate, coded, (int32_t)c->sample_rate / 2, 0, ps, 1000))
      return AACENC_ERR_MODE;
    int r;
    if (!reopen) {
      r = sbrEncoderOpen(&sbrConfig, wm, &h->sbr_state, &cfg[AAC_CFG_BANDWIDTH]);
    } else {
      r = sbrEncoderReset(wm, h->sbr_state, &sbrConfig);
    }
    if (r == 2) return AACENC_ERR_NULL;
    if (r) return AACENC_ERR_MODE;
    cfg[AAC_CFG_SAMPLE_RATE] /= 2;
    if (!reopen) {
      AacDownsampler *ds = (AacDownsampler *)(void *)(wm + AAC_WM_DOWNSAMPLER);
      if (aacDownsamplerOpen(&ds[0], 2048, 1024) || aacDownsamplerOpen(&ds[1], 2048, 1024)) return AACENC_ERR_NULL;
    }
    h->input_offset += AAC_DS_DELAY;
  }
  int r = reopen ? AacCoreReinit(wm, h->core_state, cfg) : AacCoreOpen(wm, cfg, &h->core_state);
  if (r) return AACENC_ERR_NULL;
  return 0;
}

uint32_t aacenc_open(aacenc_config_t *c) {
  if (c->error) return c->error;
  if (!hEnc || !hEnc->work_memory || !hEnc->scratch1 || !hEnc->scratch2 || !c->work_memory ||
      hEnc->work_memory != c->work_memory) {
    refuse(c, AACENC_ERR_NULL);
    return c->error;
  }
  uint32_t code = open_steps(c, 0);
  if (code) {
    refuse(c, code);
    return code;
  }
  memset(c->work_memory, 0, AAC_WM_TIME_FRAMES * 4u);
  return 0;
}

/* A requested bit rate is adopted only when the whole configuration accepts it; a refused
 * change keeps the running rate so that audio goes on. */
static int rate_acceptable(const aacenc_config_t *c, uint32_t br) {
  if (aacencValidate(c->sample_rate, c->channels_in, br, c->mode)) return 0;
  uint32_t coded = c->mode == 3 ? 1 : c->channels_in;
  uint32_t core_rate = c->mode != 0 ? c->sample_rate / 2 : c->sample_rate;
  if (c->mode != 0 && sbrTuningLookup((int32_t)br, (int32_t)coded, (int32_t)core_rate) < 0) return 0;
  if (br / coded < 8000 || br / coded > 160000) return 0;
  if ((uint64_t)br > (uint64_t)core_rate * coded * 5400u / 1024u) return 0;
  return 1;
}

static void rate_check(aacenc_config_t *c) {
  if (recheckPeriod == 0) return;
  rateCheckFrames++;
  if (rateCheckFrames % recheckPeriod != 0) return;
  if (c->requested_bit_rate == c->bit_rate) return;
  if (!rate_acceptable(c, c->requested_bit_rate)) return;
  c->bit_rate = c->requested_bit_rate;
  if (c->format == 'a' && hFileformat)
    aacTransportPrepareAdif((AacTransport *)hFileformat, AACENC_OUTPUT_BYTES(c->channels_in), c->bit_rate,
                            (int32_t)c->core_sample_rate, c->channels_out == 2);
  uint32_t code = open_steps(c, 1);
  if (code) c->error = code;
}

static uint32_t frame_encode(aacenc_config_t *c, int32_t header_bits) {
  uint8_t *wm = (uint8_t *)c->work_memory;
  AacWmHeader *h = aacWmHeader(wm);
  int16_t *ts = (int16_t *)(void *)(wm + AAC_WM_TIME_SIGNAL);
  int sbr = c->mode == 1 || c->mode == 3;
  uint32_t frames = sbr ? 2048u : 1024u, off = h->input_offset;
  if (off + frames > AAC_WM_TIME_FRAMES) return AACENC_ERR_NULL;
  const int16_t *pcm = c->input_pcm;
  if (c->channels_in == 1) {
    for (uint32_t j = 0; j < frames; j++) ts[2 * (off + j)] = pcm[j];
  } else {
    memcpy(ts + 2 * off, pcm, frames * 2u * sizeof(int16_t));
  }
  int32_t payload = 0;
  if (sbr) {
    payload = sbrEncodeFrame(wm, h->sbr_state, ts + 2 * off, 2, sbrPayload, 0);
    if (payload < 0 || payload > SBR_MAX_PAYLOAD_BYTES) payload = 0;
    if (c->mode == 3) {
      for (uint32_t j = 0; j < frames; j++) {
        int32_t sum = (int32_t)ts[2 * (off + j)] + ts[2 * (off + j) + 1];
        ts[2 * (off + j)] = (int16_t)(sum >> 1);
      }
    }
    AacDownsampler *ds = (AacDownsampler *)(void *)(wm + AAC_WM_DOWNSAMPLER);
    int32_t coded = AacCoreCodedChannels(wm, h->core_state);
    for (int32_t ch = 0; ch < coded; ch++)
      aacDownsample(&ds[ch], ts + 2 * off + ch, (int32_t)frames, 2, ts + 2 * off + ch, 2);
  }
  uint32_t bits = 0;
  int r = AacCoreEncode(wm, h->core_state, ts, sbrPayload, payload, bsDesc.buffer, bsDesc.size, bsDesc.start,
                        header_bits, calib_config, &bits);
  if (r) return AACENC_ERR_NULL;
  bsDesc.end = bsDesc.start + bits;
  if (sbr) memmove(ts, ts + 2 * 1024, off * 2u * sizeof(int16_t));
  return 0;
}

uint32_t aacenc_encode(aacenc_config_t *c) {
  memcpy(calib_config, c->calibration, sizeof(calib_config));
  if (c->error) return c->error;
  if (!hEnc || !hEnc->work_memory || !hEnc->scratch1 || !hEnc->scratch2 || !c->work_memory || !c->input_pcm ||
      !c->output_buffer || !hFileformat) {
    c->error = AACENC_ERR_NULL;
    return c->error;
  }
  if (c->rate_check_enabled) {
    rate_check(c);
    if (c->error) return c->error;
  }
  AacTransport *t = (AacTransport *)hFileformat;
  bsDesc.buffer = c->output_buffer;
  bsDesc.size = t->buffer_size;
  aacTransportBeginFrame(t, &bsDesc);
  int32_t header_bits = aacTransportHeaderBits(t);
  uint32_t code = frame_encode(c, header_bits);
  if (code) {
    c->error = code;
    return code;
  }
  uint8_t *wm = (uint8_t *)c->work_memory;
  AacWmHeader *h = aacWmHeader(wm);
  c->output_bits = bsDesc.end - bsDesc.start;
  int32_t coded = AacCoreCodedChannels(wm, h->core_state);
  int32_t level = AacCoreReservoirBits(wm, h->core_state);
  uint32_t fullness = (coded > 0 && level > 0) ? (uint32_t)(level / (32 * coded)) : 0u;
  aacTransportEndFrame(t, c->output_bits, fullness, &bsDesc);
  c->output_bits = bsDesc.end - bsDesc.start;
  if (bsDesc.start != 0) {
    memmove(c->output_buffer, c->output_buffer + bsDesc.start / 8u, c->output_bits / 8u);
    bsDesc.end -= bsDesc.start;
    bsDesc.start = 0;
  }
  return 0;
}

void *AacEncClose(void *handle) {
  if (!handle) return 0;
  AacCoreClose((uint8_t *)handle);
  return 0;
}
