#include "kavo/os/device.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <unordered_map>

#ifndef KAVO_CAMERA
#include <dlfcn.h>
#endif

#include "kavo/os/path.h"

namespace kavo {
namespace os {

DeviceProvider::~DeviceProvider() = default;

void* DeviceProvider::mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return ::mmap(addr, length, prot, flags, fd, offset);
}

ssize_t DeviceProvider::read(int, void*, size_t) {
  errno = EINVAL;
  return -1;
}

ssize_t DeviceProvider::write(int, const void*, size_t) {
  errno = EINVAL;
  return -1;
}

#ifdef KAVO_CAMERA

int devOpen(const char* node, int flags, mode_t mode) { return ::open(path(node).c_str(), flags, mode); }
int devClose(int fd) { return ::close(fd); }
int devIoctl(int fd, unsigned long request, uintptr_t arg) { return ::ioctl(fd, request, arg); }
void* devMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return ::mmap(addr, length, prot, flags, fd, offset);
}
int devMunmap(void* addr, size_t length) { return ::munmap(addr, length); }
ssize_t devRead(int fd, void* buf, size_t count) { return ::read(fd, buf, count); }
ssize_t devWrite(int fd, const void* buf, size_t count) { return ::write(fd, buf, count); }
void registerDevice(const char*, DeviceProvider*) {}
bool isSimulated(int) { return false; }

#else

namespace {

// Descriptors of simulated nodes. Low descriptors (nearly all) are found with one atomic load, so
// the per-frame ioctl path takes no lock.
constexpr int kDirectFds = 4096;
std::atomic<DeviceProvider*> g_direct[kDirectFds];

struct Registry {
  std::mutex mutex;
  std::unordered_map<std::string, DeviceProvider*> nodes;
  std::unordered_map<int, DeviceProvider*> highFds;
  std::unordered_map<std::string, bool> loadTried;
};

Registry& registry() {
  static Registry* r = new Registry();  // never destroyed: providers may close during exit
  return *r;
}

// The simulator library that provides each simulated node.
struct SimLibrary {
  const char* node;
  const char* library;
};
constexpr SimLibrary kSimLibraries[] = {
    {"/dev/iav", "libkavo_sim_iav.so"},
    {"/dev/ucode", "libkavo_sim_iav.so"},
    {"/dev/ambad", "libkavo_sim_iav.so"},
    {"/dev/i2c-0", "libkavo_sim_iav.so"},
    {"/dev/spidev0.0", "libkavo_sim_board.so"},
    {"/dev/gpiodev", "libkavo_sim_board.so"},
    {"/sys/class/backlight/pwm-backlight.1/bl_power", "libkavo_sim_board.so"},
};

std::string ownDirectory() {
  Dl_info info;
  if (::dladdr(reinterpret_cast<void*>(&devOpen), &info) == 0 || info.dli_fname == nullptr) return std::string();
  std::string self(info.dli_fname);
  auto slash = self.rfind('/');
  return slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
}

// Called with the registry unlocked: the library registers its nodes while it loads.
void loadSimulatorFor(const std::string& node) {
  const char* library = nullptr;
  for (const auto& s : kSimLibraries)
    if (node == s.node) library = s.library;
  if (library == nullptr) return;
  {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.loadTried[library]) return;
    r.loadTried[library] = true;
  }
  std::string dir = ownDirectory();
  void* handle = dir.empty() ? nullptr : ::dlopen((dir + library).c_str(), RTLD_NOW | RTLD_GLOBAL);
  if (handle == nullptr) handle = ::dlopen(library, RTLD_NOW | RTLD_GLOBAL);
  // The library stays loaded for the life of the process; a missing one leaves the node to the system.
  (void)handle;
}

DeviceProvider* findNode(const std::string& node) {
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.nodes.find(node);
  return it == r.nodes.end() ? nullptr : it->second;
}

DeviceProvider* providerOf(int fd) {
  if (fd >= 0 && fd < kDirectFds) return g_direct[fd].load(std::memory_order_acquire);
  if (fd < 0) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.highFds.find(fd);
  return it == r.highFds.end() ? nullptr : it->second;
}

void setProvider(int fd, DeviceProvider* p) {
  if (fd < kDirectFds) {
    g_direct[fd].store(p, std::memory_order_release);
    return;
  }
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (p)
    r.highFds[fd] = p;
  else
    r.highFds.erase(fd);
}

DeviceProvider* takeProvider(int fd) {
  if (fd >= 0 && fd < kDirectFds) return g_direct[fd].exchange(nullptr, std::memory_order_acq_rel);
  if (fd < 0) return nullptr;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  auto it = r.highFds.find(fd);
  if (it == r.highFds.end()) return nullptr;
  DeviceProvider* p = it->second;
  r.highFds.erase(it);
  return p;
}

}  // namespace

void registerDevice(const char* node, DeviceProvider* provider) {
  if (node == nullptr) return;
  Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (provider)
    r.nodes[node] = provider;
  else
    r.nodes.erase(node);
}

bool isSimulated(int fd) { return providerOf(fd) != nullptr; }

int devOpen(const char* node, int flags, mode_t mode) {
  if (node == nullptr) {
    errno = EFAULT;
    return -1;
  }
  std::string n(node);
  DeviceProvider* p = findNode(n);
  if (p == nullptr) {
    loadSimulatorFor(n);
    p = findNode(n);
  }
  if (p == nullptr) return ::open(path(n).c_str(), flags, mode);
  int fd = p->open(node, flags);
  if (fd >= 0) setProvider(fd, p);
  return fd;
}

int devClose(int fd) {
  DeviceProvider* p = takeProvider(fd);
  if (p == nullptr) return ::close(fd);
  return p->close(fd);
}

int devIoctl(int fd, unsigned long request, uintptr_t arg) {
  DeviceProvider* p = providerOf(fd);
  if (p == nullptr) return ::ioctl(fd, request, arg);
  return p->ioctl(fd, request, arg);
}

void* devMmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  DeviceProvider* p = providerOf(fd);
  if (p == nullptr) return ::mmap(addr, length, prot, flags, fd, offset);
  return p->mmap(addr, length, prot, flags, fd, offset);
}

int devMunmap(void* addr, size_t length) { return ::munmap(addr, length); }

ssize_t devRead(int fd, void* buf, size_t count) {
  DeviceProvider* p = providerOf(fd);
  if (p == nullptr) return ::read(fd, buf, count);
  return p->read(fd, buf, count);
}

ssize_t devWrite(int fd, const void* buf, size_t count) {
  DeviceProvider* p = providerOf(fd);
  if (p == nullptr) return ::write(fd, buf, count);
  return p->write(fd, buf, count);
}

#endif  // KAVO_CAMERA

}  // namespace os
}  // namespace kavo
