#include "kavo/threading/idgenerator.h"

#include <atomic>
#include <ctime>
#include <sys/random.h>
#include <unistd.h>

namespace kavo {
namespace threading {

namespace {

uint64_t startingPoint() {
  uint32_t r = 0;
  if (::getrandom(&r, sizeof r, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof r)) {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    r = static_cast<uint32_t>(ts.tv_nsec) ^ (static_cast<uint32_t>(::getpid()) << 16);
  }
  // 32 random bits above a 20-bit counter field: below 2^52, leaving at least 2^52 fresh ids.
  return (uint64_t(r) << 20) + 1;
}

std::atomic<uint64_t> g_next{startingPoint()};

}  // namespace

uint64_t IdGenerator::GenerateId() {
  for (;;) {
    uint64_t id = g_next.fetch_add(1, std::memory_order_relaxed);
    if (id != 0 && id <= kMaxId) return id;
    // Past the limit (after 2^52 ids): start again at 1; only one caller wins the reset.
    uint64_t seen = id + 1;
    g_next.compare_exchange_strong(seen, 1, std::memory_order_relaxed);
  }
}

}  // namespace threading
}  // namespace kavo
