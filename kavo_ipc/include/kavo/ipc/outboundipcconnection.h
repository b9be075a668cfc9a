#pragma once
// A connection that this process opens to a peer's endpoint; its first frame is our name.
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

#include "kavo/ipc/baseipcconnection.h"

namespace kavo {
namespace ipc {

class OutboundIPCConnection : public BaseIPCConnection {
 public:
  OutboundIPCConnection(Ipc* owner, const std::string& selfName, const std::string& peerName);
  ~OutboundIPCConnection() override;

  // Creates the socket and connects to "/var/run/ipc/<peer>"; false (logged when verbose) on any
  // failure, the hub then deletes the object and its timer tries again.
  bool StartConnect();

 private:
  std::string socketPath;
  struct sockaddr_un address {};
  socklen_t addressLength = 0;
  std::string addressFolder;  // set when the address is relative to this folder (long test roots)
};

}  // namespace ipc
}  // namespace kavo
