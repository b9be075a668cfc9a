#include "kavo/ipc/baseipcio.h"

#include <cassert>
#include <cerrno>
#include <cstring>
#include <sched.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "kavo/ipc/ipc.h"
#include "kavo/os/path.h"
#include "kavo/utils/strings.h"
#include "socketaddress.h"

namespace kavo {
namespace ipc {

BaseIPCIO::BaseIPCIO(Ipc* owner_, IPCIOType type_, const std::string& fromName_, const std::string& toName_)
    : owner(owner_), type(type_), fromName(fromName_), toName(toName_), id(0) {
  assert(owner != nullptr);
  if (owner != nullptr) id = owner->CreateUniqueId();
  SetToString();
}

BaseIPCIO::~BaseIPCIO() {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

std::string BaseIPCIO::ToString() const { return label; }

void BaseIPCIO::SetToString() {
  const char* from = fromName.empty() ? "?" : fromName.c_str();
  const char* to = toName.empty() ? "?" : toName.c_str();
  const unsigned long long n = static_cast<unsigned long long>(id);
  switch (type) {
    case IPC_IO_TYPE_ACCEPTOR: label = kavo::utils::format("%s(A_%llu)", from, n); break;
    case IPC_IO_TYPE_OUTBOUND_CONNECTION:
      label = kavo::utils::format("%s(%s_%llu): %s -> %s", to, "OC", n, from, to);
      break;
    case IPC_IO_TYPE_INBOUND_CONNECTION:
      label = kavo::utils::format("%s(%s_%llu): %s -> %s", from, "IC", n, from, to);
      break;
    case IPC_IO_TYPE_TIMER: label = kavo::utils::format("%s(T_%llu)", from, n); break;
    default: label = "#unknown#"; break;
  }
}

// ---- socket addresses ------------------------------------------------------------------------

const char* const kIpcFolder = "/var/run/ipc";

bool IsValidEndpointName(const std::string& name) {
  // A "/" would reach sockets outside the endpoint folder; a NUL would cut the path short.
  return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

bool FillSocketAddress(const std::string& cameraPath, struct sockaddr_un& address, socklen_t& length,
                       std::string& folder) {
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  folder.clear();
  const std::string real = kavo::os::path(cameraPath);
  std::string shown = real;
  if (real.size() > kMaxSocketPathLength) {
    const size_t slash = real.rfind('/');
    if (slash == std::string::npos) return false;
    folder = real.substr(0, slash);
    shown = real.substr(slash + 1);
  }
  if (shown.size() >= sizeof address.sun_path) return false;
  std::memcpy(address.sun_path, shown.data(), shown.size());
  length = static_cast<socklen_t>(shown.size() + 3);
  return true;
}

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

int BindSocket(int fd, const struct sockaddr_un& address, socklen_t length, const std::string& folder) {
  auto call = [&] { return ::bind(fd, reinterpret_cast<const struct sockaddr*>(&address), length); };
  return folder.empty() ? call() : RunInFolder(folder, call);
}

int ConnectSocket(int fd, const struct sockaddr_un& address, socklen_t length, const std::string& folder) {
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
