// Counts the allocation calls of the whole process (malloc, calloc and realloc are interposed;
// operator new ends there too), for proving that a per-frame path allocates nothing.
#pragma once

namespace kavo::test {

// False where the allocator is not ours to interpose (the address sanitizer brings its own).
bool allocationsCounted();

void startCountingAllocations();
// Allocation calls since the start.
long stopCountingAllocations();

// Allocation calls made by `body`.
template <class F>
long allocationsOf(F&& body) {
  startCountingAllocations();
  body();
  return stopCountingAllocations();
}

}  // namespace kavo::test
