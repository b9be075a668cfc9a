#include "kavo/utils/iobuffer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include "kavo/logger/logger.h"

namespace kavo {
namespace utils {

namespace {
constexpr size_t kMinCapacity = 256;
}

IOBuffer::~IOBuffer() { Release(); }

void IOBuffer::Release() {
  ::operator delete(data_);
  data_ = nullptr;
  capacity_ = start_ = end_ = 0;
}

IOBuffer::IOBuffer(const IOBuffer& other) {
  if (other.GetAvailableBytesCount() > 0) ReadFromBuffer(other.GetPointer(), other.GetAvailableBytesCount());
}

IOBuffer& IOBuffer::operator=(const IOBuffer& other) {
  if (this == &other) return *this;
  IgnoreAll();
  if (other.GetAvailableBytesCount() > 0) ReadFromBuffer(other.GetPointer(), other.GetAvailableBytesCount());
  return *this;
}

IOBuffer::IOBuffer(IOBuffer&& other) noexcept
    : data_(other.data_), capacity_(other.capacity_), start_(other.start_), end_(other.end_) {
  other.data_ = nullptr;
  other.capacity_ = other.start_ = other.end_ = 0;
}

IOBuffer& IOBuffer::operator=(IOBuffer&& other) noexcept {
  if (this == &other) return *this;
  Release();
  data_ = other.data_;
  capacity_ = other.capacity_;
  start_ = other.start_;
  end_ = other.end_;
  other.data_ = nullptr;
  other.capacity_ = other.start_ = other.end_ = 0;
  return *this;
}

bool IOBuffer::Reserve(size_t count) {
  if (capacity_ - end_ >= count) return true;
  const size_t unread = end_ - start_;
  // Reclaiming the front costs a move of the unread bytes; do it when it pays for itself,
  // otherwise grow so that the next moves do.
  if (capacity_ - unread >= count && start_ >= unread) {
    MoveData();
    return true;
  }
  if (count > SIZE_MAX / 2 - unread) {
    errno = ENOMEM;
    return false;
  }
  size_t target = std::max({2 * (unread + count), capacity_ + capacity_ / 2, kMinCapacity});
  target = (target + 63) & ~size_t(63);
  auto* fresh = static_cast<uint8_t*>(::operator new(target, std::nothrow));
  if (fresh == nullptr) {
    logInternal("kavo_utils", __FILE__, __func__, __LINE__, LOG_LEVEL_ERROR, ENOMEM, 0,
                "Unable to grow buffer to %zu bytes", target);
    errno = ENOMEM;
    return false;
  }
  if (unread > 0) std::memcpy(fresh, data_ + start_, unread);
  ::operator delete(data_);
  data_ = fresh;
  capacity_ = target;
  start_ = 0;
  end_ = unread;
  return true;
}

bool IOBuffer::ReadFromBuffer(const void* data, size_t count) {
  if (count == 0) return true;
  if (data == nullptr || !Reserve(count)) return false;
  std::memcpy(data_ + end_, data, count);
  end_ += count;
  return true;
}

bool IOBuffer::ReadFromBuffer(const struct iovec* iov, int count, size_t skip) {
  if (count < 0 || (iov == nullptr && count > 0)) return false;
  size_t total = 0;
  for (int i = 0; i < count; ++i) {
    if (iov[i].iov_len > SIZE_MAX - total) return false;
    total += iov[i].iov_len;
  }
  if (skip >= total) return true;
  if (!Reserve(total - skip)) return false;
  for (int i = 0; i < count; ++i) {
    size_t len = iov[i].iov_len;
    if (len == 0) continue;
    if (iov[i].iov_base == nullptr) return false;
    const uint8_t* p = static_cast<const uint8_t*>(iov[i].iov_base);
    if (skip >= len) {
      skip -= len;
      continue;
    }
    p += skip;
    len -= skip;
    skip = 0;
    std::memcpy(data_ + end_, p, len);
    end_ += len;
  }
  return true;
}

bool IOBuffer::ReadFromRepeat(uint8_t byte, size_t count) {
  if (count == 0) return true;
  if (!Reserve(count)) return false;
  std::memset(data_ + end_, byte, count);
  end_ += count;
  return true;
}

bool IOBuffer::ReadFromFd(int fd, uint32_t max, uint32_t& read) {
  read = 0;
  if (max == 0) return true;
  if (!Reserve(max)) return false;
  ssize_t n = ::read(fd, data_ + end_, max);
  if (n < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  end_ += static_cast<size_t>(n);
  read = static_cast<uint32_t>(n);
  return true;
}

bool IOBuffer::WriteToFd(int fd, uint32_t max, uint32_t& written) {
  written = 0;
  size_t n = std::min<size_t>(max, GetAvailableBytesCount());
  if (n == 0) return true;
  ssize_t r = ::send(fd, GetPointer(), n, MSG_NOSIGNAL);
  if (r < 0 && errno == ENOTSOCK) r = ::write(fd, GetPointer(), n);
  if (r < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  written = static_cast<uint32_t>(r);
  Ignore(static_cast<size_t>(r));
  return true;
}

bool IOBuffer::Ignore(size_t count) {
  const size_t unread = end_ - start_;
  if (count > unread) return false;
  start_ += count;
  if (start_ == end_) start_ = end_ = 0;
  return true;
}

bool IOBuffer::IgnoreAll() {
  start_ = end_ = 0;
  return true;
}

bool IOBuffer::MoveData() {
  if (start_ == 0) return true;
  const size_t unread = end_ - start_;
  if (unread > start_) return true;  // the move would cost more than it frees
  if (unread > 0) std::memcpy(data_, data_ + start_, unread);  // no overlap: unread <= start_
  start_ = 0;
  end_ = unread;
  return true;
}

bool IOBuffer::operator==(const IOBuffer& other) const {
  const size_t n = GetAvailableBytesCount();
  if (n != other.GetAvailableBytesCount()) return false;
  return n == 0 || std::memcmp(GetPointer(), other.GetPointer(), n) == 0;
}

}  // namespace utils
}  // namespace kavo
