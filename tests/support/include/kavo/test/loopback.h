#pragma once
// TCP on 127.0.0.1 for tests: a listener on a port of the system's choice (or a given one) and
// a connecting peer.
#include <cstdint>

namespace kavo {
namespace test {

class LoopbackListener {
 public:
  // SO_REUSEADDR, bound and listening; `receiveBuffer` > 0 sets SO_RCVBUF first (accepted sockets
  // inherit it).
  explicit LoopbackListener(int backlog = 8, uint16_t port = 0, int receiveBuffer = 0);
  ~LoopbackListener();
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  // The next connection, or -1 when none came within `timeoutMs` (0: wait as long as it takes).
  int accept(int timeoutMs = 0);

  int fd = -1;
  uint16_t port = 0;
};

// A connected socket, or -1 with errno (`blocking` false: the connect may still be in progress);
// `receiveBuffer` > 0 sets SO_RCVBUF before the connect.
int connectLoopback(uint16_t port, bool blocking = true, int receiveBuffer = 0);

// True when some process listens on 127.0.0.1:`port` (read from /proc/net/tcp, so that a peer
// that takes one connection only is not used up by looking).
bool loopbackListening(uint16_t port);

}  // namespace test
}  // namespace kavo
