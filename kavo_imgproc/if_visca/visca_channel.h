#pragma once
// The VISCA camera channel: a client places requests in the segment "/tmp/shm/visca_server" and
// signals the semaphore set keyed on the same file; the VISCA thread answers them.

namespace kavo {
namespace isp {

constexpr const char* kViscaKeyFile = "/tmp/shm/visca_server";

// 0, or -1 when the semaphore set cannot be created (one exists already) or the thread does not
// answer.
int startViscaThread();
// 0 when the thread stopped (or was given up), -1 when a semaphore operation failed.
int stopViscaThread();

}  // namespace isp
}  // namespace kavo
