// AMF0 writer: the clock-sync tag of the FLV writer as golden bytes, and every kind's form.
#include <gtest/gtest.h>

#include <cstring>

#include "kavo/variant/variant.h"

using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

std::vector<uint8_t> bytes(std::initializer_list<int> list) {
  std::vector<uint8_t> out;
  for (int b : list) out.push_back(static_cast<uint8_t>(b));
  return out;
}

void appendText(std::vector<uint8_t>& out, const char* s) { out.insert(out.end(), s, s + std::strlen(s)); }

std::vector<uint8_t> amf(const Variant& v) {
  std::vector<uint8_t> out;
  EXPECT_TRUE(v.ToAMF(out));
  return out;
}

}  // namespace

TEST(VariantAmf, ClockSyncTagMatchesTheGoldenBytes) {
  // Built as the FLV writer builds it: tag header, the name, the map, sizes patched.
  std::vector<uint8_t> tag = bytes({0x12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  ASSERT_TRUE(Variant("onClockSync").ToAMF(tag));
  Variant sync;
  sync["streamClockBase"] = 0.0;  // inserted out of order on purpose
  sync["wallClock"] = 0.0;
  sync["streamClock"] = 0.0;
  ASSERT_TRUE(sync.ToAMF(tag));
  const size_t dataSize = tag.size() - 11;
  tag[1] = static_cast<uint8_t>(dataSize >> 16);
  tag[2] = static_cast<uint8_t>(dataSize >> 8);
  tag[3] = static_cast<uint8_t>(dataSize);
  const size_t total = tag.size();
  for (int k = 3; k >= 0; --k) tag.push_back(static_cast<uint8_t>(total >> (8 * k)));

  std::vector<uint8_t> golden = bytes({0x12, 0x00, 0x00, 0x56, 0, 0, 0, 0, 0, 0, 0, 0x02, 0x00, 0x0B});
  appendText(golden, "onClockSync");
  golden.push_back(0x03);
  const char* keys[] = {"streamClock", "streamClockBase", "wallClock"};
  for (const char* key : keys) {
    golden.push_back(0x00);
    golden.push_back(static_cast<uint8_t>(std::strlen(key)));
    appendText(golden, key);
    golden.push_back(0x00);
    golden.insert(golden.end(), 8, 0x00);
  }
  for (int b : {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x61}) golden.push_back(static_cast<uint8_t>(b));
  ASSERT_EQ(golden.size(), 101u);
  EXPECT_EQ(tag, golden);
  // The writer patches the doubles at these offsets.
  EXPECT_EQ(tag[39], 0x00);
  EXPECT_EQ(std::memcmp(&tag[40 - 1 - 11], "streamClock", 11), 0);
  EXPECT_EQ(std::memcmp(&tag[66 - 1 - 15], "streamClockBase", 15), 0);
  EXPECT_EQ(std::memcmp(&tag[86 - 1 - 9], "wallClock", 9), 0);
}

TEST(VariantAmf, EveryKindHasItsAmf0Form) {
  EXPECT_EQ(amf(Variant(1.0)), bytes({0x00, 0x3F, 0xF0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(amf(Variant(uint32_t(2))), bytes({0x00, 0x40, 0x00, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(amf(Variant(int8_t(-2))), bytes({0x00, 0xC0, 0x00, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(amf(Variant(true)), bytes({0x01, 0x01}));
  EXPECT_EQ(amf(Variant(false)), bytes({0x01, 0x00}));
  EXPECT_EQ(amf(Variant("ab")), bytes({0x02, 0x00, 0x02, 'a', 'b'}));
  EXPECT_EQ(amf(Variant("")), bytes({0x02, 0x00, 0x00}));
  EXPECT_EQ(amf(Variant()), bytes({0x05}));
  EXPECT_EQ(amf(Variant(VariantType::Map)), bytes({0x03, 0x00, 0x00, 0x09}));
  // 1.5 s after the epoch: 1500 ms, then time zone 0.
  EXPECT_EQ(amf(Variant(timeval{1, 500000})), bytes({0x0B, 0x40, 0x97, 0x70, 0, 0, 0, 0, 0, 0x00, 0x00}));

  Variant arr;
  arr[-1] = "x";
  arr[-1] = nullptr;
  EXPECT_EQ(amf(arr), bytes({0x0A, 0, 0, 0, 2, 0x02, 0x00, 0x01, 'x', 0x05}));

  // Numeric keys are written as text, in byte order with the string keys.
  Variant m;
  m[10] = true;
  m["9"] = false;
  m[2] = true;
  EXPECT_EQ(amf(m), bytes({0x03, 0x00, 0x02, '1', '0', 0x01, 0x01, 0x00, 0x01, '2', 0x01, 0x01, 0x00, 0x01, '9',
                           0x01, 0x00, 0x00, 0x00, 0x09}));

  const std::string big(70000, 'z');
  const std::vector<uint8_t> longForm = amf(Variant(big));
  ASSERT_EQ(longForm.size(), 5u + big.size());
  EXPECT_EQ(std::vector<uint8_t>(longForm.begin(), longForm.begin() + 5), bytes({0x0C, 0x00, 0x01, 0x11, 0x70}));
}

TEST(VariantAmf, FailureAppendsNothing) {
  Variant v;
  v["ok"] = 1;
  v["nested"][std::string(70000, 'k')] = 1;  // a key longer than AMF0 allows
  std::vector<uint8_t> out = bytes({0xAA});
  EXPECT_FALSE(v.ToAMF(out));
  EXPECT_EQ(out, bytes({0xAA}));
  std::string text = "x";
  EXPECT_FALSE(v.ToAMF(text));
  EXPECT_EQ(text, "x");
  // Both buffers carry the same bytes.
  Variant good;
  good["k"] = "v";
  std::string s;
  std::vector<uint8_t> b;
  ASSERT_TRUE(good.ToAMF(s));
  ASSERT_TRUE(good.ToAMF(b));
  EXPECT_EQ(std::vector<uint8_t>(s.begin(), s.end()), b);
}
