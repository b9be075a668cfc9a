#pragma once
#include <cstdint>
// The sub-CPU thread: the only reader of the lens MCU's serial line. Every 10 ms it moves what the
// line holds into the receive ring and handles one reply; while a remote upgrade holds the line it
// only sleeps (50 ms steps).

namespace kavo {
namespace isp {

// 0, or -1 when the thread did not answer within 300 ms.
int startSubCPUThread();
// 0, or -1 when the thread did not stop within 30 ms (it still ends at its next turn).
int stopSubCPUThread();
// After a stop: waits up to `ms` for the thread to leave; true when none is left (false: it is left
// to end by itself, and the controller it uses must stay).
bool joinSubCPUThread(uint32_t ms);

}  // namespace isp
}  // namespace kavo
