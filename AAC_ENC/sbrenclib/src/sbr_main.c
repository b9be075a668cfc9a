#include <string.h>

#include "aac_sbr.h"
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

int sbrEncoderOpen(const sbrConfiguration *c, uint8_t *wm, uint32_t *instance, int32_t *bandwidth) {
  (void)bandwidth;
  if (c->coded_channels != 1 && c->coded_channels != 2) return 1;
  if (aacWmTake(wm, SBR_INSTANCE_BYTES, instance)) return 2;
  return 0;
}

int32_t sbrEncodeFrame(uint8_t *wm, uint32_t instance, const int16_t *input, int32_t stride, uint8_t *payload,
                       int32_t force_header) {
  (void)wm;
  (void)instance;
  (void)input;
  (void)stride;
  (void)payload;
  (void)force_header;
  return 0;
}

int sbrEncoderReset(uint8_t *wm, uint32_t instance, const sbrConfiguration *c) {
  (void)wm;
  (void)instance;
  return sbrTuningLookup(c->bit_rate, c->coded_channels, c->core_rate) < 0 ? 1 : 0;
}

void sbrEncoderClose(uint8_t *wm, uint32_t instance) {
  (void)wm;
  (void)instance;
}
