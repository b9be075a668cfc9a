// The ready handlers: the catch-all rejector and the traffic logger.
#include <gtest/gtest.h>

#include "ipc_test_util.h"
#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/loghandler.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"

namespace kavo {
namespace ipc {
namespace test {
namespace {

using kavo::logger::LogCapture;

class HandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(client.Init("client", false));
    ASSERT_TRUE(server.Init("server", false));
    client.AddHandler("Unknown", &waiting);
  }
  kavo::test::TestRoot root;
  LogCapture logs;
  Ipc client, server;
  RecordingHandler waiting{"waiting"};
  CatchAllHandlerRejector rejector;
  LogHandler logger;
};

TEST_F(HandlersTest, RejectorAnswersUnknownFunctionsWithStatusOne) {
  server.AddHandler("", &rejector);
  EXPECT_EQ(rejector.GetName(), "Catch everything else");
  BaseRequestMessage req = MakeRequest("Unknown", "client", "server", true);
  ASSERT_TRUE(client.SendRequest(req));
  ASSERT_TRUE(Pump({&client, &server}, [&] { return waiting.responses.size() == 1; }));
  BaseResponseMessage& resp = waiting.responses[0];
  EXPECT_EQ(resp.statusCode(), 1u);
  EXPECT_EQ(resp.payload(), "Operation not supported");
  EXPECT_EQ(resp.requestId(), req.id());
  EXPECT_EQ(resp.from(), "server");
  EXPECT_EQ(resp.to(), "client");
  EXPECT_TRUE(logs.has("Operation not supported: Unknown", LOG_LEVEL_INFO));
}

TEST_F(HandlersTest, RejectorOnlyLogsWhenNoAnswerIsExpected) {
  server.AddHandler("", &rejector);
  BaseRequestMessage req = MakeRequest("Unknown", "client", "server", false);
  ASSERT_TRUE(client.SendRequest(req));
  ASSERT_TRUE(Pump({&client, &server}, [&] { return logs.has("Operation not supported: Unknown"); }));
  Pump({&client, &server}, [] { return false; }, 100);
  EXPECT_TRUE(waiting.responses.empty());
  EXPECT_EQ(server.GetQueuedCount("client"), 0u);
}

TEST_F(HandlersTest, RejectorReportsAFullResponseQueue) {
  server.AddHandler("", &rejector);
  BaseRequestMessage req = MakeRequest("Unknown", "nobody", "server", true);
  bool cont = true;
  for (size_t i = 0; i < Ipc::kMaxQueuedResponses; ++i) ASSERT_TRUE(rejector.HandleRequest(req, cont));
  EXPECT_FALSE(rejector.HandleRequest(req, cont));
  EXPECT_TRUE(cont);
}

TEST_F(HandlersTest, LogHandlerFirstInAChainLogsAndLetsTheNextRun) {
  RecordingHandler real("real");
  EXPECT_EQ(logger.GetName(), "LogHandler");
  server.AddHandler("Unknown", &logger).AddHandler("Unknown", &real);
  client.AddHandler("Unknown", &logger);
  real.onRequest = [&](BaseRequestMessage& r) {
    BaseResponseMessage resp;
    server.SendResponse(r, resp);
  };
  BaseRequestMessage req = MakeRequest("Unknown", "client", "server", true);
  ASSERT_TRUE(client.SendRequest(req));
  ASSERT_TRUE(Pump({&client, &server}, [&] { return waiting.responses.size() == 1; }));
  EXPECT_EQ(real.requests.size(), 1u);
  std::string json;
  real.requests[0].ToJSON(json, false);
  EXPECT_TRUE(logs.has("HandleRequest: " + json, LOG_LEVEL_DEBUG)) << logs.dump();
  EXPECT_TRUE(logs.contains("HandleResponse: {\"request\":{", LOG_LEVEL_DEBUG));
  EXPECT_TRUE(logs.contains("\"response\":{", LOG_LEVEL_DEBUG));
  EXPECT_TRUE(logs.contains("MessageSentSuccessfully: {", LOG_LEVEL_DEBUG));
}

}  // namespace
}  // namespace test
}  // namespace ipc
}  // namespace kavo
