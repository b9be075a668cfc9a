#pragma once
// The drivers' tests run against the simulated camera: a streamer stand-in (the simulator's test
// client) brings the DSP up, the driver under test talks to it, the journal shows what it sent.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "iav_client.h"
#include "kavo/logger/logger.h"
#include "kavo/utils/clock.h"
#include "thread_proc/isp_globals.h"

namespace drivertest {

// Journal lines of requests made after `fromSeq`, by this process.
inline std::vector<nlohmann::json> requestsSince(uint64_t fromSeq, const std::string& req = "") {
  std::vector<nlohmann::json> out;
  for (const auto& l : simtest::journal()) {
    if (!l.contains("seq") || l["seq"].get<uint64_t>() <= fromSeq || l.value("pid", 0) != ::getpid()) continue;
    if (req.empty() || l.value("req", "") == req) out.push_back(l);
  }
  return out;
}

inline uint64_t lastSeq() {
  uint64_t seq = 0;
  for (const auto& l : simtest::journal())
    if (l.contains("seq")) seq = std::max(seq, l["seq"].get<uint64_t>());
  return seq;
}

// Sleeps of the code under test advance the test clock instead of taking time.
struct FastSleeps {
  FastSleeps() { kavo::utils::setSleepsAdvanceMomentsForTest(true); }
  ~FastSleeps() {
    kavo::utils::setSleepsAdvanceMomentsForTest(false);
    kavo::utils::resetMomentsForTest();
  }
};

// An encoding DSP on the virtual clock, a board with the given sensor and model.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    simtest::writeConfig(root, config());
    ASSERT_EQ(streamer.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
    ASSERT_EQ(streamer.startStop(true), 0);
    kavo::isp::g_isp.sys.sensor = kavo::isp::SENSOR_AR0331;
    kavo::isp::g_isp.sys.model = kavo::isp::ALDER_IR;
  }
  virtual std::string config() const { return R"({"clock": "virtual"})"; }

  kavo::test::TestRoot root;
  simtest::Client streamer;
  FastSleeps sleeps;
};

}  // namespace drivertest
