#include "calibration.h"

#include <gtest/gtest.h>

#include <vector>

#include "kavo/analytics/pgm.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"

namespace {

using kavo::analytics::MdBuffer;

TEST(CircleMarker, PicturesUnderEightRowsAndOpenCVFailures) {
  kavo::test::TestRoot root;
  kavo::logger::LogCapture log;
  kavo::osd::CircleMarker marker;
  const std::string path = root.path("/tmp/debug.pgm");

  // rows / 8 is 0 here, a minimum distance OpenCV refuses; 1 is taken instead.
  for (uint32_t rows : {1u, 4u, 7u}) {
    std::vector<uint8_t> pixels(64 * rows, 77);
    MdBuffer frame;
    ASSERT_TRUE(frame.init(pixels.data(), 64, rows, 64, kavo::analytics::MEM_MODE_WRAP, 0, 1));
    EXPECT_TRUE(marker.process(frame, path)) << rows << "\n" << log.dump();
    uint32_t w = 0, h = 0;
    ASSERT_EQ(kavo::analytics::pgmReadHeader(path, w, h), 0);
    EXPECT_EQ(h, rows);
  }

  // A width OpenCV cannot take (above INT_MAX) raises an exception, which is reported, not fatal.
  uint8_t dummy = 0;
  MdBuffer huge;
  ASSERT_TRUE(huge.init(&dummy, 0x80000000u, 1, 0x80000000u, kavo::analytics::MEM_MODE_WRAP, 0, 1));
  EXPECT_FALSE(marker.process(huge, path));
  EXPECT_TRUE(log.contains("OpenCV error on a 2147483648x1 frame", LOG_LEVEL_ERROR)) << log.dump();

  // A file that cannot be written is reported once until writing works again.
  std::vector<uint8_t> pixels(64 * 16, 90);
  MdBuffer frame;
  ASSERT_TRUE(frame.init(pixels.data(), 64, 16, 64, kavo::analytics::MEM_MODE_WRAP, 0, 1));
  log.clear();
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(marker.process(frame, root.path("/nofolder/debug.pgm")));
  EXPECT_EQ(log.count("Failed to write " + root.path("/nofolder/debug.pgm")), 1u) << log.dump();
}

}  // namespace
