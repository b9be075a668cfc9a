#include "kavo/ipc/outboundipcconnection.h"

#include <cerrno>
#include <cstring>

#include "ipclog.h"
#include "kavo/ipc/iopayload.h"
#include "kavo/ipc/ipc.h"

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
  if (!OpenEndpointSocket(owner, fd, "outbound connection")) return false;
  if (!address.Resolve(owner, toName, "TO")) return false;
  if (address.Connect(fd) == 0) return true;
  int err = errno;
  IPC_VLOG(owner, LOG_LEVEL_ERROR, err, "Unable to connect UNIX socket: (%d) %s", err, std::strerror(err));
  return false;
}

}  // namespace ipc
}  // namespace kavo
