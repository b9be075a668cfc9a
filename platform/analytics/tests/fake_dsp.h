#pragma once
// A stand-in of the DSP's ME1 buffers behind the device seam, for tests: "/dev/iav" answers
// IAV_IOC_MAP_DSP and IAV_IOC_QUERY_ME1_BUFFER_EX from pictures the test sets, and can be told to
// fail. Register it with kavo::os::registerDevice("/dev/iav", &dsp).
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "kavo/os/device.h"
#include "kavo/os/iav.h"

namespace kavo {
namespace test {

class FakeDsp : public kavo::os::DeviceProvider {
 public:
  static constexpr uint32_t kBuffers = 4;
  // Each buffer's picture goes into its own quarter of the memory.
  explicit FakeDsp(size_t memSize = 8u << 20) : size_(memSize) {
    void* m = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mem_ = m == MAP_FAILED ? nullptr : static_cast<uint8_t*>(m);
  }
  ~FakeDsp() override {
    if (mem_) ::munmap(mem_, size_);
  }
  FakeDsp(const FakeDsp&) = delete;
  FakeDsp& operator=(const FakeDsp&) = delete;

  // A picture of `width` x `height` whose rows are `pitch` bytes apart; pixel(x, y) gives the
  // luma, the bytes between rows hold `padding`.
  void setPicture(uint32_t id, uint32_t width, uint32_t height, uint32_t pitch,
                  const std::function<uint8_t(uint32_t x, uint32_t y)>& pixel, uint8_t padding = 0) {
    Plane& p = planes_[id];
    p.offset = static_cast<uint32_t>(id * (size_ / kBuffers));
    p.width = width;
    p.height = height;
    p.pitch = pitch;
    p.present = true;
    uint8_t* base = mem_ + p.offset;
    for (uint32_t y = 0; y < height; ++y) {
      std::memset(base + size_t{y} * pitch, padding, pitch);
      for (uint32_t x = 0; x < width; ++x) base[size_t{y} * pitch + x] = pixel(x, y);
    }
  }
  // A picture from `height` rows of `pitch` bytes, padding included.
  void setPictureRows(uint32_t id, uint32_t width, uint32_t height, uint32_t pitch, const uint8_t* rows) {
    Plane& p = planes_[id];
    p = Plane{static_cast<uint32_t>(id * (size_ / kBuffers)), width, height, pitch, true};
    std::memcpy(mem_ + p.offset, rows, size_t{height} * pitch);
  }
  // A raw answer (for descriptors that do not fit the memory).
  void setPlane(uint32_t id, uint32_t offset, uint32_t width, uint32_t height, uint32_t pitch) {
    planes_[id] = Plane{offset, width, height, pitch, true};
  }
  // Every query fails with `err` (0: answer again). `times` > 0: only the next `times` queries.
  void setError(int err, int times = 0) {
    error_ = err;
    errorTimes_ = times;
  }
  void failMap(int err) { mapError_ = err; }
  void failOpen(int err) { openError_ = err; }
  // Called before each query is answered (scripts change the pictures or the error here).
  std::function<void(uint32_t id)> beforeQuery;

  uint8_t* memory() { return mem_; }
  size_t memorySize() const { return size_; }
  int queries(uint32_t id) const { return queries_[id]; }
  int openDescriptors() const { return open_; }

  int open(const char*, int) override {
    if (openError_ != 0) {
      errno = openError_;
      return -1;
    }
    int fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    if (fd >= 0) ++open_;
    return fd;
  }
  int close(int fd) override {
    --open_;
    return ::close(fd);
  }
  int ioctl(int, unsigned long request, uintptr_t arg) override {
    if (request == IAV_IOC_MAP_DSP) {
      if (mapError_ != 0) return fail(mapError_);
      auto* map = reinterpret_cast<iav_mmap_info_t*>(arg);
      map->addr = mem_;
      map->length = static_cast<uint32_t>(size_);
      return 0;
    }
    if (request != IAV_IOC_QUERY_ME1_BUFFER_EX) return fail(ENOTTY);
    auto* info = reinterpret_cast<iav_me1_buffer_info_t*>(arg);
    const uint32_t id = info->buffer_id;
    if (id >= kBuffers) return fail(EINVAL);
    ++queries_[id];
    if (beforeQuery) beforeQuery(id);
    if (error_ != 0) {
      const int err = error_;
      if (errorTimes_ > 0 && --errorTimes_ == 0) error_ = 0;
      return fail(err);
    }
    const Plane& p = planes_[id];
    if (!p.present) return fail(EINVAL);
    info->offset = p.offset;
    info->width = static_cast<uint16_t>(p.width);
    info->height = static_cast<uint16_t>(p.height);
    info->pitch = static_cast<uint16_t>(p.pitch);
    info->seq_num = ++seq_;
    info->pts = uint64_t{seq_} * 33333333u;
    return 0;
  }

 private:
  struct Plane {
    uint32_t offset = 0, width = 0, height = 0, pitch = 0;
    bool present = false;
  };
  static int fail(int err) {
    errno = err;
    return -1;
  }
  size_t size_;
  uint8_t* mem_ = nullptr;
  Plane planes_[kBuffers];
  int error_ = 0;
  int errorTimes_ = 0;
  int mapError_ = 0;
  int openError_ = 0;
  int queries_[kBuffers] = {};
  int open_ = 0;
  uint32_t seq_ = 0;
};

}  // namespace test
}  // namespace kavo
