#pragma once
// Clocks. moment() and nowMs() run on CLOCK_MONOTONIC and can be advanced by tests;
// now() and nowWallMs() are the wall clock.
#include <cstdint>
#include <sys/time.h>
#include <time.h>

namespace kavo {
namespace utils {

// Wall-clock time value (seconds and microseconds).
struct timeval now();
// Monotonic milliseconds.
uint64_t nowMs();
// Wall-clock milliseconds since 1970.
uint64_t nowWallMs();
// Sleeps the whole duration (resumed after signals).
void sleepMs(uint32_t ms);

// Monotonic moment (seconds and nanoseconds).
struct timespec moment();
// Milliseconds from `from` to `to` (negative when `to` is earlier), truncated toward zero.
int64_t momentsDiffMs(const struct timespec& from, const struct timespec& to);

// Test hook: every later moment() and nowMs() of this process is `ms` further on (cumulative).
void advanceMomentsForTest(int64_t ms);
// Test hook: moment() and nowMs() stand still (moving only by advanceMomentsForTest) until
// resetMomentsForTest, so that a test can put a time span exactly on a boundary.
void freezeMomentsForTest();
void resetMomentsForTest();
// Test hook: while on, sleepMs() of this process returns at once and advances the moments by the
// time it would have slept, so that waits of many seconds run in no time.
void setSleepsAdvanceMomentsForTest(bool on);

}  // namespace utils
}  // namespace kavo
