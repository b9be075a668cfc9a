#include "kavo/utils/iobuffer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

// Counts heap allocations of the whole process while `g_counting` is set (the buffer allocates
// through operator new, so its growth shows here).
static std::atomic<bool> g_counting{false};
static std::atomic<long> g_allocations{0};

// (GCC takes the malloc/free pairs below for a mismatch once they are inlined.)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t n) {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1);
  return std::malloc(n == 0 ? 1 : n);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
#pragma GCC diagnostic pop

using kavo::utils::IOBuffer;

namespace {

std::string contents(const IOBuffer& b) {
  return std::string(reinterpret_cast<const char*>(b.GetPointer()), b.GetAvailableBytesCount());
}

struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair() {
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fd), 0);
    for (int f : fd) ::fcntl(f, F_SETFL, ::fcntl(f, F_GETFL) | O_NONBLOCK);
  }
  ~SocketPair() {
    for (int f : fd)
      if (f >= 0) ::close(f);
  }
};

}  // namespace

TEST(IOBuffer, AppendsAtTheEndConsumesFromTheFrontAndExposesOneBlock) {
  IOBuffer b;
  EXPECT_EQ(b.GetAvailableBytesCount(), 0u);
  EXPECT_TRUE(b.ReadFromBuffer("head", 4));
  EXPECT_TRUE(b.ReadFromRepeat('x', 3));
  EXPECT_TRUE(b.ReadFromBuffer(nullptr, 0));
  EXPECT_EQ(contents(b), "headxxx");

  EXPECT_TRUE(b.Ignore(2));
  EXPECT_EQ(contents(b), "adxxx");
  // More than is unread: refused, nothing lost.
  EXPECT_FALSE(b.Ignore(6));
  EXPECT_EQ(contents(b), "adxxx");

  // The block may be overwritten in place.
  b.GetPointer()[0] = 'A';
  EXPECT_EQ(contents(b), "Adxxx");

  EXPECT_TRUE(b.MoveData());
  EXPECT_EQ(contents(b), "Adxxx");
  EXPECT_TRUE(b.IgnoreAll());
  EXPECT_EQ(b.GetAvailableBytesCount(), 0u);
  EXPECT_GT(b.GetCapacity(), 0u);  // storage is kept for the next use
}

TEST(IOBuffer, VectorAppendLeavesOutTheSkippedLeadingBytes) {
  std::string a = "abc", d = "defg", h = "h";
  struct iovec iov[4] = {{&a[0], a.size()}, {nullptr, 0}, {&d[0], d.size()}, {&h[0], h.size()}};
  const struct {
    size_t skip;
    const char* expected;
  } cases[] = {{0, "abcdefgh"}, {2, "cdefgh"}, {3, "defgh"}, {4, "efgh"},
               {7, "h"},        {8, ""},       {100, ""}};
  for (const auto& c : cases) {
    IOBuffer b;
    b.ReadFromBuffer("<", 1);
    EXPECT_TRUE(b.ReadFromBuffer(iov, 4, c.skip)) << c.skip;
    EXPECT_EQ(contents(b), std::string("<") + c.expected) << "skip " << c.skip;
  }
  IOBuffer b;
  EXPECT_TRUE(b.ReadFromBuffer(iov, 0, 0));
  EXPECT_FALSE(b.ReadFromBuffer(static_cast<const struct iovec*>(nullptr), 2, 0));
  EXPECT_FALSE(b.ReadFromBuffer(iov, -1, 0));
  EXPECT_EQ(b.GetAvailableBytesCount(), 0u);
}

TEST(IOBuffer, ComparesOnlyTheUnreadBytes) {
  IOBuffer a, b;
  a.ReadFromBuffer("xxSPS", 5);
  a.Ignore(2);
  b.ReadFromBuffer("SPS", 3);
  EXPECT_FALSE(a != b);
  b.GetPointer()[2] = 'Q';
  EXPECT_TRUE(a != b);
  b.ReadFromBuffer("!", 1);
  EXPECT_TRUE(a != b);
  IOBuffer e1, e2;
  EXPECT_FALSE(e1 != e2);

  IOBuffer copy(a);
  EXPECT_FALSE(copy != a);
  IOBuffer moved(std::move(copy));
  EXPECT_EQ(contents(moved), "SPS");
  copy = moved;  // a moved-from buffer is usable again
  EXPECT_EQ(contents(copy), "SPS");
}

TEST(IOBuffer, WriteToFullNonBlockingSocketReportsZeroAndKeepsTheRest) {
  SocketPair sp;
  std::string pattern(4 << 20, '\0');
  for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 + i / 4096);
  IOBuffer b;
  ASSERT_TRUE(b.ReadFromBuffer(pattern.data(), pattern.size()));

  std::string received;
  uint32_t written = 1;
  // Fill the socket until it takes nothing more.
  for (int i = 0; i < 10000 && written != 0; ++i) ASSERT_TRUE(b.WriteToFd(sp.fd[0], 0xFFFFFFFFu, written));
  ASSERT_EQ(written, 0u);
  ASSERT_GT(b.GetAvailableBytesCount(), 0u);
  // A full socket is not a failure and loses nothing.
  ASSERT_TRUE(b.WriteToFd(sp.fd[0], 0xFFFFFFFFu, written));
  EXPECT_EQ(written, 0u);

  // Drain the peer and go on until everything went out, in order.
  char chunk[65536];
  for (int i = 0; i < 1000000 && received.size() < pattern.size(); ++i) {
    ssize_t n = ::read(sp.fd[1], chunk, sizeof chunk);
    if (n > 0) received.append(chunk, static_cast<size_t>(n));
    ASSERT_TRUE(b.WriteToFd(sp.fd[0], 100000, written));
    ASSERT_LE(written, 100000u);
  }
  EXPECT_EQ(b.GetAvailableBytesCount(), 0u);
  EXPECT_TRUE(received == pattern);

  // An empty buffer writes nothing and succeeds.
  EXPECT_TRUE(b.WriteToFd(sp.fd[0], 10, written));
  EXPECT_EQ(written, 0u);
}

TEST(IOBuffer, WriteToGonePeerFailsWithoutSignal) {
  ::signal(SIGPIPE, SIG_DFL);  // a raised SIGPIPE would end this test program
  SocketPair sp;
  ::close(sp.fd[1]);
  sp.fd[1] = -1;
  IOBuffer b;
  b.ReadFromBuffer("data", 4);
  uint32_t written = 9;
  errno = 0;
  EXPECT_FALSE(b.WriteToFd(sp.fd[0], 4, written));
  EXPECT_EQ(errno, EPIPE);
  EXPECT_EQ(written, 0u);
  EXPECT_EQ(contents(b), "data");

  EXPECT_FALSE(b.WriteToFd(-1, 4, written));
}

TEST(IOBuffer, WriteToPlainFileDescriptor) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  IOBuffer b;
  b.ReadFromBuffer("pipe!", 5);
  uint32_t written = 0;
  EXPECT_TRUE(b.WriteToFd(p[1], 3, written));
  EXPECT_EQ(written, 3u);
  EXPECT_EQ(contents(b), "e!");
  char got[8] = {};
  EXPECT_EQ(::read(p[0], got, sizeof got), 3);
  EXPECT_STREQ(got, "pip");
  ::close(p[0]);
  ::close(p[1]);
}

TEST(IOBuffer, ReadFromFdAppendsAndTellsNothingFromFailure) {
  SocketPair sp;
  IOBuffer b;
  b.ReadFromBuffer("old|", 4);
  uint32_t n = 7;
  // Nothing to read on a non-blocking socket: not a failure.
  EXPECT_TRUE(b.ReadFromFd(sp.fd[1], 4096, n));
  EXPECT_EQ(n, 0u);

  ASSERT_EQ(::write(sp.fd[0], "0123456789", 10), 10);
  EXPECT_TRUE(b.ReadFromFd(sp.fd[1], 4, n));
  EXPECT_EQ(n, 4u);
  EXPECT_TRUE(b.ReadFromFd(sp.fd[1], 4096, n));
  EXPECT_EQ(n, 6u);
  EXPECT_EQ(contents(b), "old|0123456789");

  ::close(sp.fd[0]);
  sp.fd[0] = -1;
  EXPECT_TRUE(b.ReadFromFd(sp.fd[1], 4096, n));  // end of stream
  EXPECT_EQ(n, 0u);

  EXPECT_FALSE(b.ReadFromFd(-1, 4096, n));
  EXPECT_EQ(errno, EBADF);
  EXPECT_EQ(contents(b), "old|0123456789");
}

// A congested stream destination: frames of varying size are appended while the backlog stays
// below 4 MiB, and a peer that is alternately slow and fast drains it from the front.
TEST(IOBuffer, SteadyStateBacklogDoesNotAllocate) {
  IOBuffer backlog;
  std::vector<uint8_t> frame(220 * 1024, 0x5a);
  uint32_t seed = 12345;
  auto next = [&seed](uint32_t mod) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % mod;
  };
  size_t capacity = 0, maxPending = 0, minPending = SIZE_MAX;
  auto step = [&](int i) {
    size_t size = 10 * 1024 + next(200 * 1024);
    struct iovec iov[2] = {{frame.data(), 11}, {frame.data() + 11, size - 11}};
    if (backlog.GetAvailableBytesCount() < 0x400000) {
      backlog.MoveData();
      ASSERT_TRUE(backlog.ReadFromBuffer(iov, 2, 0));
    }
    bool slow = (i / 150) % 2 == 0;
    size_t drain = slow ? next(60 * 1024) : next(400 * 1024);
    backlog.Ignore(std::min(drain, backlog.GetAvailableBytesCount()));
  };
  g_allocations = 0;
  g_counting = true;
  for (int i = 0; i < 600; ++i) step(i);
  g_counting = false;
  EXPECT_GT(g_allocations.load(), 0);  // growth is seen by the counter
  capacity = backlog.GetCapacity();
  g_allocations = 0;
  g_counting = true;
  for (int i = 600; i < 3000; ++i) {
    step(i);
    maxPending = std::max(maxPending, backlog.GetAvailableBytesCount());
    minPending = std::min(minPending, backlog.GetAvailableBytesCount());
  }
  g_counting = false;
  EXPECT_EQ(g_allocations.load(), 0);
  EXPECT_EQ(backlog.GetCapacity(), capacity);
  // The scenario did cover both a full and an empty backlog.
  EXPECT_GE(maxPending, size_t(0x400000));
  EXPECT_EQ(minPending, 0u);
  // Bounded memory: about twice the largest backlog.
  EXPECT_LE(capacity, size_t(12) << 20);
}
