#pragma once
// The seam between the programs and the camera's device nodes ("/dev/iav", "/dev/ucode",
// "/dev/ambad", later "/dev/spidev0.0", "/dev/i2c-0", "/dev/gpiodev"). Programs call these in place
// of open/ioctl/mmap/read/write/close. A camera build (KAVO_CAMERA) passes them to the kernel; a PC
// build hands the nodes that a simulator provides to that simulator (loading its library on the
// first open of such a node) and every other path to the system, under the test root.
//
// Descriptors are real in both builds: a simulated node is backed by a real open file, so
// descriptor accounting, close-on-exec and leaks behave as on the camera.
#include <cstddef>
#include <cstdint>
#include <sys/types.h>

namespace kavo {
namespace os {

// `node` is the camera path ("/dev/iav"); it goes through path() when the system is asked.
// Results and errno as the system calls give them.
int devOpen(const char* node, int flags, mode_t mode = 0);
int devClose(int fd);
// `arg` is the request's one argument word: a value, or a pointer passed as an integer.
int devIoctl(int fd, unsigned long request, uintptr_t arg);
template <class T>
inline int devIoctl(int fd, unsigned long request, T* arg) {
  return devIoctl(fd, request, reinterpret_cast<uintptr_t>(arg));
}
void* devMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
int devMunmap(void* addr, size_t length);
ssize_t devRead(int fd, void* buf, size_t count);
ssize_t devWrite(int fd, const void* buf, size_t count);

// A simulated device. Each call returns what the system call would (with errno set on failure).
class DeviceProvider {
 public:
  virtual ~DeviceProvider();
  // Returns a real descriptor (>= 0) that stands for the node, or -1.
  virtual int open(const char* node, int flags) = 0;
  // Releases the provider's state of `fd` and closes it.
  virtual int close(int fd) = 0;
  virtual int ioctl(int fd, unsigned long request, uintptr_t arg) = 0;
  // Default: the system's mmap on the descriptor.
  virtual void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset);
  // Defaults: EINVAL.
  virtual ssize_t read(int fd, void* buf, size_t count);
  virtual ssize_t write(int fd, const void* buf, size_t count);
};

// Registers `provider` (not owned, must outlive its descriptors) for the camera path `node`;
// nullptr removes the node. Used by the simulator libraries when they are loaded. Does nothing in a
// camera build.
void registerDevice(const char* node, DeviceProvider* provider);

// True when descriptor `fd` was opened through a provider (always false in a camera build).
bool isSimulated(int fd);

}  // namespace os
}  // namespace kavo
