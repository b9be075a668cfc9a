// Two real processes exchange requests and responses by endpoint name.
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "kavo/ipc/ipc.h"
#include "kavo/test/test_root.h"

extern char** environ;

namespace {

using kavo::ipc::BaseHandler;
using kavo::ipc::Ipc;
using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;

class Recorder : public BaseHandler {
 public:
  explicit Recorder(const std::string& name) : BaseHandler(name) {}
  bool MessageSentSuccessfully(BaseMessage&, bool&) override { return true; }
  bool HandleResponse(BaseRequestMessage&, BaseResponseMessage& response, bool&) override {
    responses.push_back(response);
    return true;
  }
  bool HandleRequest(BaseRequestMessage& request, bool&) override {
    requests.push_back(request);
    if (answer) {
      BaseResponseMessage r;
      r.statusCode(3);
      r.payload(kavo::variant::Variant("pong"));
      return ipc->SendResponse(request, r);
    }
    return true;
  }
  bool answer = false;
  std::vector<BaseRequestMessage> requests;
  std::vector<BaseResponseMessage> responses;
};

class ProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* peer = std::getenv("KAVO_IPC_TEST_PEER");
    ASSERT_NE(peer, nullptr);
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string path = peer;
    char* argv[] = {path.data(), const_cast<char*>("kavo_proc_peer"), nullptr};
    ASSERT_EQ(::posix_spawn(&child_, peer, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    ASSERT_EQ(line, "READY");
    ASSERT_TRUE(hub_.Init("tester", false));
  }
  void TearDown() override {
    if (child_ > 0) {
      ::kill(child_, SIGTERM);
      int status = 0;
      ::waitpid(child_, &status, 0);
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
  }
  bool Serve(const std::function<bool()>& done, int ms = 5000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      hub_.Service(20);
      if (done()) return true;
    }
    return false;
  }
  BaseRequestMessage Request(const std::string& fn, bool responseExpected) {
    BaseRequestMessage r;
    r.functionName(fn);
    r.from("tester");
    r.to("kavo_proc_peer");
    r.responseExpected(responseExpected);
    return r;
  }

  kavo::test::TestRoot root_;
  pid_t child_ = -1;
  Ipc hub_;
};

TEST_F(ProcessTest, ResponsesReachTheHandlersOfTheOriginalFunction) {
  Recorder echo("echo"), other("other");
  hub_.AddHandler("Echo", &echo).AddHandler("Unknown", &other);
  BaseRequestMessage req = Request("Echo", true);
  req["payload"]["text"] = "hello";
  ASSERT_TRUE(hub_.SendRequest(req));
  BaseRequestMessage unknown = Request("Unknown", true);
  ASSERT_TRUE(hub_.SendRequest(unknown));
  ASSERT_TRUE(Serve([&] { return echo.responses.size() == 1 && other.responses.size() == 1; }));
  EXPECT_EQ(echo.responses[0].requestId(), req.id());
  EXPECT_EQ(echo.responses[0].statusCode(), 0u);
  EXPECT_EQ(echo.responses[0].payload()["text"], "hello");
  EXPECT_EQ(echo.responses[0].from(), "kavo_proc_peer");
  EXPECT_EQ(other.responses[0].requestId(), unknown.id());
  EXPECT_EQ(other.responses[0].statusCode(), 1u);
  EXPECT_EQ(other.responses[0].payload(), "Operation not supported");
  EXPECT_EQ(hub_.GetPendingRequestsCount(), 0u);
}

TEST_F(ProcessTest, ThePeerCallsBackAndGetsOurAnswer) {
  Recorder ping("ping"), seen("seen"), sendAck("ack");
  ping.answer = true;
  hub_.AddHandler("Ping", &ping).AddHandler("ResponseSeen", &seen).AddHandler("Send", &sendAck);
  BaseRequestMessage req = Request("Send", true);
  req["payload"]["to"] = "tester";
  req["payload"]["function"] = "Ping";
  req["payload"]["count"] = 2;
  req["payload"]["responseExpected"] = true;
  ASSERT_TRUE(hub_.SendRequest(req));
  ASSERT_TRUE(Serve([&] { return seen.requests.size() == 2; }));
  EXPECT_EQ(sendAck.responses[0].payload()["accepted"].AsUInt64(), 2u);
  ASSERT_EQ(ping.requests.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    kavo::variant::Variant& p = seen.requests[i]["payload"];
    EXPECT_EQ(p["response"]["statusCode"].AsUInt64(), 3u);
    EXPECT_EQ(p["response"]["payload"], "pong");
    EXPECT_EQ(p["response"]["requestId"].AsUInt64(), p["request"]["id"].AsUInt64());
    EXPECT_EQ(p["request"]["functionName"], "Ping");
  }
}

}  // namespace
