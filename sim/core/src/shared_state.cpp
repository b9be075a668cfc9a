#include "kavo/sim/core/shared_state.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "kavo/sim/core/files.h"

namespace kavo {
namespace sim {

void* mapSharedState(const std::string& file, size_t size, uint32_t magic, uint32_t version,
                     const std::function<bool(void*)>& init, std::string& error) {
  const size_t slash = file.rfind('/');
  if (slash != std::string::npos && slash > 0 && !makeDirs(file.substr(0, slash))) {
    error = "cannot create the folder of " + file + ": " + std::strerror(errno);
    return nullptr;
  }
  int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot open " + file + ": " + std::strerror(errno);
    return nullptr;
  }
  // The first process builds the record; the lock keeps a second one from reading it half made.
  ::flock(fd, LOCK_EX);
  struct stat sb{};
  bool fresh = ::fstat(fd, &sb) != 0 || static_cast<size_t>(sb.st_size) != size;
  if (!fresh) {
    uint32_t head[2] = {};
    fresh = ::pread(fd, head, sizeof head, 0) != static_cast<ssize_t>(sizeof head) || head[0] != magic ||
            head[1] != version;
  }
  void* m = MAP_FAILED;
  if (fresh && (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, static_cast<off_t>(size)) != 0)) {
    error = "cannot size " + file + ": " + std::strerror(errno);
  } else {
    m = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (m == MAP_FAILED) error = "cannot map " + file + ": " + std::strerror(errno);
  }
  if (m != MAP_FAILED && fresh) {
    auto* h = static_cast<SharedHeader*>(m);
    h->version = version;
    h->size = static_cast<uint32_t>(size);
    if (init && !init(m)) {
      error = "cannot build the state in " + file;
      ::munmap(m, size);
      m = MAP_FAILED;
    } else {
      h->magic.store(magic, std::memory_order_release);
    }
  }
  ::flock(fd, LOCK_UN);
  ::close(fd);
  return m == MAP_FAILED ? nullptr : m;
}

void unmapSharedState(void* record, size_t size) {
  if (record != nullptr) ::munmap(record, size);
}

bool sharedStateValid(const void* record, uint32_t magic, uint32_t version) {
  if (record == nullptr) return false;
  const auto* h = static_cast<const SharedHeader*>(record);
  return h->magic.load(std::memory_order_acquire) == magic && h->version == version;
}

void initRobustMutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  pthread_mutex_init(mutex, &attr);
  pthread_mutexattr_destroy(&attr);
}

void lockRobustMutex(pthread_mutex_t* mutex) {
  if (pthread_mutex_lock(mutex) == EOWNERDEAD) pthread_mutex_consistent(mutex);
}

}  // namespace sim
}  // namespace kavo
