// The privacy masks on the simulated DSP's mask buffers: block rounding, accumulation, the erase of
// rectangle 0 only, rectangles past the edge, and the rotation of the buffers with the bitmap
// carried along.
#include "algo_mask/MaskControl.h"
#include <set>
#include <string>

#include "picture_fixture.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;

class MaskTest : public ControllerFixture {
 protected:
  MaskControl& masks() { return *maskControl(); }
  // The masked blocks of the buffer in use, as "c,l".
  std::set<std::string> masked() {
    std::set<std::string> out;
    MaskControl& m = masks();
    for (uint32_t l = 0; l < m.blockRows(); ++l)
      for (uint32_t c = 0; c < m.blocksPerRow(); ++c)
        if (m.block(m.bufferId(), c, l) != 0) out.insert(std::to_string(c) + "," + std::to_string(l));
    return out;
  }
};

TEST_F(MaskTest, DrawAccumulatesAndEraseClearsRectangleZeroOnly) {
  MaskControl& m = masks();
  ASSERT_EQ(m.blocksPerRow(), 20u);  // 320 x 180
  ASSERT_EQ(m.blockRows(), 12u);
  const uint8_t first = m.bufferId();
  uint64_t seq = lastSeq();
  EXPECT_EQ(m.setMask(0, 0, 0, 17, 16), 0);
  EXPECT_EQ(masked(), (std::set<std::string>{"0,0", "1,0"}));
  auto sent = requestsSince(seq, "IAV_IOC_SET_PRIVACY_MASK_EX");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["arg"]["bufferId"], first);
  EXPECT_EQ(sent[0]["arg"]["y"], 80);
  EXPECT_EQ(sent[0]["arg"]["u"], 64);
  EXPECT_EQ(sent[0]["arg"]["v"], 235);
  EXPECT_EQ(sent[0]["arg"]["blocksX"], 20);
  EXPECT_NE(m.bufferId(), first);  // the driver moved on; the bitmap came along

  EXPECT_EQ(m.setMask(1, 304, 160, 16, 20), 0);  // the bottom-right corner, rounded to two rows
  EXPECT_EQ(masked(), (std::set<std::string>{"0,0", "1,0", "19,10", "19,11"}));
  EXPECT_EQ(m.TestEraseMask(), 0);
  EXPECT_EQ(masked(), (std::set<std::string>{"19,10", "19,11"}));

  // Rectangles past the picture, empty or negative change nothing and send nothing.
  seq = lastSeq();
  for (const MaskRect r : {MaskRect{0, 0, 321, 16}, MaskRect{305, 0, 16, 16}, MaskRect{0, 177, 16, 16},
                           MaskRect{0, 0, 0, 16}, MaskRect{-16, 0, 32, 16}, MaskRect{16, 16, 0x7fffffff, 16}})
    EXPECT_EQ(m.setMask(2, r.x, r.y, r.width, r.height), -1) << r.x << "," << r.y << "," << r.width;
  EXPECT_TRUE(requestsSince(seq, "IAV_IOC_SET_PRIVACY_MASK_EX").empty());
  EXPECT_EQ(masked(), (std::set<std::string>{"19,10", "19,11"}));

  // Id 8 only hands over the masks in force; 9 does nothing.
  seq = lastSeq();
  EXPECT_EQ(m.setMask(8, 0, 0, 16, 16), 0);
  EXPECT_EQ(requestsSince(seq, "IAV_IOC_SET_PRIVACY_MASK_EX").size(), 1u);
  EXPECT_EQ(m.rect(2).width, 0x7fffffff);  // the last rectangle 2 stays
  seq = lastSeq();
  EXPECT_EQ(m.setMask(9, 0, 0, 16, 16), 0);
  EXPECT_TRUE(requestsSince(seq, "IAV_IOC_SET_PRIVACY_MASK_EX").empty());
}

TEST_F(MaskTest, BuffersRotate) {
  MaskControl& m = masks();
  std::set<int> seen;
  for (int i = 0; i < 2 * static_cast<int>(IAV_PRIVACY_MASK_BUFFERS); ++i) {
    seen.insert(m.bufferId());
    ASSERT_EQ(m.setMask(0, 16 * i, 0, 16, 16), 0);
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(IAV_PRIVACY_MASK_BUFFERS));
  EXPECT_EQ(masked().size(), 8u);  // each buffer carried the blocks before it
}

}  // namespace
