#pragma once
// The listening socket of our endpoint, "/var/run/ipc/<name>".
#include <string>

#include "kavo/ipc/baseipcio.h"
#include "kavo/ipc/endpointaddress.h"

namespace kavo {
namespace ipc {

class IPCIOAcceptor : public BaseIPCIO {
 public:
  IPCIOAcceptor(Ipc* owner, const std::string& selfName);
  ~IPCIOAcceptor() override;

  bool Initialize();
  // Accepts one connection and hands it to the hub; always 0.
  int DoRead() override;
  int DoWrite() override;  // not for an acceptor: -1

 private:
  EndpointAddress address;
};

}  // namespace ipc
}  // namespace kavo
