#include <string.h>

#include "aacenc_framing.h"

static const int32_t sfiBoundaries[11] = {92017, 75132, 55426, 46009, 37566, 27713,
                                          23004, 18783, 13856, 11502, 9391};
static const int32_t sfiRates[12] = {96000, 88200, 64000, 48000, 44100, 32000,
                                     24000, 22050, 16000, 12000, 11025, 8000};

int32_t aacSamplingRateIndex(int32_t rate) {
  if (rate == 0) return 15;
  for (int32_t i = 0; i < 11; i++)
    if (sfiBoundaries[i] < rate) return i;
  return 11;
}

int32_t aacSamplingRateOfIndex(int32_t index) { return (index >= 0 && index < 12) ? sfiRates[index] : -1; }

static void reset(AacTransport *t, int32_t format, uint32_t buffer_size) {
  t->format = format;
  t->frame_counter = 0;
  t->buffer_size = buffer_size;
}

void aacTransportPrepareRaw(AacTransport *t, uint32_t buffer_size) { reset(t, AAC_TT_RAW, buffer_size); }

void aacTransportPrepareAdts(AacTransport *t, uint32_t buffer_size, int32_t core_rate, int32_t channels) {
  reset(t, AAC_TT_ADTS, buffer_size);
  t->adts_id = 1;
  t->adts_protection_absent = 1;
  t->adts_profile = 1;
  t->adts_sfi = aacSamplingRateIndex(core_rate);
  t->adts_private_bit = 0;
  t->adts_channel_config = channels;
  t->adts_original_copy = 0;
  t->adts_home = 0;
}

void aacTransportPrepareAdif(AacTransport *t, uint32_t buffer_size, uint32_t bit_rate, int32_t core_rate, int32_t stereo) {
  reset(t, AAC_TT_ADIF, buffer_size);
  t->adif_copyright_id_present = 0;
  t->adif_original_copy = 0;
  t->adif_home = 0;
  t->adif_bitstream_type = 1;
  t->adif_bitrate = bit_rate;
  t->adif_num_pce = 1;
  t->adif_buffer_fullness = 0;
  memset(&t->adif_pce, 0, sizeof(t->adif_pce));
  t->adif_pce.object_type = 1;
  t->adif_pce.sampling_frequency_index = aacSamplingRateIndex(core_rate);
  t->adif_pce.num_front = 1;
  t->adif_pce.front_is_cpe[0] = stereo ? 1 : 0;
}

void aacTransportPrepareLatm(AacTransport *t, uint32_t buffer_size, int32_t core_rate, int32_t channels, int32_t loas) {
  reset(t, loas ? AAC_TT_LOAS : AAC_TT_LATM, buffer_size);
  t->latm_mux_config_present = 1;
  t->latm_repetition_ms = 500;
  t->latm_crc_check_present = 0;
  memset(&t->latm_asc, 0, sizeof(t->latm_asc));
  t->latm_asc.audio_object_type = 2;
  t->latm_asc.sampling_rate = core_rate;
  t->latm_asc.core_sampling_rate = core_rate;
  t->latm_asc.channel_configuration = channels;
  t->latm_asc.frame_length = 1024;
  int64_t r = (int64_t)t->latm_repetition_ms * core_rate / (1024 * 1000);
  t->latm_repetition_frames = r < 1 ? 1 : (int32_t)r;
  t->latm_provisional_bits = 0;
  t->latm_real_start = 0;
  t->latm_countdown = 0;
}

int aacWritePce(AacHdrWriter *w, const AacPce *p) {
  if (p->mono_mixdown_present || p->stereo_mixdown_present || p->matrix_mixdown_idx_present ||
      p->num_assoc_data || p->num_valid_cc || p->comment_field_bytes)
    return 2;
  if (p->num_front > 15 || p->num_side > 15 || p->num_back > 15 || p->num_lfe > 3) return 1;
  aacHdrWrite(w, (uint32_t)p->element_instance_tag, 4);
  aacHdrWrite(w, (uint32_t)p->object_type, 2);
  aacHdrWrite(w, (uint32_t)p->sampling_frequency_index, 4);
  aacHdrWrite(w, (uint32_t)p->num_front, 4);
  aacHdrWrite(w, (uint32_t)p->num_side, 4);
  aacHdrWrite(w, (uint32_t)p->num_back, 4);
  aacHdrWrite(w, (uint32_t)p->num_lfe, 2);
  aacHdrWrite(w, 0, 3); /* associated data */
  aacHdrWrite(w, 0, 4); /* coupling */
  aacHdrWrite(w, 0, 1);
  aacHdrWrite(w, 0, 1);
  aacHdrWrite(w, 0, 1);
  for (int32_t i = 0; i < p->num_front; i++) {
    aacHdrWrite(w, (uint32_t)p->front_is_cpe[i], 1);
    aacHdrWrite(w, (uint32_t)p->front_tag[i], 4);
  }
  for (int32_t i = 0; i < p->num_side; i++) {
    aacHdrWrite(w, (uint32_t)p->side_is_cpe[i], 1);
    aacHdrWrite(w, (uint32_t)p->side_tag[i], 4);
  }
  for (int32_t i = 0; i < p->num_back; i++) {
    aacHdrWrite(w, (uint32_t)p->back_is_cpe[i], 1);
    aacHdrWrite(w, (uint32_t)p->back_tag[i], 4);
  }
  for (int32_t i = 0; i < p->num_lfe; i++) aacHdrWrite(w, (uint32_t)p->lfe_tag[i], 4);
  aacHdrAlign(w);
  aacHdrWrite(w, 0, 8); /* comment_field_bytes */
  return 0;
}

int aacWriteAsc(AacHdrWriter *w, const AacAsc *a) {
  int32_t aot = a->audio_object_type;
  if (aot < 0 || aot >= 32) return 1;
  if (a->channel_configuration < 0 || a->channel_configuration > 15) return 1;
  int32_t sfi = aacSamplingRateIndex(a->sampling_rate);
  int explicit_rate = aacSamplingRateOfIndex(sfi) != a->sampling_rate;
  if (explicit_rate && (a->sampling_rate < 0 || a->sampling_rate > 0xFFFFFF)) return 1;
  int ga = (aot >= 1 && aot <= 4) || aot == 7;
  if (!ga) return 2;
  if (a->depends_on_core_coder || a->extension_flag) return 2;
  if (a->channel_configuration == 0 && !a->has_pce) return 1;
  aacHdrWrite(w, (uint32_t)aot, 5);
  if (explicit_rate) {
    aacHdrWrite(w, 15, 4);
    aacHdrWrite(w, (uint32_t)a->sampling_rate, 24);
  } else {
    aacHdrWrite(w, (uint32_t)sfi, 4);
  }
  aacHdrWrite(w, (uint32_t)a->channel_configuration, 4);
  aacHdrWrite(w, a->frame_length == 960 ? 1u : 0u, 1);
  aacHdrWrite(w, 0, 1); /* dependsOnCoreCoder */
  aacHdrWrite(w, 0, 1); /* extensionFlag */
  if (a->channel_configuration == 0) return aacWritePce(w, &a->pce);
  return 0;
}

int aacWriteAdifHeader(AacHdrWriter *w, const AacTransport *t) {
  if (t->adif_num_pce != 1) return 2;
  aacHdrWrite(w, 'A', 8);
  aacHdrWrite(w, 'D', 8);
  aacHdrWrite(w, 'I', 8);
  aacHdrWrite(w, 'F', 8);
  aacHdrWrite(w, (uint32_t)t->adif_copyright_id_present, 1);
  aacHdrWrite(w, (uint32_t)t->adif_original_copy, 1);
  aacHdrWrite(w, (uint32_t)t->adif_home, 1);
  aacHdrWrite(w, (uint32_t)t->adif_bitstream_type, 1);
  aacHdrWrite(w, t->adif_bitrate & 0x7FFFFFu, 23);
  aacHdrWrite(w, (uint32_t)(t->adif_num_pce - 1), 4);
  if (t->adif_bitstream_type == 0) aacHdrWrite(w, t->adif_buffer_fullness & 0xFFFFFu, 20);
  int r = aacWritePce(w, &t->adif_pce);
  aacHdrAlign(w);
  return r;
}

int aacWriteAudioMuxElement(AacHdrWriter *w, AacTransport *t, uint32_t payload_bits, uint32_t fullness, int32_t loas) {
  if ((payload_bits & 7u) || payload_bits > AAC_LATM_MAX_PAYLOAD_BITS) return 2;
  uint32_t start = aacHdrBitPos(w);
  if (loas) {
    aacHdrWrite(w, 0x2B7, 11);
    aacHdrWrite(w, 0, 13);
  }
  int r = 0;
  if (t->latm_mux_config_present) {
    if (t->latm_countdown != 0) {
      aacHdrWrite(w, 1, 1);
    } else {
      aacHdrWrite(w, 0, 1); /* useSameStreamMux */
      aacHdrWrite(w, 0, 1); /* audioMuxVersion */
      aacHdrWrite(w, 1, 1); /* allStreamsSameTimeFraming */
      aacHdrWrite(w, 0, 6); /* numSubFrames */
      aacHdrWrite(w, 0, 4); /* numProgram */
      aacHdrWrite(w, 0, 3); /* numLayer */
      r = aacWriteAsc(w, &t->latm_asc);
      aacHdrWrite(w, 0, 3); /* frameLengthType */
      aacHdrWrite(w, fullness & 0xFFu, 8);
      aacHdrWrite(w, 0, 1); /* otherDataPresent */
      aacHdrWrite(w, (uint32_t)t->latm_crc_check_present, 1);
      if (t->latm_crc_check_present) aacHdrWrite(w, 0, 8);
    }
  }
  uint32_t bytes = payload_bits / 8u;
  for (uint32_t left = bytes; ; left -= 255u) {
    if (left >= 255u) {
      aacHdrWrite(w, 255, 8);
    } else {
      aacHdrWrite(w, left, 8);
      break;
    }
  }
  if (loas) {
    uint32_t after_sync = aacHdrBitPos(w) - start - 24u;
    AacHdrWriter w2;
    aacHdrOpen(&w2, w->buf, w->size, start);
    aacHdrWrite(&w2, 0x2B7, 11);
    aacHdrWrite(&w2, (after_sync + payload_bits + 7u) / 8u, 13);
    aacHdrCloseInPlace(&w2);
  }
  return r;
}

/* Bits of the mux header for a payload, without writing (the same choices as the writer). */
static uint32_t latm_header_bits(AacTransport *t, uint32_t payload_bits, int32_t loas) {
  uint8_t scratch[64];
  AacHdrWriter w;
  memset(scratch, 0, sizeof(scratch));
  aacHdrOpen(&w, scratch, sizeof(scratch), 0);
  aacWriteAudioMuxElement(&w, t, payload_bits, 0, loas);
  return aacHdrBitPos(&w);
}

int aacTransportBeginFrame(AacTransport *t, AacBsDesc *bs) {
  bs->size = t->buffer_size;
  switch (t->format) {
    case AAC_TT_ADIF:
      if (t->frame_counter == 0) {
        AacHdrWriter w;
        aacHdrOpen(&w, bs->buffer, bs->size, 0);
        int r = aacWriteAdifHeader(&w, t);
        bs->start = bs->end = aacHdrBitPos(&w);
        return r;
      }
      bs->start = bs->end = 0;
      return 0;
    case AAC_TT_ADTS:
      bs->start = bs->end = AAC_ADTS_HEADER_BITS;
      return 0;
    case AAC_TT_LATM:
    case AAC_TT_LOAS: {
      AacHdrWriter w;
      aacHdrOpen(&w, bs->buffer, bs->size, 0);
      int r = aacWriteAudioMuxElement(&w, t, AAC_LATM_MAX_PAYLOAD_BITS, 255, t->format == AAC_TT_LOAS);
      t->latm_provisional_bits = (int32_t)aacHdrBitPos(&w);
      aacHdrCloseInPlace(&w);
      bs->start = bs->end = (uint32_t)t->latm_provisional_bits;
      return r;
    }
    case AAC_TT_RAW:
    default:
      bs->start = bs->end = 0;
      return 0;
  }
}

int32_t aacTransportHeaderBits(const AacTransport *t) {
  switch (t->format) {
    case AAC_TT_ADTS:
      return AAC_ADTS_HEADER_BITS;
    case AAC_TT_LATM:
    case AAC_TT_LOAS:
      return t->latm_provisional_bits - t->latm_real_start;
    default:
      return 0;
  }
}

int aacTransportEndFrame(AacTransport *t, uint32_t payload_bits, uint32_t fullness, AacBsDesc *bs) {
  int r = 0;
  switch (t->format) {
    case AAC_TT_ADIF:
      bs->end = bs->start + payload_bits;
      bs->start = 0;
      break;
    case AAC_TT_ADTS: {
      AacHdrWriter w;
      if (fullness > 0x7FE) fullness = 0x7FE; /* 0x7FF would announce a variable-rate stream */
      aacHdrOpen(&w, bs->buffer, bs->size, 0);
      aacHdrWrite(&w, 0xFFF, 12);
      aacHdrWrite(&w, (uint32_t)t->adts_id, 1);
      aacHdrWrite(&w, 0, 2);
      aacHdrWrite(&w, (uint32_t)t->adts_protection_absent, 1);
      aacHdrWrite(&w, (uint32_t)t->adts_profile, 2);
      aacHdrWrite(&w, (uint32_t)t->adts_sfi, 4);
      aacHdrWrite(&w, (uint32_t)t->adts_private_bit, 1);
      aacHdrWrite(&w, (uint32_t)t->adts_channel_config, 3);
      aacHdrWrite(&w, (uint32_t)t->adts_original_copy, 1);
      aacHdrWrite(&w, (uint32_t)t->adts_home, 1);
      aacHdrWrite(&w, 0, 1);
      aacHdrWrite(&w, 0, 1);
      aacHdrWrite(&w, ((payload_bits + AAC_ADTS_HEADER_BITS) / 8u) & 0x1FFFu, 13);
      aacHdrWrite(&w, fullness, 11);
      aacHdrWrite(&w, 0, 2);
      aacHdrAlign(&w);
      bs->start = 0;
      bs->end = AAC_ADTS_HEADER_BITS + payload_bits;
      break;
    }
    case AAC_TT_LATM:
    case AAC_TT_LOAS: {
      int loas = t->format == AAC_TT_LOAS;
      if ((payload_bits & 7u) || payload_bits > AAC_LATM_MAX_PAYLOAD_BITS) {
        r = 2;
        bs->start = bs->end = 0; /* nothing usable is sent */
        break;
      }
      uint32_t real = latm_header_bits(t, payload_bits, loas);
      uint32_t prov = (uint32_t)t->latm_provisional_bits;
      uint32_t at = prov >= real ? prov - real : 0;
      AacHdrWriter w;
      aacHdrOpen(&w, bs->buffer, bs->size, at);
      r = aacWriteAudioMuxElement(&w, t, payload_bits, fullness > 255 ? 255 : fullness, loas);
      aacHdrCloseInPlace(&w);
      t->latm_real_start = (int32_t)at;
      bs->start = at;
      bs->end = ((prov + payload_bits + 7u) / 8u) * 8u;
      if (t->latm_repetition_frames != 0) {
        if (t->latm_countdown == 0) t->latm_countdown = t->latm_repetition_frames;
        t->latm_countdown--;
      } else {
        t->latm_countdown = 1;
      }
      break;
    }
    default:
      break;
  }
  t->frame_counter++;
  return r;
}

uint16_t aacCrc16(uint16_t crc, const uint8_t *buf, uint32_t start_bit, uint32_t end_bit) {
  uint32_t b = start_bit;
  while (b < end_bit && (b & 7u)) {
    uint32_t bit = (buf[b >> 3] >> (7u - (b & 7u))) & 1u;
    uint32_t top = (crc >> 15) & 1u;
    crc = (uint16_t)(crc << 1);
    if (top ^ bit) crc ^= 0x8005;
    b++;
  }
  while (b + 8u <= end_bit) {
    crc = (uint16_t)((crc << 8) ^ crcLookUp[((crc >> 8) ^ buf[b >> 3]) & 0xFFu]);
    b += 8u;
  }
  while (b < end_bit) {
    uint32_t bit = (buf[b >> 3] >> (7u - (b & 7u))) & 1u;
    uint32_t top = (crc >> 15) & 1u;
    crc = (uint16_t)(crc << 1);
    if (top ^ bit) crc ^= 0x8005;
    b++;
  }
  return crc;
}
