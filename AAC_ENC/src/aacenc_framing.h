/* Transport framing of the encoded frames: raw, ADIF, ADTS, LATM and LOAS, with the
 * AudioSpecificConfig and program-config-element writers and the ADTS CRC-16. */
#ifndef AACENC_FRAMING_H
#define AACENC_FRAMING_H

#include <stdint.h>

#include "aac_bitbuf.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { AAC_TT_RAW = 0, AAC_TT_ADIF = 1, AAC_TT_ADTS = 2, AAC_TT_LATM = 3, AAC_TT_LOAS = 4, AAC_TT_NONE = -1 };

#define AAC_LATM_MAX_PAYLOAD_BITS 12288
#define AAC_ADTS_HEADER_BITS 56

/* Output bit-stream descriptor. */
typedef struct AacBsDesc {
  uint8_t *buffer;
  uint32_t size;  /* bytes: the real output buffer */
  uint32_t start; /* start bit of the frame */
  uint32_t end;   /* end bit of the frame */
} AacBsDesc;

typedef struct AacPce {
  int32_t element_instance_tag, object_type, sampling_frequency_index;
  int32_t num_front, num_side, num_back, num_lfe, num_assoc_data, num_valid_cc;
  int32_t mono_mixdown_present, stereo_mixdown_present, matrix_mixdown_idx_present;
  int32_t front_is_cpe[16], front_tag[16], side_is_cpe[16], side_tag[16], back_is_cpe[16], back_tag[16];
  int32_t lfe_tag[4];
  int32_t comment_field_bytes;
} AacPce;

typedef struct AacAsc {
  int32_t audio_object_type;
  int32_t sampling_rate;
  int32_t core_sampling_rate;
  int32_t channel_configuration;
  int32_t frame_length;
  int32_t depends_on_core_coder;
  int32_t extension_flag;
  int32_t has_pce;
  AacPce pce;
} AacAsc;

/* Transport writer state, pointer-free (it lives in the working memory). */
typedef struct AacTransport {
  int32_t format;
  uint32_t frame_counter;
  uint32_t buffer_size;
  /* ADTS */
  int32_t adts_id, adts_protection_absent, adts_profile, adts_sfi, adts_private_bit, adts_channel_config;
  int32_t adts_original_copy, adts_home;
  /* ADIF */
  int32_t adif_copyright_id_present, adif_original_copy, adif_home, adif_bitstream_type;
  uint32_t adif_bitrate;
  int32_t adif_num_pce;
  uint32_t adif_buffer_fullness;
  AacPce adif_pce;
  /* LATM / LOAS */
  int32_t latm_mux_config_present;
  int32_t latm_repetition_ms;
  int32_t latm_repetition_frames;
  int32_t latm_crc_check_present;
  AacAsc latm_asc;
  int32_t latm_provisional_bits;
  int32_t latm_real_start;
  int32_t latm_countdown;
} AacTransport;

extern const uint16_t crcLookUp[256];

/* Sampling-frequency index of a rate (15 for 0) and the nominal rate of an index (-1 when none). */
int32_t aacSamplingRateIndex(int32_t rate);
int32_t aacSamplingRateOfIndex(int32_t index);

void aacTransportPrepareRaw(AacTransport *t, uint32_t buffer_size);
void aacTransportPrepareAdts(AacTransport *t, uint32_t buffer_size, int32_t core_rate, int32_t channels);
void aacTransportPrepareAdif(AacTransport *t, uint32_t buffer_size, uint32_t bit_rate, int32_t core_rate, int32_t stereo);
void aacTransportPrepareLatm(AacTransport *t, uint32_t buffer_size, int32_t core_rate, int32_t channels, int32_t loas);

/* Per frame: begin (sets bs start/end and may write a header), header bits reserved out of
 * the budget, end (payload length in bits, buffer fullness) which writes the header in
 * front of the payload.  Results: 0, 1 value out of range, 2 feature not written. */
int aacTransportBeginFrame(AacTransport *t, AacBsDesc *bs);
int32_t aacTransportHeaderBits(const AacTransport *t);
int aacTransportEndFrame(AacTransport *t, uint32_t payload_bits, uint32_t fullness, AacBsDesc *bs);

int aacWriteAsc(AacHdrWriter *w, const AacAsc *asc);
int aacWritePce(AacHdrWriter *w, const AacPce *pce);
int aacWriteAdifHeader(AacHdrWriter *w, const AacTransport *t);
/* AudioMuxElement (LATM), or AudioSyncStream when loas != 0, for a payload of the given length. */
int aacWriteAudioMuxElement(AacHdrWriter *w, AacTransport *t, uint32_t payload_bits, uint32_t fullness, int32_t loas);

/* CRC-16 of bits [start_bit, end_bit) of buf, continuing from crc (start with 0xFFFF). */
uint16_t aacCrc16(uint16_t crc, const uint8_t *buf, uint32_t start_bit, uint32_t end_bit);

#ifdef __cplusplus
}
#endif
#endif
