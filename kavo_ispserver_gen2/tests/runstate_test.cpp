// The run-state loop against requests from other threads and from the signal handler.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <set>
#include <mutex>
#include <thread>
#include <vector>

#include "IspServer.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "kavo/test/threads.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/isp_globals.h"
#include "thread_proc/worker_threads.h"

namespace kavo {
namespace isp {
namespace {

using namespace std::chrono_literals;

// Counts the re-initialisations and keeps the stop-signal records (with the logging thread),
// without keeping every record: a busy requester makes many thousands.
class LoopLog {
 public:
  LoopLog() {
    previous_ = kavo::logger::setSink([this](const kavo::logger::LogRecord& r) {
      if (r.message == "ISP Server re-init done.\n") {
        ++reinits;
      } else if (r.function == "signal_callback_handler") {
        std::lock_guard<std::mutex> lock(mutex_);
        signals_.push_back({r.message, std::this_thread::get_id()});
      }
    });
  }
  ~LoopLog() { kavo::logger::setSink(previous_); }

  std::vector<std::pair<std::string, std::thread::id>> signals() {
    std::lock_guard<std::mutex> lock(mutex_);
    return signals_;
  }

  std::atomic<int> reinits{0};

 private:
  kavo::logger::Sink previous_;
  std::mutex mutex_;
  std::vector<std::pair<std::string, std::thread::id>> signals_;
};

// Runs the loop on a thread of its own with a controller in place, under a root of its own.
class LoopRun {
 public:
  LoopRun() {
    g_isp.board = ALDER_IR;
    g_isp.sys.dspId = 1;
    g_isp.controller.store(&controller_);
    thread_ = std::thread([this] {
      runStateLoop(settings_);
      ended = true;
    });
  }
  ~LoopRun() {
    if (!ended) requestStop();
    thread_.join();
    // As the stop sequence does: no 3A pass may outlive the controller.
    stop_aaa_thread();
    EXPECT_TRUE(join_aaa_thread(10000));
    g_isp.controller.store(nullptr);
    g_isp.runState.store(kRunStateRun);
  }
  bool waitEnd(std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ended && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(1ms);
    return ended;
  }
  std::thread::id id() const { return thread_.get_id(); }

  std::atomic<bool> ended{false};

 private:
  kavo::test::TestRoot root_;
  CIsp controller_;
  IspSettings settings_;
  std::thread thread_;
};

TEST(RunState, AStopOutlivesAStormOfReinitialisations) {
  LoopLog log;
  g_isp.runState.store(kRunStateRun);
  LoopRun run;
  // The IPC thread asks again as soon as each re-initialisation ends.
  std::atomic<bool> stopAsking{false};
  std::thread requester([&] {
    while (!stopAsking) requestReinit();
  });
  while (log.reinits < 10) std::this_thread::sleep_for(1ms);

  signal_callback_handler(SIGTERM);
  const bool ended = run.waitEnd(20s);
  stopAsking = true;
  requester.join();
  ASSERT_TRUE(ended) << "the stop was lost";
  EXPECT_EQ(g_isp.runState.load(), kRunStateStop);
  // The handler only stored the request; the loop logged it.
  const auto signals = log.signals();
  ASSERT_EQ(signals.size(), 1u);
  EXPECT_EQ(signals[0].first, "get signal num=15");
  EXPECT_EQ(signals[0].second, run.id());
}

TEST(RunState, AReinitialisationAskedBeforeTheLoopRunsFirstThenPolling) {
  LoopLog log;
  g_isp.runState.store(kRunStateRun);
  ASSERT_TRUE(requestReinit());
  EXPECT_FALSE(requestReinit());  // already asked for
  LoopRun run;
  while (log.reinits < 1) std::this_thread::sleep_for(1ms);
  while (g_isp.runState.load() != kRunStateRun) std::this_thread::sleep_for(1ms);
  std::this_thread::sleep_for(120ms);  // a few polls
  EXPECT_EQ(log.reinits.load(), 1);
  EXPECT_FALSE(run.ended);

  requestStop();
  EXPECT_FALSE(requestReinit());
  ASSERT_TRUE(run.waitEnd(20s));
  EXPECT_TRUE(log.signals().empty());  // no signal, nothing to report
}


// A re-initialisation stops and starts the 3A thread and no other: the I/O and pan/tilt threads
// run through it.
TEST(RunState, AReinitialisationRestartsOnlyThe3AThread) {
  LoopLog log;
  g_isp.runState.store(kRunStateRun);
  {
    LoopRun run;  // its root first: the I/O thread reads paths under it
    ASSERT_EQ(start_io_thread(), 0);
    ASSERT_EQ(start_subcpu_pt_thread(), 0);
    ASSERT_TRUE(requestReinit());
    while (log.reinits < 1) std::this_thread::sleep_for(1ms);
    const std::set<int> before = kavo::test::threadIds();
    while (!requestReinit()) std::this_thread::sleep_for(1ms);
    while (log.reinits < 2) std::this_thread::sleep_for(1ms);
    const std::set<int> after = kavo::test::threadIds();
    std::vector<int> gone, added;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(), std::back_inserter(gone));
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    EXPECT_EQ(gone.size(), 1u) << "the old 3A thread";
    EXPECT_EQ(added.size(), 1u) << "the new 3A thread";
    EXPECT_EQ(g_isp.ioThread.alive.load(), 1u);
    EXPECT_EQ(g_isp.panTiltThread.alive.load(), 1u);
    requestStop();
    ASSERT_TRUE(run.waitEnd(20s));
    EXPECT_EQ(stop_io_thread(), 0);
    EXPECT_EQ(stop_subcpu_pt_thread(), 0);
  }
}

}  // namespace
}  // namespace isp
}  // namespace kavo
