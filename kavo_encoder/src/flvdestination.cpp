#include "kavo/encoder/flvdestination.h"

#include <cstring>

#include "kavo/encoder/encoder.h"
#include "kavo/utils/clock.h"
#include "kavo/variant/variant.h"
#include "encoderlog.h"

namespace kavo {
namespace encoder {

namespace {

constexpr uint8_t kTagAudio = 8;
constexpr uint8_t kTagVideo = 9;
constexpr uint8_t kTagScript = 0x12;
constexpr size_t kClockSyncSize = 101;
constexpr size_t kStreamClockAt = 40;
constexpr size_t kStreamClockBaseAt = 66;
constexpr size_t kWallClockAt = 86;

inline void put24(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 16);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v);
}

inline void put32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

inline void putDouble(uint8_t* p, double d) {
  uint64_t bits;
  std::memcpy(&bits, &d, sizeof(bits));
  for (int i = 7; i >= 0; i--) {
    p[i] = static_cast<uint8_t>(bits);
    bits >>= 8;
  }
}

// The 11-byte tag header: type, DataSize, timestamp (low 24 bits, then bits 24-31), stream id 0.
inline void putTagHeader(uint8_t* p, uint8_t type, uint32_t dataSize, int64_t timestamp) {
  const uint32_t ts = static_cast<uint32_t>(timestamp);
  p[0] = type;
  put24(p + 1, dataSize);
  put24(p + 4, ts);
  p[7] = static_cast<uint8_t>(ts >> 24);
  p[8] = p[9] = p[10] = 0;
}

// Frame bytes [from, from + length) appended to `out`.
void copyFrameBytes(const video_frame_t* frame, uint32_t from, uint32_t length, std::vector<uint8_t>& out) {
  const uint32_t first = frame->firstPieceSize();
  const uint8_t* a = frame->firstPiece();
  const uint8_t* b = frame->secondPiece();
  if (from < first) {
    const uint32_t n = length < first - from ? length : first - from;
    out.insert(out.end(), a + from, a + from + n);
    from += n;
    length -= n;
  }
  if (length != 0) out.insert(out.end(), b + (from - first), b + (from - first) + length);
}

bool sameFrameBytes(const video_frame_t* frame, uint32_t from, uint32_t length, const std::vector<uint8_t>& saved) {
  if (saved.size() != length) return false;
  for (uint32_t i = 0; i < length; i++)
    if (frame->at(from + i) != saved[i]) return false;
  return true;
}

// A parameter-set unit of the map that lies inside the frame: its bytes after the start code.
bool unitOf(const video_frame_t* frame, uint32_t offset, uint32_t length, uint32_t& from, uint32_t& size) {
  if (length < 5 || length - 4 > 0xFFFF) return false;
  if (offset > frame->frameSize || length > frame->frameSize - offset) return false;
  from = offset + 4;
  size = length - 4;
  return true;
}

// The raw AAC data of an ADTS frame (after its 7- or 9-byte header); false for anything else.
bool adtsPayload(const audio_frame_t* frame, const uint8_t*& data, uint32_t& length, const uint8_t*& header) {
  const uint8_t* p = frame->config.output_buffer;
  const uint32_t bytes = (frame->config.output_bits + 7u) / 8u;
  if (p == nullptr || bytes < 7 || p[0] != 0xFF || (p[1] & 0xF0) != 0xF0) return false;
  const uint32_t headerSize = (p[1] & 1) ? 7 : 9;  // protection_absent, else a CRC follows
  if (bytes <= headerSize) return false;
  header = p;
  data = p + headerSize;
  length = bytes - headerSize;
  return true;
}

}  // namespace

FLVDestiantion::FLVDestiantion(const StreamInfo& info, Encoder* owner) : BaseDestiantion(info, owner) {
  audioHeader[11] = 0xAF;
}

FLVDestiantion::~FLVDestiantion() = default;

bool FLVDestiantion::SignalCodecsChanged() {
  codecCheckCount = kCodecChecks;
  return true;
}

bool FLVDestiantion::SignalConnected() {
  using kavo::variant::Variant;
  std::vector<uint8_t> start = {0x46, 0x4C, 0x56, 0x01, 0x05, 0x00, 0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00};
  start.insert(start.end(), {kTagScript, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  Variant metadata(static_cast<const Variant&>(streamInfo));
  metadata["audioBandwidth"] = encoder != nullptr ? encoder->GetAudioBandwidth() : 0u;
  metadata["feedStartTime"] = kavo::utils::now();
  if (!Variant("onMetaData").ToAMF(start) || !metadata.ToAMF(start)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to serialize onMetaData");
    return false;
  }
  put24(start.data() + 14, static_cast<uint32_t>(start.size() - 24));
  const uint32_t previous = static_cast<uint32_t>(start.size() - 13);
  start.resize(start.size() + 4);
  put32(start.data() + start.size() - 4, previous);

  std::vector<uint8_t> sync(11, 0);
  sync[0] = kTagScript;
  Variant clocks(kavo::variant::VariantType::Map);
  clocks["streamClockBase"] = 0.0;
  clocks["streamClock"] = 0.0;
  clocks["wallClock"] = 0.0;
  const bool syncMade = Variant("onClockSync").ToAMF(sync) && clocks.ToAMF(sync) && sync.size() + 4 == kClockSyncSize;

  struct iovec iov = {start.data(), start.size()};
  const bool sent = WriteToFD(&iov, 1, static_cast<int>(start.size()), scratchLevel);

  firstTimestamp = -1;
  lastVideoTimestamp = -1;
  audioConfigPending = true;
  videoConfigPending = true;
  awaitKeyFrame = false;
  badFrameLogged = false;

  if (!syncMade) {
    clockSyncTag.clear();
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Unable to serialize onClockSync");
    return false;
  }
  put24(sync.data() + 1, static_cast<uint32_t>(sync.size() - 11));
  const uint32_t length = static_cast<uint32_t>(sync.size());
  sync.resize(sync.size() + 4);
  put32(sync.data() + length, length);
  clockSyncTag.swap(sync);
  return sent;
}

bool FLVDestiantion::SignalResumed() {
  // The file keeps its header and its tags: the stream goes on on the same clock, from the next
  // key frame, after both sequence headers again.
  audioConfigPending = true;
  videoConfigPending = true;
  awaitKeyFrame = false;
  badFrameLogged = false;
  return true;
}

bool FLVDestiantion::EnsureConnected(int64_t timestamp, int64_t& relative) {
  if (!IsConnected()) {
    Write(nullptr, 0, 0, scratchLevel);
    if (!IsConnected()) return false;
  }
  if (firstTimestamp == -1) firstTimestamp = timestamp;
  relative = timestamp >= firstTimestamp ? timestamp - firstTimestamp : 0;
  return true;
}

bool FLVDestiantion::DropFrame(unsigned char& congestion) {
  Write(nullptr, 0, 0, congestion);
  return true;
}

void FLVDestiantion::CheckCodecs(const video_frame_t* frame) {
  const nal_map_t* map = frame->nalMap;
  if (map == nullptr || map->spsLength < 5 || map->ppsLength < 5 || codecCheckCount == 0) return;
  uint32_t spsFrom, spsSize, ppsFrom, ppsSize;
  if (!savedSps.empty() && !savedPps.empty()) {
    codecCheckCount--;
    if (unitOf(frame, map->spsOffset, map->spsLength, spsFrom, spsSize) &&
        unitOf(frame, map->ppsOffset, map->ppsLength, ppsFrom, ppsSize) &&
        sameFrameBytes(frame, spsFrom, spsSize, savedSps) && sameFrameBytes(frame, ppsFrom, ppsSize, savedPps))
      return;
  }
  videoConfigPending = true;
  codecCheckCount = 0;
}

bool FLVDestiantion::WriteVideoCodecBytes(const video_frame_t* frame, int64_t timestamp) {
  const nal_map_t* map = frame->nalMap;
  uint32_t spsFrom, spsSize, ppsFrom, ppsSize;
  if (map == nullptr || !unitOf(frame, map->spsOffset, map->spsLength, spsFrom, spsSize) ||
      !unitOf(frame, map->ppsOffset, map->ppsLength, ppsFrom, ppsSize) || spsSize < 4)
    return false;

  savedSps.clear();
  copyFrameBytes(frame, spsFrom, spsSize, savedSps);
  savedPps.clear();
  copyFrameBytes(frame, ppsFrom, ppsSize, savedPps);

  // AVCDecoderConfigurationRecord: version 1, profile, constraints and level from the SPS,
  // 4-byte NAL unit lengths, one SPS, one PPS.
  codecRecord.clear();
  codecRecord.push_back(0x01);
  codecRecord.push_back(savedSps[1]);
  codecRecord.push_back(savedSps[2]);
  codecRecord.push_back(savedSps[3]);
  codecRecord.push_back(0xFF);
  codecRecord.push_back(0xE1);
  codecRecord.push_back(static_cast<uint8_t>(spsSize >> 8));
  codecRecord.push_back(static_cast<uint8_t>(spsSize));
  codecRecord.insert(codecRecord.end(), savedSps.begin(), savedSps.end());
  codecRecord.push_back(0x01);
  codecRecord.push_back(static_cast<uint8_t>(ppsSize >> 8));
  codecRecord.push_back(static_cast<uint8_t>(ppsSize));
  codecRecord.insert(codecRecord.end(), savedPps.begin(), savedPps.end());

  const uint32_t recordSize = static_cast<uint32_t>(codecRecord.size());
  uint8_t header[16];
  putTagHeader(header, kTagVideo, recordSize + 5, timestamp);
  header[11] = 0x17;
  header[12] = 0x00;  // AVC sequence header
  header[13] = header[14] = header[15] = 0;
  uint8_t trailer[4];
  put32(trailer, recordSize + 16);
  struct iovec iov[3] = {{header, sizeof(header)}, {codecRecord.data(), recordSize}, {trailer, sizeof(trailer)}};
  return Write(iov, 3, static_cast<int>(recordSize + 20), scratchLevel);
}

void FLVDestiantion::AddFramePiece(const video_frame_t* frame, uint32_t from, uint32_t length) {
  const uint32_t first = frame->firstPieceSize();
  if (from < first) {
    const uint32_t n = length < first - from ? length : first - from;
    videoIov[videoIovCount++] = {const_cast<uint8_t*>(frame->firstPiece()) + from, n};
    from += n;
    length -= n;
  }
  if (length != 0) videoIov[videoIovCount++] = {const_cast<uint8_t*>(frame->secondPiece()) + (from - first), length};
}

bool FLVDestiantion::WriteVideoFrame(const video_frame_t* frame, int64_t timestamp, unsigned char& congestion) {
  if (frame == nullptr) return true;
  int64_t relative = 0;
  if (!EnsureConnected(timestamp, relative)) return true;
  const uint32_t size = frame->frameSize;
  if (frame->ringBase == nullptr || frame->ringSize == 0 || size > frame->ringSize) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid video frame: %u bytes in a ring of %u", size, frame->ringSize);
    return DropFrame(congestion);
  }
  const bool key = frame->isKeyFrame();
  // A picture time at or before the last one written (the driver may repeat one) would make the
  // stream's times go back: such a picture is written 1 ms after that one.
  if (lastVideoTimestamp >= 0 && relative <= lastVideoTimestamp) relative = lastVideoTimestamp + 1;

  // The NAL units from the first slice on, each without its start code (3 or 4 bytes) and
  // without trailing zero bytes.
  int units = 0;
  bool sliceSeen = false;
  bool tooMany = false;
  {
    NalWalker walk(*frame);
    uint32_t unitStart = 0;
    bool open = false;
    auto closeUnit = [&](uint32_t end) {
      if (!open) return;
      open = false;
      while (end > unitStart && walk[end - 1] == 0) end--;
      if (end == unitStart) return;
      const uint8_t type = walk[unitStart] & 0x1F;
      if (!sliceSeen && type != 1 && type != 5) return;  // parameter sets, SEI, delimiter
      sliceSeen = true;
      if (units == kMaxUnits) {
        tooMany = true;
        return;
      }
      unitOffsets[units] = unitStart;
      unitSizes[units] = end - unitStart;
      units++;
    };
    for (nal_start_t s; walk.next(s);) {
      closeUnit(s.code);
      unitStart = s.unit;
      open = true;
    }
    closeUnit(size);
  }
  if (units == 0 || tooMany) {
    if (!badFrameLogged) {
      if (tooMany) {
        ENC_LOG(LOG_LEVEL_ERROR, 0, "Video frame with more than %d NAL units refused", kMaxUnits);
      } else {
        ENC_LOG(LOG_LEVEL_ERROR, 0, "Video frame without a slice refused (%u bytes)", size);
      }
      badFrameLogged = true;
    }
    awaitKeyFrame = true;
    return DropFrame(congestion);
  }

  if (key) {
    CheckCodecs(frame);
    if (videoConfigPending) {
      const nal_map_t* map = frame->nalMap;
      if (map == nullptr || map->spsLength < 5 || map->ppsLength < 5) return DropFrame(congestion);
      if (!WriteVideoCodecBytes(frame, relative)) return DropFrame(congestion);
      if (LastWriteDropped()) return DropFrame(congestion);  // sent again with the next key frame
      videoConfigPending = false;
    }
  } else if (videoConfigPending || awaitKeyFrame) {
    return DropFrame(congestion);
  }

  uint32_t dataSize = 5;
  for (int i = 0; i < units; i++) dataSize += 4 + unitSizes[i];
  putTagHeader(videoHeader, kTagVideo, dataSize, relative);
  videoHeader[11] = key ? 0x17 : 0x27;
  videoHeader[12] = 0x01;  // AVC NAL units
  videoHeader[13] = videoHeader[14] = videoHeader[15] = 0;
  put32(videoHeader + 16, unitSizes[0]);
  put32(videoTrailer, dataSize + 11);

  videoIovCount = 0;
  videoIov[videoIovCount++] = {videoHeader, sizeof(videoHeader)};
  AddFramePiece(frame, unitOffsets[0], unitSizes[0]);
  for (int i = 1; i < units; i++) {
    put32(unitLengths[i], unitSizes[i]);
    videoIov[videoIovCount++] = {unitLengths[i], 4};
    AddFramePiece(frame, unitOffsets[i], unitSizes[i]);
  }
  videoIov[videoIovCount++] = {videoTrailer, sizeof(videoTrailer)};
  uint32_t total = dataSize + 15;

  // The clock-sync tag rides in the same write as its key frame.
  if (key && clockSyncTag.size() == kClockSyncSize) {
    uint8_t* sync = clockSyncTag.data();
    const uint32_t ts = static_cast<uint32_t>(relative);
    put24(sync + 4, ts);
    sync[7] = static_cast<uint8_t>(ts >> 24);
    putDouble(sync + kStreamClockAt, static_cast<double>(relative));
    putDouble(sync + kStreamClockBaseAt, static_cast<double>(firstTimestamp));
    putDouble(sync + kWallClockAt, static_cast<double>(kavo::utils::nowWallMs()));
    videoIov[videoIovCount++] = {sync, kClockSyncSize};
    total += kClockSyncSize;
  }

  Write(videoIov, videoIovCount, static_cast<int>(total), congestion);
  if (LastWriteDropped()) {
    awaitKeyFrame = true;  // the next inter frames would refer to a picture the peer never got
    return true;
  }
  lastVideoTimestamp = relative;
  if (key) {
    awaitKeyFrame = false;
    badFrameLogged = false;
  }
  return true;
}

bool FLVDestiantion::WriteAudioTag(uint8_t packetType, int64_t timestamp, const uint8_t* data, uint32_t length,
                                   unsigned char& congestion) {
  putTagHeader(audioHeader, kTagAudio, length + 2, timestamp);
  audioHeader[11] = 0xAF;  // AAC; FLV wants the rate, size and type bits set for it
  audioHeader[12] = packetType;
  put32(audioTrailer, length + 13);
  struct iovec iov[3] = {{audioHeader, sizeof(audioHeader)},
                         {const_cast<uint8_t*>(data), length},
                         {audioTrailer, sizeof(audioTrailer)}};
  return Write(iov, 3, static_cast<int>(length + 17), congestion);
}

bool FLVDestiantion::WriteAudioCodecBytes(const audio_frame_t* frame, int64_t timestamp) {
  const uint8_t* data;
  const uint8_t* header;
  uint32_t length;
  if (!adtsPayload(frame, data, length, header)) return false;
  const uint8_t profile = header[2] >> 6;
  const uint8_t index = (header[2] >> 2) & 0x0F;
  const uint8_t channels = static_cast<uint8_t>(((header[2] & 1) << 2) | (header[3] >> 6));
  const uint8_t config[2] = {static_cast<uint8_t>(((profile + 1) << 3) | (index >> 1)),
                             static_cast<uint8_t>(((index & 1) << 7) | (channels << 3))};
  return WriteAudioTag(0, timestamp, config, sizeof(config), scratchLevel);
}

bool FLVDestiantion::WriteAudioFrame(const audio_frame_t* frame, int64_t timestamp, unsigned char& congestion) {
  if (frame == nullptr) return true;
  int64_t relative = 0;
  if (!EnsureConnected(timestamp, relative)) return true;
  const uint8_t* data;
  const uint8_t* header;
  uint32_t length;
  if (!adtsPayload(frame, data, length, header)) {
    ENC_LOG(LOG_LEVEL_ERROR, 0, "Invalid ADTS frame refused (%u bits)", frame->config.output_bits);
    return DropFrame(congestion);
  }
  if (audioConfigPending) {
    WriteAudioCodecBytes(frame, relative);
    if (LastWriteDropped()) return DropFrame(congestion);
    audioConfigPending = false;
  }
  return WriteAudioTag(1, relative, data, length, congestion);
}

}  // namespace encoder
}  // namespace kavo
