#pragma once
// The socket address of an endpoint. Endpoint names are checked against the camera path
// "/var/run/ipc/<name>" (at most 106 characters); the socket itself lies under the test root when
// one is set, which may make the real path too long for sun_path. Such an address is then given
// relative to its folder and bound or connected from a helper thread that has a working directory
// of its own, so the process's working directory never changes.
#include <sys/socket.h>
#include <sys/un.h>

#include <string>

namespace kavo {
namespace ipc {

class Ipc;

class EndpointAddress {
 public:
  // The address of endpoint `name` (trimmed). False, logged when `hub` is verbose, for a name that
  // cannot name an endpoint (empty, or with a "/" or a NUL byte: "Invalid <role> name provided")
  // or whose path is too long.
  bool Resolve(const Ipc* hub, const std::string& name, const char* role);
  // bind(2) / connect(2) (again after EINTR) on the address; -1 with errno on failure.
  int Bind(int fd) const;
  int Connect(int fd) const;
  // The camera path, "/var/run/ipc/<name>".
  const std::string& Path() const { return path; }

 private:
  std::string path;
  struct sockaddr_un address {};
  socklen_t length = 0;
  std::string folder;  // set when the address is relative to this folder (long test roots)
};

// A UNIX stream socket with the descriptor options of IPC sockets into `fd` (a socket already open
// there is kept). False, logged when `hub` is verbose, on failure; `what` names the socket in the
// log ("acceptor", "outbound connection").
bool OpenEndpointSocket(const Ipc* hub, int& fd, const char* what);

}  // namespace ipc
}  // namespace kavo
