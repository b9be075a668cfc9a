// The worker threads against the simulated camera on its real clock: the 3A thread's handshakes,
// one pass per frame, its pause, its pace after failed reads and its stop that never cancels; the
// I/O thread's inputs; the pan/tilt thread's stop.
#include <chrono>
#include <set>
#include <thread>

#include "be_iav/iav_driver.h"
#include "driver_fixture.h"
#include "kavo/test/threads.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/worker_threads.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;
using namespace std::chrono_literals;
namespace sim = kavo::sim::iav;


template <class F>
bool waitFor(F done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

class AaaThreadTest : public DriverTest {
 protected:
  std::string config() const override { return R"({"clock": "realtime"})"; }
  void SetUp() override {
    DriverTest::SetUp();
    // Sleeps take real time here: the thread's pace is what is tested.
    kavo::utils::setSleepsAdvanceMomentsForTest(false);
    g_isp.controller.store(&isp);
    isp.openDevices();
    isp.initialize(&g_isp.sys);
    ASSERT_EQ(enable_aaa(&isp, 1), 0);
    setPauseAAA(0);
  }
  void TearDown() override {
    ASSERT_TRUE(sim::setFaults(""));
    stop_aaa_thread();
    EXPECT_TRUE(join_aaa_thread(5000));
    isp.closeDevices();
    g_isp.controller.store(nullptr);
  }
  CIsp isp;
};

// Started, the thread reads the statistics of every frame once, in order; paused, it makes no
// request at all; stopped, it is gone.
TEST_F(AaaThreadTest, OnePassPerFrameNothingWhilePaused) {
  uint64_t seq = lastSeq();
  ASSERT_EQ(start_aaa_thread(), 0);
  EXPECT_EQ(g_isp.aaaThread.alive.load(), 1u);
  // Ten passes, however long a loaded machine takes for them.
  std::vector<nlohmann::json> reads;
  EXPECT_TRUE(waitFor([&] { return (reads = requestsSince(seq, "IAV_IOC_IMG_GET_STATISTICS")).size() >= 10; }, 60s));
  ASSERT_GE(reads.size(), 10u);
  for (size_t i = 1; i < reads.size(); ++i) {
    const uint64_t step = reads[i]["arg"]["frame"].get<uint64_t>() - reads[i - 1]["arg"]["frame"].get<uint64_t>();
    EXPECT_EQ(step, 1 + reads[i]["arg"]["missed"].get<uint64_t>()) << "each frame once, a missed one counted";
  }
  setPauseAAA(1);
  // The pass under way ends, and a turn after it: the thread clears the acknowledgement at the end
  // of each.
  for (int turn = 0; turn < 2; ++turn) {
    g_isp.aaaThread.acknowledge.store(1, std::memory_order_release);
    EXPECT_TRUE(waitFor([] { return g_isp.aaaThread.acknowledge.load(std::memory_order_acquire) == 0; }, 60s));
  }
  seq = lastSeq();
  std::this_thread::sleep_for(700ms);
  EXPECT_TRUE(requestsSince(seq).empty()) << "a paused 3A thread calls no driver";
  setPauseAAA(0);
  EXPECT_TRUE(waitFor([&] { return !requestsSince(seq, "IAV_IOC_IMG_GET_STATISTICS").empty(); }, 60s));
  EXPECT_EQ(stop_aaa_thread(), 0);
  EXPECT_EQ(g_isp.aaaThread.alive.load(), 0u);
  EXPECT_FALSE(g_isp.aaaThread.joinable);
}

// Without statistics the loop waits a frame before it reads again: about one failed read (and one
// log line) per frame, not as many as the processor allows. Counted on the clock the loop waits on:
// once started, its waits move the stopped test clock instead of taking time, so the rate does not
// depend on how much of the processor a loaded machine gives it. Thirty reads fail; the later ones
// wait for their frames on the simulator's clock, and move the test clock no further.
TEST_F(AaaThreadTest, FailedReadsComeAtTheFrameRate) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_IMG_GET_STATISTICS", "times": 30, "errno": "EIO"}]})"));
  kavo::logger::LogCapture log;
  const uint64_t seq = lastSeq();
  const auto failed = [seq] {
    std::vector<nlohmann::json> out;
    for (const auto& r : requestsSince(seq, "IAV_IOC_IMG_GET_STATISTICS"))
      if (r.contains("errno")) out.push_back(r);
    return out;
  };
  const timespec t0 = kavo::utils::moment();
  ASSERT_EQ(start_aaa_thread(), 0);  // its handshake's polls take real time
  kavo::utils::freezeMomentsForTest();
  kavo::utils::setSleepsAdvanceMomentsForTest(true);
  EXPECT_TRUE(waitFor([&] { return failed().size() >= 30; }, 60s));
  const double seconds = kavo::utils::momentsDiffMs(t0, kavo::utils::moment()) / 1000.0;
  kavo::utils::setSleepsAdvanceMomentsForTest(false);  // the stop's polls take real time again
  kavo::utils::resetMomentsForTest();
  EXPECT_EQ(stop_aaa_thread(), 0);
  const auto reads = failed();
  ASSERT_EQ(reads.size(), 30u);
  EXPECT_GE(reads.size() / seconds, 5.0) << seconds << " s";
  EXPECT_LE(reads.size() / seconds, 45.0) << "30 frames a second; " << seconds << " s";
  EXPECT_EQ(reads.at(0)["errno"], EIO);
  EXPECT_TRUE(log.has("[Get_3A_data_1080p]get statistics data is failed.", LOG_LEVEL_WARNING));
}

// A thread held inside a statistics read for longer than the handshakes wait: the start reports its
// time-out, the stop its own without cancelling it (it still owns its pass), a start then takes the
// same thread back instead of making a second, and once the read returns a stop ends it in order.
// (Threads are compared by their ids: a sanitizer may run one of its own.) The reads are held far
// longer than the two one-second handshakes, which a loaded machine stretches.
TEST_F(AaaThreadTest, StopsNeverCancelAndNeverMakeASecondThread) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_IMG_GET_STATISTICS", "times": 2, "stallMs": 5000}]})"));
  kavo::logger::LogCapture log;
  EXPECT_EQ(start_aaa_thread(), -1);
  EXPECT_TRUE(log.has("[start_aaa_thread] AAAThread start timeout !!!", LOG_LEVEL_WARNING)) << log.dump();
  const std::set<int> running = kavo::test::threadIds();
  EXPECT_EQ(stop_aaa_thread(), 0);
  EXPECT_TRUE(log.has("stop timeout.", LOG_LEVEL_WARNING));
  EXPECT_EQ(g_isp.aaaThread.alive.load(), 1u) << "left to finish its pass";
  start_aaa_thread();
  EXPECT_EQ(kavo::test::threadIds(), running) << "the same 3A thread, no second one";
  // The driver's mutex was never taken away with a cancelled thread.
  EXPECT_EQ(iavDriver()->set_agc_index(1234), 0);
  ASSERT_TRUE(waitFor([&] { return g_isp.aaaThread.acknowledge.load() == 0; }, 10s));
  ASSERT_TRUE(sim::setFaults(""));
  std::this_thread::sleep_for(5100ms);  // the second held read returns
  EXPECT_EQ(stop_aaa_thread(), 0);
  EXPECT_EQ(g_isp.aaaThread.alive.load(), 0u);
  EXPECT_EQ(kavo::test::threadIds().size(), running.size() - 1);
  // A thread that left after its stop timed out is joined by the next start, which makes one.
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_IMG_GET_STATISTICS", "times": 1, "stallMs": 5000}]})"));
  std::this_thread::sleep_for(200ms);
  ASSERT_EQ(start_aaa_thread(), -1);
  log.clear();
  EXPECT_EQ(stop_aaa_thread(), 0);
  EXPECT_TRUE(log.has("stop timeout.", LOG_LEVEL_WARNING));
  EXPECT_TRUE(waitFor([&] { return g_isp.aaaThread.alive.load() == 0; }, 10s));
  EXPECT_TRUE(g_isp.aaaThread.joinable);
  ASSERT_EQ(start_aaa_thread(), 0);
  EXPECT_EQ(kavo::test::threadIds().size(), running.size());
}

class WorkerThreadTest : public ::testing::Test {
 protected:
  kavo::test::TestRoot root;
};

// The inputs as the I/O thread reads them: a trigger at the configured level, its end, and the
// failures of a missing or short file; the thread's own start and stop.
TEST_F(WorkerThreadTest, VideoPortInputs) {
  g_isp.image.vportInputLevel[0].store(1);
  g_isp.image.vportInputLevel[1].store(0);
  struct Step {
    int input;
    const char* content;  // nullptr: no file
    const char* message;  // logged; empty: nothing
    int level;
  };
  const Step steps[] = {
      {0, "1\n", "\nGPIO /proc/gpio/vport_in1 triggered!(1 == 1)\n", LOG_LEVEL_INFO},
      {0, "1\n", "", 0},
      {0, "0\n", "\nGPIO /proc/gpio/vport_in1 ceased!(0 != 1)\n", LOG_LEVEL_INFO},
      {1, "0\n", "\nGPIO /proc/gpio/vport_in2 triggered!(0 == 0)\n", LOG_LEVEL_INFO},
      {1, nullptr, "\nOpen GPIO /proc/gpio/vport_in2 fail!\n", LOG_LEVEL_WARNING},
      {1, "1", "\nRead GPIO /proc/gpio/vport_in2 fail!\n", LOG_LEVEL_WARNING},
      {1, "1\n", "\nGPIO /proc/gpio/vport_in2 ceased!(1 != 0)\n", LOG_LEVEL_INFO},
  };
  for (const Step& s : steps) {
    const std::string file = std::string("/proc/gpio/vport_in") + (s.input == 0 ? "1" : "2");
    if (s.content)
      root.write(file, s.content);
    else
      ::unlink(root.path(file).c_str());
    kavo::logger::LogCapture log;
    check_gpi(s.input);
    if (s.message[0]) {
      EXPECT_TRUE(log.has(s.message, s.level)) << s.message << log.dump();
    } else {
      EXPECT_TRUE(log.records().empty()) << log.dump();
    }
  }
  kavo::logger::LogCapture log;
  root.write("/proc/gpio/vport_in1", "1\n");
  ASSERT_EQ(start_io_thread(), 0);
  EXPECT_TRUE(waitFor([&] { return log.has("\nGPIO /proc/gpio/vport_in1 triggered!(1 == 1)\n", LOG_LEVEL_INFO); }, 3s));
  EXPECT_EQ(stop_io_thread(), 0);
  EXPECT_EQ(g_isp.ioThread.alive.load(), 0u);
}

// Nothing posts the pan/tilt thread's semaphore but its stop, which therefore ends it at once.
TEST_F(WorkerThreadTest, PanTiltThreadStops) {
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(start_subcpu_pt_thread(), 0);
    EXPECT_EQ(g_isp.panTiltThread.alive.load(), 1u);
    kavo::logger::LogCapture log;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stop_subcpu_pt_thread(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 900ms) << "well within the one-second time-out";
    EXPECT_FALSE(log.has("[stop_subcpu_pt_thread]stop timeout !!!\n", LOG_LEVEL_WARNING));
    EXPECT_EQ(g_isp.panTiltThread.alive.load(), 0u);
  }
}

}  // namespace
