// The hub: initialisation, dispatch between two endpoints, queues, retries, IO accounting.
#include <gtest/gtest.h>

#include <sys/timerfd.h>

#include "ipc_test_util.h"
#include "kavo/ipc/baseipcconnection.h"
#include "kavo/ipc/iopayload.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"

namespace kavo {
namespace ipc {
namespace test {
namespace {

using kavo::logger::LogCapture;

class HubTest : public ::testing::Test {
 protected:
  kavo::test::TestRoot root;
  LogCapture logs;
};

TEST_F(HubTest, NothingWorksBeforeInit) {
  Ipc hub;
  BaseRequestMessage r = MakeRequest("Fn", "a", "b", true);
  BaseResponseMessage resp;
  EXPECT_FALSE(hub.Service(0));
  EXPECT_FALSE(hub.SendRequest(r));
  EXPECT_FALSE(hub.SendResponse(r, resp));
  EXPECT_FALSE(hub.BroadcastRequest(r));
  EXPECT_EQ(logs.count("IPC not initialized"), 4u);
  EXPECT_FALSE(hub.Init("  \t", false));
  EXPECT_TRUE(logs.has("Invalid selfName provided: `  \t`", LOG_LEVEL_ERROR));
}

TEST_F(HubTest, SecondInitKeepsTheFirstName) {
  Ipc hub;
  ASSERT_TRUE(hub.Init(" first ", false));
  EXPECT_EQ(hub.GetSelfName(), "first");
  EXPECT_TRUE(hub.Init("second", false));
  EXPECT_EQ(hub.GetSelfName(), "first");
}

TEST_F(HubTest, OneEndpointNameIsHeldByOneHubWhateverItsSpaces) {
  Ipc a, b, c;
  ASSERT_TRUE(a.Init("kavo_streamer", false));
  EXPECT_FALSE(b.Init(" kavo_streamer", false));
  EXPECT_TRUE(logs.has("Failed to acquire exclusive process mutex, check if another instance is running",
                       LOG_LEVEL_ERROR));
  EXPECT_TRUE(c.Init("kavo_streamer", true));  // a client-only hub takes no lock
  a.TearDown(false);
  EXPECT_TRUE(b.Init(" kavo_streamer", false));
}

class TwoHubs : public HubTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(a.Init("alpha", false));
    ASSERT_TRUE(b.Init("beta", false));
  }
  bool PumpBoth(const std::function<bool()>& done, int ms = 3000) { return Pump({&a, &b}, done, ms); }
  Ipc a, b;
};

TEST_F(TwoHubs, ResponseReachesTheHandlersOfTheRequestsFunction) {
  RecordingHandler served("served"), waiting("waiting"), other("other");
  b.AddHandler("GetThing", &served);
  a.AddHandler("GetThing", &waiting).AddHandler("", &other);
  served.onRequest = [&](BaseRequestMessage& req) {
    BaseResponseMessage resp;
    resp.statusCode(0);
    resp.payload()["value"] = 42;
    EXPECT_TRUE(b.SendResponse(req, resp));
  };
  BaseRequestMessage req = MakeRequest("GetThing", "alpha", "beta", true);
  req["payload"]["q"] = "x";
  ASSERT_TRUE(a.SendRequest(req));
  EXPECT_EQ(a.GetPendingRequestsCount(), 1u);
  ASSERT_TRUE(PumpBoth([&] { return waiting.responses.size() == 1; }));
  ASSERT_EQ(served.requests.size(), 1u);
  EXPECT_EQ(served.requests[0]["payload"]["q"], "x");
  BaseResponseMessage& resp = waiting.responses[0];
  EXPECT_EQ(resp.requestId(), req.id());
  EXPECT_EQ(resp.from(), "beta");
  EXPECT_EQ(resp.to(), "alpha");
  EXPECT_EQ(resp.functionName(), "__response__");
  EXPECT_EQ(resp.payload()["value"].AsInt32(), 42);
  EXPECT_EQ(waiting.responseRequests[0].id(), req.id());
  EXPECT_TRUE(other.responses.empty());
  EXPECT_EQ(a.GetPendingRequestsCount(), 0u);
  // The answer went back over the connection alpha opened: beta opened none of its own.
  EXPECT_EQ(b.GetConnection("alpha")->GetType(), IPC_IO_TYPE_INBOUND_CONNECTION);
}

TEST_F(TwoHubs, UnansweredAndUnmatchedResponses) {
  RecordingHandler waiting("waiting"), silent("silent");
  a.AddHandler("Ask", &waiting);
  b.AddHandler("Ask", &silent);
  BaseRequestMessage req = MakeRequest("Ask", "alpha", "beta", true);
  ASSERT_TRUE(a.SendRequest(req));
  ASSERT_TRUE(PumpBoth([&] { return silent.requests.size() == 1; }));
  EXPECT_EQ(a.GetPendingRequestsCount(), 1u);  // never expires
  // A response with an id nobody asked for is dropped.
  BaseRequestMessage fake = MakeRequest("Ask", "alpha", "beta", true);
  fake.id(12345);
  BaseResponseMessage resp;
  ASSERT_TRUE(b.SendResponse(fake, resp));
  for (int i = 0; i < 50; ++i) PumpBoth([] { return false; }, 1);
  EXPECT_TRUE(waiting.responses.empty());
  EXPECT_EQ(a.GetPendingRequestsCount(), 1u);
}

TEST_F(TwoHubs, NoResponseWhenNoneIsExpected) {
  RecordingHandler served("served");
  b.AddHandler("Tell", &served);
  BaseRequestMessage req = MakeRequest("Tell", "alpha", "beta", true);
  req.Variant::operator[]("responseExpected") = nullptr;  // absent or mistyped: not expected
  ASSERT_TRUE(a.SendRequest(req));
  EXPECT_EQ(a.GetPendingRequestsCount(), 0u);
  ASSERT_TRUE(PumpBoth([&] { return served.requests.size() == 1; }));
  BaseResponseMessage resp;
  EXPECT_TRUE(b.SendResponse(served.requests[0], resp));
  EXPECT_EQ(b.GetQueuedCount("alpha"), 0u);
}

TEST_F(TwoHubs, ChainsStopOnClearedContOrFailure) {
  RecordingHandler first("first"), second("second"), third("third"), catchAll("all");
  b.AddHandler("Fn", &first).AddHandler("Fn", &second).AddHandler("Fn", &third).AddHandler("", &catchAll);
  b.SetVerbose(true);
  second.stop = true;
  BaseRequestMessage r1 = MakeRequest("Fn", "alpha", "beta", false);
  ASSERT_TRUE(a.SendRequest(r1));
  ASSERT_TRUE(PumpBoth([&] { return second.requests.size() == 1; }));
  EXPECT_EQ(first.requests.size(), 1u);
  EXPECT_TRUE(third.requests.empty());
  second.stop = false;
  first.result = false;
  BaseRequestMessage r2 = MakeRequest("Fn", "alpha", "beta", false);
  ASSERT_TRUE(a.SendRequest(r2));
  ASSERT_TRUE(PumpBoth([&] { return first.requests.size() == 2; }));
  EXPECT_EQ(second.requests.size(), 1u);
  EXPECT_TRUE(logs.contains("Handler \"first\" failed to process request `", LOG_LEVEL_WARNING));
  EXPECT_TRUE(logs.contains("Some handlers failed on the following message: `", LOG_LEVEL_WARNING));
  EXPECT_TRUE(catchAll.requests.empty());
  BaseRequestMessage r3 = MakeRequest("Other", "alpha", "beta", false);
  ASSERT_TRUE(a.SendRequest(r3));
  ASSERT_TRUE(PumpBoth([&] { return catchAll.requests.size() == 1; }));
}

TEST_F(TwoHubs, SentMessagesAreReportedToTheirFunctionsChain) {
  RecordingHandler fn("fn"), all("all"), sink("sink");
  a.AddHandler("Fn", &fn).AddHandler("", &all);
  b.AddHandler("Fn", &sink);
  BaseRequestMessage r1 = MakeRequest("Fn", "alpha", "beta", false);
  BaseRequestMessage r2 = MakeRequest("Unregistered", "alpha", "beta", false);
  ASSERT_TRUE(a.SendRequest(r1));
  ASSERT_TRUE(a.SendRequest(r2));
  ASSERT_TRUE(PumpBoth([&] { return fn.sent.size() == 1 && all.sent.size() == 1; }));
  EXPECT_EQ(fn.sent[0].id(), r1.id());
  EXPECT_EQ(all.sent[0].id(), r2.id());
  EXPECT_EQ(a.GetQueuedCount("beta"), 0u);
  // A handler registered after the send is told too, with the whole message.
  RecordingHandler late("late");
  BaseRequestMessage r3 = MakeRequest("Later", "alpha", "beta", false);
  r3["payload"] = "p3";
  ASSERT_TRUE(a.SendRequest(r3));
  a.AddHandler("Later", &late);
  ASSERT_TRUE(PumpBoth([&] { return late.sent.size() == 1; }));
  EXPECT_EQ(late.sent[0].id(), r3.id());
  EXPECT_EQ(late.sent[0]["payload"], "p3");
  EXPECT_EQ(all.sent.size(), 1u);
}

TEST_F(HubTest, QueueLimitsCountEveryFrameOfTheDestination) {
  Ipc hub;
  ASSERT_TRUE(hub.Init("alpha", false));
  hub.SetVerbose(true);
  for (int i = 0; i < 64; ++i) {
    BaseRequestMessage r = MakeRequest("Fn", "alpha", "nobody", false);
    ASSERT_TRUE(hub.SendRequest(r)) << i;
  }
  BaseRequestMessage r65 = MakeRequest("Fn", "alpha", "nobody", false);
  EXPECT_FALSE(hub.SendRequest(r65));
  EXPECT_TRUE(logs.has("Queue for alpha -> nobody connection grew too big (64 messages). Discarding message",
                       LOG_LEVEL_WARNING));
  BaseRequestMessage asked = MakeRequest("Fn", "nobody", "alpha", true);
  for (int i = 64; i < 128; ++i) {
    BaseResponseMessage resp;
    ASSERT_TRUE(hub.SendResponse(asked, resp)) << i;
  }
  BaseResponseMessage resp;
  EXPECT_FALSE(hub.SendResponse(asked, resp));
  EXPECT_EQ(hub.GetQueuedCount("nobody"), 128u);
  EXPECT_TRUE(logs.has("Queue for alpha -> nobody connection is 127/128 (99.22%)", LOG_LEVEL_DEBUG));
}

// Answers to endpoints that nobody serves wait a whole timer interval and are then dropped, one
// line per endpoint; only so many such endpoints may hold a queue at once. Connected peers are not
// counted, and requests keep waiting for their peer.
TEST_F(HubTest, AnswersForEndpointsThatDoNotListenAreBoundedAndExpire) {
  Ipc hub;
  ASSERT_TRUE(hub.Init("alpha", false));
  for (size_t i = 0; i < Ipc::kMaxQueuedDestinations; ++i) {
    BaseRequestMessage asked = MakeRequest("Fn", "ghost" + std::to_string(i), "alpha", true);
    BaseResponseMessage resp;
    ASSERT_TRUE(hub.SendResponse(asked, resp)) << i;
  }
  BaseRequestMessage another = MakeRequest("Fn", "one_too_many", "alpha", true);
  BaseResponseMessage resp;
  EXPECT_FALSE(hub.SendResponse(another, resp));
  EXPECT_EQ(hub.GetQueuedCount("one_too_many"), 0u);
  EXPECT_TRUE(logs.has("Messages wait for 64 unreachable destinations already. Discarding message to one_too_many",
                       LOG_LEVEL_WARNING));
  BaseRequestMessage again = MakeRequest("Fn", "ghost0", "alpha", true);
  EXPECT_TRUE(hub.SendResponse(again, resp));
  EXPECT_EQ(hub.GetQueuedCount("ghost0"), 2u);
  Ipc beta;
  ASSERT_TRUE(beta.Init("beta", false));
  BaseRequestMessage fromBeta = MakeRequest("Fn", "beta", "alpha", true);
  EXPECT_TRUE(hub.SendResponse(fromBeta, resp));
  BaseRequestMessage toNobody = MakeRequest("Fn", "alpha", "ghost1", false);
  ASSERT_TRUE(hub.SendRequest(toNobody));

  hub.SignalTimerTriggered();
  EXPECT_EQ(hub.GetQueuedCount("ghost0"), 2u);
  hub.SignalTimerTriggered();
  EXPECT_EQ(hub.GetQueuedCount("ghost0"), 0u);
  EXPECT_EQ(hub.GetQueuedCount("ghost1"), 1u);
  EXPECT_EQ(logs.count("Dropping 2 answer(s) to ghost0: no connection, and it does not listen"), 1u);
  EXPECT_TRUE(logs.has("Dropping 1 answer(s) to ghost1: no connection, and it does not listen", LOG_LEVEL_WARNING));
  BaseRequestMessage later = MakeRequest("Fn", "one_too_many", "alpha", true);
  EXPECT_TRUE(hub.SendResponse(later, resp));
}

TEST_F(HubTest, APeerThatStartsLateGetsItsQueueAtTheNextRetry) {
  Ipc a;
  ASSERT_TRUE(a.Init("alpha", false));
  // The retries: a tick of the reconnect timer every 2 s.
  struct itimerspec timer {};
  ASSERT_EQ(::timerfd_gettime(IpcTestAccess::TimerFd(a), &timer), 0);
  EXPECT_EQ(timer.it_interval.tv_sec, 2);
  EXPECT_EQ(timer.it_interval.tv_nsec, 0);
  BaseRequestMessage r = MakeRequest("Fn", "alpha", "late", false);
  ASSERT_TRUE(a.SendRequest(r));
  Pump({&a}, [] { return false; }, 300);
  EXPECT_EQ(a.GetQueuedCount("late"), 1u);
  Ipc late;
  RecordingHandler rec("rec");
  late.AddHandler("Fn", &rec);
  ASSERT_TRUE(late.Init("late", false));
  EXPECT_EQ(a.GetConnection("late"), nullptr) << "nothing connects between two ticks";
  // The tick that retries, given here: on a loaded machine the timer's own may come late.
  a.SignalTimerTriggered();
  EXPECT_NE(a.GetConnection("late"), nullptr) << "connected at the first retry";
  EXPECT_TRUE(Pump({&a, &late}, [&] { return rec.requests.size() == 1; }, 60000));
}

TEST_F(TwoHubs, ANewerConnectionSurvivesTheDeactivationOfAnOlderOne) {
  RecordingHandler ra("ra"), rb("rb");
  a.AddHandler("Fn", &ra);
  b.AddHandler("Fn", &rb);
  BaseRequestMessage toB = MakeRequest("Fn", "alpha", "beta", false);
  ASSERT_TRUE(a.SendRequest(toB));
  ASSERT_TRUE(PumpBoth([&] { return rb.requests.size() == 1; }));
  BaseIPCConnection* older = a.GetConnection("beta");
  ASSERT_NE(older, nullptr);
  ASSERT_EQ(older->GetType(), IPC_IO_TYPE_OUTBOUND_CONNECTION);
  // Beta opens its own connection to alpha: alpha's inbound one replaces the outbound one...
  Ipc beta2;  // a second hub of the same name, client-only, stands for beta's new connection
  ASSERT_TRUE(beta2.Init("beta", true));
  BaseRequestMessage toA = MakeRequest("Fn", "beta", "alpha", false);
  ASSERT_TRUE(beta2.SendRequest(toA));
  ASSERT_TRUE(Pump({&a, &beta2}, [&] { return ra.requests.size() == 1; }));
  BaseIPCConnection* newer = a.GetConnection("beta");
  ASSERT_NE(newer, nullptr);
  EXPECT_EQ(newer->GetType(), IPC_IO_TYPE_INBOUND_CONNECTION);
  // ...and a late deactivation of an older connection leaves the newer one in place.
  BaseIPCConnection probe(&a, IPC_IO_TYPE_OUTBOUND_CONNECTION, "alpha", "beta");
  IpcTestAccess::Deactivate(a, &probe);
  EXPECT_EQ(a.GetConnection("beta"), newer);
  IpcTestAccess::ForgetDead(a, &probe);  // the probe is ours, not the hub's to delete
}

TEST_F(HubTest, AnIODeactivatedWhileReadingGetsNoWrite) {
  Ipc hub;
  ASSERT_TRUE(hub.Init("alpha", false));
  RecordingHandler killer("killer");
  hub.AddHandler("Kill", &killer);
  killer.onRequest = [&](BaseRequestMessage&) {
    BaseRequestMessage more = MakeRequest("Fn", "alpha", "rawpeer", false);
    hub.SendRequest(more);
    IpcTestAccess::Deactivate(hub, hub.GetConnection("rawpeer"));
  };
  int raw = RawConnect("alpha");
  ASSERT_TRUE(WriteAll(raw, Frame("rawpeer")));
  ASSERT_TRUE(Pump({&hub}, [&] { return hub.GetConnection("rawpeer") != nullptr; }));
  BaseRequestMessage kill = MakeRequest("Kill", "rawpeer", "alpha", false);
  std::string killFrame;
  kill.ToJSON(killFrame, false);
  killFrame = Frame(killFrame);

  // Not waiting for EPOLLOUT: what the handler queued must not go out after the deactivation.
  ASSERT_TRUE(WriteAll(raw, killFrame));
  ASSERT_TRUE(Pump({&hub}, [&] { return killer.requests.size() == 1; }));
  EXPECT_EQ(hub.GetQueuedCount("rawpeer"), 1u);
  ::close(raw);

  // Waiting for EPOLLOUT with a big frame: readable and writable in one event.
  raw = RawConnect("alpha");
  ASSERT_TRUE(WriteAll(raw, Frame("rawpeer")));
  ASSERT_TRUE(Pump({&hub}, [&] { return hub.GetConnection("rawpeer") != nullptr; }));
  BaseRequestMessage big = MakeRequest("Big", "alpha", "rawpeer", false);
  big["blob"] = std::string(4 << 20, 'b');
  ASSERT_TRUE(hub.SendRequest(big));
  IOPayload* head = nullptr;
  ASSERT_TRUE(Pump({&hub}, [&] {
    head = hub.PeekIOPayload("rawpeer");
    return head != nullptr && head->GetBytesSent() > 0 && !head->SendComplete();
  }));
  char sink[65536];  // take everything queued in the socket: room to write again
  size_t drained = 0;
  for (ssize_t r; (r = ::recv(raw, sink, sizeof sink, MSG_DONTWAIT)) > 0;) drained += static_cast<size_t>(r);
  ASSERT_GT(drained, 0u);
  ASSERT_TRUE(WriteAll(raw, killFrame));
  ::usleep(20000);
  head = hub.PeekIOPayload("rawpeer");
  const uint32_t sent = head->GetBytesSent();
  ASSERT_TRUE(hub.Service(0));
  EXPECT_EQ(killer.requests.size(), 2u);
  EXPECT_EQ(head->GetBytesSent(), sent);
  ::close(raw);
}

TEST_F(HubTest, DumpHandlersListAndBroadcast) {
  Ipc a, b, c;
  RecordingHandler h("h"), rb("rb"), rc("rc");
  a.AddHandler("Zeta", &h).AddHandler("Alpha", &h).AddHandler("Alpha", &h).AddHandler("", &h);
  EXPECT_EQ(a.DumpHandlersList(), "Handlers list begin:\n\tAlpha: 2 handler(s)\n\tZeta: 1 handler(s)\nHandlers list end");
  ASSERT_TRUE(a.Init("alpha", false));
  ASSERT_TRUE(b.Init("beta", false));
  ASSERT_TRUE(c.Init("gamma", false));
  b.AddHandler("Hello", &rb);
  c.AddHandler("Hello", &rc);
  BaseRequestMessage r = MakeRequest("Hello", "alpha", "", true);
  ASSERT_TRUE(a.BroadcastRequest(r));
  ASSERT_TRUE(Pump({&a, &b, &c}, [&] { return rb.requests.size() == 1 && rc.requests.size() == 1; }));
  EXPECT_FALSE(rb.requests[0].responseExpected());
  EXPECT_EQ(rc.requests[0].to(), "gamma");
  EXPECT_TRUE(h.requests.empty());
}

}  // namespace
}  // namespace test
}  // namespace ipc
}  // namespace kavo
