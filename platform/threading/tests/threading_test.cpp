#include "kavo/threading/autothread.h"
#include "kavo/threading/idgenerator.h"
#include "kavo/threading/priority.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <sched.h>
#include <thread>
#include <vector>

#include "kavo/logger/logger.h"

using namespace kavo::threading;

TEST(IdGenerator, IdsAreUniqueAcrossThreadsAndExactAsDoubles) {
  constexpr int kThreads = 8, kEach = 20000;
  std::vector<std::vector<uint64_t>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&got, t] {
      got[t].reserve(kEach);
      for (int i = 0; i < kEach; ++i) got[t].push_back(IdGenerator::GenerateId());
    });
  for (auto& t : threads) t.join();
  std::vector<uint64_t> all;
  for (const auto& v : got) {
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    all.insert(all.end(), v.begin(), v.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_NE(all.front(), 0u);
  EXPECT_LE(all.back(), IdGenerator::kMaxId);
  EXPECT_LT(IdGenerator::kMaxId, uint64_t(1) << 53);
  for (uint64_t id : {all.front(), all.back()}) EXPECT_EQ(static_cast<uint64_t>(static_cast<double>(id)), id);
}

namespace {

class Loop : public IThreadRoutine {
 public:
  void Cancel() override { stop = true; }
  int ThreadRoutine() override {
    while (!stop) {
      ++turns;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    returned = true;
    return 42;
  }
  std::atomic<bool> stop{false};
  std::atomic<bool> returned{false};
  std::atomic<int> turns{0};
};

}  // namespace

TEST(AutoThread, RunsTheRoutineUntilCancelAndJoinsOnDestruction) {
  Loop loop;
  {
    auto holder = std::make_shared<AutoThread>(&loop);
    ASSERT_TRUE(holder->IsStarted());
    while (loop.turns < 3) std::this_thread::yield();
    EXPECT_TRUE(holder->IsRunning());
    EXPECT_FALSE(loop.returned);
    auto second = holder;
    holder.reset();  // the last holder's release stops and joins the thread
    EXPECT_FALSE(loop.returned);
  }
  EXPECT_TRUE(loop.returned);
  EXPECT_TRUE(loop.stop);
}

TEST(AutoThread, CancelAndJoinByHand) {
  Loop loop;
  AutoThread t(&loop);
  t.Cancel();
  EXPECT_TRUE(t.Join());
  EXPECT_TRUE(t.Join());
  EXPECT_FALSE(t.IsRunning());
  EXPECT_EQ(t.Result(), 42);

  kavo::logger::LogCapture cap;
  AutoThread none(nullptr);
  EXPECT_FALSE(none.IsStarted());
  EXPECT_FALSE(none.Join());
  EXPECT_TRUE(cap.has("No thread routine given", 3));
}

TEST(Priority, OrdinaryAlwaysWorksRealTimeNeedsTheRightAndARange) {
  kavo::logger::LogCapture cap;
  EXPECT_TRUE(SetRealTimePriority(0, 0));
  EXPECT_EQ(sched_getscheduler(0), SCHED_OTHER);

  EXPECT_FALSE(SetRealTimePriority(0, 150));
  EXPECT_TRUE(cap.has("Invalid real-time priority 150 (0 to 99)", 3));
  EXPECT_FALSE(SetRealTimePriority(0, -1));

  if (SetRealTimePriority(0, 10)) {
    EXPECT_EQ(sched_getscheduler(0), SCHED_RR);
    EXPECT_TRUE(SetRealTimePriority(0, 0));
  } else {
    EXPECT_TRUE(cap.contains("Unable to set real-time priority 10: ", 3)) << cap.dump();
  }
}
