#pragma once
// FLVDestiantion: the FLV stream writer of one destination (FLV version 1, H.264 video and AAC
// audio).
//
// Every connection (and every reopened file) starts with the FLV header and "onMetaData"; the
// first audio frame is preceded by the AAC sequence header, the first key frame by the AVC
// sequence header, and every key frame is followed by an "onClockSync" tag. Until that key frame
// video frames are dropped while audio flows. Timestamps count in milliseconds from the first
// frame offered after the connection (audio and video share the origin); video times only rise.
//
// Frame payloads go to BaseDestiantion::Write straight from the driver's ring as I/O vectors
// (two pieces where a unit wraps the ring's end); tag headers live in the object. Every NAL unit
// from the frame's first slice on is sent with its own 4-byte length; the parameter sets travel
// in the sequence header. The per-frame path allocates nothing.
//
// A frame that the destination had to drop (full backlog, failed write) leaves the peer without a
// reference picture, so the inter frames after it are dropped too until the next key frame; a
// sequence header that was dropped is sent again before the next frame of its kind.
#include <sys/uio.h>

#include <cstdint>
#include <vector>

#include "kavo/encoder/basedestination.h"

namespace kavo {
namespace encoder {

class FLVDestiantion : public BaseDestiantion {
 public:
  // Key frames whose parameter sets are compared with the last sequence header after a change.
  static constexpr uint32_t kCodecChecks = 10;
  // NAL units of one frame that one tag carries (a frame with more is refused, logged).
  static constexpr int kMaxUnits = 128;

  FLVDestiantion(const StreamInfo& info, Encoder* encoder);
  ~FLVDestiantion() override;

  bool WriteVideoFrame(const video_frame_t* frame, int64_t timestamp, unsigned char& congestion) override;
  bool WriteAudioFrame(const audio_frame_t* frame, int64_t timestamp, unsigned char& congestion) override;
  bool SignalCodecsChanged() override;
  bool SignalConnected() override;
  bool SignalResumed() override;

  bool WriteAudioTag(uint8_t packetType, int64_t timestamp, const uint8_t* data, uint32_t length,
                     unsigned char& congestion);
  bool WriteAudioCodecBytes(const audio_frame_t* frame, int64_t timestamp);
  bool WriteVideoCodecBytes(const video_frame_t* frame, int64_t timestamp);

  // ---- state, for tests ---------------------------------------------------------------------
  int64_t GetFirstTimestamp() const { return firstTimestamp; }
  bool IsVideoConfigPending() const { return videoConfigPending; }
  bool IsAudioConfigPending() const { return audioConfigPending; }
  uint32_t GetCodecCheckCount() const { return codecCheckCount; }
  const std::vector<uint8_t>& GetClockSyncTag() const { return clockSyncTag; }

 private:
  // Advances a destination that is not connected; false: it is still not, the frame is dropped.
  bool EnsureConnected(int64_t timestamp, int64_t& relative);
  // The parameter-set comparison of a key frame (after SignalCodecsChanged).
  void CheckCodecs(const video_frame_t* frame);
  // Drops a frame: the machine still runs, so a backlog drains meanwhile.
  bool DropFrame(unsigned char& congestion);
  // Adds the vectors of frame bytes [from, from + length) (one or two pieces over the ring).
  void AddFramePiece(const video_frame_t* frame, uint32_t from, uint32_t length);

  int64_t firstTimestamp = -1;
  int64_t lastVideoTimestamp = -1;  // of the last video frame written on this connection
  bool audioConfigPending = true;
  bool videoConfigPending = true;
  bool awaitKeyFrame = false;
  bool badFrameLogged = false;
  uint32_t codecCheckCount = kCodecChecks;
  std::vector<uint8_t> savedSps;
  std::vector<uint8_t> savedPps;
  std::vector<uint8_t> clockSyncTag;
  std::vector<uint8_t> codecRecord;  // the AVC decoder configuration record being sent
  uint8_t scratchLevel = 0;

  // Video tag scratch: the 11-byte tag header, the 5 AVC bytes and the first unit's length in
  // one block; a 4-byte length per further unit; the trailing size.
  uint8_t videoHeader[20] = {};
  uint8_t unitLengths[kMaxUnits][4] = {};
  uint8_t videoTrailer[4] = {};
  struct iovec videoIov[3 * kMaxUnits + 4] = {};
  int videoIovCount = 0;
  uint32_t unitOffsets[kMaxUnits] = {};
  uint32_t unitSizes[kMaxUnits] = {};

  // Audio tag scratch: the 11-byte tag header, 0xAF and the packet type; the trailing size.
  uint8_t audioHeader[13] = {};
  uint8_t audioTrailer[4] = {};
};

}  // namespace encoder
}  // namespace kavo
