#pragma once
// The VISCA camera: the state object that main creates for the whole run, the two dispatchers that
// the VISCA thread hands each request to, and the packet and reply helpers they share.
//
// A request sits in the channel's work buffer (kViscaWorkBytes, zero past the packet): byte 0 is
// the VISCA header, byte 1 01 (command) or 09 (inquiry), byte 2 the category, byte 3 the code,
// then the parameters. Handlers may read any byte of the buffer. A reply is written over the
// buffer from byte 0, which holds its total length; every dispatcher and handler returns that
// length, 0 when it replies nothing.
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kavo {
namespace isp {

constexpr size_t kViscaWorkBytes = 20;

class DVisca {
 public:
  // Sets the camera defaults in the globals (before the VISCA thread starts).
  DVisca();
  ~DVisca();
  DVisca(const DVisca&) = delete;
  DVisca& operator=(const DVisca&) = delete;

  // The lens-motion guard: a move takes both and clears both when it ends (VISCA thread).
  std::atomic<uint8_t> zoomMoving{0};
  std::atomic<uint8_t> focusMoving{0};
};

// Command and inquiry handlers: (camera, work buffer) -> reply length.
using ViscaHandler = int (*)(DVisca* visca, uint8_t* packet);

// Packet byte 1: 01 to processGeneralCmd, 09 to processInquiryCmd, anything else nothing.
// `segment` is the channel's segment (the focus-value inquiry writes beside it, not in it).
int processViscaCmd(DVisca* visca, uint8_t* packet, uint8_t* segment);
int processGeneralCmd(DVisca* visca, uint8_t* packet);
int processInquiryCmd(DVisca* visca, uint8_t* packet, uint8_t* segment);

// Whether a command (packet byte 1 = 01) would pass its acceptance rule now; true for codes
// without a rule. The dispatcher's own test.
bool viscaCommandAccepted(const uint8_t* packet);

// ---- packet values --------------------------------------------------------------------------------
// The low nibbles of `count` bytes from `at`, high first. The caller keeps at + count within the
// work buffer.
inline uint32_t viscaNibbles(const uint8_t* packet, size_t at, size_t count) {
  uint32_t v = 0;
  for (size_t i = 0; i < count; ++i) v = (v << 4) | (packet[at + i] & 0x0Fu);
  return v;
}

// ---- replies (the length byte counts itself) --------------------------------------------------------
// 08 90 50 0p 0q 0r 0s FF
int viscaValueReply(uint8_t* out, uint16_t value);
// 05 90 50 vv FF
int viscaShortReply(uint8_t* out, uint8_t value);
// 06 90 50 aa bb FF
int viscaPairReply(uint8_t* out, uint8_t a, uint8_t b);
// 0C 90 50 and the two values as four nibbles each, FF
int viscaPositionReply(uint8_t* out, uint16_t pan, uint16_t tilt);
// 08 90 50 00 00 aa bb FF
int viscaBiasReply(uint8_t* out, uint8_t a, uint8_t b);

}  // namespace isp
}  // namespace kavo
