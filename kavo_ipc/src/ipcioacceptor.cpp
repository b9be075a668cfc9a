#include "kavo/ipc/ipcioacceptor.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "ipclog.h"
#include "kavo/ipc/ipc.h"
#include "kavo/os/path.h"
#include "kavo/utils/fd.h"
#include "socketaddress.h"

namespace kavo {
namespace ipc {

IPCIOAcceptor::IPCIOAcceptor(Ipc* owner_, const std::string& selfName)
    : BaseIPCIO(owner_, IPC_IO_TYPE_ACCEPTOR, selfName, std::string()) {}

IPCIOAcceptor::~IPCIOAcceptor() = default;

bool IPCIOAcceptor::Initialize() {
  if (!address.Resolve(owner, fromName, "FROM")) return false;
  const std::string folder = kavo::os::path(kIpcFolder);
  if (::mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    int err = errno;
    IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to create folder `/var/run/ipc`: (%d) %s", err,
             std::strerror(err));
    return false;
  }
  ::unlink(kavo::os::path(address.Path()).c_str());
  if (!OpenEndpointSocket(owner, fd, "acceptor")) return false;
  if (address.Bind(fd) != 0) {
    int err = errno;
    IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to bind UNIX socket on `%s`: (%d) %s", address.Path().c_str(), err,
             std::strerror(err));
    return false;
  }
  if (::listen(fd, 128) != 0) {
    int err = errno;
    IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to listen on UNIX socket `%s`: (%d) %s", address.Path().c_str(),
             err, std::strerror(err));
    return false;
  }
  SetToString();
  return true;
}

int IPCIOAcceptor::DoRead() {
  struct sockaddr_un peer;
  socklen_t peerLength = 110;
  int accepted = ::accept(fd, reinterpret_cast<struct sockaddr*>(&peer), &peerLength);
  if (accepted < 0) {
    int err = errno;
    if (err != EAGAIN && err != EWOULDBLOCK)
      IPC_VLOG(owner, LOG_LEVEL_WARNING, err, "Unable to accept connection on UNIX socket `%s`: (%d) %s",
               address.Path().c_str(), err, std::strerror(err));
    return 0;
  }
  if (!kavo::utils::SetFdOptions(accepted, 0x8c000000u)) {
    IPC_VLOG(owner, LOG_LEVEL_WARNING, errno, "Unable to set the default options of IPC accepted socket");
    ::close(accepted);
    return 0;
  }
  if (!owner->SignalAcceptedConnection(accepted))
    IPC_VLOG(owner, LOG_LEVEL_WARNING, 0, "Inbound connection not properly accepted");
  return 0;
}

int IPCIOAcceptor::DoWrite() {
  IPC_VLOG(owner, LOG_LEVEL_ERROR, 0, "DoWrite call attempted on an IPC acceptor");
  return -1;
}

}  // namespace ipc
}  // namespace kavo
