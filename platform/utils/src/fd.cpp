#include "kavo/utils/fd.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace kavo {
namespace utils {

namespace {

bool ignoreSigpipe() {
  static std::once_flag once;
  static bool ok = false;
  std::call_once(once, [] {
    struct sigaction current;
    if (::sigaction(SIGPIPE, nullptr, &current) != 0) return;
    if (!(current.sa_flags & SA_SIGINFO) && current.sa_handler == SIG_DFL) {
      struct sigaction ignore {};
      ignore.sa_handler = SIG_IGN;
      sigemptyset(&ignore.sa_mask);
      if (::sigaction(SIGPIPE, &ignore, nullptr) != 0) return;
    }
    // A handler of the program's own (or an explicit ignore) also keeps the process alive.
    ok = true;
  });
  return ok;
}

bool isTcpSocket(int fd) {
  int protocol = 0;
  socklen_t len = sizeof protocol;
  if (::getsockopt(fd, SOL_SOCKET, SO_PROTOCOL, &protocol, &len) != 0) return false;
  return protocol == IPPROTO_TCP;
}

}  // namespace

bool SetFdOptions(int fd, uint32_t flags) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  if ((flags & FD_OPTION_NONBLOCK) && !SetFdNonBlock(fd)) return false;
  if (flags & FD_OPTION_CLOEXEC) {
    int f = ::fcntl(fd, F_GETFD);
    if (f < 0 || (!(f & FD_CLOEXEC) && ::fcntl(fd, F_SETFD, f | FD_CLOEXEC) != 0)) return false;
  }
  if ((flags & FD_OPTION_NOSIGPIPE) && !ignoreSigpipe()) return false;
  if ((flags & FD_OPTION_TCP_NODELAY) && isTcpSocket(fd)) {
    int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) return false;
  }
  return true;
}

bool SetFdNonBlock(int fd) {
  int f = ::fcntl(fd, F_GETFL);
  if (f < 0) return false;
  if (f & O_NONBLOCK) return true;
  return ::fcntl(fd, F_SETFL, f | O_NONBLOCK) == 0;
}

bool SetFdReuseIpPort(int fd) {
  int one = 1;
  return ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

}  // namespace utils
}  // namespace kavo
