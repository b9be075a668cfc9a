#pragma once

namespace kavo {
namespace threading {

// Scheduling of the calling process (`pid` 0; otherwise that process or thread): priority 1 to 99
// selects real-time round-robin scheduling (SCHED_RR) at that priority, 0 ordinary scheduling
// (SCHED_OTHER). Threads created afterwards inherit it. False, logged with errno, when the value
// is out of range or the process lacks the right (EPERM on a PC without CAP_SYS_NICE).
bool SetRealTimePriority(int pid, int priority);

}  // namespace threading
}  // namespace kavo
