// The lens link's vocabulary without a line: the builder table's rows make well-formed packets, the
// parameter encodings, and the answer formats on the lens's replies.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "fe_subcpu/visca_builders.h"
#include "if_visca/visca_packet.h"

namespace kavo {
namespace isp {
namespace {

std::vector<uint8_t> bytesOf(const ViscaPacket& p) { return std::vector<uint8_t>(p.bytes + 1, p.bytes + p.length); }

TEST(ViscaBuilders, EveryRowMakesAPacketThatFitsTheLine) {
  const uint8_t text[20] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 'p', 'q', 'r', 's', 't'};
  const uint32_t args[5] = {0x1234, 0x5678, 0x9ABC, 0xDEF0, 42};
  std::map<std::vector<uint8_t>, int> seen;
  std::set<std::string> names;
  size_t named = 0;
  for (size_t i = 0; i < kViscaBuilderCount; ++i) {
    const ViscaBuilder& row = kViscaBuilders[i];
    SCOPED_TRACE("row " + std::to_string(i));
    ViscaPacket p;
    ASSERT_TRUE(viscaFill(p, row, args, 5, text));
    // No packet passes 15 bytes before its terminator (the header counted).
    EXPECT_LE(p.length, 15u);
    EXPECT_TRUE(p.bytes[1] == kViscaCommand || p.bytes[1] == kViscaInquiry);
    EXPECT_TRUE(p.bytes[2] == 0x04 || p.bytes[2] == 0x06 || p.bytes[2] == 0x07);
    EXPECT_EQ(p.bytes[1] == kViscaInquiry, row.answer != ViscaAnswer::None);
    for (uint32_t k = 1; k < p.length; ++k) EXPECT_NE(p.bytes[k], kViscaTerminator) << "byte " << k;
    ++seen[bytesOf(p)];
    if (row.name != nullptr) {
      ++named;
      names.insert(row.name);
    }
  }
  EXPECT_EQ(named, static_cast<size_t>(ViscaOp::Count));
  EXPECT_EQ(names.size(), named) << "one row per device operation";
  // Only the command set's second builders repeat bytes: 09 04 26, 09 04 E5, 09 04 E6, 01 07 0B 00 pp.
  std::set<std::vector<uint8_t>> twice;
  for (const auto& [bytes, count] : seen) {
    EXPECT_LE(count, 2);
    if (count == 2) twice.insert(bytes);
  }
  const std::set<std::vector<uint8_t>> expected = {
      {0x09, 0x04, 0x26}, {0x09, 0x04, 0xE5}, {0x09, 0x04, 0xE6}, {0x01, 0x07, 0x0B, 0x00, 0x34}};
  EXPECT_EQ(twice, expected);
}

TEST(ViscaBuilders, ParameterForms) {
  struct Case {
    ViscaOp op;
    std::vector<uint32_t> args;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {ViscaOp::ZoomPosition, {0x1234}, {0x01, 0x04, 0x47, 0x01, 0x02, 0x03, 0x04}},
      {ViscaOp::ZoomPosition, {0x12345}, {0x01, 0x04, 0x47, 0x02, 0x03, 0x04, 0x05}},  // low 16 bits
      {ViscaOp::SetIcr, {1}, {0x01, 0x04, 0x01, 0x03}},
      {ViscaOp::SetIcr, {0}, {0x01, 0x04, 0x01, 0x02}},
      {ViscaOp::DcIrisMode, {7}, {0x01, 0x04, 0xD4, 0x02}},
      {ViscaOp::DcIrisMode, {0}, {0x01, 0x04, 0xD4, 0x03}},
      {ViscaOp::LensInit, {0x21}, {0x01, 0x04, 0x19, 0x01}},
      {ViscaOp::ZoomFocusPosition, {0x0102, 0xABCD}, {0x01, 0x04, 0x47, 0, 1, 0, 2, 0xA, 0xB, 0xC, 0xD}},
      {ViscaOp::PtDownLeft, {0x18, 0x14}, {0x01, 0x06, 0x01, 0x18, 0x14, 0x01, 0x02}},
      {ViscaOp::PtAbsolute, {5, 6, 0xFFFFFFFF, 0x10}, {0x01, 0x06, 0x02, 5, 6, 0xF, 0xF, 0xF, 0xF, 0, 0, 1, 0}},
      {ViscaOp::PtLimitSetDownLeft, {0xFF00, 2}, {0x01, 0x06, 0x07, 0x00, 0x00, 0xF, 0xF, 0, 0, 0, 0, 0, 2}},
      {ViscaOp::PtLimitClearUpRight, {}, {0x01, 0x06, 0x07, 0x01, 0x01, 7, 0xF, 0xF, 0xF, 7, 0xF, 0xF, 0xF}},
      {ViscaOp::ZoomPositionInq, {}, {0x09, 0x04, 0x47}},
  };
  for (const Case& c : cases) {
    ViscaPacket p;
    ASSERT_TRUE(viscaFill(p, viscaBuilder(c.op), c.args.data(), c.args.size(), nullptr));
    EXPECT_EQ(bytesOf(p), c.bytes) << viscaBuilder(c.op).name;
  }
  // The rows nothing sends: decimal digits, a register write, the text in two halves.
  auto row = [](std::initializer_list<uint8_t> fixed, ViscaParam param) -> const ViscaBuilder& {
    for (const ViscaBuilder& r : kViscaBuilders)
      if (r.param == param && std::equal(fixed.begin(), fixed.end(), r.fixed) && r.fixedCount == fixed.size()) return r;
    ADD_FAILURE() << "no such row";
    return kViscaBuilders[0];
  };
  ViscaPacket p;
  const uint32_t five[] = {7, 42, 99, 0, 105};
  ASSERT_TRUE(viscaFill(p, row({0x01, 0x04, 0x70}, ViscaParam::Digits5), five, 5, nullptr));
  EXPECT_EQ(bytesOf(p), (std::vector<uint8_t>{0x01, 0x04, 0x70, 0, 7, 4, 2, 9, 9, 0, 0, 0, 5}));
  EXPECT_EQ(p.length, 14u);
  const uint32_t reg[] = {0x3C, 0xA5};
  ASSERT_TRUE(viscaFill(p, row({0x01, 0x04, 0x24}, ViscaParam::ByteNibblePair), reg, 2, nullptr));
  EXPECT_EQ(bytesOf(p), (std::vector<uint8_t>{0x01, 0x04, 0x24, 0x3C, 0x0A, 0x05}));
  EXPECT_FALSE(viscaFill(p, row({0x01, 0x04, 0x73, 0x01}, ViscaParam::Text20), nullptr, 0, nullptr))
      << "a text row without its text makes no packet";
}

TEST(ViscaAnswers, FormatsAndTheirLengths) {
  uint16_t w = 0;
  const uint8_t abcd[] = {0x90, 0x50, 0x0A, 0x0B, 0x0C, 0x0D, 0xFF};
  ASSERT_TRUE(viscaAnswerWord(abcd, sizeof abcd, w));
  EXPECT_EQ(w, 0xABCD);
  const uint8_t high[] = {0x90, 0x50, 0x1F, 0x00, 0x00, 0x00, 0xFF};
  ASSERT_TRUE(viscaAnswerWord(high, sizeof high, w));
  EXPECT_EQ(w, 0xF000) << "the first byte's high bits fall out of 16 bits";
  const uint8_t second[] = {0x90, 0x50, 0x00, 0x1F, 0x00, 0x00, 0xFF};
  ASSERT_TRUE(viscaAnswerWord(second, sizeof second, w));
  EXPECT_EQ(w, 0x1F00);
  // A reply too short for its format is not read (another inquiry's answer, a stray completion).
  const uint8_t shortReply[] = {0x90, 0x50, 0x01, 0xFF};
  EXPECT_FALSE(viscaAnswerWord(shortReply, sizeof shortReply, w));
  uint8_t b = 0;
  EXPECT_TRUE(viscaAnswerByte(shortReply, sizeof shortReply, b));
  EXPECT_EQ(b, 1);
  const uint8_t completion[] = {0x90, 0x50, 0xFF};
  EXPECT_FALSE(viscaAnswerByte(completion, sizeof completion, b));

  int32_t pan = 0, tilt = 0;
  const uint8_t minusOne[] = {0x90, 0x50, 0x01, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0xFF};
  ASSERT_TRUE(viscaAnswerPanTilt(minusOne, sizeof minusOne, pan, tilt));
  EXPECT_EQ(pan, -1);
  EXPECT_EQ(tilt, -1);
  const uint8_t p256[] = {0x90, 0x50, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0xFF};
  ASSERT_TRUE(viscaAnswerPanTilt(p256, sizeof p256, pan, tilt));
  EXPECT_EQ(pan, 256);
  EXPECT_EQ(tilt, 0) << "the tilt's last byte counts only its low nibble";
  EXPECT_FALSE(viscaAnswerPanTilt(abcd, sizeof abcd, pan, tilt));
}

}  // namespace
}  // namespace isp
}  // namespace kavo
