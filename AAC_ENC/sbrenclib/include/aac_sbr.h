/* Spectral band replication encoder: configuration from the tuning table, open, one frame,
 * reset after a bit-rate change, close.
 *
 * A frame analyses 2048 full-rate input frames (with parametric stereo both channels, whose
 * parameters go into the element's extended data) and answers the payload the core carries
 * in a fill element: the SBR element computed SBR_PAYLOAD_DELAY frames earlier, starting
 * with the extension type, byte-aligned, at most 256 bytes. */
#ifndef AAC_SBR_H
#define AAC_SBR_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SBR_INSTANCE_BYTES 11868u
#define SBR_MAX_PAYLOAD_BYTES 256
/* Frames between computing an element and sending it.  The core's signal lags the SBR
 * analysis by the input offset, the transform's 576 samples and its frame: with the
 * element of the previous frame a decoder renders the high band of an onset about 1900
 * input samples before its low band; two frames bring it to within three time slots. */
#define SBR_PAYLOAD_DELAY 2

typedef struct SbrTuningRow {
  int32_t bitrate_from, bitrate_below, core_rate;
  int16_t channels;
  int16_t pad0;
  int32_t start_freq, start_freq_speech, stop_freq, stop_freq_speech;
  int16_t noise_bands;
  int16_t pad1;
  int32_t noise_offset, noise_max_level, stereo_mode, freq_scale;
} SbrTuningRow;

/* The SBR configuration record (process-wide, 128 bytes). */
typedef struct sbrConfiguration {
  int32_t bit_rate;
  int16_t coded_channels;
  int16_t rate_factor;
  int32_t core_rate;
  int32_t std_bitrate_per_channel;
  int32_t header_time_ms;
  int16_t crc;
  int16_t harmonic_compensation;
  int32_t transient_threshold;
  int32_t noise_floor_offset;
  int16_t speech;
  int16_t frame_length;
  int16_t amp_res;
  int16_t pad0;
  int32_t noise_max_level;
  int16_t allow_spread, static_framing, log2_static_envelopes, time_coding;
  int32_t stereo_mode;
  int16_t inverse_filtering_mode, missing_harmonics_mode, patching_mode, fourth_option;
  int32_t start_freq, stop_freq;
  int16_t ps_on, pad1;
  int32_t ps_mode;
  int16_t freq_scale, alter_scale, noise_bands, limiter_bands, limiter_gains, interpolation, smoothing, pad2;
  int16_t first_env_weight[2];
  uint8_t reserved[128 - 100];
} sbrConfiguration;

extern const SbrTuningRow sbrTuningTable[];
extern const int32_t sbrTuningRows;

/* Row for (bit rate, coded channels, core rate), or -1. */
int32_t sbrTuningLookup(int32_t bit_rate, int32_t channels, int32_t core_rate);
/* Defaults for two channels and 1024-sample core frames; 0, or 1 for another pair. */
int sbrEncoderInitDefaultConfig(sbrConfiguration *cfg, int32_t channels, int32_t core_frame);
/* Fills the record from the tuning row; 1 when a row exists, else 0. */
int sbrEncoderConfigure(sbrConfiguration *cfg, int32_t bit_rate, int32_t channels, int32_t core_rate, int32_t speech,
                        int32_t ps, int32_t header_time_ms);
/* Size of the instance carved from module memory for the coded channels (and parametric stereo). */
uint32_t sbrInstanceBytes(int32_t coded_channels, int32_t ps);
/* Carves the instance from module memory: 0, 2 when the memory runs out, 1 otherwise;
 * *bandwidth receives the core bandwidth when SBR is active (left unchanged while it is not). */
int sbrEncoderOpen(const sbrConfiguration *cfg, uint8_t *wm, uint32_t *instance, int32_t *bandwidth);
/* One frame of 2048 input frames (stride 2); writes the payload, returns its length (0..256). */
int32_t sbrEncodeFrame(uint8_t *wm, uint32_t instance, const int16_t *input, int32_t stride, uint8_t *payload,
                       int32_t force_header);
int sbrEncoderReset(uint8_t *wm, uint32_t instance, const sbrConfiguration *cfg);
void sbrEncoderClose(uint8_t *wm, uint32_t instance);

#ifdef __cplusplus
}
#endif
#endif
