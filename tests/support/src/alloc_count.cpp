#include "kavo/test/alloc_count.h"

#include <atomic>
#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define KAVO_ALLOC_INTERPOSE 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KAVO_ALLOC_INTERPOSE 0
#endif
#endif
#ifndef KAVO_ALLOC_INTERPOSE
#define KAVO_ALLOC_INTERPOSE 1
#endif

namespace {
std::atomic<bool> g_counting{false};
std::atomic<long> g_allocations{0};

inline void count() {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

#if KAVO_ALLOC_INTERPOSE
extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void* malloc(size_t n) {
  count();
  return __libc_malloc(n);
}
extern "C" void* calloc(size_t a, size_t b) {
  count();
  return __libc_calloc(a, b);
}
extern "C" void* realloc(void* p, size_t n) {
  count();
  return __libc_realloc(p, n);
}
#endif

namespace kavo::test {

bool allocationsCounted() { return KAVO_ALLOC_INTERPOSE != 0; }

void startCountingAllocations() {
  g_allocations.store(0);
  g_counting.store(true);
}

long stopCountingAllocations() {
  g_counting.store(false);
  return g_allocations.load();
}

}  // namespace kavo::test
