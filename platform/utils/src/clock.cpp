#include "kavo/utils/clock.h"

#include <atomic>
#include <cerrno>

namespace kavo {
namespace utils {

namespace {
std::atomic<int64_t> g_offsetNs{0};
std::atomic<int64_t> g_frozenNs{-1};  // the clock's reading while frozen, else -1
std::atomic<bool> g_sleepsAdvance{false};

int64_t clockNs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t monotonicNs() {
  const int64_t frozen = g_frozenNs.load(std::memory_order_relaxed);
  return (frozen >= 0 ? frozen : clockNs()) + g_offsetNs.load(std::memory_order_relaxed);
}
}  // namespace

struct timeval now() {
  struct timeval tv;
  ::gettimeofday(&tv, nullptr);
  return tv;
}

uint64_t nowMs() { return static_cast<uint64_t>(monotonicNs() / 1000000); }

uint64_t nowWallMs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return uint64_t(ts.tv_sec) * 1000 + uint64_t(ts.tv_nsec) / 1000000;
}

void sleepMs(uint32_t ms) {
  if (g_sleepsAdvance.load(std::memory_order_relaxed)) {
    advanceMomentsForTest(ms);
    return;
  }
  struct timespec left;
  left.tv_sec = ms / 1000;
  left.tv_nsec = long(ms % 1000) * 1000000;
  while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

struct timespec moment() {
  int64_t ns = monotonicNs();
  struct timespec ts;
  ts.tv_sec = static_cast<time_t>(ns / 1000000000);
  ts.tv_nsec = static_cast<long>(ns % 1000000000);
  return ts;
}

int64_t momentsDiffMs(const struct timespec& from, const struct timespec& to) {
  int64_t ns = (int64_t(to.tv_sec) - int64_t(from.tv_sec)) * 1000000000 + (int64_t(to.tv_nsec) - int64_t(from.tv_nsec));
  return ns / 1000000;
}

void advanceMomentsForTest(int64_t ms) { g_offsetNs.fetch_add(ms * 1000000, std::memory_order_relaxed); }

void freezeMomentsForTest() { g_frozenNs.store(clockNs(), std::memory_order_relaxed); }

void resetMomentsForTest() {
  g_frozenNs.store(-1, std::memory_order_relaxed);
  g_offsetNs.store(0, std::memory_order_relaxed);
}

void setSleepsAdvanceMomentsForTest(bool on) { g_sleepsAdvance.store(on, std::memory_order_relaxed); }

}  // namespace utils
}  // namespace kavo
