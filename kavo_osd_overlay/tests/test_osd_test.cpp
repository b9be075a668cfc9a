#include "test_osd.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <vector>

#include "kavo/test/test_root.h"

namespace {

using namespace kavo::osd;

uint8_t at(const std::vector<uint8_t>& f, int r, int c) { return f[size_t(r) * kOsdWidth + c]; }

TEST(TestPattern, DiagonalGradientFollowsTheClock) {
  std::vector<uint8_t> f(kOsdFrameSize);
  struct Row {
    int32_t t;
    int base;
  } rows[] = {{0, 0}, {9, 0}, {10, 1}, {2559, 255}, {2560, 0}, {-1, 0}, {-10, 255}, {-15, 255},
              {INT32_MIN, (INT32_MIN / 10) & 0xFF}, {INT32_MAX, (INT32_MAX / 10) & 0xFF}};
  for (const Row& row : rows) {
    fillTestPattern(f.data(), row.t);
    ASSERT_EQ(at(f, 0, 0), row.base) << row.t;
    ASSERT_EQ(at(f, 367, 639), (row.base + 238) & 0xFF) << row.t;
    for (int r = 0; r < kOsdHeight; r += 17)
      for (int c = 0; c < kOsdWidth; c += 13) ASSERT_EQ(at(f, r, c), (row.base + r + c) & 0xFF) << r << "," << c;
  }
}

TEST(TestPattern, FrameIsRenamedIntoPlaceOnlyWhole) {
  kavo::test::TestRoot root;
  std::vector<uint8_t> f(kOsdFrameSize);
  fillTestPattern(f.data(), 1230);
  const std::string produced = root.path("/tmp/osd.produced"), target = root.path("/tmp/osd");
  ASSERT_EQ(writeTestFrame(f.data(), produced, target), FrameWrite::Ok);
  const std::string bytes = root.read("/tmp/osd");
  ASSERT_EQ(bytes.size(), kOsdFrameSize);
  EXPECT_EQ(static_cast<uint8_t>(bytes[1]), 124);
  struct stat st;
  EXPECT_NE(::stat(produced.c_str(), &st), 0);

  EXPECT_EQ(writeTestFrame(f.data(), root.path("/nofolder/osd.produced"), target), FrameWrite::OpenFailed);
  // A folder in the way of the final name: the frame is written, but not moved.
  root.mkdirs("/tmp/blocked/x");
  EXPECT_EQ(writeTestFrame(f.data(), produced, root.path("/tmp/blocked")), FrameWrite::MoveFailed);
  // A full disk shows as a failed write (the device's writes fail with ENOSPC).
  if (::stat("/dev/full", &st) == 0) {
    EXPECT_EQ(writeTestFrame(f.data(), "/dev/full", target), FrameWrite::WriteFailed);
  }
}

}  // namespace
