#pragma once
// The VISCA packet as both sides of the protocol hold it (the lens link and the VISCA camera
// channel): byte 0 the header, then kind, category, command, parameters, and the terminator 0xFF.
// Parameter encodings and the answer formats of a reply (90 5y ... FF) live here too; every
// decoder checks that the reply is long enough for its format.
#include <cstddef>
#include <cstdint>

namespace kavo {
namespace isp {

constexpr size_t kViscaPacketBytes = 32;
constexpr uint8_t kViscaTerminator = 0xFF;
constexpr uint8_t kViscaOk = 0x00;    // result of the packet layer: success
constexpr uint8_t kViscaFail = 0xFF;  // ... and failure

constexpr uint8_t kViscaCommand = 0x01;
constexpr uint8_t kViscaInquiry = 0x09;

// Reply types (high nibble of byte 1; the low nibble is the socket).
constexpr uint8_t kReplyAck = 0x40;
constexpr uint8_t kReplyCompletion = 0x50;
constexpr uint8_t kReplyError = 0x60;
constexpr uint8_t kReplyAddress = 0x30;

struct ViscaPacket {
  uint8_t bytes[kViscaPacketBytes];
  uint32_t length;  // bytes in use, byte 0 counted
};

// Empties the packet; the header byte stays reserved (length 1).
void viscaClear(ViscaPacket& p);
// Appends one byte; false (and nothing stored) when the buffer is full.
bool viscaAppend(ViscaPacket& p, uint8_t byte);
// A 16-bit value as four nibble bytes, most significant first (only the low 16 bits are sent).
bool viscaAppendWord(ViscaPacket& p, uint32_t value);
// An 8-bit value as two nibble bytes.
bool viscaAppendNibblePair(ViscaPacket& p, uint32_t value);
// A value 0..99 as two decimal digits (v / 10, v % 10).
bool viscaAppendDigits(ViscaPacket& p, uint32_t value);

// ---- answers: `reply` holds the whole reply including 90 5y and FF -------------------------------
// Reply byte 2.
bool viscaAnswerByte(const uint8_t* reply, size_t length, uint8_t& out);
// (b2 << 12) + (b3 << 8) + (b4 << 4) + b5, the bytes taken whole, truncated to 16 bits.
bool viscaAnswerWord(const uint8_t* reply, size_t length, uint16_t& out);
// (b2 << 8) + b3.
bool viscaAnswerBytePair(const uint8_t* reply, size_t length, uint16_t& out);
// b3 & 0xF.
bool viscaAnswerLowNibble(const uint8_t* reply, size_t length, uint8_t& out);
// Pan from b2 (sign) and b3..b6, tilt from b7..b10 (signed 16-bit); the reply is 12 bytes.
bool viscaAnswerPanTilt(const uint8_t* reply, size_t length, int32_t& pan, int32_t& tilt);
// (b2 << 4) + b3, kept to 8 bits.
bool viscaAnswerRegister(const uint8_t* reply, size_t length, uint8_t& out);

}  // namespace isp
}  // namespace kavo
