#include "kavo/threading/interprocessmutex.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "kavo/logger/logger.h"
#include "kavo/os/path.h"

namespace kavo {
namespace threading {

InterProcessMutex::InterProcessMutex(const std::string& name, bool blocking) : name_(name), blocking_(blocking) {
  std::string file = name;
  for (char& c : file)
    if (c == '/') c = '_';
  if (!file.empty()) path_ = kavo::os::path("/tmp/" + file + ".lock");
}

InterProcessMutex::~InterProcessMutex() {
  if (held_) release();
  if (fd_ >= 0) ::close(fd_);
}

int InterProcessMutex::acquire() {
  if (held_) return 0;
  if (path_.empty()) {
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, 0, 0, "Empty lock name");
    return EINVAL;
  }
  if (fd_ < 0) {
    fd_ = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) {
      int err = errno;
      logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, err, 0,
                  "Unable to open lock file `%s`: %s", path_.c_str(), std::strerror(err));
      return err != 0 ? err : EIO;
    }
  }
  for (;;) {
    if (::flock(fd_, LOCK_EX | (blocking_ ? 0 : LOCK_NB)) == 0) {
      held_ = true;
      return 0;
    }
    int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK)
      logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, err, 0,
                  "Unable to lock `%s`: %s", path_.c_str(), std::strerror(err));
    return err != 0 ? err : EIO;
  }
}

int InterProcessMutex::release() {
  if (!held_) return EPERM;
  held_ = false;
  if (::flock(fd_, LOCK_UN) != 0) {
    int err = errno;
    // Closing the descriptor drops the lock in any case.
    ::close(fd_);
    fd_ = -1;
    return err != 0 ? err : EIO;
  }
  return 0;
}

}  // namespace threading
}  // namespace kavo
