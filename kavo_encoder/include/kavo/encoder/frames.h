#pragma once
// The frame records that travel from the encoders to the containers.
//
// video_frame_t points into the video DSP's bitstream ring; nothing is copied. It stays valid until
// the next frame is read. Byte k of the frame lies at
//     ringBase[(offset() + k) % ringSize]
// so a frame may run over the ring's end and continue at its start; firstPiece() and secondPiece()
// give the one or two contiguous pieces. The driver's descriptor is kept whole in `desc` (the fields
// the library reads: desc.frameNumber, desc.frameStart, desc.frameInfo, desc.streamIndex, desc.pts,
// desc.queueCounter; see kavo/os/iav.h). desc.frameStart is the frame's address truncated to 32 bits:
// use offset(), never the field as a pointer.
//
// nal_map_t locates the units of one H.264 frame: each offset is the position of the unit's
// 4-byte start code from the frame's first byte, each length runs from that start code to the next
// recorded one (or to the frame's end), start code included; length 0 = absent. The slice runs
// from sliceOffset to the frame's end. parseNalMap() builds it by these rules: units start at
// 4-byte start codes with at least two bytes after them, a later unit of a kind replaces an
// earlier one, a unit of another kind than 1, 5, 6, 7, 8 and 9 empties the map.
//
// NalWalker finds the start codes of a frame in the ring, across its end, without copying; every
// reader of NAL units walks the frame with it.
//
// audio_frame_t is one encoded AAC (ADTS) frame: config.output_buffer holds config.output_bits
// bits. Its presentation time in ms is timeBase + (sampleCount * 1000 + sampleRate / 2) / sampleRate.
#include <cstdint>
#include <cstring>

#include "aacenc.h"
#include "kavo/os/iav.h"

namespace kavo {
namespace encoder {

struct nal_map_t {
  uint32_t spsOffset;
  uint32_t spsLength;
  uint32_t ppsOffset;
  uint32_t ppsLength;
  uint32_t seiOffset;
  uint32_t seiLength;
  uint32_t audOffset;
  uint32_t audLength;
  uint32_t sliceOffset;
};
static_assert(sizeof(nal_map_t) == 36, "NAL map: nine 32-bit fields");

// Picture types (desc.frameInfo bits 0-2): IAV_PIC_TYPE_IDR (1) is an H.264 key frame,
// IAV_PIC_TYPE_MJPEG (5) a JPEG picture, anything else an H.264 frame that is not a key frame.
struct video_frame_t {
  uint8_t* ringBase;          // the mapped ring (read-only mapping)
  uint32_t ringSize;          // bytes
  iav_bitstream_desc_t desc;  // the driver's descriptor of the frame read last
  uint32_t frameSize;         // desc.frameInfo >> 8
  nal_map_t* nalMap;          // H.264 frames only; null for pictures

  uint32_t pictureType() const noexcept { return desc.frameInfo & 7u; }
  bool isKeyFrame() const noexcept { return pictureType() == IAV_PIC_TYPE_IDR; }
  bool isPicture() const noexcept { return pictureType() == IAV_PIC_TYPE_MJPEG; }
  // Stream id of the frame: the container slot 0..3.
  uint32_t streamId() const noexcept { return desc.streamIndex & 3u; }
  // Offset of the frame's first byte in the ring.
  uint32_t offset() const noexcept { return iavRingOffset(ringBase, desc.frameStart, ringSize); }
  // The piece from the frame's first byte up to the frame's end or the ring's end.
  const uint8_t* firstPiece() const noexcept { return ringBase + offset(); }
  uint32_t firstPieceSize() const noexcept {
    const uint32_t room = ringSize - offset();
    return frameSize < room ? frameSize : room;
  }
  // The rest, from the ring's start (size 0 when the frame does not wrap).
  const uint8_t* secondPiece() const noexcept { return ringBase; }
  uint32_t secondPieceSize() const noexcept { return frameSize - firstPieceSize(); }
  // Byte k of the frame (k < frameSize).
  uint8_t at(uint32_t k) const noexcept { return ringBase[(static_cast<uint64_t>(offset()) + k) % ringSize]; }
};

// The bytes of a frame read in place, across the ring's end. The frame must be one that a reader
// checked: a mapped ring and a size not above the ring's.
class FrameBytes {
 public:
  explicit FrameBytes(const video_frame_t& frame) noexcept
      : first_(frame.firstPiece()), firstSize_(frame.firstPieceSize()), second_(frame.secondPiece()),
        size_(frame.frameSize) {}
  uint32_t size() const noexcept { return size_; }
  // Byte k of the frame (k < size()).
  uint8_t operator[](uint32_t k) const noexcept { return k < firstSize_ ? first_[k] : second_[k - firstSize_]; }
  // A 4-byte start code 00 00 00 01 at k (k + 4 <= size()).
  bool startCode(uint32_t k) const noexcept {
    return (*this)[k + 3] == 1 && (*this)[k] == 0 && (*this)[k + 1] == 0 && (*this)[k + 2] == 0;
  }

 protected:
  const uint8_t* first_;
  uint32_t firstSize_;
  const uint8_t* second_;
  uint32_t size_;
};

// A start code found by NalWalker: 00 00 01, or 00 00 00 01 where a fourth zero stands before it.
struct nal_start_t {
  uint32_t code;  // the start code's first byte
  uint32_t unit;  // the unit's header byte, right after the code (may equal the frame's size)
};

// The start codes of a frame in order:
//   NalWalker walk(frame);
//   for (nal_start_t s; walk.next(s);) { ... walk[s.unit] & 0x1F ... }
// A unit runs from its header byte up to the next code (trailing zero bytes included). Inside a
// unit 00 00 01 cannot occur, so every such sequence is a code.
class NalWalker : public FrameBytes {
 public:
  using FrameBytes::FrameBytes;

  // The next start code; false at the frame's end.
  bool next(nal_start_t& start) noexcept {
    while (at_ < size_) {
      // The 01 of a code, found by memchr over the piece that holds byte at_.
      const bool inFirst = at_ < firstSize_;
      const uint8_t* piece = inFirst ? first_ : second_;
      const uint32_t pieceAt = inFirst ? 0 : firstSize_;
      const uint32_t pieceEnd = inFirst ? firstSize_ : size_;
      const void* hit = std::memchr(piece + (at_ - pieceAt), 0x01, pieceEnd - at_);
      if (hit == nullptr) {
        at_ = pieceEnd;
        continue;
      }
      const uint32_t one = pieceAt + static_cast<uint32_t>(static_cast<const uint8_t*>(hit) - piece);
      at_ = one + 1;
      if ((*this)[one - 1] != 0 || (*this)[one - 2] != 0) continue;
      start.code = one >= 3 && (*this)[one - 3] == 0 ? one - 3 : one - 2;
      start.unit = one + 1;
      return true;
    }
    return false;
  }

 private:
  uint32_t at_ = 2;  // the first byte that may be the 01 of a code
};

// The map of an H.264 frame by the rules above (all zero when it has none).
void parseNalMap(const video_frame_t& frame, nal_map_t& map);

struct audio_frame_t {
  aacenc_config_t config;  // the AAC encoder's record; output_buffer / output_bits hold the frame
  int64_t timeBase;        // CLOCK_MONOTONIC ms when the sample counter was last reset
  int64_t sampleCount;     // sample frames since timeBase, at the start of this frame
  uint32_t sampleRate;     // Hz
};

// The pair that Encoder::GetFrame() fills.
struct av_frames_t {
  video_frame_t* video;
  audio_frame_t* audio;
};

}  // namespace encoder
}  // namespace kavo
