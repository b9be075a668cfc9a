#include "kavo/utils/fd.h"
#include "kavo/utils/net.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace kavo::utils;

namespace {

bool nonBlocking(int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; }
bool closeOnExec(int fd) { return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0; }

int listenTcp(uint16_t port, bool reuse, int* err = nullptr) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (reuse) {
    EXPECT_TRUE(SetFdReuseIpPort(fd));
  }
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0) {
    if (err) *err = errno;
    ::close(fd);
    return -1;
  }
  return fd;
}

uint16_t portOf(int fd) {
  struct sockaddr_in a {};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

int connectTcp(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(port);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  return fd;
}

}  // namespace

TEST(FdOptions, IpcWordGivesNonBlockingCloseOnExecSocketThatSurvivesAGonePeer) {
  ::signal(SIGPIPE, SIG_DFL);
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  ASSERT_TRUE(SetFdOptions(sv[0], 0x8c000000));
  EXPECT_TRUE(nonBlocking(sv[0]));
  EXPECT_TRUE(closeOnExec(sv[0]));
  EXPECT_FALSE(nonBlocking(sv[1]));

  char big[65536] = {};
  ssize_t n = 0;
  while ((n = ::send(sv[0], big, sizeof big, 0)) > 0) {
  }
  EXPECT_EQ(errno, EAGAIN);  // writes report would-block instead of waiting

  ::close(sv[1]);
  // Plain send with no flags to a gone peer: EPIPE, and the process lives on.
  EXPECT_EQ(::send(sv[0], big, 1, 0), -1);
  EXPECT_EQ(errno, EPIPE);
  ::close(sv[0]);
}

TEST(FdOptions, TcpWordGivesNonBlockingNoDelaySocket) {
  ::signal(SIGPIPE, SIG_DFL);
  int l = listenTcp(0, false);
  ASSERT_GE(l, 0);
  int c = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_TRUE(SetFdOptions(c, 0x98000000));
  EXPECT_TRUE(nonBlocking(c));
  int nodelay = 0;
  socklen_t len = sizeof nodelay;
  ASSERT_EQ(::getsockopt(c, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
  EXPECT_NE(nodelay, 0);

  struct sockaddr_in a {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(portOf(l));
  int r = ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a);
  EXPECT_TRUE(r == 0 || errno == EINPROGRESS);

  // No accept yet on a non-blocking listener: EAGAIN rather than a wait.
  ASSERT_TRUE(SetFdNonBlock(l));
  int peer = -1;
  for (int i = 0; i < 200 && peer < 0; ++i) {
    peer = ::accept(l, nullptr, nullptr);
    if (peer < 0) {
      EXPECT_EQ(errno, EAGAIN);
      ::usleep(5000);
    }
  }
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(SetFdOptions(peer, 0x98000000));
  char big[65536] = {};
  while (::write(peer, big, sizeof big) > 0) {
  }
  EXPECT_EQ(errno, EAGAIN);
  ::close(c);
  ::usleep(20000);
  // writev-style write (no flags possible) to the closed peer must not raise SIGPIPE.
  ssize_t w = 0;
  for (int i = 0; i < 100 && w >= 0; ++i) {
    w = ::write(peer, big, sizeof big);
    if (w < 0 && errno == EAGAIN) w = 0, ::usleep(5000);
  }
  EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
  ::close(peer);
  ::close(l);

  // Options on a Unix socket skip the TCP-only part; a bad descriptor fails.
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
  EXPECT_TRUE(SetFdOptions(sv[0], 0x98000000));
  ::close(sv[0]);
  ::close(sv[1]);
  EXPECT_FALSE(SetFdOptions(-1, 0x8c000000));
  EXPECT_FALSE(SetFdNonBlock(-1));
}

TEST(FdOptions, ReuseLetsAListenerBindThePortOfAClosedConnection) {
  int l = listenTcp(0, true);
  ASSERT_GE(l, 0);
  uint16_t port = portOf(l);
  int c = connectTcp(port);
  int a = ::accept(l, nullptr, nullptr);
  ASSERT_GE(a, 0);
  ::close(a);  // the accepting side closes first and keeps the port in TIME_WAIT
  ::usleep(20000);
  ::close(c);
  ::close(l);
  ::usleep(20000);

  int err = 0;
  int without = listenTcp(port, false, &err);
  EXPECT_LT(without, 0);
  EXPECT_EQ(err, EADDRINUSE);
  if (without >= 0) ::close(without);
  int with = listenTcp(port, true);
  EXPECT_GE(with, 0);
  if (with >= 0) ::close(with);
}

TEST(Net, GetHostByNameGivesDottedIPv4OrEmpty) {
  EXPECT_EQ(getHostByName("127.0.0.1"), "127.0.0.1");
  EXPECT_EQ(getHostByName("localhost"), "127.0.0.1");
  EXPECT_EQ(getHostByName(""), "");
  EXPECT_EQ(getHostByName("::1"), "");  // no IPv4 form
}
