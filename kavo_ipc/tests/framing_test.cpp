// Frames on the wire: handshake, splitting, limits, hang-up delivery, vanished peers.
#include <gtest/gtest.h>

#include <csignal>

#include "ipc_test_util.h"
#include "kavo/ipc/iopayload.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"

namespace kavo {
namespace ipc {
namespace test {
namespace {

using kavo::logger::LogCapture;

TEST(IOPayload, BuildsRawAndJsonFrames) {
  IOPayload p;
  ASSERT_TRUE(p.Init(std::string("kavo_x")));
  const auto& b = p.GetBuffer();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.GetPointer()), b.GetAvailableBytesCount()), Frame("kavo_x"));

  BaseRequestMessage m = MakeRequest("Fn", "a", "b", true);
  ASSERT_TRUE(p.Init(m));
  std::string json;
  m.ToJSON(json, false);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.GetPointer()), b.GetAvailableBytesCount()), Frame(json));
  EXPECT_EQ(p.GetTo(), "b");
  EXPECT_EQ(p.GetFunctionName(), "Fn");
  EXPECT_EQ(p.GetMessage().to(), "b");

  // Without a kept copy the message is read back from the frame when it is asked for.
  m["payload"]["k"] = 5;
  m.NormalizeFields();
  ASSERT_TRUE(p.Init(m, false));
  EXPECT_EQ(p.GetTo(), "b");
  EXPECT_EQ(p.GetMessage().id(), m.id());
  EXPECT_EQ(p.GetMessage()["payload"]["k"].AsInt32(), 5);
  p.Clear();
  EXPECT_EQ(p.GetMessage().Size(), 0u);
}

TEST(IOPayload, RefusesMessagesAboveTheFrameLimit) {
  LogCapture logs;
  BaseRequestMessage m = MakeRequest("Fn", "a", "b", false);
  m["blob"] = std::string(kMaxFrameBodySize, 'x');
  IOPayload p;
  EXPECT_FALSE(p.Init(m));
  EXPECT_TRUE(logs.contains("exceeds the frame limit", LOG_LEVEL_ERROR));
}

TEST(IOPayload, AClearedPayloadKeepsOnlyTheStorageOfUsualMessages) {
  // Pooled payloads live as long as the hub: one answer to a 1 MiB "from" must not pin 1 MiB.
  IOPayload p;
  ASSERT_TRUE(p.Init(MakeRequest("Fn", "a", "b", false)));
  p.Clear();
  const size_t usual = p.GetBuffer().GetCapacity();
  EXPECT_GT(usual, 0u);
  ASSERT_TRUE(p.Init(MakeRequest("Fn", "a", std::string(1 << 20, 'n'), false)));
  EXPECT_GT(p.GetBuffer().GetCapacity(), kKeptStorageBytes);
  p.Clear();
  EXPECT_LE(p.GetBuffer().GetCapacity(), kKeptStorageBytes);
}

TEST(IOPayload, RestartsAPartlySentFrameOnAnotherConnection) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  BaseRequestMessage m = MakeRequest("Fn", "a", "b", false);
  m["blob"] = std::string(4 << 20, 'x');  // more than the socket takes at once
  IOPayload p;
  ASSERT_TRUE(p.Init(m));
  p.AssignToConnection(7);
  ASSERT_TRUE(p.WriteToFd(sv[0]));
  ASSERT_GT(p.GetBytesSent(), 0u);
  ASSERT_FALSE(p.SendComplete());
  p.AssignToConnection(7);  // same connection: continues
  EXPECT_GT(p.GetBytesSent(), 0u);
  p.AssignToConnection(8);
  EXPECT_EQ(p.GetBytesSent(), 0u);
  ::close(sv[0]);
  ::close(sv[1]);
}

TEST(IOPayload, AWriteToAVanishedPeerFailsWithoutASignal) {
  int sv[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, sv), 0);
  ::close(sv[1]);
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old), 0);
  IOPayload p;
  ASSERT_TRUE(p.Init(std::string("kavo_x")));
  EXPECT_FALSE(p.WriteToFd(sv[0]));
  EXPECT_EQ(errno, EPIPE);
  ::sigaction(SIGPIPE, &old, nullptr);
  ::close(sv[0]);
}

class FramingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(hub.Init("alpha", false));
    hub.AddHandler("Fn", &handler);
  }
  void TearDown() override {
    if (raw >= 0) ::close(raw);
  }
  // A raw peer connected to "alpha" that has sent its name.
  void ConnectRaw(const std::string& name = "rawpeer") {
    raw = RawConnect("alpha");
    ASSERT_GE(raw, 0);
    ASSERT_TRUE(WriteAll(raw, Frame(name)));
    ASSERT_TRUE(Pump({&hub}, [&] { return hub.GetConnection(name) != nullptr; }));
  }
  std::string RequestJson(int n) {
    BaseRequestMessage m = MakeRequest("Fn", "rawpeer", "alpha", false);
    m["n"] = n;
    std::string j;
    m.ToJSON(j, false);
    return j;
  }
  bool Dropped(const std::string& name = "rawpeer") {
    return Pump({&hub}, [&] { return hub.GetConnection(name) == nullptr; });
  }

  kavo::test::TestRoot root;
  Ipc hub;
  RecordingHandler handler{"rec"};
  int raw = -1;
};

TEST_F(FramingTest, OutboundHandshakeIsTheSendersNameThenJson) {
  int listener = RawListen("rawpeer");
  ASSERT_GE(listener, 0);
  BaseRequestMessage m = MakeRequest("Fn", "alpha", "rawpeer", false);
  ASSERT_TRUE(hub.SendRequest(m));
  int peer = -1;
  ASSERT_TRUE(Pump({&hub}, [&] { return (peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0; }));
  std::string body;
  auto idle = [&] { hub.Service(0); };
  ASSERT_TRUE(ReadFrame(peer, body, 3000, idle));
  EXPECT_EQ(body, "alpha");
  ASSERT_TRUE(ReadFrame(peer, body, 3000, idle));
  BaseRequestMessage got;
  ASSERT_EQ(got.FromJSON(body), body.size());
  EXPECT_EQ(got.functionName(), "Fn");
  EXPECT_EQ(got.id(), m.id());
  ::close(peer);
  ::close(listener);
}

TEST_F(FramingTest, FrameSplitByteByByteIsDeliveredOnceAtItsLastByte) {
  ConnectRaw();
  const std::string f = Frame(RequestJson(1));
  for (size_t i = 0; i < f.size(); ++i) {
    ASSERT_TRUE(WriteAll(raw, f.substr(i, 1)));
    for (int k = 0; k < 3; ++k) hub.Service(0);
    ASSERT_EQ(handler.requests.size(), i + 1 == f.size() ? 1u : 0u) << "after byte " << i;
  }
}

TEST_F(FramingTest, TwoFramesInOneWriteAreBothDeliveredInOrder) {
  ConnectRaw();
  ASSERT_TRUE(WriteAll(raw, Frame(RequestJson(1)) + Frame(RequestJson(2))));
  ASSERT_TRUE(Pump({&hub}, [&] { return handler.requests.size() == 2; }));
  EXPECT_EQ(handler.requests[0]["n"].AsInt32(), 1);
  EXPECT_EQ(handler.requests[1]["n"].AsInt32(), 2);
}

TEST_F(FramingTest, LengthsAboveTheLimitDropTheConnection) {
  for (uint32_t length : {kMaxFrameBodySize + 1, 0xFFFFFFFFu, 0xFFFFFFFCu}) {
    LogCapture logs;
    ConnectRaw();
    ASSERT_TRUE(WriteAll(raw, Header(length)));
    EXPECT_TRUE(Dropped()) << length;
    EXPECT_TRUE(logs.contains("exceeds the limit of 16777216 bytes", LOG_LEVEL_ERROR)) << logs.dump();
    ::close(raw);
    raw = -1;
  }
  ConnectRaw();
  ASSERT_TRUE(WriteAll(raw, Header(kMaxFrameBodySize) + "{\"a\":"));  // within the limit: waits for the rest
  for (int k = 0; k < 20; ++k) hub.Service(1);
  EXPECT_NE(hub.GetConnection("rawpeer"), nullptr);
}

TEST_F(FramingTest, BodiesThatAreNotExactlyOneDocumentDropTheConnection) {
  for (const std::string& body : {std::string(), std::string("{\"a\":1} x"), std::string("{\"a\":"),
                                  std::string("{}{}")}) {
    LogCapture logs;
    ConnectRaw();
    ASSERT_TRUE(WriteAll(raw, Frame(body)));
    EXPECT_TRUE(Dropped()) << body;
    EXPECT_TRUE(logs.has("Unable to read json", LOG_LEVEL_ERROR)) << body;
    ::close(raw);
    raw = -1;
  }
  EXPECT_TRUE(handler.requests.empty());
}

TEST_F(FramingTest, EmptyHandshakeNamesNothing) {
  raw = RawConnect("alpha");
  ASSERT_TRUE(WriteAll(raw, Frame("") + Frame(RequestJson(1))));
  EXPECT_TRUE(Pump({&hub}, [&] { return hub.GetActiveIOsCount() == 2; }));  // acceptor and timer left
  EXPECT_TRUE(handler.requests.empty());
}

TEST_F(FramingTest, EverythingSentBeforeAHangUpIsDelivered) {
  raw = RawConnect("alpha");
  std::string all = Frame("rawpeer");
  for (int i = 0; i < 40; ++i) {
    BaseRequestMessage m = MakeRequest("Fn", "rawpeer", "alpha", false);
    m["n"] = i;
    m["pad"] = std::string(900, 'p');
    std::string j;
    m.ToJSON(j, false);
    all += Frame(j);
  }
  ASSERT_GT(all.size(), 4096u * 4);
  ASSERT_TRUE(WriteAll(raw, all));
  ::close(raw);
  raw = -1;
  ASSERT_TRUE(Pump({&hub}, [&] { return handler.requests.size() == 40 && hub.GetConnection("rawpeer") == nullptr; }));
  for (int i = 0; i < 40; ++i) EXPECT_EQ(handler.requests[i]["n"].AsInt32(), i);
}

TEST_F(FramingTest, WritingToAVanishedPeerDoesNotEndTheProcess) {
  int listener = RawListen("rawpeer");
  BaseRequestMessage m = MakeRequest("Fn", "alpha", "rawpeer", false);
  m["blob"] = std::string(1 << 20, 'b');
  ASSERT_TRUE(hub.SendRequest(m));  // connects (and sets the socket options) at once
  int peer = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(peer, 0);
  struct sigaction dfl {}, old {};
  dfl.sa_handler = SIG_DFL;
  ASSERT_EQ(::sigaction(SIGPIPE, &dfl, &old), 0);
  ::close(peer);
  ASSERT_TRUE(Pump({&hub}, [&] { return hub.GetConnection("rawpeer") == nullptr; }));
  ::sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(hub.GetQueuedCount("rawpeer"), 1u);  // kept for the next connection
  ::close(listener);
}

TEST_F(FramingTest, APartlySentFrameStartsAgainOnTheNextConnection) {
  int listener = RawListen("rawpeer");
  BaseRequestMessage big = MakeRequest("Fn", "alpha", "rawpeer", false);
  big["blob"] = std::string(2 << 20, 'b');
  ASSERT_TRUE(hub.SendRequest(big));
  int first = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(first, 0);
  std::string got;
  auto idle = [&] { hub.Service(0); };
  ASSERT_TRUE(ReadFrame(first, got, 3000, idle));  // handshake
  ASSERT_TRUE(ReadExact(first, got, 10000, 3000, idle));  // part of the big frame
  ::close(first);
  ASSERT_TRUE(Pump({&hub}, [&] { return hub.GetConnection("rawpeer") == nullptr; }));
  // The next send connects again; the big frame must come whole, from its first byte.
  BaseRequestMessage small = MakeRequest("Fn", "alpha", "rawpeer", false);
  ASSERT_TRUE(hub.SendRequest(small));
  int second = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ASSERT_GE(second, 0);
  ASSERT_TRUE(ReadFrame(second, got, 5000, idle));
  EXPECT_EQ(got, "alpha");
  ASSERT_TRUE(ReadFrame(second, got, 5000, idle));
  BaseRequestMessage parsed;
  ASSERT_EQ(parsed.FromJSON(got), got.size());
  EXPECT_EQ(parsed.id(), big.id());
  ASSERT_TRUE(ReadFrame(second, got, 5000, idle));
  ASSERT_EQ(parsed.FromJSON(got), got.size());
  EXPECT_EQ(parsed.id(), small.id());
  ::close(second);
  ::close(listener);
}

TEST_F(FramingTest, EndpointNamesOf93CharactersAreAcceptedAnd94Refused) {
  LogCapture logs;
  Ipc a, b;
  hub.SetVerbose(true);
  a.SetVerbose(true);
  b.SetVerbose(true);
  const std::string n93(93, 'n'), n94(94, 'm');
  EXPECT_TRUE(a.Init(n93, false)) << logs.dump();
  EXPECT_FALSE(b.Init(n94, false));
  EXPECT_TRUE(logs.has("Unix socket path too long: `/var/run/ipc/" + n94 + "`", LOG_LEVEL_ERROR));
  RecordingHandler rec("rec");
  a.AddHandler("Fn", &rec);
  BaseRequestMessage m = MakeRequest("Fn", "alpha", n93, false);
  ASSERT_TRUE(hub.SendRequest(m));
  EXPECT_TRUE(Pump({&hub, &a}, [&] { return rec.requests.size() == 1; }));
  BaseRequestMessage too = MakeRequest("Fn", "alpha", n94, false);
  ASSERT_TRUE(hub.SendRequest(too));  // queued; every attempt fails
  EXPECT_TRUE(logs.has("Unix socket path too long: `/var/run/ipc/" + n94 + "`", LOG_LEVEL_ERROR));
}

TEST_F(FramingTest, NamesThatLeaveTheEndpointFolderAreRefused) {
  LogCapture logs;
  hub.SetVerbose(true);
  BaseRequestMessage m = MakeRequest("Fn", "alpha", "../../tmp/x", false);
  ASSERT_TRUE(hub.SendRequest(m));
  EXPECT_TRUE(logs.has("Invalid TO name provided: `../../tmp/x`", LOG_LEVEL_ERROR));
  Ipc other;
  EXPECT_FALSE(other.Init("a/b", false));
}

}  // namespace
}  // namespace test
}  // namespace ipc
}  // namespace kavo
