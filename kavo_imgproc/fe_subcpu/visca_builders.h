#pragma once
// The vocabulary of the lens link as data: one row per VISCA command or inquiry that the server can
// send to the lens MCU or the pan/tilt unit (the camera and pan/tilt command sets and the maker's
// own codes), and one runner that fills the packet from a row and its arguments, sends it with
// sendWithReply and decodes the answer. The rows the device operations use come first and are
// named by `ViscaOp`; the others complete the command set and are reached by index.
#include <cstddef>
#include <cstdint>

#include "if_visca/visca_packet.h"

namespace kavo {
namespace isp {

struct SubCpuLink;
struct SubCpuPeer;

// How the arguments follow the fixed bytes of a row.
enum class ViscaParam : uint8_t {
  None,            // fixed bytes only
  Byte,            // one raw byte
  Word,            // a 16-bit value as four nibbles
  Words2,          // two 16-bit values
  Flag,            // one byte: tail[0] when the argument is non-zero, tail[1] when zero
  LowNibble,       // the low nibble of the argument
  Or3,             // tail[0] or'ed with the argument's low three bits
  Speeds,          // pan and tilt speed as raw bytes, then the two tail bytes
  SpeedsWords2,    // pan and tilt speed, then two 16-bit values
  ByteNibblePair,  // a raw byte, then an 8-bit value as two nibbles
  NibblePairs2,    // two 8-bit values as nibble pairs
  Digits5,         // five values 0..99 as decimal digit pairs
  Record4,         // four bytes from a four-word record (data), then six zero bytes
  Text20,          // 20 characters (data) in two packets of ten, the second with tail[0] for byte 4
};

// How the answer of an inquiry is read (ViscaAnswerOut::v).
enum class ViscaAnswer : uint8_t {
  None,       // a command
  Byte,       // v[0] = b2
  Word,       // v[0] = nibble word of b2..b5 (unsigned; the caller widens signed ones)
  BytePair,   // v[0] = (b2 << 8) + b3
  LowNibble,  // v[0] = b3 & 0xF
  TwoBytes,   // v[0] = b2, v[1] = b3
  ThreeOut,   // v[0] = b2, v[1] = b3, v[2] = b4 & 0xF
  PanTilt,    // v[0] = pan, v[1] = tilt
  Register,   // v[0] = (b2 << 4) + b3, 8 bits
};

struct ViscaBuilder {
  const char* name;   // the device operation that sends it (logs); null for the rows nothing sends
  uint8_t fixed[14];  // bytes 1 onwards up to the parameters: kind, category, code, ...
  uint8_t fixedCount;
  ViscaParam param;
  uint8_t tail[2];
  ViscaAnswer answer;
};

// The rows the device operations send, in table order.
enum class ViscaOp : uint16_t {
  SetIcr, LensInit, IrisDirect, IrLedLevel, PowerLedTime, Heater, IrisBalance, DcIrisDriver, DcIrisMode,
  IrisBias, ZoomBias, FocusWideBias, FocusTeleBias, TrackingCurve,
  TemperatureE1, TemperatureE2, TemperatureE3, TemperatureE5, TemperatureE7, TemperatureE8, LightSensor,
  Humidity, LensHallSensor, ZfCorrectionStatus, ZoomBiasInq, FocusWideBiasInq, FocusMidBiasInq,
  FocusTeleBiasInq, ZoomStop, ZoomTele, ZoomWide, ZoomPosition, ZoomFocusPosition, FocusStop, FocusFar,
  FocusNear, FocusPosition, ZoomPositionInq, FocusPositionInq,
  PtUp, PtDown, PtLeft, PtRight, PtUpLeft, PtUpRight, PtDownLeft, PtDownRight, PtStop, PtAbsolute,
  PtRelative, PtHome, PtReset, PtLimitSetUpRight, PtLimitSetDownLeft, PtLimitClearUpRight,
  PtLimitClearDownLeft, PtModeInq, PtMaxSpeedInq, PtPositionInq,
  Count
};

constexpr size_t kViscaBuilderCount = 226;
extern const ViscaBuilder kViscaBuilders[kViscaBuilderCount];

inline const ViscaBuilder& viscaBuilder(ViscaOp op) { return kViscaBuilders[static_cast<size_t>(op)]; }

struct ViscaAnswerOut {
  int32_t v[3];
};

// Fills `packet` (bytes 1 onwards; the header is the send operation's) from the row and its
// arguments. False when the arguments do not make a packet (a missing text or record).
bool viscaFill(ViscaPacket& packet, const ViscaBuilder& row, const uint32_t* args, size_t argCount,
               const uint8_t* data);
// Sends the row and, for an inquiry, decodes the answer into `out` (only on success). 0x00 or
// 0xFF; an answer too short for its format counts as a failure.
uint8_t viscaSend(SubCpuLink& link, SubCpuPeer& peer, const ViscaBuilder& row, const uint32_t* args = nullptr,
                  size_t argCount = 0, ViscaAnswerOut* out = nullptr, const uint8_t* data = nullptr);

}  // namespace isp
}  // namespace kavo
