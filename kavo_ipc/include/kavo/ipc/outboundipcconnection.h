#pragma once
// A connection that this process opens to a peer's endpoint; its first frame is our name.
#include <string>

#include "kavo/ipc/baseipcconnection.h"
#include "kavo/ipc/endpointaddress.h"

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
  EndpointAddress address;
};

}  // namespace ipc
}  // namespace kavo
