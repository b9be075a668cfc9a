#include "kavo/threading/priority.h"

#include <cerrno>
#include <cstring>
#include <sched.h>

#include "kavo/logger/logger.h"

namespace kavo {
namespace threading {

bool SetRealTimePriority(int pid, int priority) {
  if (priority < 0 || priority > 99) {
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, EINVAL, 0,
                "Invalid real-time priority %d (0 to 99)", priority);
    errno = EINVAL;
    return false;
  }
  struct sched_param param {};
  param.sched_priority = priority;
  const int policy = priority > 0 ? SCHED_RR : SCHED_OTHER;
  if (::sched_setscheduler(pid, policy, &param) != 0) {
    int err = errno;
    logInternal("kavo_threading", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, err, 0,
                "Unable to set real-time priority %d: %s", priority, std::strerror(err));
    errno = err;
    return false;
  }
  return true;
}

}  // namespace threading
}  // namespace kavo
