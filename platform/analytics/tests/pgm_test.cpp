#include "kavo/analytics/pgm.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "kavo/analytics/mdbuffer.h"
#include "kavo/test/test_root.h"

namespace {

using namespace kavo::analytics;

bool parse(const std::string& text, PgmHeader& h) {
  return pgmParseHeader(reinterpret_cast<const uint8_t*>(text.data()), text.size(), h);
}

TEST(Pgm, HeaderRules) {
  struct Row {
    std::string text;
    bool ok;
    uint32_t width, height;
    size_t offset;
  } rows[] = {
      {"P5\n640 368\n255\n", true, 640, 368, 15},
      {"P5 1 1 1 ", true, 1, 1, 9},
      {"P5\n# made by hand\n 3\t4 # size\n200\rxx", true, 3, 4, 34},
      {"P5\n8192 4096\n255\n", true, 8192, 4096, 17},
      {"P2\n640 368\n255\n", false, 0, 0, 0},          // ASCII pixels
      {"P5640 368\n255\n", false, 0, 0, 0},            // no space after the magic
      {"P5\n640 368\n256\n", false, 0, 0, 0},          // 16-bit pixels
      {"P5\n640 368\n0\n", false, 0, 0, 0},
      {"P5\n0 368\n255\n", false, 0, 0, 0},
      {"P5\n640 0\n255\n", false, 0, 0, 0},
      {"P5\n8193 10\n255\n", false, 0, 0, 0},          // a side too long
      {"P5\n8192 8192\n255\n", false, 0, 0, 0},        // too many pixels
      {"P5\n4294967296 1\n255\n", false, 0, 0, 0},     // 2^32: would wrap in 32 bits
      {"P5\n65536 65536\n255\n", false, 0, 0, 0},      // product wraps to 0 in 32 bits
      {"P5\n18446744073709551617 1\n255\n", false, 0, 0, 0},
      {"P5\n640 368\n255", false, 0, 0, 0},            // the pixels' separator is missing
      {"P5\n640 368\n255x", false, 0, 0, 0},
      {"", false, 0, 0, 0},
      {"P5\n#" + std::string(5000, 'c') + "\n640 368\n255\n", false, 0, 0, 0},  // header beyond 4 KiB
  };
  for (const Row& r : rows) {
    PgmHeader h;
    ASSERT_EQ(parse(r.text, h), r.ok) << r.text.substr(0, 40);
    if (!r.ok) continue;
    EXPECT_EQ(h.width, r.width) << r.text;
    EXPECT_EQ(h.height, r.height) << r.text;
    EXPECT_EQ(h.dataOffset, r.offset) << r.text;
  }
}

TEST(Pgm, WriteAndReadBackWithPitch) {
  kavo::test::TestRoot root;
  const uint32_t w = 37, h = 150, pitch = 48;  // 150 rows: more than one batch of rows
  std::vector<uint8_t> src(size_t{pitch} * h, 0xEE);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) src[y * pitch + x] = static_cast<uint8_t>(x + 2 * y);
  const std::string path = root.path("/tmp/a.pgm");
  ASSERT_EQ(pgmWrite(path, src.data(), w, h, pitch), 0);
  const std::string bytes = root.read("/tmp/a.pgm");
  ASSERT_EQ(bytes.size(), 14 + size_t{w} * h);
  EXPECT_EQ(bytes.substr(0, 14), "P5\n37 150\n255\n");
  EXPECT_EQ(static_cast<uint8_t>(bytes[14 + w]), 2);  // row 1 follows row 0 without its padding

  uint32_t rw = 0, rh = 0;
  ASSERT_EQ(pgmReadHeader(path, rw, rh), 0);
  EXPECT_EQ(rw, w);
  EXPECT_EQ(rh, h);
  std::vector<uint8_t> back(size_t{64} * h, 0x11);
  ASSERT_EQ(pgmRead(path, back.data(), 64, w, h), 0);
  for (uint32_t y = 0; y < h; ++y) {
    ASSERT_EQ(0, std::memcmp(&back[y * 64], &src[y * pitch], w)) << y;
    ASSERT_EQ(back[y * 64 + w], 0x11);
  }
  std::vector<uint8_t> flat(size_t{w} * h);
  ASSERT_EQ(pgmRead(path, flat.data(), w, w, h), 0);
  EXPECT_EQ(flat[w * 3 + 5], src[pitch * 3 + 5]);

  // The size asked for must be the file's; a file that ends early is refused.
  EXPECT_EQ(pgmRead(path, flat.data(), w, w, h - 1), -1);
  root.write("/tmp/short.pgm", "P5\n10 10\n255\n" + std::string(99, 'x'));
  std::vector<uint8_t> small(100);
  EXPECT_EQ(pgmReadHeader(root.path("/tmp/short.pgm"), rw, rh), 0);
  EXPECT_EQ(pgmRead(root.path("/tmp/short.pgm"), small.data(), 10, 10, 10), -1);
  EXPECT_EQ(pgmReadHeader(root.path("/tmp/missing.pgm"), rw, rh), -1);
  EXPECT_EQ(pgmWrite(root.path("/nofolder/x.pgm"), src.data(), w, h, pitch), -1);
}

TEST(MdBuffer, InitRefusesWhatCannotBeAPicture) {
  uint8_t pixels[64] = {};
  MdBuffer b;
  EXPECT_FALSE(b.init(nullptr, 8, 8, 8, MEM_MODE_WRAP, 0, 1));
  EXPECT_FALSE(b.init(pixels, 0, 8, 8, MEM_MODE_WRAP, 0, 1));
  EXPECT_FALSE(b.init(pixels, 8, 0, 8, MEM_MODE_WRAP, 0, 1));
  EXPECT_FALSE(b.init(pixels, 8, 8, 7, MEM_MODE_WRAP, 0, 1));
  EXPECT_FALSE(b.init(pixels, 8, 8, 8, static_cast<MemMode>(1), 0, 1));
  EXPECT_FALSE(b.init(pixels, 8, 8, 8, MEM_MODE_WRAP, 1, 1));
  EXPECT_FALSE(b.init(pixels, 8, 8, 8, MEM_MODE_WRAP, 0, 3));
  EXPECT_EQ(b.Data(), nullptr);
  ASSERT_TRUE(b.init(pixels, 8, 8, 8, MEM_MODE_WRAP, 0, 1));
  EXPECT_EQ(b.Data(), pixels);

  // Owned pixels live as long as the last copy (the address sanitizer checks the release).
  MdBuffer copy;
  {
    MdBuffer owner;
    ASSERT_TRUE(owner.init(new uint8_t[16](), 4, 4, 4, MEM_MODE_OWN, 0, 1));
    copy = owner;
  }
  copy.Data()[15] = 7;
  EXPECT_EQ(copy.Data()[15], 7);
}

}  // namespace
