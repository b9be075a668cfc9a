#include "kavo/ipc/ipctimer.h"

#include <cerrno>
#include <cstring>
#include <sys/timerfd.h>
#include <unistd.h>

#include "ipclog.h"
#include "kavo/ipc/ipc.h"

namespace kavo {
namespace ipc {

IPCTimer::IPCTimer(Ipc* owner_, const std::string& name) : BaseIPCIO(owner_, IPC_IO_TYPE_TIMER, name, std::string()) {}

IPCTimer::~IPCTimer() = default;

bool IPCTimer::Initialize(uint32_t ms) {
  if (fd >= 0) {
    IPC_VLOG(owner, LOG_LEVEL_ERROR, 0, "Already initialized");
    return false;
  }
  fd = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (fd < 0) {
    int err = errno;
    IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to create timer fd: (%d) %s", err, std::strerror(err));
    return false;
  }
  struct itimerspec spec {};
  spec.it_value.tv_sec = ms / 1000;
  spec.it_value.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  spec.it_interval = spec.it_value;
  if (::timerfd_settime(fd, 0, &spec, nullptr) != 0) {
    int err = errno;
    IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to arm the timer fd: (%d) %s", err, std::strerror(err));
    return false;
  }
  SetToString();
  return true;
}

int IPCTimer::DoRead() {
  uint64_t count = 0;
  ssize_t r = ::read(fd, &count, sizeof count);
  if (r == static_cast<ssize_t>(sizeof count)) {
    expirations = count;
    owner->SignalTimerTriggered();
  } else if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    int err = errno;
    IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to arm the timer fd: (%d) %s", err, std::strerror(err));
  }
  return 0;
}

int IPCTimer::DoWrite() {
  IPC_VLOG(owner, LOG_LEVEL_ERROR, 0, "DoWrite call attempted on a timer");
  return -1;
}

}  // namespace ipc
}  // namespace kavo
