#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "kavo/test/frame_file.h"
#include "kavo/test/loopback.h"
#include "kavo/test/shell.h"

namespace kavo {
namespace test {

Shell shell(const std::string& command) {
  Shell r;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (p == nullptr) return r;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
  const int st = ::pclose(p);
  r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

std::vector<FrameRecord> readFrameFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<FrameRecord> frames;
  size_t at = 0;
  while (at + 16 <= data.size()) {
    uint32_t size, type;
    uint64_t pts;
    std::memcpy(&size, &data[at], 4);
    std::memcpy(&type, &data[at + 4], 4);
    std::memcpy(&pts, &data[at + 8], 8);
    at += 16;
    if (size > data.size() - at) break;
    frames.push_back(FrameRecord{std::vector<uint8_t>(data.begin() + at, data.begin() + at + size), type, pts});
    at += size;
  }
  return frames;
}

namespace {

sockaddr_in loopbackAddress(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  return a;
}

}  // namespace

LoopbackListener::LoopbackListener(int backlog, uint16_t wanted, int receiveBuffer) {
  fd = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  sockaddr_in a = loopbackAddress(wanted);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::listen(fd, backlog);
  socklen_t n = sizeof(a);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &n);
  port = ntohs(a.sin_port);
}

LoopbackListener::~LoopbackListener() { ::close(fd); }

int LoopbackListener::accept(int timeoutMs) {
  struct timeval tv = {timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  return ::accept(fd, nullptr, nullptr);
}

int connectLoopback(uint16_t port, bool blocking, int receiveBuffer) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | (blocking ? 0 : SOCK_NONBLOCK), 0);
  if (receiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof(receiveBuffer));
  const sockaddr_in a = loopbackAddress(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) != 0 && (blocking || errno != EINPROGRESS)) {
    const int e = errno;
    ::close(fd);
    errno = e;
    return -1;
  }
  return fd;
}

bool loopbackListening(uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  // Addresses as the kernel prints them: the address word as it lies in memory, then the port.
  char loopback[16], any[16];
  std::snprintf(loopback, sizeof loopback, "%08X:%04X", static_cast<unsigned>(htonl(INADDR_LOOPBACK)), port);
  std::snprintf(any, sizeof any, "%08X:%04X", 0u, port);
  std::string slot, local, remote, state;
  std::string line;
  std::getline(table, line);  // the header
  while (table >> slot >> local >> remote >> state) {
    if ((local == loopback || local == any) && state == "0A") return true;  // TCP_LISTEN
    std::getline(table, line);
  }
  return false;
}

}  // namespace test
}  // namespace kavo
