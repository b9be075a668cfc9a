// Round trips of small requests between two processes: the IPC hub (request with
// "responseExpected", answered by a handler) beside a plain blocking UNIX-socket ping-pong that
// carries the very same request and response frames, measured in alternating blocks in one run.
//   kavo_ipc_roundtrip_bench [round trips, default 10000] [client CPU] [server CPU]
// Prints p50, p99 and mean per round trip of both and the ratios IPC / plain. Given CPUs, the
// client runs on the first and both servers on the second (the same number: all on one CPU);
// without them the scheduler places the processes, which on a virtual machine makes the figures
// depend on where the wake-ups land more than on the code.
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kavo/ipc/ipc.h"
#include "kavo/os/path.h"

using kavo::ipc::BaseHandler;
using kavo::ipc::Ipc;
using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kServer = "bench_server";
const char* const kClient = "bench_client";

class PingServer : public BaseHandler {
 public:
  PingServer() : BaseHandler("PingServer") {}
  bool MessageSentSuccessfully(BaseMessage&, bool&) override { return true; }
  bool HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) override { return true; }
  bool HandleRequest(BaseRequestMessage& request, bool&) override {
    if (request.functionName() == "Quit") quit = true;
    BaseResponseMessage response;
    return ipc->SendResponse(request, response);
  }
  bool quit = false;
};

class PingClient : public BaseHandler {
 public:
  PingClient() : BaseHandler("PingClient") {}
  bool MessageSentSuccessfully(BaseMessage&, bool&) override { return true; }
  bool HandleResponse(BaseRequestMessage&, BaseResponseMessage&, bool&) override {
    answered = true;
    return true;
  }
  bool HandleRequest(BaseRequestMessage&, bool&) override { return true; }
  bool answered = false;
};

std::string Frame(const std::string& body) {
  uint32_t n = static_cast<uint32_t>(body.size());
  std::string f = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                   static_cast<char>(n)};
  return f + body;
}

bool ReadAll(int fd, char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::read(fd, p, n);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

bool WriteAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

std::string PlainPath() { return kavo::os::path("/var/run/ipc/bench_plain"); }

sockaddr_un Address(const std::string& path) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
  return a;
}

// Answers every request frame with `response`, until the peer closes.
[[noreturn]] void PlainServer(int listener, const std::string& response) {
  int fd = ::accept(listener, nullptr, nullptr);
  std::vector<char> body(1 << 16);
  for (;;) {
    char h[4];
    if (!ReadAll(fd, h, 4)) break;
    uint32_t n = (uint32_t(uint8_t(h[0])) << 24) | (uint32_t(uint8_t(h[1])) << 16) | (uint32_t(uint8_t(h[2])) << 8) |
                 uint8_t(h[3]);
    if (n > body.size() || !ReadAll(fd, body.data(), n)) break;
    if (!WriteAll(fd, response.data(), response.size())) break;
  }
  ::_exit(0);
}

[[noreturn]] void IpcServer(int ready) {
  PingServer handler;
  Ipc* ipc = Ipc::GetInstance();
  ipc->AddHandler("Ping", &handler).AddHandler("Quit", &handler);
  char ok = ipc->Init(kServer, false) ? 1 : 0;
  (void)!::write(ready, &ok, 1);
  while (!handler.quit) ipc->Service(-1);
  for (int i = 0; i < 10; ++i) ipc->Service(10);
  Ipc::FreeInstance();
  ::_exit(0);
}

void Pin(int cpu) {
  if (cpu < 0) return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (::sched_setaffinity(0, sizeof set, &set) != 0) std::perror("sched_setaffinity");
}

struct Stats {
  double p50, p99, mean;
};

Stats Summarise(std::vector<double> us) {
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  auto at = [&](double q) { return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))]; };
  return {at(0.50), at(0.99), sum / us.size()};
}

}  // namespace

int main(int argc, char** argv) {
  // A count or CPU that is not a plain number would give no round trips to summarise.
  auto number = [](const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) return false;
    *out = v;
    return true;
  };
  long rounds = 10000, clientCpu = -1, serverCpu = -1;
  if (argc > 4 || (argc > 1 && !number(argv[1], 1, 100000000, &rounds)) ||
      (argc > 2 && !number(argv[2], 0, CPU_SETSIZE - 1, &clientCpu)) ||
      (argc > 3 && !number(argv[3], 0, CPU_SETSIZE - 1, &serverCpu))) {
    std::fprintf(stderr, "usage: kavo_ipc_roundtrip_bench [round trips >= 1] [client CPU] [server CPU]\n");
    return 2;
  }
  if (argc == 3) serverCpu = clientCpu;
  const size_t total = static_cast<size_t>(rounds);
  const size_t block = 500;
  char root[] = "/tmp/kr.XXXXXX";
  if (::mkdtemp(root) == nullptr) return 1;
  ::setenv("KAVO_ROOT", root, 1);
  ::mkdir((std::string(root) + "/var").c_str(), 0755);
  ::mkdir((std::string(root) + "/var/run").c_str(), 0755);
  ::mkdir((std::string(root) + "/var/run/ipc").c_str(), 0755);
  ::mkdir((std::string(root) + "/tmp").c_str(), 0755);

  // The frames the hub exchanges, for the plain ping-pong.
  BaseRequestMessage sample;
  sample.functionName("Ping");
  sample.from(kClient);
  sample.to(kServer);
  sample.responseExpected(true);
  sample.NormalizeFields();
  BaseResponseMessage answer;
  answer.requestId(sample.id());
  answer.from(kServer);
  answer.to(kClient);
  answer.NormalizeFields();
  std::string requestJson, responseJson;
  sample.ToJSON(requestJson, false);
  answer.ToJSON(responseJson, false);
  const std::string requestFrame = Frame(requestJson), responseFrame = Frame(responseJson);

  int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un plainAddress = Address(PlainPath());
  if (::bind(listener, reinterpret_cast<sockaddr*>(&plainAddress), sizeof plainAddress) != 0 ||
      ::listen(listener, 4) != 0)
    return 1;
  pid_t plainPid = ::fork();
  if (plainPid == 0) {
    Pin(serverCpu);
    PlainServer(listener, responseFrame);
  }
  ::close(listener);
  int ready[2];
  if (::pipe(ready) != 0) return 1;
  pid_t ipcPid = ::fork();
  if (ipcPid == 0) {
    Pin(serverCpu);
    IpcServer(ready[1]);
  }
  Pin(clientCpu);
  char ok = 0;
  if (::read(ready[0], &ok, 1) != 1 || ok != 1) {
    std::fprintf(stderr, "IPC server did not start\n");
    return 1;
  }

  int plain = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (::connect(plain, reinterpret_cast<sockaddr*>(&plainAddress), sizeof plainAddress) != 0) return 1;
  PingClient client;
  Ipc* ipc = Ipc::GetInstance();
  ipc->AddHandler("Ping", &client).AddHandler("Quit", &client);
  if (!ipc->Init(kClient, true)) return 1;

  auto ipcRoundTrip = [&] {
    BaseRequestMessage request;
    request.functionName("Ping");
    request.from(kClient);
    request.to(kServer);
    request.responseExpected(true);
    client.answered = false;
    auto t0 = Clock::now();
    if (!ipc->SendRequest(request)) std::exit(1);
    while (!client.answered) ipc->Service(-1);
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  };
  std::vector<char> reply(responseFrame.size());
  auto plainRoundTrip = [&] {
    auto t0 = Clock::now();
    if (!WriteAll(plain, requestFrame.data(), requestFrame.size()) || !ReadAll(plain, reply.data(), reply.size()))
      std::exit(1);
    return std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
  };

  for (int i = 0; i < 500; ++i) {  // warm-up: connections, pools, caches
    ipcRoundTrip();
    plainRoundTrip();
  }
  std::vector<double> ipcUs, plainUs;
  ipcUs.reserve(total);
  plainUs.reserve(total);
  while (ipcUs.size() < total) {
    size_t n = std::min(block, total - ipcUs.size());
    for (size_t i = 0; i < n; ++i) plainUs.push_back(plainRoundTrip());
    for (size_t i = 0; i < n; ++i) ipcUs.push_back(ipcRoundTrip());
  }

  BaseRequestMessage quit;
  quit.functionName("Quit");
  quit.from(kClient);
  quit.to(kServer);
  quit.responseExpected(true);
  client.answered = false;
  ipc->SendRequest(quit);
  while (!client.answered) ipc->Service(1000);
  Ipc::FreeInstance();
  ::close(plain);
  ::waitpid(ipcPid, nullptr, 0);
  ::waitpid(plainPid, nullptr, 0);
  ::unlink(PlainPath().c_str());
  std::string cleanup = std::string("rm -rf ") + root;
  (void)!std::system(cleanup.c_str());

  Stats a = Summarise(ipcUs), b = Summarise(plainUs);
  std::printf("round trips: %zu each, request frame %zu bytes, response frame %zu bytes\n", total,
              requestFrame.size(), responseFrame.size());
  std::printf("%-14s %10s %10s %10s\n", "", "p50 us", "p99 us", "mean us");
  std::printf("%-14s %10.2f %10.2f %10.2f\n", "ipc", a.p50, a.p99, a.mean);
  std::printf("%-14s %10.2f %10.2f %10.2f\n", "plain socket", b.p50, b.p99, b.mean);
  std::printf("%-14s %10.2f %10.2f %10.2f\n", "ratio", a.p50 / b.p50, a.p99 / b.p99, a.mean / b.mean);
  return 0;
}
