// Fault injection of the simulated DSP.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "frame_faults.h"
#include "iav_client.h"
#include "kavo/logger/logger.h"

namespace {

using namespace simtest;
namespace sim = kavo::sim::iav;

class IavFaults : public ::testing::Test {
 protected:
  void SetUp() override {
    writeConfig(root, R"({"clock": "virtual"})");
    ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 160, 120, 30, 30}, {IAV_ENCODE_MJPEG, 160, 120, 30, 0}}), 0);
    ASSERT_EQ(c.startStop(true), 0);
  }
  // The next frame of the H.264 stream.
  iav_bitstream_desc_t h264() {
    iav_bitstream_desc_t d{};
    do {
      EXPECT_EQ(c.read(d), 0);
    } while (d.streamIndex != 0 && !::testing::Test::HasFailure());
    return d;
  }
  kavo::test::TestRoot root;
  Client c;
};

TEST_F(IavFaults, RequestFailsTheKthTimeWithItsErrno) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_SET_BITRATE_EX", "nth": 2, "times": 2, "errno": "EIO"},
                                            {"request": "IAV_IOC_FORCE_IDR_EX", "errno": 16}]})"));
  iav_bitrate_ex_t rate{1, IAV_VBR, 16384, 16384, 400000};
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &rate), 0);
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &rate), EIO);
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &rate), EIO);
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &rate), 0);
  EXPECT_EQ(req(c.iav, IAV_IOC_FORCE_IDR_EX, uintptr_t{1}), EBUSY);
  EXPECT_EQ(req(c.iav, IAV_IOC_FORCE_IDR_EX, uintptr_t{1}), 0);
  int injected = 0;
  for (const auto& l : journal())
    if (l.value("fault", false)) {
      ++injected;
      EXPECT_EQ(l["rc"], -1);
    }
  EXPECT_EQ(injected, 3);
  // A new set starts counting again; an empty text removes every fault.
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_SET_BITRATE_EX", "errno": "EINVAL"}]})"));
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &rate), EINVAL);
  ASSERT_TRUE(sim::setFaults(""));
  EXPECT_EQ(req(c.iav, IAV_IOC_SET_BITRATE_EX, &rate), 0);
}

TEST_F(IavFaults, StartFailsOnceOrTwice) {
  ASSERT_EQ(c.startStop(false), 0);
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_START_ENCODE_EX", "times": 2, "errno": "EIO"}]})"));
  EXPECT_EQ(c.startStop(true), EIO);
  EXPECT_EQ(sim::dspState(), IAV_STATE_PREVIEW);
  EXPECT_EQ(c.startStop(true), EIO);
  EXPECT_EQ(c.startStop(true), 0);
  EXPECT_EQ(sim::dspState(), IAV_STATE_ENCODING);
}

TEST_F(IavFaults, OpenAndMapOfTheMicrocodeCanFail) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "open", "node": "/dev/ucode", "errno": "ENOENT"},
                                            {"request": "mmap", "errno": "ENOMEM"}]})"));
  errno = 0;
  EXPECT_EQ(devOpen("/dev/ucode", O_RDONLY), -1);
  EXPECT_EQ(errno, ENOENT);
  int fd = devOpen("/dev/ucode", O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(devMmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0), MAP_FAILED);
  EXPECT_EQ(errno, ENOMEM);
  devClose(fd);
  int iav = devOpen("/dev/iav", O_RDWR);  // the fault names the other node only
  EXPECT_GE(iav, 0);
  devClose(iav);
}

TEST_F(IavFaults, FrameNumberGap) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"frame": "gap", "after": 3, "skip": 2}]})"));
  std::vector<uint32_t> numbers;
  for (int i = 0; i < 6; ++i) numbers.push_back(h264().frameNumber);
  for (int i = 1; i < 6; ++i) EXPECT_EQ(numbers[i] - numbers[i - 1], i == 3 ? 3u : 1u) << i;
}

TEST_F(IavFaults, QueueRunaway) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"frame": "queue", "after": 1, "backlog": 151, "frames": 2}]})"));
  std::vector<uint32_t> queued;
  for (int i = 0; i < 4; ++i) {
    const auto d = h264();
    queued.push_back(d.queueCounter - d.frameNumber);
  }
  EXPECT_EQ(queued, (std::vector<uint32_t>{0, 151, 151, 0}));
}

TEST_F(IavFaults, FrameWithoutFourByteStartCode) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"frame": "startcode", "after": 2}]})"));
  for (int i = 0; i < 4; ++i) {
    const auto f = c.bytes(h264());
    ASSERT_GE(f.size(), 4u);
    const bool four = f[0] == 0 && f[1] == 0 && f[2] == 0 && f[3] == 1;
    const bool three = f[0] == 0 && f[1] == 0 && f[2] == 1;
    EXPECT_EQ(four, i != 2) << i;
    EXPECT_EQ(three, i == 2) << i;
  }
}

TEST_F(IavFaults, StalePtsRepeatsTheLastDescriptor) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"frame": "stalepts", "after": 2}]})"));
  iav_bitstream_desc_t d[4];
  for (auto& x : d) ASSERT_EQ(c.read(x), 0);
  EXPECT_GT(d[1].pts, d[0].pts);
  EXPECT_EQ(d[2].pts, d[1].pts);
  EXPECT_EQ(d[2].frameNumber, d[1].frameNumber);
  EXPECT_GT(d[3].pts, d[2].pts);
}

TEST_F(IavFaults, EagainBurstAndStall) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"frame": "eagain", "after": 1, "frames": 3},
                                            {"frame": "stall", "after": 2, "ms": 150}]})"));
  iav_bitstream_desc_t d{};
  EXPECT_EQ(c.read(d), 0);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(c.read(d), EAGAIN);
  EXPECT_EQ(c.read(d), 0);  // reads that gave no frame do not count as frames that passed
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(c.read(d), 0);  // the stall: real time, also on the virtual clock
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
  EXPECT_EQ(c.read(d), 0);
}

TEST_F(IavFaults, FileWrittenByAnotherHandIsTakenWhileRunning) {
  iav_bitstream_desc_t d{};
  EXPECT_EQ(c.read(d), 0);
  // As a soak test would: write the file in place, no call into the simulator.
  root.write("/tmp/kavo_sim/iav.faults", R"({"faults": [{"request": "IAV_IOC_READ_BITSTREAM_EX", "errno": "EIO"}]})");
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(c.read(d), EIO);
  EXPECT_EQ(c.read(d), 0);
}

TEST_F(IavFaults, MalformedFaultsAreReportedAndIgnored) {
  kavo::logger::LogCapture log;
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"frame": "sideways"}]})"));
  iav_bitstream_desc_t d{};
  EXPECT_EQ(c.read(d), 0);
  EXPECT_TRUE(log.contains("unknown frame fault \"sideways\"", LOG_LEVEL_ERROR)) << log.dump();
  ASSERT_TRUE(sim::setFaults("{not json"));
  EXPECT_EQ(c.read(d), 0);
  EXPECT_TRUE(log.contains("not valid JSON", LOG_LEVEL_ERROR));
}

TEST(IavFaultParser, RefusesBadEntries) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {R"({"faults": {}})", "expected an object with a \"faults\" array"},
      {R"({"faults": [3]})", "a fault is not an object"},
      {R"({"faults": [{}]})", "a fault needs \"request\" or \"frame\""},
      {R"({"faults": [{"request": 5}]})", "\"request\" must be a request name"},
      {R"({"faults": [{"request": "X", "errno": "ENOPE"}]})", "\"errno\" must be a positive number"},
      {R"({"faults": [{"request": "X", "nth": -1}]})", "\"nth\" must be a number of 0 or more"},
      {R"({"faults": [{"frame": "gap", "stream": 4}]})", "\"stream\" must be a stream ordinal 0 to 3"},
  };
  for (const auto& k : cases) {
    std::vector<kavo::sim::RequestFault> r;
    std::vector<sim::FrameFault> f;
    std::string error;
    EXPECT_FALSE(sim::FrameFaults::parse(k.text, r, f, error)) << k.text;
    EXPECT_EQ(error.rfind(k.error, 0), 0u) << k.text << " gave " << error;
  }
  std::vector<kavo::sim::RequestFault> r;
  std::vector<sim::FrameFault> f;
  std::string error;
  ASSERT_TRUE(sim::FrameFaults::parse(R"({"faults": [{"request": "open", "errno": 2}, {"frame": "queue", "stream": 1}]})",
                                 r, f, error));
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].err, 2);
  EXPECT_EQ(r[0].nth, 1u);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].value, 151u);
  EXPECT_EQ(f[0].stream, 1);
}

}  // namespace
