// The ME1 luma pictures that analytics readers take from DSP memory.
#include <gtest/gtest.h>

#include "iav_client.h"
#include "render.h"

using namespace simtest;

namespace {

struct Me1 {
  int rc;
  iav_me1_buffer_info_t info;
};

Me1 query(int fd, uint32_t id) {
  Me1 m{0, {}};
  m.info.buffer_id = id;
  m.rc = req(fd, IAV_IOC_QUERY_ME1_BUFFER_EX, &m.info);
  return m;
}

// The luma rows of a picture, without the padding between them.
std::vector<uint8_t> rows(const uint8_t* dsp, const iav_me1_buffer_info_t& i) {
  std::vector<uint8_t> y(static_cast<size_t>(i.width) * i.height);
  for (uint32_t r = 0; r < i.height; ++r)
    std::memcpy(y.data() + static_cast<size_t>(r) * i.width, dsp + i.offset + static_cast<size_t>(r) * i.pitch, i.width);
  return y;
}

}  // namespace

TEST(IavMe1, PicturesOfEachSourceBufferLieInDspMemory) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "autoAdvance": false})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 640, 360, 30, 30}, {IAV_ENCODE_H264, 320, 240, 30, 30}}), 0);
  iav_mmap_info_t dsp{};
  ASSERT_EQ(req(c.iav, IAV_IOC_MAP_DSP, &dsp), 0);

  EXPECT_EQ(query(c.iav, 4).rc, EINVAL);
  EXPECT_EQ(query(c.iav, 2).rc, EINVAL) << "the third buffer is switched off";
  ASSERT_EQ(c.startStop(true), 0);
  ASSERT_TRUE(kavo::sim::iav::advanceClock(100000000));

  const Me1 a = query(c.iav, 0), b = query(c.iav, 1);
  ASSERT_EQ(a.rc, 0);
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(a.info.width, 320);
  EXPECT_EQ(a.info.height, 180);
  EXPECT_GT(a.info.pitch, a.info.width);
  EXPECT_EQ(b.info.width, 160);
  EXPECT_EQ(b.info.height, 120);
  EXPECT_EQ(a.info.seq_num, b.info.seq_num);
  for (const auto& m : {a, b})
    EXPECT_LE(m.info.offset + static_cast<uint64_t>(m.info.height - 1) * m.info.pitch + m.info.width, dsp.length);
  // The two buffers' rings do not overlap.
  EXPECT_GE(b.info.offset, a.info.offset + static_cast<uint64_t>(a.info.pitch) * a.info.height);

  // The picture is the scene's: its number band reads the input frame.
  uint32_t number = 0;
  const std::vector<uint8_t> first = rows(dsp.addr, a.info);
  ASSERT_TRUE(kavo::sim::iav::readSceneNumber(first.data(), a.info.width, a.info.height, &number));
  EXPECT_EQ(number, a.info.seq_num);

  // A picture handed out stays put for the next two input frames; newer ones follow it.
  ASSERT_TRUE(kavo::sim::iav::advanceClock(2 * 33333334));
  const Me1 later = query(c.iav, 0);
  ASSERT_EQ(later.rc, 0);
  EXPECT_EQ(later.info.seq_num, a.info.seq_num + 2);
  EXPECT_NE(later.info.offset, a.info.offset);
  EXPECT_EQ(rows(dsp.addr, a.info), first);
  EXPECT_GT(later.info.pts, a.info.pts);

  const auto lines = journal();
  bool seen = false;
  for (const auto& l : lines)
    if (l.value("req", "") == "IAV_IOC_QUERY_ME1_BUFFER_EX" && l["arg"].value("buffer", 9) == 0 && l.value("rc", -1) == 0)
      seen = l["arg"].value("pitch", 0) == a.info.pitch;
  EXPECT_TRUE(seen) << "the journal names the buffer and its layout";
}

TEST(IavMe1, NoPictureBeforeTheInputRunsOrWhileIdle) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "autoAdvance": false})");
  Client c;
  ASSERT_EQ(c.loadUcode(), 0);
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(req(fd, IAV_IOC_ENTER_IDLE, uintptr_t{0}), 0);
  EXPECT_EQ(query(fd, 0).rc, EPERM);
  devClose(fd);
  int ucode = devOpen("/dev/ucode", O_RDWR);
  ASSERT_GE(ucode, 0);
  EXPECT_EQ(query(ucode, 0).rc, ENOTTY);
  devClose(ucode);
}
