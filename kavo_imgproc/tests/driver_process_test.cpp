// The ISP server's wait for the DSP, with the DSP brought up to encoding by another process (the
// simulator's control tool, as a streamer leaves it).
#include <chrono>
#include <cstdio>

#include "be_iav/iav_driver.h"
#include "driver_fixture.h"
#include "kavo/test/shell.h"

namespace {

using namespace drivertest;

// Real milliseconds since `t0`: what the test clock holds beyond the sleeps it was advanced by.
int64_t realMsSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

int run(const std::string& args) {
  const kavo::test::Shell r = kavo::test::shell(kavo::test::binaryDir() + "/bin/kavo_sim_camera " + args);
  std::fputs(r.out.c_str(), stderr);
  return r.status;
}

TEST(DriverProcesses, OpenSeesTheStateAnotherProcessSetOrGivesUp) {
  kavo::test::TestRoot root;
  FastSleeps sleeps;
  {
    kavo::logger::LogCapture log;
    kavo::isp::IAVDriver alone;
    const auto real = std::chrono::steady_clock::now();
    const timespec a = kavo::utils::moment();
    EXPECT_EQ(alone.open_iav(), 0);
    const int64_t waited = kavo::utils::momentsDiffMs(a, kavo::utils::moment());
    EXPECT_GE(waited, 5000) << "five polls, a second apart";
    EXPECT_LE(waited, 5000 + realMsSince(real)) << "and no more";
    EXPECT_TRUE(log.has("check iav status timeout, streamer is not start?", LOG_LEVEL_WARNING));
  }
  ASSERT_EQ(run("--root " + root.dir() + " encode 320x180"), 0);
  kavo::logger::LogCapture log;
  kavo::isp::IAVDriver d;
  const uint64_t seq = lastSeq();
  const auto real = std::chrono::steady_clock::now();
  const timespec a = kavo::utils::moment();
  EXPECT_EQ(d.open_iav(), 0);
  EXPECT_LE(kavo::utils::momentsDiffMs(a, kavo::utils::moment()), realMsSince(real)) << "no poll slept";
  EXPECT_FALSE(log.contains("timeout"));
  const auto polls = requestsSince(seq, "IAV_IOC_GET_STATE");
  ASSERT_EQ(polls.size(), 1u);
  EXPECT_EQ(polls[0]["arg"]["state"], IAV_STATE_ENCODING);
  EXPECT_EQ(d.get_iav_state(), static_cast<int>(IAV_STATE_ENCODING));
  // The other process's stream runs on: this process reads its statistics.
  iav_aaa_frame_info_t f{};
  iav_aaa_stats_request_t r{nullptr, nullptr, nullptr, nullptr, nullptr, &f};
  EXPECT_EQ(d.get_aaa_data(&r), 0);
  EXPECT_GT(f.pts, 0u);
}

}  // namespace
