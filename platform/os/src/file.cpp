#include "kavo/os/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace kavo {
namespace os {

int openRegularFile(const std::string& file) {
  // O_NONBLOCK: a FIFO without a writer would otherwise hold the open until one comes.
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return -1;
  struct stat st;
  int err = 0;
  if (::fstat(fd, &st) != 0)
    err = errno;
  else if (!S_ISREG(st.st_mode))
    err = EINVAL;
  if (err != 0) {
    ::close(fd);
    errno = err;
    return -1;
  }
  // Reads of a regular file do not block anyway; callers get an ordinary descriptor.
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

bool readRegularFile(const std::string& file, std::string& out, size_t limit) {
  out.clear();
  const int fd = openRegularFile(file);
  if (fd < 0) return false;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<size_t>(st.st_size) <= limit)
    out.reserve(static_cast<size_t>(st.st_size));
  char buf[16384];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n > 0 && out.size() + static_cast<size_t>(n) > limit)) {
      const int err = n < 0 ? errno : EFBIG;
      ::close(fd);
      out.clear();
      errno = err;
      return false;
    }
    if (n == 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return true;
}

}  // namespace os
}  // namespace kavo
