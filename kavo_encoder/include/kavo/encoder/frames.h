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
// from sliceOffset to the frame's end.
//
// audio_frame_t is one encoded AAC (ADTS) frame: config.output_buffer holds config.output_bits
// bits. Its presentation time in ms is timeBase + (sampleCount * 1000 + sampleRate / 2) / sampleRate.
#include <cstdint>

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
