#pragma once
// The listening socket of our endpoint, "/var/run/ipc/<name>".
#include <string>
#include <sys/socket.h>
#include <sys/un.h>

#include "kavo/ipc/baseipcio.h"

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
  std::string socketPath;
  struct sockaddr_un address {};
  socklen_t addressLength = 0;
  std::string addressFolder;  // set when the address is relative to this folder (long test roots)
};

}  // namespace ipc
}  // namespace kavo
