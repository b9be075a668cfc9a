// Frames of the simulated DSP: pacing, numbering, the ring, key frames and live changes.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "iav_client.h"

namespace {

using namespace simtest;

const int kPicTypeMask = 7;

int picType(const iav_bitstream_desc_t& d) { return static_cast<int>(d.frameInfo & kPicTypeMask); }

TEST(IavFrames, PacedAtEachStreamsRateInVirtualTime) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30},
                     {IAV_ENCODE_H264, 160, 120, 10, 10},
                     {IAV_ENCODE_MJPEG, 160, 120, 5, 0}}),
            0);
  ASSERT_EQ(c.startStop(true), 0);
  const uint64_t t0 = kavo::sim::iav::clockNs();
  std::map<int, std::vector<uint64_t>> pts;
  uint64_t lastPts = 0;
  uint32_t lastH264 = 0, lastJpeg = 0;
  const int total = 30 + 10 + 5;  // one second of all three streams
  for (int i = 0; i < total; ++i) {
    iav_bitstream_desc_t d{};
    ASSERT_EQ(c.read(d), 0) << i;
    EXPECT_GT(d.pts, lastPts) << "pts rise in read order, over all streams";
    lastPts = d.pts;
    pts[d.streamIndex].push_back(d.pts);
    if (d.streamIndex == 2) {
      EXPECT_EQ(picType(d), static_cast<int>(IAV_PIC_TYPE_MJPEG));
      EXPECT_EQ(d.frameNumber, lastJpeg + 1) << "the MJPEG stream counts its own frames";
      lastJpeg = d.frameNumber;
    } else {
      EXPECT_NE(picType(d), static_cast<int>(IAV_PIC_TYPE_MJPEG));
      if (lastH264) {
        EXPECT_EQ(d.frameNumber, lastH264 + 1) << "H.264 frames are numbered without gaps";
      }
      lastH264 = d.frameNumber;
    }
    // A reader that keeps up finds at most the other H.264 stream's frame of the same instant queued.
    EXPECT_LE(d.queueCounter - d.frameNumber, d.streamIndex == 2 ? 0u : 1u);
  }
  // A second of virtual time passed, with no real waiting.
  const uint64_t elapsed = kavo::sim::iav::clockNs() - t0;
  EXPECT_GE(elapsed, 900000000u);
  EXPECT_LE(elapsed, 1100000000u);
  const double want[3] = {1e9 / 30, 1e9 / 10, 1e9 / 5};
  const size_t counts[3] = {30, 10, 5};
  for (int s = 0; s < 3; ++s) {
    ASSERT_EQ(pts[s].size(), counts[s]) << "stream " << s;
    for (size_t i = 1; i < pts[s].size(); ++i)
      EXPECT_NEAR(static_cast<double>(pts[s][i] - pts[s][i - 1]), want[s], 2000.0) << "stream " << s << " frame " << i;
  }
}

TEST(IavFrames, ManualVirtualClockQueuesAndDrops) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "autoAdvance": false, "queueLimit": 20})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 160, 120, 30, 30}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  iav_bitstream_desc_t d{};
  EXPECT_EQ(c.read(d), EAGAIN);  // the first frame is not due yet
  EXPECT_EQ(c.read(d), EAGAIN);
  const uint64_t period = 1000000000ull / 30 + 1;
  ASSERT_TRUE(kavo::sim::iav::advanceClock(10 * period));
  ASSERT_EQ(c.read(d), 0);
  EXPECT_EQ(d.queueCounter - d.frameNumber, 9u) << "nine frames wait behind the first";
  const uint32_t first = d.frameNumber;
  for (int i = 0; i < 9; ++i) ASSERT_EQ(c.read(d), 0);
  EXPECT_EQ(d.frameNumber, first + 9);
  EXPECT_EQ(d.queueCounter, d.frameNumber);
  EXPECT_EQ(c.read(d), EAGAIN);

  // A reader that falls far behind loses the oldest frames: the driver's queue holds 20.
  ASSERT_TRUE(kavo::sim::iav::advanceClock(100 * period));
  ASSERT_EQ(c.read(d), 0);
  EXPECT_EQ(d.queueCounter - d.frameNumber, 19u);
  EXPECT_EQ(d.frameNumber, first + 9 + 100 - 19) << "the lost frames took their numbers with them";

  // Consecutive EAGAIN reads collapse into one journal line.
  for (int i = 0; i < 19; ++i) ASSERT_EQ(c.read(d), 0);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(c.read(d), EAGAIN);
  ASSERT_TRUE(kavo::sim::iav::advanceClock(period));
  ASSERT_EQ(c.read(d), 0);
  bool collapsed = false;
  for (const auto& l : journal())
    if (l.value("error", "") == "EAGAIN" && l.value("count", 0) == 5) collapsed = true;
  EXPECT_TRUE(collapsed);
}

TEST(IavFrames, RealTimeReadsWaitForTheNextFrame) {
  kavo::test::TestRoot root;
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 160, 120, 10, 10}}), 0);
  const auto monotonicNs = [] {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<uint64_t>(t.tv_sec) * 1000000000ull + static_cast<uint64_t>(t.tv_nsec);
  };
  const uint64_t started = monotonicNs();
  ASSERT_EQ(c.startStop(true), 0);
  EXPECT_FALSE(kavo::sim::iav::advanceClock(1000));
  // Every read hands out the next frame, once it has been captured: pts is the capture time on
  // CLOCK_MONOTONIC, after the start and before the read returned, one period after the last. How
  // late a read returns is the machine's affair.
  iav_bitstream_desc_t d{};
  ASSERT_EQ(c.read(d), 0);
  EXPECT_GT(d.pts, started);
  const uint64_t first = d.pts;
  uint64_t now = 0, last = first;
  const uint32_t firstNumber = d.frameNumber;
  for (int i = 1; i <= 3; ++i) {
    ASSERT_EQ(c.read(d), 0);
    now = monotonicNs();
    EXPECT_LE(d.pts, now) << "frame " << i << " handed out before it was captured";
    EXPECT_EQ(d.frameNumber, firstNumber + i);
    EXPECT_NEAR(static_cast<double>(d.pts - last), 1e8, 2000.0) << "frame " << i;
    last = d.pts;
  }
  EXPECT_GE((now - first) / 1e6, 300.0);  // three frames at 10 fps

  // A descriptor opened without blocking gets EAGAIN instead of waiting.
  int nb = devOpen("/dev/iav", O_RDWR | O_NONBLOCK);
  ASSERT_GE(nb, 0);
  EXPECT_EQ(req(nb, IAV_IOC_READ_BITSTREAM_EX, &d), EAGAIN);
  devClose(nb);
}

TEST(IavFrames, FramesWrapTheRingAndStayUntilTheNextRead) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "ringSize": 65536})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 15, IAV_CBR, 2000000, 2000000}}), 0);
  ASSERT_EQ(c.ringSize, 65536u);
  // The caller's view of the ring is read-only.
  {
    std::ifstream maps("/proc/self/maps");
    std::string line, perms;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lx-", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(c.ring)));
    while (std::getline(maps, line))
      if (line.rfind(buf, 0) == 0) perms = line.substr(line.find(' ') + 1, 4);
    EXPECT_EQ(perms, "r--s");
  }
  ASSERT_EQ(c.startStop(true), 0);
  int wrapped = 0;
  std::vector<uint8_t> previous;
  iav_bitstream_desc_t prev{};
  for (int i = 0; i < 120; ++i) {
    iav_bitstream_desc_t d{};
    ASSERT_EQ(c.read(d), 0);
    if (!previous.empty()) {
      EXPECT_EQ(c.bytes(prev), previous) << "frame " << i - 1 << " changed before the next read";
    }
    const uint32_t size = d.frameInfo >> 8, off = c.offsetOf(d);
    ASSERT_LT(off, c.ringSize);
    EXPECT_EQ(off % 32, 0u);
    if (off + size > c.ringSize) ++wrapped;
    const auto f = c.bytes(d);
    bool four = false;
    const auto types = nalTypes(f, &four);
    EXPECT_TRUE(four) << "frame " << i;
    ASSERT_FALSE(types.empty());
    EXPECT_EQ(types.front(), 9) << "every frame begins with an access-unit delimiter";
    EXPECT_EQ(types.back(), picType(d) == static_cast<int>(IAV_PIC_TYPE_IDR) ? 5 : 1);
    previous = f;
    prev = d;
  }
  EXPECT_GE(wrapped, 3) << "some frames straddle the ring's end";
}

TEST(IavFrames, KeyFramesFollowGopRequestsAndRateChanges) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 10}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  auto next = [&c](iav_bitstream_desc_t& d) {
    EXPECT_EQ(c.read(d), 0);
    return picType(d) == static_cast<int>(IAV_PIC_TYPE_IDR);
  };
  iav_bitstream_desc_t d{};
  // N 10 from the H.264 configuration: a key frame every 10 frames, with SPS and PPS.
  for (int i = 0; i < 30; ++i) {
    const bool idr = next(d);
    EXPECT_EQ(idr, i % 10 == 0) << i;
    const auto types = nalTypes(c.bytes(d));
    if (idr) {
      ASSERT_GE(types.size(), 4u);
      EXPECT_EQ(types[0], 9);
      EXPECT_EQ(types[1], 7);
      EXPECT_EQ(types[2], 8);
      EXPECT_EQ(types.back(), 5);
    } else {
      EXPECT_EQ(types, (std::vector<int>{9, 1})) << "one slice, no B-frames";
    }
  }
  EXPECT_TRUE(next(d));
  EXPECT_FALSE(next(d));
  EXPECT_FALSE(next(d));
  ASSERT_EQ(req(c.iav, IAV_IOC_FORCE_IDR_EX, uintptr_t{1}), 0);
  EXPECT_TRUE(next(d)) << "a key frame on request";
  for (int i = 0; i < 9; ++i) EXPECT_FALSE(next(d));
  EXPECT_TRUE(next(d)) << "the GOP starts again at the requested key frame";

  // The live frame-rate change: 10 fps and a GOP of 10 frames (one second).
  ASSERT_EQ(c.setFrameRate(1, 10), 0);
  uint64_t last = 0;
  int keys = 0;
  for (int i = 0; i < 20; ++i) {
    keys += next(d);
    if (last) {
      EXPECT_NEAR(static_cast<double>(d.pts - last), 1e8, 2000.0);
    }
    last = d.pts;
  }
  EXPECT_EQ(keys, 2);
  iav_change_gop_ex_t gop{1, 5, 1};
  ASSERT_EQ(req(c.iav, IAV_IOC_CHANGE_GOP_EX, &gop), 0);
  keys = 0;
  for (int i = 0; i < 20; ++i) keys += next(d);
  EXPECT_EQ(keys, 4);
}

TEST(IavFrames, BitrateChangesShowInTheStream) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual"})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 640, 360, 30, 30, IAV_CBR, 3000000, 3000000}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  auto average = [&c](int frames) {
    double sum = 0;
    for (int i = 0; i < frames; ++i) {
      iav_bitstream_desc_t d{};
      EXPECT_EQ(c.read(d), 0);
      if (i >= 30) sum += d.frameInfo >> 8;  // let the rate control settle
    }
    return sum / (frames - 30) * 8 * 30;
  };
  const double high = average(90);
  iav_bitrate_ex_t low{1, IAV_CBR, 300000, 16384, 300000};
  ASSERT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &low), 0);
  const double lowRate = average(90);
  EXPECT_GT(high, 1500000.0);
  EXPECT_LT(lowRate, 450000.0);
  EXPECT_GT(high / lowRate, 4.0);
  // The capped-quality mode keeps under its maximum, also after an adaptation step.
  iav_bitrate_ex_t vbr{1, IAV_VBR, 16384, 16384, 600000};
  ASSERT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &vbr), 0);
  EXPECT_LT(average(90), 750000.0);
}

TEST(IavFrames, ReplayModeLoopsPreEncodedFrames) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "mode": "replay", "replayFrames": 8, "journalFrames": false})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 240, 30, 30}, {IAV_ENCODE_MJPEG, 160, 120, 30, 0}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  std::vector<std::vector<uint8_t>> firstLoop;
  uint32_t last = 0;
  for (int i = 0; i < 48; ++i) {
    iav_bitstream_desc_t d{};
    ASSERT_EQ(c.read(d), 0);
    if (d.streamIndex != 0) continue;
    if (last) {
      EXPECT_EQ(d.frameNumber, last + 1);
    }
    last = d.frameNumber;
    const auto f = c.bytes(d);
    const size_t k = firstLoop.size();
    if (k < 8) {
      firstLoop.push_back(f);
      EXPECT_EQ(picType(d) == static_cast<int>(IAV_PIC_TYPE_IDR), k == 0);
    } else {
      EXPECT_EQ(f, firstLoop[(k - 8) % 8]);
      firstLoop.push_back(f);
    }
  }
  EXPECT_EQ(firstLoop.size(), 24u);
  size_t frameLines = 0;
  for (const auto& l : journal()) frameLines += l.value("req", "") == "IAV_IOC_READ_BITSTREAM_EX";
  EXPECT_EQ(frameLines, 0u) << "frame reads left out of the journal on request";
}

}  // namespace
