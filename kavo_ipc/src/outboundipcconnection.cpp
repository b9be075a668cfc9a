#include "kavo/ipc/outboundipcconnection.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "ipclog.h"
#include "kavo/ipc/iopayload.h"
#include "kavo/ipc/ipc.h"
#include "kavo/utils/fd.h"
#include "kavo/utils/strings.h"
#include "socketaddress.h"

namespace kavo {
namespace ipc {

OutboundIPCConnection::OutboundIPCConnection(Ipc* owner_, const std::string& selfName, const std::string& peerName)
    : BaseIPCConnection(owner_, IPC_IO_TYPE_OUTBOUND_CONNECTION, selfName, peerName) {
  handshakePayload = new IOPayload();
  if (!handshakePayload->Init(fromName)) {
    delete handshakePayload;
    handshakePayload = nullptr;
  }
}

OutboundIPCConnection::~OutboundIPCConnection() = default;

bool OutboundIPCConnection::StartConnect() {
  if (handshakePayload == nullptr) return false;
  if (fd < 0) {
    fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) {
      int err = errno;
      IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to create UNIX socket: (%d) %s", err, std::strerror(err));
      return false;
    }
  }
  if (!kavo::utils::SetFdOptions(fd, 0x8c000000u)) {
    IPC_VLOG(owner, LOG_LEVEL_WARNING, errno, "Unable to set the default options of IPC outbound connection");
    return false;
  }
  socketPath = toName;
  kavo::utils::trim(socketPath);
  if (socketPath.empty() || !IsValidEndpointName(socketPath)) {
    IPC_VLOG(owner, LOG_LEVEL_ERROR, 0, "Invalid TO name provided: `%s`", toName.c_str());
    return false;
  }
  socketPath = std::string(kIpcFolder) + "/" + socketPath;
  if (socketPath.size() > kMaxSocketPathLength ||
      !FillSocketAddress(socketPath, address, addressLength, addressFolder)) {
    IPC_VLOG(owner, LOG_LEVEL_ERROR, 0, "Unix socket path too long: `%s`", socketPath.c_str());
    return false;
  }
  if (ConnectSocket(fd, address, addressLength, addressFolder) == 0) return true;
  int err = errno;
  IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to connect UNIX socket: (%d) %s", err, std::strerror(err));
  return false;
}

}  // namespace ipc
}  // namespace kavo
