#include "kavo/utils/clock.h"

#include <gtest/gtest.h>

#include <ctime>

using namespace kavo::utils;

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

TEST(Clock, TestHookAdvancesMomentsAndMonotonicMilliseconds) {
  resetMomentsForTest();
  struct timespec a = moment();
  uint64_t msA = nowMs();
  advanceMomentsForTest(10001);
  struct timespec b = moment();
  EXPECT_GE(momentsDiffMs(a, b), 10001);
  EXPECT_LT(momentsDiffMs(a, b), 11001);
  EXPECT_GE(nowMs() - msA, 10001u);
  advanceMomentsForTest(-5000);
  EXPECT_GE(momentsDiffMs(a, moment()), 5001);
  resetMomentsForTest();
  EXPECT_LT(momentsDiffMs(a, moment()), 1000);
  // Sleeps of a test clock take no time and move the moments instead.
  setSleepsAdvanceMomentsForTest(true);
  a = moment();
  sleepMs(60000);
  setSleepsAdvanceMomentsForTest(false);
  EXPECT_GE(momentsDiffMs(a, moment()), 60000);
  EXPECT_LT(momentsDiffMs(a, moment()), 61000);
  resetMomentsForTest();
}

TEST(Clock, AFrozenClockMovesOnlyByTheHook) {
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
  EXPECT_LT(momentsDiffMs(a, b), 10000);
}

TEST(Clock, SleepAndWallClock) {
  struct timespec a = moment();
  sleepMs(30);
  EXPECT_GE(momentsDiffMs(a, moment()), 30);

  uint64_t wall = nowWallMs();
  int64_t t = static_cast<int64_t>(::time(nullptr));
  EXPECT_LE(std::llabs(static_cast<long long>(wall / 1000) - t), 1);
  struct timeval tv = now();
  EXPECT_LE(std::llabs(static_cast<long long>(tv.tv_sec) - t), 1);
  EXPECT_LT(tv.tv_usec, 1000000);
}
