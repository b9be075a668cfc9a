#include "kavo/ipc/endpointaddress.h"

#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "ipclog.h"
#include "kavo/os/path.h"
#include "kavo/utils/fd.h"
#include "kavo/utils/strings.h"
#include "socketaddress.h"

namespace kavo {
namespace ipc {

const char* const kIpcFolder = "/var/run/ipc";

namespace {

// Runs `call` with `folder` as working directory, on a thread that has its own.
template <typename F>
int RunInFolder(const std::string& folder, F call) {
  int result = -1;
  int err = 0;
  try {
    std::thread helper([&] {
      if (::unshare(CLONE_FS) != 0 || ::chdir(folder.c_str()) != 0) {
        err = errno;
        return;
      }
      result = call();
      err = errno;
    });
    helper.join();
  } catch (const std::system_error&) {
    err = EAGAIN;
  }
  errno = err;
  return result;
}

}  // namespace

bool EndpointAddress::Resolve(const Ipc* hub, const std::string& name, const char* role) {
  std::string trimmed = name;
  kavo::utils::trim(trimmed);
  // A "/" would reach sockets outside the endpoint folder; a NUL would cut the path short.
  if (trimmed.empty() || trimmed.find('/') != std::string::npos || trimmed.find('\0') != std::string::npos) {
    IPC_VLOG(hub, LOG_LEVEL_ERROR, 0, "Invalid %s name provided: `%s`", role, name.c_str());
    return false;
  }
  path = std::string(kIpcFolder) + "/" + trimmed;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  folder.clear();
  const std::string real = kavo::os::path(path);
  std::string shown = real;
  bool fits = path.size() <= kMaxSocketPathLength;
  if (fits && real.size() > kMaxSocketPathLength) {
    const size_t slash = real.rfind('/');
    fits = slash != std::string::npos;
    if (fits) {
      folder = real.substr(0, slash);
      shown = real.substr(slash + 1);
    }
  }
  if (!fits || shown.size() >= sizeof address.sun_path) {
    IPC_VLOG(hub, LOG_LEVEL_ERROR, 0, "Unix socket path too long: `%s`", path.c_str());
    return false;
  }
  std::memcpy(address.sun_path, shown.data(), shown.size());
  length = static_cast<socklen_t>(shown.size() + 3);
  return true;
}

bool OpenEndpointSocket(const Ipc* hub, int& fd, const char* what) {
  if (fd < 0) {
    fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
      int err = errno;
      IPC_VLOG(hub, LOG_LEVEL_ERROR, err, "Unable to create UNIX socket: (%d) %s", err, std::strerror(err));
      return false;
    }
  }
  if (!kavo::utils::SetFdOptions(fd, 0x8c000000u)) {
    IPC_VLOG(hub, LOG_LEVEL_WARNING, errno, "Unable to set the default options of IPC %s", what);
    return false;
  }
  return true;
}

int EndpointAddress::Bind(int fd) const {
  auto call = [&] { return ::bind(fd, reinterpret_cast<const struct sockaddr*>(&address), length); };
  return folder.empty() ? call() : RunInFolder(folder, call);
}

int EndpointAddress::Connect(int fd) const {
  auto call = [&] {
    int r;
    do {
      r = ::connect(fd, reinterpret_cast<const struct sockaddr*>(&address), length);
    } while (r != 0 && errno == EINTR);
    return r;
  };
  return folder.empty() ? call() : RunInFolder(folder, call);
}

}  // namespace ipc
}  // namespace kavo
