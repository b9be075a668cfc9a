#pragma once
// The state a simulated device shares between every process of a run: one plain record in a file
// under the test root, mapped shared. The record begins with a SharedHeader; the first process
// that finds the file missing, of another size or with another magic or version builds it anew
// (under an flock, so a second process never sees it half made). Records guarded by a lock use a
// robust process-shared mutex, so a process killed while holding it does not wedge the others.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <pthread.h>
#include <string>

namespace kavo {
namespace sim {

struct SharedHeader {
  std::atomic<uint32_t> magic;  // stored last, with release order, once the record is built
  uint32_t version;
  uint32_t size;
  uint32_t reserved;
};

// Maps `file` (`size` bytes, creating its folder). When the record has to be built, the file is
// cleared to zeros and `init` fills it (the header's version and size are set by this function,
// the magic after `init` returned true). Null on failure, with `error` set.
void* mapSharedState(const std::string& file, size_t size, uint32_t magic, uint32_t version,
                     const std::function<bool(void* record)>& init, std::string& error);
void unmapSharedState(void* record, size_t size);
// True when the mapped record carries `magic` and `version` (a reader that only maps, read-only).
bool sharedStateValid(const void* record, uint32_t magic, uint32_t version);

void initRobustMutex(pthread_mutex_t* mutex);
// Locks; a lock whose holder died is taken over (the record is plain data).
void lockRobustMutex(pthread_mutex_t* mutex);

}  // namespace sim
}  // namespace kavo
