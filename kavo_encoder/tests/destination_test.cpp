// The destination state machine: paths through the states, retries and time-outs on the
// monotonic clock, the backlog and its congestion level, the diagnostics file, the status events.
#include <algorithm>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "flv_test_support.h"
#include "kavo/encoder/basedestination.h"
#include "kavo/logger/logger.h"
#include "kavo/test/loopback.h"
#include "kavo/utils/clock.h"

using kavo::encoder::BaseDestiantion;
using kavo::logger::LogCapture;
using flvtest::AvClient;
using flvtest::Bytes;

namespace {

// A destination whose stream start is a fixed marker; frames are plain bytes.
class RawDestination : public BaseDestiantion {
 public:
  using BaseDestiantion::BaseDestiantion;
  bool WriteAudioFrame(const kavo::encoder::audio_frame_t*, int64_t, unsigned char&) override { return true; }
  bool WriteVideoFrame(const kavo::encoder::video_frame_t*, int64_t, unsigned char&) override { return true; }
  bool SignalCodecsChanged() override { return true; }
  bool SignalConnected() override {
    starts++;
    if (failStart) return false;
    struct iovec iov = {const_cast<char*>("START"), 5};
    unsigned char level = 0;
    return WriteToFD(&iov, 1, 5, level);
  }
  // Writes `data` as one vector.
  unsigned char send(const Bytes& data) {
    unsigned char level = 0xEE;
    struct iovec iov = {const_cast<uint8_t*>(data.data()), data.size()};
    Write(&iov, data.empty() ? 0 : 1, static_cast<int>(data.size()), level);
    return level;
  }
  unsigned char poke() { return send(Bytes()); }
  int starts = 0;
  bool failStart = false;
};

// A peer's listener; accept() gives up after 2 s.
class Listener : public kavo::test::LoopbackListener {
 public:
  using LoopbackListener::LoopbackListener;
  int accept(int timeoutMs = 2000) { return LoopbackListener::accept(timeoutMs); }
};

// Everything the peer has received so far (non-blocking reads until nothing comes for `idleMs`).
Bytes drain(int fd, int idleMs = 100) {
  Bytes out;
  struct timeval tv = {0, idleMs * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  uint8_t buf[65536];
  for (;;) {
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

int connectTo(uint16_t port) { return kavo::test::connectLoopback(port); }

std::string tcp(uint16_t port, const std::string& query = "") {
  return "tcp://127.0.0.1:" + std::to_string(port) + query;
}

class DestinationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    flvtest::ignoreSigpipe();
    kavo::utils::resetMomentsForTest();
  }
  void TearDown() override { kavo::utils::resetMomentsForTest(); }
  void advance(int64_t ms) { kavo::utils::advanceMomentsForTest(ms); }

  kavo::test::TestRoot root;
};

TEST(DestinationStates, NamesAndCongestionLevels) {
  const char* names[] = {"IGNORE_DESTINATION", "UNINITIALIZED", "WAIT",      "OPEN_FILE", "START_CONNECT",
                         "INSPECT_CONNECTION", "INIT_FOR_ACCEPT", "ACCEPT", "CONNECTED", "SEND_DATA"};
  for (unsigned s = 0; s < 10; s++) EXPECT_STREQ(kavo::encoder::__stateToString(static_cast<uint8_t>(s)), names[s]);
  EXPECT_STREQ(kavo::encoder::__stateToString(10), "(unknown)");
  EXPECT_STREQ(kavo::encoder::__stateToString(255), "(unknown)");

  struct {
    size_t pending;
    unsigned level;
  } levels[] = {{0, 0},          {41943, 0},       {41944, 1},        {1 << 20, 25},
                {(3 << 20), 75}, {0x400000, 100},  {0x500000, 100},   {size_t(300) << 20, 100}};
  for (const auto& c : levels) EXPECT_EQ(BaseDestiantion::CongestionOf(c.pending), c.level) << c.pending;
}

TEST_F(DestinationTest, FileOpensWritesStartAndFrameInOneCallAndTruncatesOnReopen) {
  AvClient avclient;
  ASSERT_TRUE(avclient.started());
  root.write("/tmp/out.raw", "old content that must go");
  {
    RawDestination d(flvtest::streamInfo("file:///tmp/out.raw"), nullptr);
    EXPECT_EQ(d.GetState(), BaseDestiantion::UNINITIALIZED);
    EXPECT_EQ(d.send({'a', 'b', 'c'}), 0);
    EXPECT_EQ(d.GetState(), BaseDestiantion::SEND_DATA);
    EXPECT_TRUE(d.IsConnected());
    EXPECT_EQ(root.read("/tmp/out.raw"), "STARTabc");
  }
  avclient.pump(4);
  ASSERT_EQ(avclient.events.size(), 4u);
  const std::vector<std::pair<std::string, std::string>> want = {{"UNINITIALIZED", "OPEN_FILE"},
                                                                 {"OPEN_FILE", "CONNECTED"},
                                                                 {"CONNECTED", "SEND_DATA"},
                                                                 {"SEND_DATA", "UNINITIALIZED"}};
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(avclient.events[i].previous, want[i].first) << i;
    EXPECT_EQ(avclient.events[i].current, want[i].second) << i;
    EXPECT_EQ(avclient.events[i].channel, 1u);
    EXPECT_EQ(avclient.events[i].uri, "file:///tmp/out.raw");
  }
}

TEST_F(DestinationTest, RetryParametersAreClampedToOneTo255Seconds) {
  struct {
    const char* query;
    unsigned retry;
    unsigned timeout;
  } cases[] = {{"", 10, 3},
               {"?retryInterval=0&connectTimeout=0", 1, 1},
               {"?retryInterval=300&connectTimeout=256", 255, 255},
               {"?retryInterval=7&connectTimeout=5", 7, 5},
               {"?retryInterval=-4", 1, 3},
               {"?retryInterval=abc&connectTimeout", 1, 1},
               {"?retryInterval=255", 255, 3}};
  for (const auto& c : cases) {
    RawDestination d(flvtest::streamInfo(std::string("udp://127.0.0.1:9") + c.query), nullptr);
    d.poke();
    EXPECT_EQ(d.GetRetryInterval(), c.retry) << c.query;
    EXPECT_EQ(d.GetConnectTimeout(), c.timeout) << c.query;
  }
}

TEST_F(DestinationTest, OtherSchemaIsIgnoredForGoodAfterOneWarning) {
  AvClient avclient;
  ASSERT_TRUE(avclient.started());
  LogCapture log;
  {
    RawDestination d(flvtest::streamInfo("udp://127.0.0.1:5000"), nullptr);
    for (int i = 0; i < 5; i++) d.send({'x'});
    EXPECT_EQ(d.GetState(), BaseDestiantion::IGNORE_DESTINATION);
    EXPECT_EQ(log.count("FLV doesn't support schema udp://"), 1u);
    avclient.pump(1, 300);
    EXPECT_EQ(avclient.events.size(), 1u);
  }
  avclient.pump(2);
  EXPECT_EQ(avclient.currents(), (std::vector<std::string>{"IGNORE_DESTINATION", "UNINITIALIZED"}));
}

TEST_F(DestinationTest, UnparsableUriIsRetriedAfterTheInterval) {
  LogCapture log;
  RawDestination d(flvtest::streamInfo("tcp://127.0.0.1"), nullptr);  // a tcp URI must name its port
  d.poke();
  EXPECT_TRUE(log.has("Invalid URI detected: tcp://127.0.0.1", LOG_LEVEL_ERROR));
  EXPECT_EQ(d.GetState(), BaseDestiantion::WAIT);
  advance(9500);
  d.poke();
  EXPECT_EQ(log.count("Invalid URI detected: tcp://127.0.0.1"), 1u);
  advance(600);
  d.poke();
  EXPECT_EQ(log.count("Invalid URI detected: tcp://127.0.0.1"), 2u);
}

TEST_F(DestinationTest, UnwritableFileIsOpenedAgainAfterTheInterval) {
  LogCapture log;
  RawDestination d(flvtest::streamInfo("file:///no/such/folder/out.flv?retryInterval=2"), nullptr);
  d.send({'x'});
  EXPECT_TRUE(log.contains("Unable to open file", LOG_LEVEL_ERROR));
  EXPECT_EQ(d.GetState(), BaseDestiantion::WAIT);
  EXPECT_TRUE(d.LastWriteDropped());
  root.mkdirs("/no/such/folder");
  advance(1500);
  d.send({'x'});
  EXPECT_EQ(d.GetState(), BaseDestiantion::WAIT);
  advance(600);
  d.send({'y'});
  EXPECT_EQ(d.GetState(), BaseDestiantion::SEND_DATA);
  EXPECT_EQ(root.read("/no/such/folder/out.flv"), "STARTy");
}

TEST_F(DestinationTest, OutgoingConnectionDeliversInOrderAndReconnectsAfterThePeerLeft) {
  Listener listener;
  LogCapture log;
  RawDestination d(flvtest::streamInfo(tcp(listener.port, "?retryInterval=1"), 2), nullptr);
  d.send({'1'});
  // A loopback connect may complete at once or be pending for one inspection.
  for (int i = 0; i < 3 && !d.IsConnected(); i++) {
    advance(1000);
    d.send({'1'});
  }
  ASSERT_EQ(d.GetState(), BaseDestiantion::SEND_DATA);
  const int peer = listener.accept();
  ASSERT_GE(peer, 0);
  d.send({'2', '3'});
  const Bytes got = drain(peer);
  ASSERT_GE(got.size(), 7u);
  EXPECT_EQ(std::string(got.begin(), got.begin() + 5), "START");
  EXPECT_EQ(got.back(), '3');

  // The peer goes away: the write fails, a diagnostics file is left, the destination starts over.
  close(peer);
  for (int i = 0; i < 50 && d.IsConnected(); i++) {
    d.send(Bytes(1000, 'z'));
    usleep(2000);
  }
  EXPECT_EQ(d.GetState(), BaseDestiantion::WAIT);
  EXPECT_TRUE(log.has("writev failed", LOG_LEVEL_ERROR));
  EXPECT_TRUE(log.contains("Unable to write to tcp://127.0.0.1:"));
  const auto records = log.records();
  int error = 0;
  for (const auto& r : records)
    if (r.message == "writev failed") error = r.err;
  EXPECT_TRUE(error == EPIPE || error == ECONNRESET) << error;
  const std::string diag = root.read("/tmp/writev_diag_2_" + std::to_string(error));
  EXPECT_NE(diag.find("             writev errno: " + std::to_string(error) + "\n"), std::string::npos);
  EXPECT_NE(diag.find("dumpComplete\n"), std::string::npos);

  advance(1000);
  d.send({'4'});
  for (int i = 0; i < 3 && !d.IsConnected(); i++) {
    advance(1000);
    d.send({'4'});
  }
  const int again = listener.accept();
  ASSERT_GE(again, 0);
  d.send({'5'});
  const Bytes second = drain(again);
  ASSERT_GE(second.size(), 6u);
  EXPECT_EQ(std::string(second.begin(), second.begin() + 5), "START");
  EXPECT_EQ(d.starts, 2);
  close(again);
}

TEST_F(DestinationTest, PendingConnectTimesOutAndIsStartedAgainLater) {
  AvClient avclient;
  ASSERT_TRUE(avclient.started());
  // A listener whose accept queue is full lets further connects hang in the handshake.
  Listener full(0);
  std::vector<int> fillers;
  for (int i = 0; i < 4; i++) {
    fillers.push_back(kavo::test::connectLoopback(full.port, false));
  }
  usleep(50000);
  LogCapture log;
  RawDestination d(flvtest::streamInfo(tcp(full.port)), nullptr);
  d.poke();
  if (d.IsConnected()) GTEST_SKIP() << "this kernel completed the connect";
  ASSERT_EQ(d.GetState(), BaseDestiantion::WAIT);
  for (int second = 1; second <= 2; second++) {
    advance(1000);
    d.poke();
    EXPECT_EQ(d.GetState(), BaseDestiantion::WAIT) << second;
    EXPECT_FALSE(log.contains("Connecting took too much time")) << second;
  }
  advance(1001);  // more than 3 s since the connect started
  d.poke();
  EXPECT_TRUE(log.has("Unable to connect to " + tcp(full.port) + ". Connecting took too much time"));
  EXPECT_EQ(d.GetState(), BaseDestiantion::WAIT);
  // The next attempt comes after the retry interval (10 s), not before.
  advance(9500);
  d.poke();
  avclient.pump(100, 300);
  const std::vector<std::string> states = avclient.currents();
  ASSERT_GE(states.size(), 7u);
  EXPECT_EQ(states[0], "START_CONNECT");
  EXPECT_EQ(states[1], "WAIT");  // START_CONNECT -> WAIT (INSPECT_CONNECTION) for 1 s
  EXPECT_EQ(states[2], "INSPECT_CONNECTION");
  EXPECT_EQ(states[3], "WAIT");
  EXPECT_EQ(states.back(), "WAIT");  // the 10 s wait before START_CONNECT
  for (int f : fillers) close(f);
}

TEST_F(DestinationTest, AcceptorServesOneViewerAndListensAgainWhenItLeaves) {
  LogCapture log;
  RawDestination d(flvtest::streamInfo("tcp://127.0.0.1:1?acceptor&randomPort", 0), nullptr);
  EXPECT_EQ(d.GetAcceptorPort(), 0);
  d.poke();
  ASSERT_EQ(d.GetState(), BaseDestiantion::ACCEPT);
  const uint16_t port = d.GetAcceptorPort();
  ASSERT_NE(port, 0);
  d.send({'x'});  // nobody yet: dropped
  EXPECT_TRUE(d.LastWriteDropped());

  const int viewer = connectTo(port);
  ASSERT_GE(viewer, 0);
  EXPECT_EQ(d.send({'a'}), 0);
  EXPECT_EQ(d.GetState(), BaseDestiantion::SEND_DATA);
  EXPECT_EQ(d.GetAcceptorPort(), 0);
  // The listening socket is gone: a second viewer is refused.
  EXPECT_LT(connectTo(port), 0);
  EXPECT_EQ(errno, ECONNREFUSED);
  const Bytes got = drain(viewer);
  EXPECT_EQ(std::string(got.begin(), got.end()), "STARTa");

  close(viewer);
  for (int i = 0; i < 50 && d.IsConnected(); i++) {
    d.send(Bytes(1000, 'z'));
    usleep(2000);
  }
  // No wait for an acceptor: the next write listens again, on a port chosen anew.
  EXPECT_EQ(d.GetState(), BaseDestiantion::UNINITIALIZED);
  d.poke();
  EXPECT_EQ(d.GetState(), BaseDestiantion::ACCEPT);
  EXPECT_NE(d.GetAcceptorPort(), 0);
  const int next = connectTo(d.GetAcceptorPort());
  ASSERT_GE(next, 0);
  d.send({'b'});
  const Bytes again = drain(next);
  EXPECT_EQ(std::string(again.begin(), again.end()), "STARTb");
  close(next);
}

TEST_F(DestinationTest, FixedPortAcceptorReportsNoPort) {
  Listener probe;  // a free port
  const uint16_t port = probe.port;
  close(probe.fd);
  probe.fd = -1;
  RawDestination d(flvtest::streamInfo("tcp://127.0.0.1:" + std::to_string(port) + "?acceptor", 0), nullptr);
  d.poke();
  EXPECT_EQ(d.GetState(), BaseDestiantion::ACCEPT);
  EXPECT_EQ(d.GetAcceptorPort(), 0);
  const int viewer = connectTo(port);
  ASSERT_GE(viewer, 0);
  d.send({'q'});
  EXPECT_EQ(d.GetState(), BaseDestiantion::SEND_DATA);
  close(viewer);
}

TEST_F(DestinationTest, FailedStreamStartStartsOver) {
  LogCapture log;
  RawDestination file(flvtest::streamInfo("file:///tmp/a.raw?retryInterval=3"), nullptr);
  file.failStart = true;
  file.send({'x'});
  EXPECT_TRUE(log.has("Unable to write metadata to file:///tmp/a.raw?retryInterval=3"));
  EXPECT_EQ(file.GetState(), BaseDestiantion::WAIT);

  RawDestination acceptor(flvtest::streamInfo("tcp://127.0.0.1:1?acceptor&randomPort", 0), nullptr);
  acceptor.failStart = true;
  acceptor.poke();
  const int viewer = connectTo(acceptor.GetAcceptorPort());
  ASSERT_GE(viewer, 0);
  acceptor.send({'x'});
  EXPECT_EQ(acceptor.GetState(), BaseDestiantion::UNINITIALIZED);
  close(viewer);
}

// A peer that does not read: the backlog takes what the socket refuses, in order, up to 4 MiB;
// beyond, whole frames are dropped; once the peer reads, the backlog goes out first.
TEST_F(DestinationTest, SlowPeerFillsTheBacklogToItsBoundThenCatchesUp) {
  Listener listener;
  LogCapture log;
  RawDestination d(flvtest::streamInfo(tcp(listener.port)), nullptr);
  d.poke();
  for (int i = 0; i < 3 && !d.IsConnected(); i++) {
    advance(1000);
    d.poke();
  }
  const int peer = listener.accept();
  ASSERT_GE(peer, 0);
  Bytes frame(40000);
  uint32_t sent = 0;
  uint32_t kept = 0;
  unsigned highest = 0;
  std::vector<uint32_t> keptIds;
  for (uint32_t id = 0; id < 400; id++) {
    for (size_t k = 0; k < frame.size(); k += 4) std::memcpy(&frame[k], &id, 4);
    const unsigned level = d.send(frame);
    sent++;
    if (!d.LastWriteDropped()) {
      kept++;
      keptIds.push_back(id);
    }
    // Not monotonic: the kernel may still take some of the backlog while the peer's window grows.
    EXPECT_EQ(level, BaseDestiantion::CongestionOf(d.GetBacklogSize()));
    highest = std::max(highest, level);
    EXPECT_LT(d.GetBacklogSize(), BaseDestiantion::kMaxBacklog + frame.size());
  }
  EXPECT_EQ(highest, 100u);
  EXPECT_LT(kept, sent);
  EXPECT_TRUE(log.has("Frames are skipped! The current bandwidth is not enough!", LOG_LEVEL_WARNING));

  // The peer reads everything; further frames follow the backlog.
  Bytes got = drain(peer);
  for (int i = 0; i < 200 && d.GetBacklogSize() != 0; i++) {
    d.poke();
    Bytes more = drain(peer, 20);
    got.insert(got.end(), more.begin(), more.end());
  }
  EXPECT_EQ(d.GetBacklogSize(), 0u);
  const uint32_t finalId = 1000;
  for (size_t k = 0; k < frame.size(); k += 4) std::memcpy(&frame[k], &finalId, 4);
  EXPECT_EQ(d.send(frame), 0);
  Bytes tail = drain(peer);
  got.insert(got.end(), tail.begin(), tail.end());
  keptIds.push_back(finalId);

  ASSERT_EQ(got.size(), 5 + keptIds.size() * frame.size());
  for (size_t i = 0; i < keptIds.size(); i++) {
    uint32_t first, last;
    std::memcpy(&first, &got[5 + i * frame.size()], 4);
    std::memcpy(&last, &got[5 + (i + 1) * frame.size() - 4], 4);
    ASSERT_EQ(first, keptIds[i]) << i;
    ASSERT_EQ(last, keptIds[i]) << i;
  }
  close(peer);
}

TEST_F(DestinationTest, AcceptorNeverReportsCongestionNorWarnsAboutDrops) {
  LogCapture log;
  RawDestination d(flvtest::streamInfo("tcp://127.0.0.1:1?acceptor&randomPort", 0), nullptr);
  d.poke();
  const int viewer = connectTo(d.GetAcceptorPort());
  ASSERT_GE(viewer, 0);
  int rcv = 4096;
  setsockopt(viewer, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof(rcv));
  Bytes frame(40000, 7);
  bool dropped = false;
  for (int i = 0; i < 300; i++) {
    EXPECT_EQ(d.send(frame), 0);
    dropped = dropped || d.LastWriteDropped();
  }
  EXPECT_TRUE(dropped);
  EXPECT_FALSE(log.contains("Frames are skipped!"));
  close(viewer);
}

TEST_F(DestinationTest, DiagnosticsDumpListsTheVectorsAndTheirBytes) {
  RawDestination d(flvtest::streamInfo("file:///tmp/x.raw"), nullptr);
  const char a[] = "abc";
  const char b[] = "defgh";
  struct iovec iov[2] = {{const_cast<char*>(a), 3}, {const_cast<char*>(b), 5}};
  const std::string path = root.path("/tmp/dump.txt");
  d.DumpWritevDiag(path, 32, iov, 2, 8);
  const std::string text = root.read("/tmp/dump.txt");
  EXPECT_EQ(text.find("                writev fd: -1\n             writev errno: 32\n"), 0u);
  EXPECT_NE(text.find("fcntl(_fd, F_GETFD) errno: 9\n"), std::string::npos);
  EXPECT_NE(text.find("                   iovcnt: 2\n"), std::string::npos);
  EXPECT_NE(text.find("        wanted total size: 0x0000000000000008\n"), std::string::npos);
  EXPECT_NE(text.find("      computed total size: 0x0000000000000008\n"), std::string::npos);
  EXPECT_NE(text.find("   1: "), std::string::npos);
  EXPECT_NE(text.find("0x0000000000000005\nabcdefghdumpComplete\n"), std::string::npos);

  LogCapture log;
  d.DumpWritevDiag(root.path("/no/folder/dump.txt"), 32, iov, 2, 8);
  EXPECT_TRUE(log.contains("Unable to open file"));
}

}  // namespace
