// Transport framing: ADTS fields, LOAS length bytes and header placement, StreamMuxConfig
// repetition, the AudioSpecificConfig with an explicit rate, ADIF, and the buffer bound.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "aacenc_framing.h"

namespace {

struct Bits {
  const uint8_t *p;
  uint32_t pos = 0;
  uint32_t get(int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; i++, pos++) v = (v << 1) | ((p[pos >> 3] >> (7 - (pos & 7))) & 1u);
    return v;
  }
};

// Payload of `bytes` bytes at bs.start, as the core writes it.
void fillPayload(AacBsDesc &bs, uint32_t bytes, uint8_t value) {
  for (uint32_t i = 0; i < bytes * 8; i++) {
    uint32_t b = bs.start + i;
    uint8_t bit = (value >> (7 - (i & 7))) & 1;
    bs.buffer[b >> 3] = uint8_t((bs.buffer[b >> 3] & ~(0x80 >> (b & 7))) | (bit << (7 - (b & 7))));
  }
}

}  // namespace

TEST(AacFraming, SamplingRateIndex) {
  const int32_t rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000, 22050, 16000, 12000, 11025, 8000};
  for (int i = 0; i < 12; i++) {
    EXPECT_EQ(aacSamplingRateIndex(rates[i]), i);
    EXPECT_EQ(aacSamplingRateOfIndex(i), rates[i]);
  }
  EXPECT_EQ(aacSamplingRateIndex(0), 15);
  EXPECT_EQ(aacSamplingRateIndex(7350), 11);
  EXPECT_EQ(aacSamplingRateIndex(46010), 3);
  EXPECT_EQ(aacSamplingRateOfIndex(12), -1);
  EXPECT_EQ(aacSamplingRateOfIndex(15), -1);
}

TEST(AacFraming, AdtsHeader) {
  std::vector<uint8_t> buf(1792, 0);
  AacTransport t;
  aacTransportPrepareAdts(&t, 1792, 22050, 2);
  AacBsDesc bs{buf.data(), 0, 0, 0};
  aacTransportBeginFrame(&t, &bs);
  EXPECT_EQ(bs.start, 56u);
  EXPECT_EQ(bs.size, 1792u);  // the real output buffer, not a nominal size
  EXPECT_EQ(aacTransportHeaderBits(&t), 56);
  fillPayload(bs, 300, 0x5A);
  aacTransportEndFrame(&t, 300 * 8, 100, &bs);
  EXPECT_EQ(bs.start, 0u);
  EXPECT_EQ(bs.end, 56u + 2400u);
  Bits r{buf.data()};
  EXPECT_EQ(r.get(12), 0xFFFu);
  EXPECT_EQ(r.get(1), 1u);  // MPEG-2
  EXPECT_EQ(r.get(2), 0u);
  EXPECT_EQ(r.get(1), 1u);  // protection absent
  EXPECT_EQ(r.get(2), 1u);  // LC
  EXPECT_EQ(r.get(4), 7u);
  EXPECT_EQ(r.get(1), 0u);
  EXPECT_EQ(r.get(3), 2u);
  r.get(4);
  EXPECT_EQ(r.get(13), 307u);
  EXPECT_EQ(r.get(11), 100u);
  EXPECT_EQ(r.get(2), 0u);
  EXPECT_EQ(buf[7], 0x5A);  // payload untouched
  // fullness never takes the variable-rate marker
  aacTransportBeginFrame(&t, &bs);
  aacTransportEndFrame(&t, 80, 5000, &bs);
  Bits q{buf.data()};
  q.pos = 43;
  EXPECT_EQ(q.get(11), 0x7FEu);
}

TEST(AacFraming, LoasLengthBytesAndPlacement) {
  for (uint32_t payload : {254u, 255u, 600u}) {
    std::vector<uint8_t> buf(1792, 0);
    AacTransport t;
    aacTransportPrepareLatm(&t, 1792, 44100, 2, 1);
    AacBsDesc bs{buf.data(), 0, 0, 0};
    aacTransportBeginFrame(&t, &bs);
    uint32_t prov = bs.start;
    EXPECT_EQ(prov, 24u + 1u + 44u + 56u);  // sync+length, useSameStreamMux, StreamMuxConfig, 7 length bytes
    fillPayload(bs, payload, 0xC3);
    aacTransportEndFrame(&t, payload * 8, 20, &bs);
    uint32_t expect_start = 48 - 8 * (payload / 255);
    EXPECT_EQ(bs.start, expect_start) << payload;
    EXPECT_EQ(bs.end, (prov + payload * 8 + 7) / 8 * 8);  // the real header ends where the payload begins
    Bits r{buf.data()};
    r.pos = bs.start;
    EXPECT_EQ(r.get(11), 0x2B7u);
    uint32_t mux_len = r.get(13);
    EXPECT_EQ(mux_len * 8 + 24, bs.end - bs.start);
    EXPECT_EQ(r.get(1), 0u);  // StreamMuxConfig follows in the first frame
    r.pos = prov - 8 * (payload / 255 + 1);
    for (uint32_t k = 0; k < payload / 255; k++) EXPECT_EQ(r.get(8), 255u);
    EXPECT_EQ(r.get(8), payload % 255);
    EXPECT_EQ(r.get(8), 0xC3u);
  }
}

TEST(AacFraming, StreamMuxConfigRepetition) {
  std::vector<uint8_t> buf(1792, 0);
  AacTransport t;
  aacTransportPrepareLatm(&t, 1792, 44100, 1, 1);
  EXPECT_EQ(t.latm_repetition_frames, 21);
  AacTransport t24;
  aacTransportPrepareLatm(&t24, 1024, 24000, 1, 1);
  EXPECT_EQ(t24.latm_repetition_frames, 11);
  for (int frame = 0; frame < 50; frame++) {
    AacBsDesc bs{buf.data(), 0, 0, 0};
    aacTransportBeginFrame(&t, &bs);
    fillPayload(bs, 10, 0);
    aacTransportEndFrame(&t, 80, 0, &bs);
    Bits r{buf.data()};
    r.pos = bs.start + 24;
    uint32_t use_same = r.get(1);
    EXPECT_EQ(use_same, (frame % 21 == 0) ? 0u : 1u) << frame;
  }
  // a payload that is not whole bytes is refused
  AacBsDesc bs{buf.data(), 0, 0, 0};
  aacTransportBeginFrame(&t, &bs);
  EXPECT_EQ(aacTransportEndFrame(&t, 81, 0, &bs), 2);
}

TEST(AacFraming, AudioSpecificConfig) {
  uint8_t buf[16] = {0};
  AacAsc a{};
  a.audio_object_type = 2;
  a.sampling_rate = 44100;
  a.channel_configuration = 2;
  a.frame_length = 1024;
  AacHdrWriter w;
  aacHdrOpen(&w, buf, sizeof(buf), 0);
  EXPECT_EQ(aacWriteAsc(&w, &a), 0);
  EXPECT_EQ(aacHdrBitPos(&w), 16u);
  aacHdrAlign(&w);
  EXPECT_EQ(buf[0], 0x12);
  EXPECT_EQ(buf[1], 0x10);
  std::memset(buf, 0, sizeof(buf));
  a.sampling_rate = 44000;  // not nominal: index 15 and the rate in 24 bits
  aacHdrOpen(&w, buf, sizeof(buf), 0);
  EXPECT_EQ(aacWriteAsc(&w, &a), 0);
  Bits r{buf};
  EXPECT_EQ(r.get(5), 2u);
  EXPECT_EQ(r.get(4), 15u);
  EXPECT_EQ(r.get(24), 44000u);
  a.sampling_rate = 0x1000000;
  EXPECT_EQ(aacWriteAsc(&w, &a), 1);
  a.sampling_rate = 44100;
  a.audio_object_type = 32;
  EXPECT_EQ(aacWriteAsc(&w, &a), 1);
  a.audio_object_type = 5;
  EXPECT_EQ(aacWriteAsc(&w, &a), 2);
  a.audio_object_type = 2;
  a.extension_flag = 1;
  EXPECT_EQ(aacWriteAsc(&w, &a), 2);
  a.extension_flag = 0;
  a.channel_configuration = 16;
  EXPECT_EQ(aacWriteAsc(&w, &a), 1);
  a.channel_configuration = 0;
  EXPECT_EQ(aacWriteAsc(&w, &a), 1);  // no program config element
}

TEST(AacFraming, AdifHeaderOnlyInFirstFrame) {
  std::vector<uint8_t> buf(1024, 0);
  AacTransport t;
  aacTransportPrepareAdif(&t, 1024, 96000, 48000, 1);
  AacBsDesc bs{buf.data(), 0, 0, 0};
  aacTransportBeginFrame(&t, &bs);
  EXPECT_EQ(std::memcmp(buf.data(), "ADIF", 4), 0);
  uint32_t hdr = bs.start;
  EXPECT_EQ(hdr % 8, 0u);
  Bits r{buf.data()};
  r.pos = 32;
  EXPECT_EQ(r.get(3), 0u);
  EXPECT_EQ(r.get(1), 1u);  // variable rate
  EXPECT_EQ(r.get(23), 96000u);
  EXPECT_EQ(r.get(4), 0u);  // one program config element
  r.get(4);
  EXPECT_EQ(r.get(2), 1u);  // object type LC
  EXPECT_EQ(r.get(4), 3u);  // 48000 Hz
  EXPECT_EQ(r.get(4), 1u);  // one front element
  aacTransportEndFrame(&t, 64, 0, &bs);
  EXPECT_EQ(bs.start, 0u);
  EXPECT_EQ(bs.end, hdr + 64);
  aacTransportBeginFrame(&t, &bs);
  EXPECT_EQ(bs.start, 0u);
  // a mix-down is not written
  t.adif_pce.mono_mixdown_present = 1;
  AacHdrWriter w;
  aacHdrOpen(&w, buf.data(), 1024, 0);
  EXPECT_EQ(aacWritePce(&w, &t.adif_pce), 2);
}

TEST(AacFraming, Crc16) {
  const uint8_t data[] = {0x12, 0x34, 0x56, 0x78, 0x9A};
  auto bitwise = [&](uint32_t from, uint32_t to) {
    uint16_t crc = 0xFFFF;
    for (uint32_t b = from; b < to; b++) {
      uint32_t bit = (data[b >> 3] >> (7 - (b & 7))) & 1u;
      uint32_t top = (crc >> 15) & 1u;
      crc = uint16_t(crc << 1);
      if (top ^ bit) crc ^= 0x8005;
    }
    return crc;
  };
  for (uint32_t from : {0u, 3u, 8u})
    for (uint32_t to : {17u, 24u, 40u}) EXPECT_EQ(aacCrc16(0xFFFF, data, from, to), bitwise(from, to));
}

TEST(AacFraming, BitWritersStayInsideTheBuffer) {
  std::vector<uint8_t> buf(16, 0xEE);
  AacBitBuf bb;
  aacBitBufOpen(&bb, 8, 56);  // 8-byte buffer, 8 bits of room
  aacBitBufWrite(buf.data(), &bb, 0xFF, 8);
  aacBitBufWrite(buf.data(), &bb, 0x1, 1);
  EXPECT_EQ(bb.overflow, 1u);
  EXPECT_EQ(aacBitBufCount(&bb), 8);
  EXPECT_EQ(buf[8], 0xEE);
  AacHdrWriter w;
  aacHdrOpen(&w, buf.data(), 4, 24);
  aacHdrWrite(&w, 0xABCD, 16);
  aacHdrAlign(&w);
  EXPECT_EQ(buf[4], 0xEE);
  EXPECT_GT(w.overflow, 0u);
}
