#include "kavo/utils/clock.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace kavo::utils;

namespace {

// CLOCK_MONOTONIC itself, in milliseconds: how much real time a span of moments may hold.
double realMs() {
  struct timespec t;
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

}  // namespace

TEST(Clock, MomentsDiffIsMillisecondsFromFirstToSecond) {
  const struct {
    struct timespec from, to;
    int64_t ms;
  } cases[] = {
      {{1, 999000000}, {2, 1000000}, 2},
      {{2, 1000000}, {1, 999000000}, -2},
      {{5, 0}, {5, 999999}, 0},
      {{0, 0}, {10, 1000000}, 10001},
      {{100, 500000000}, {100, 500000000}, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(momentsDiffMs(c.from, c.to), c.ms);
}

// Spans of moments are the advances plus the real time that passed meanwhile, however much that was.
TEST(Clock, TestHookAdvancesMomentsAndMonotonicMilliseconds) {
  resetMomentsForTest();
  const double realA = realMs();
  struct timespec a = moment();
  uint64_t msA = nowMs();
  advanceMomentsForTest(10001);
  struct timespec b = moment();
  EXPECT_GE(momentsDiffMs(a, b), 10001);
  EXPECT_LE(momentsDiffMs(a, b), 10001 + realMs() - realA);
  EXPECT_GE(nowMs() - msA, 10001u);
  advanceMomentsForTest(-5000);
  EXPECT_GE(momentsDiffMs(a, moment()), 5001);
  resetMomentsForTest();
  EXPECT_LE(momentsDiffMs(a, moment()), realMs() - realA);
  // Sleeps of a test clock take no time and move the moments instead.
  setSleepsAdvanceMomentsForTest(true);
  const double realSleep = realMs();
  a = moment();
  sleepMs(60000);
  setSleepsAdvanceMomentsForTest(false);
  EXPECT_GE(momentsDiffMs(a, moment()), 60000);
  EXPECT_LE(momentsDiffMs(a, moment()), 60000 + realMs() - realSleep);
  resetMomentsForTest();
}

TEST(Clock, AFrozenClockMovesOnlyByTheHook) {
  const double realA = realMs();
  freezeMomentsForTest();
  const struct timespec a = moment();
  sleepMs(20);
  EXPECT_EQ(momentsDiffMs(a, moment()), 0);
  advanceMomentsForTest(10000);
  EXPECT_EQ(momentsDiffMs(a, moment()), 10000);
  resetMomentsForTest();
  const struct timespec b = moment();
  sleepMs(5);
  EXPECT_GE(momentsDiffMs(b, moment()), 5);
  EXPECT_GE(momentsDiffMs(a, b), 20);  // real time again, without the advance
  EXPECT_LE(momentsDiffMs(a, b), realMs() - realA);
}

TEST(Clock, SleepAndWallClock) {
  struct timespec a = moment();
  sleepMs(30);
  EXPECT_GE(momentsDiffMs(a, moment()), 30);

  // The wall clock read between two readings of time(), whatever passed between them; time() is
  // the coarse clock, which may stand up to a tick behind (and so a second, at a second's turn).
  const int64_t t0 = static_cast<int64_t>(::time(nullptr));
  const uint64_t wall = nowWallMs();
  struct timeval tv = now();
  const int64_t t1 = static_cast<int64_t>(::time(nullptr));
  EXPECT_GE(static_cast<int64_t>(wall / 1000), t0);
  EXPECT_LE(static_cast<int64_t>(wall / 1000), t1 + 1);
  EXPECT_GE(static_cast<int64_t>(tv.tv_sec), t0);
  EXPECT_LE(static_cast<int64_t>(tv.tv_sec), t1 + 1);
  EXPECT_LT(tv.tv_usec, 1000000);
}
