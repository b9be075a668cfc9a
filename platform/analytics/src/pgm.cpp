#include "kavo/analytics/pgm.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include "kavo/os/file.h"

namespace kavo {
namespace analytics {

namespace {

struct Fd {
  explicit Fd(int d = -1) : fd(d) {}
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int fd;
};

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// Skips white space and comments; false when the data ends first.
bool skipSpace(const uint8_t* data, size_t size, size_t& pos) {
  while (pos < size) {
    if (isSpace(data[pos])) {
      ++pos;
    } else if (data[pos] == '#') {
      while (pos < size && data[pos] != '\n' && data[pos] != '\r') ++pos;
    } else {
      return true;
    }
  }
  return false;
}

// A decimal number of at most `limit`; digits beyond it fail before they can overflow.
bool readNumber(const uint8_t* data, size_t size, size_t& pos, uint32_t limit, uint32_t& value) {
  if (!skipSpace(data, size, pos) || data[pos] < '0' || data[pos] > '9') return false;
  uint64_t v = 0;
  while (pos < size && data[pos] >= '0' && data[pos] <= '9') {
    v = v * 10 + (data[pos] - '0');
    if (v > limit) return false;
    ++pos;
  }
  value = static_cast<uint32_t>(v);
  return true;
}

int readAll(int fd, uint8_t* buffer, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::read(fd, buffer + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}

int writevAll(int fd, struct iovec* iov, int count) {
  while (count > 0) {
    ssize_t n = ::writev(fd, iov, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return -1;
    while (count > 0 && static_cast<size_t>(n) >= iov->iov_len) {
      n -= static_cast<ssize_t>(iov->iov_len);
      ++iov;
      --count;
    }
    if (count > 0) {
      iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + n;
      iov->iov_len -= static_cast<size_t>(n);
    }
  }
  return 0;
}

// Opens `path` and parses its header; the descriptor is left at the first pixel. Only a regular
// file: a FIFO there would block the open or the read for ever.
int openPgm(const std::string& path, Fd& fd, PgmHeader& header) {
  fd.fd = kavo::os::openRegularFile(path);
  if (fd.fd < 0) return -1;
  uint8_t head[kPgmMaxHeader];
  size_t got = 0;
  while (got < sizeof head) {
    const ssize_t n = ::read(fd.fd, head + got, sizeof head - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (!pgmParseHeader(head, got, header)) return -1;
  if (::lseek(fd.fd, static_cast<off_t>(header.dataOffset), SEEK_SET) < 0) return -1;
  return 0;
}

}  // namespace

bool pgmParseHeader(const uint8_t* data, size_t size, PgmHeader& header) {
  if (data == nullptr) return false;
  if (size > kPgmMaxHeader) size = kPgmMaxHeader;
  if (size < 2 || data[0] != 'P' || data[1] != '5') return false;
  size_t pos = 2;
  // The magic number must be followed by white space, not by a digit of the width.
  if (pos >= size || !(isSpace(data[pos]) || data[pos] == '#')) return false;
  PgmHeader h;
  if (!readNumber(data, size, pos, kPgmMaxSide, h.width) || !readNumber(data, size, pos, kPgmMaxSide, h.height) ||
      !readNumber(data, size, pos, 255, h.maxval))
    return false;
  // Exactly one white-space character ends the header; the pixels follow.
  if (pos >= size || !isSpace(data[pos])) return false;
  ++pos;
  if (h.width == 0 || h.height == 0 || h.maxval == 0) return false;
  if (uint64_t{h.width} * h.height > kPgmMaxPixels) return false;
  h.dataOffset = pos;
  header = h;
  return true;
}

int pgmReadHeader(const std::string& path, uint32_t& width, uint32_t& height) {
  Fd fd;
  PgmHeader h;
  if (openPgm(path, fd, h) != 0) return -1;
  width = h.width;
  height = h.height;
  return 0;
}

int pgmRead(const std::string& path, uint8_t* buffer, uint32_t pitch, uint32_t width, uint32_t height) {
  if (buffer == nullptr || pitch < width) return -1;
  Fd fd;
  PgmHeader h;
  if (openPgm(path, fd, h) != 0) return -1;
  if (h.width != width || h.height != height) return -1;
  if (pitch == width) return readAll(fd.fd, buffer, size_t{width} * height);
  for (uint32_t y = 0; y < height; ++y)
    if (readAll(fd.fd, buffer + size_t{y} * pitch, width) != 0) return -1;
  return 0;
}

int pgmWrite(const std::string& path, const uint8_t* data, uint32_t width, uint32_t height, uint32_t pitch) {
  if (data == nullptr || width == 0 || height == 0 || pitch < width) return -1;
  Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.fd < 0) return -1;
  char head[48];
  const int headLength = std::snprintf(head, sizeof head, "P5\n%u %u\n255\n", width, height);
  // Rows go out in batches of one system call each: the header and up to 63 rows.
  constexpr int kBatch = 64;
  struct iovec iov[kBatch];
  int n = 0;
  iov[n++] = {head, static_cast<size_t>(headLength)};
  const uint32_t rowsPerVector = pitch == width ? height : 1;
  for (uint32_t y = 0; y < height; y += rowsPerVector) {
    iov[n++] = {const_cast<uint8_t*>(data) + size_t{y} * pitch, size_t{width} * rowsPerVector};
    if (n == kBatch || y + rowsPerVector >= height) {
      if (writevAll(fd.fd, iov, n) != 0) return -1;
      n = 0;
    }
  }
  return 0;
}

}  // namespace analytics
}  // namespace kavo
