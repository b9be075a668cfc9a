// Arbitrary bytes from a peer on an accepted connection: framing, handshake, JSON, dispatch to
// the ready handlers and the answers they queue.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/ipc.h"
#include "kavo/ipc/loghandler.h"
#include "kavo/logger/logger.h"

using kavo::ipc::Ipc;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool ready = [] {
    kavo::logger::setSink([](const kavo::logger::LogRecord&) {});
    // Answers to made-up endpoints try to connect: keep that inside a private, empty root.
    static char root[] = "/tmp/kr.fuzzXXXXXX";
    if (::mkdtemp(root) != nullptr) {
      ::setenv("KAVO_ROOT", root, 1);
      std::atexit([] { ::rmdir(root); });
    }
    return true;
  }();
  (void)ready;

  Ipc hub;
  if (!hub.Init("fuzz", true)) return 0;
  hub.SetVerbose(true);
  kavo::ipc::CatchAllHandlerRejector rejector;
  kavo::ipc::LogHandler logger;
  hub.AddHandler("Log", &logger).AddHandler("Log", &rejector).AddHandler("", &rejector);

  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, sv) != 0) return 0;
  if (!hub.SignalAcceptedConnection(sv[0])) {
    ::close(sv[1]);
    return 0;
  }
  char sink[65536];
  size_t off = 0;
  for (int round = 0; off < size && round < 10000; ++round) {
    ssize_t w = ::send(sv[1], data + off, size - off, MSG_NOSIGNAL);
    if (w > 0) off += static_cast<size_t>(w);
    if (w < 0 && errno != EAGAIN) break;
    hub.Service(0);
    while (::recv(sv[1], sink, sizeof sink, 0) > 0) {
    }
  }
  ::shutdown(sv[1], SHUT_WR);
  for (int round = 0; round < 64 && hub.GetActiveIOsCount() > 0; ++round) {
    hub.Service(0);
    while (::recv(sv[1], sink, sizeof sink, 0) > 0) {
    }
  }
  ::close(sv[1]);
  return 0;
}
