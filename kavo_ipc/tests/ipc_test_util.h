#pragma once
// Helpers of the hub's unit tests: raw peers on plain sockets, frames, pumping hubs, a recording
// handler and the test access to the hub's IO accounting.
#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "kavo/ipc/basehandler.h"
#include "kavo/ipc/baseipcconnection.h"
#include "kavo/ipc/ipc.h"
#include "kavo/os/path.h"

namespace kavo {
namespace ipc {

struct IpcTestAccess {
  static void Deactivate(Ipc& ipc, BaseIPCIO* io) { ipc.DeactivateIO(io); }
  static bool Activate(Ipc& ipc, BaseIPCIO* io) { return ipc.ActivateIO(io); }
  static void ForgetDead(Ipc& ipc, BaseIPCIO* io) { ipc.deadIOs.erase(io->GetId()); }
  // The reconnect timer's descriptor, -1 without one.
  static int TimerFd(const Ipc& ipc) {
    for (const auto& io : ipc.activeIOs)
      if (io.second->GetType() == IPC_IO_TYPE_TIMER) return io.second->GetFd();
    return -1;
  }
};

namespace test {

using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

inline std::string Frame(const std::string& body) {
  uint32_t n = htonl(static_cast<uint32_t>(body.size()));
  std::string f(reinterpret_cast<const char*>(&n), 4);
  return f + body;
}

inline std::string Header(uint32_t length) {
  uint32_t n = htonl(length);
  return std::string(reinterpret_cast<const char*>(&n), 4);
}

inline std::string EndpointPath(const std::string& name) { return kavo::os::path("/var/run/ipc/" + name); }

// A plain blocking socket connected to an endpoint (no handshake sent); -1 on failure.
inline int RawConnect(const std::string& name) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::string p = EndpointPath(name);
  std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A plain listening socket at an endpoint's path.
inline int RawListen(const std::string& name) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  struct sockaddr_un a {};
  a.sun_family = AF_UNIX;
  std::string p = EndpointPath(name);
  ::unlink(p.c_str());
  std::strncpy(a.sun_path, p.c_str(), sizeof a.sun_path - 1);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

inline bool WriteAll(int fd, const std::string& data) {
  size_t off = 0;
  while (off < data.size()) {
    ssize_t r = ::send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
    if (r <= 0) return false;
    off += static_cast<size_t>(r);
  }
  return true;
}

// Serves the hubs (Service(0) each) until `done` holds or `ms` milliseconds pass.
inline bool Pump(std::initializer_list<Ipc*> hubs, const std::function<bool()>& done, int ms = 3000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    for (Ipc* h : hubs) h->Service(0);
    if (done()) return true;
    ::usleep(200);
  }
  return done();
}

// Reads exactly `n` bytes from a blocking fd with a poll deadline; false on timeout or EOF.
inline bool ReadExact(int fd, std::string& out, size_t n, int ms = 3000, const std::function<void()>& idle = {}) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  out.clear();
  char buf[65536];
  while (out.size() < n) {
    if (std::chrono::steady_clock::now() >= end) return false;
    if (idle) idle();
    struct pollfd p {fd, POLLIN, 0};
    if (::poll(&p, 1, idle ? 1 : 50) <= 0) continue;
    ssize_t r = ::recv(fd, buf, std::min(sizeof buf, n - out.size()), 0);
    if (r <= 0) return false;
    out.append(buf, static_cast<size_t>(r));
  }
  return true;
}

// Reads one frame body; false on timeout or EOF.
inline bool ReadFrame(int fd, std::string& body, int ms = 3000, const std::function<void()>& idle = {}) {
  std::string h;
  if (!ReadExact(fd, h, 4, ms, idle)) return false;
  uint32_t n;
  std::memcpy(&n, h.data(), 4);
  return ReadExact(fd, body, ntohl(n), ms, idle);
}

// Records what it is given; optional behaviour per call.
class RecordingHandler : public BaseHandler {
 public:
  explicit RecordingHandler(const std::string& name) : BaseHandler(name) {}
  bool MessageSentSuccessfully(BaseMessage& message, bool& cont) override {
    sent.push_back(message);
    cont = !stop;
    return result;
  }
  bool HandleResponse(BaseRequestMessage& request, BaseResponseMessage& response, bool& cont) override {
    responseRequests.push_back(request);
    responses.push_back(response);
    cont = !stop;
    return result;
  }
  bool HandleRequest(BaseRequestMessage& request, bool& cont) override {
    requests.push_back(request);
    if (onRequest) onRequest(request);
    cont = !stop;
    return result;
  }

  bool result = true;
  bool stop = false;
  std::function<void(BaseRequestMessage&)> onRequest;
  std::vector<BaseMessage> sent;
  std::vector<BaseRequestMessage> requests;
  std::vector<BaseRequestMessage> responseRequests;
  std::vector<BaseResponseMessage> responses;
};

inline BaseRequestMessage MakeRequest(const std::string& function, const std::string& from, const std::string& to,
                                      bool responseExpected) {
  BaseRequestMessage r;
  r.functionName(function);
  r.from(from);
  r.to(to);
  r.responseExpected(responseExpected);
  return r;
}

}  // namespace test
}  // namespace ipc
}  // namespace kavo
