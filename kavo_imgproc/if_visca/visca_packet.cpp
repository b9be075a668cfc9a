#include "if_visca/visca_packet.h"

#include <cstring>

namespace kavo {
namespace isp {

void viscaClear(ViscaPacket& p) {
  std::memset(p.bytes, 0, sizeof p.bytes);
  p.length = 1;
}

bool viscaAppend(ViscaPacket& p, uint8_t byte) {
  if (p.length >= kViscaPacketBytes) return false;
  p.bytes[p.length++] = byte;
  return true;
}

bool viscaAppendWord(ViscaPacket& p, uint32_t value) {
  if (p.length + 4 > kViscaPacketBytes) return false;
  for (int shift = 12; shift >= 0; shift -= 4) p.bytes[p.length++] = static_cast<uint8_t>((value >> shift) & 0xF);
  return true;
}

bool viscaAppendNibblePair(ViscaPacket& p, uint32_t value) {
  if (p.length + 2 > kViscaPacketBytes) return false;
  p.bytes[p.length++] = static_cast<uint8_t>((value >> 4) & 0xF);
  p.bytes[p.length++] = static_cast<uint8_t>(value & 0xF);
  return true;
}

bool viscaAppendDigits(ViscaPacket& p, uint32_t value) {
  if (p.length + 2 > kViscaPacketBytes) return false;
  p.bytes[p.length++] = static_cast<uint8_t>(value / 10 % 10);
  p.bytes[p.length++] = static_cast<uint8_t>(value % 10);
  return true;
}

namespace {

// The reply carries bytes 0..last and its terminator after them.
bool holds(size_t length, size_t last) { return length >= last + 2; }

}  // namespace

bool viscaAnswerByte(const uint8_t* reply, size_t length, uint8_t& out) {
  if (!holds(length, 2)) return false;
  out = reply[2];
  return true;
}

bool viscaAnswerWord(const uint8_t* reply, size_t length, uint16_t& out) {
  if (!holds(length, 5)) return false;
  const uint32_t v = (uint32_t{reply[2]} << 12) + (uint32_t{reply[3]} << 8) + (uint32_t{reply[4]} << 4) + reply[5];
  out = static_cast<uint16_t>(v);
  return true;
}

bool viscaAnswerBytePair(const uint8_t* reply, size_t length, uint16_t& out) {
  if (!holds(length, 3)) return false;
  out = static_cast<uint16_t>((uint32_t{reply[2]} << 8) + reply[3]);
  return true;
}

bool viscaAnswerLowNibble(const uint8_t* reply, size_t length, uint8_t& out) {
  if (!holds(length, 3)) return false;
  out = reply[3] & 0xF;
  return true;
}

bool viscaAnswerPanTilt(const uint8_t* reply, size_t length, int32_t& pan, int32_t& tilt) {
  if (!holds(length, 10)) return false;
  const uint32_t p = ((uint32_t{reply[3]} << 12) + ((uint32_t{reply[4]} & 0xF) << 8) + ((uint32_t{reply[5]} << 4) & 0xFF) +
                      (reply[6] & 0xF)) & 0xFFFF;
  const uint32_t t = ((uint32_t{reply[7]} << 12) + ((uint32_t{reply[8]} & 0xF) << 8) + ((uint32_t{reply[9]} << 4) & 0xFF) +
                      (reply[10] & 0xF)) & 0xFFFF;
  pan = reply[2] != 0 ? static_cast<int32_t>(p) - 65536 : static_cast<int32_t>(p);
  tilt = static_cast<int16_t>(t);
  return true;
}

bool viscaAnswerRegister(const uint8_t* reply, size_t length, uint8_t& out) {
  if (!holds(length, 3)) return false;
  out = static_cast<uint8_t>((reply[2] << 4) + reply[3]);
  return true;
}

}  // namespace isp
}  // namespace kavo
