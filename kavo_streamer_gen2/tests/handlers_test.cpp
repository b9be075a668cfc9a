// The streamer's request handlers behind a real hub, asked by a second hub in the same process:
// the answers they give with an encoder that is not open, and with one open on the simulated DSP.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "changevideosettingshandler.h"
#include "enablelivevideohandler.h"
#include "eventanalyticsmotionhandler.h"
#include "forceidrhandler.h"
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/catchallhandlerrejector.h"
#include "kavo/ipc/ipc.h"
#include "kavo/logger/logger.h"
#include "kavo/sim/iav_sim.h"
#include "kavo/test/test_root.h"
#include "resetvideosettingshandler.h"

namespace kavo {
namespace streamer {
namespace {

using kavo::encoder::Encoder;
using kavo::encoder::EncoderSettings;
using kavo::ipc::BaseHandler;
using kavo::ipc::Ipc;
using kavo::ipc::messages::BaseMessage;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::logger::LogCapture;
using kavo::variant::Variant;

const char* const kFunctions[] = {"ChangeVideoSettings", "GetVideoSettings",    "ForceIDR",
                                  "ResetVideoSettings",  "EventAnalyticsMotion", "EnableLiveVideo"};

// The asking side: keeps every response it is given.
class Answers : public BaseHandler {
 public:
  Answers() : BaseHandler("answers") {}
  bool MessageSentSuccessfully(BaseMessage&, bool&) override { return true; }
  bool HandleResponse(BaseRequestMessage&, BaseResponseMessage& response, bool&) override {
    responses.push_back(response);
    return true;
  }
  bool HandleRequest(BaseRequestMessage&, bool&) override { return true; }
  std::vector<BaseResponseMessage> responses;
};

class StreamerHandlers : public ::testing::Test {
 protected:
  void SetUp() override {
    root.write("/etc/kavo_sim/iav.json", R"({"clock": "virtual"})");
    kavo::sim::iav::resetState();
    BaseHandler* handlers[] = {&change, &change, &forceIdr, &reset, &motion, &live};
    for (size_t i = 0; i < 6; ++i) {
      server.AddHandler(kFunctions[i], handlers[i]);
      client.AddHandler(kFunctions[i], &answers);
    }
    server.AddHandler("", &rejector);
    client.AddHandler("", &answers);
    ASSERT_TRUE(server.Init("kavo_streamer", false));
    ASSERT_TRUE(client.Init("test_client", false));
  }
  void TearDown() override {
    encoder.Close();
    Ipc::FreeInstance();
    kavo::sim::iav::resetState();
  }

  bool Pump(const std::function<bool()>& done, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      server.Service(0);
      client.Service(0);
      if (done()) return true;
      ::usleep(200);
    }
    return done();
  }

  // Sends `function` (with the given top-level keys) and returns its answer; statusCode 99 when
  // none came within `ms`.
  BaseResponseMessage Ask(const std::string& function, const Variant& keys = Variant(), bool expectAnswer = true,
                          int ms = 3000) {
    BaseRequestMessage request;
    if (keys.IsMap())
      for (const auto& entry : keys) request[entry.first] = entry.second;
    request.functionName(function);
    request.from("test_client");
    request.to("kavo_streamer");
    request.responseExpected(expectAnswer);
    const size_t before = answers.responses.size();
    EXPECT_TRUE(client.SendRequest(request));
    if (!Pump([&] { return answers.responses.size() > before; }, ms)) {
      BaseResponseMessage none;
      none.statusCode(99);
      return none;
    }
    return answers.responses.back();
  }

  bool OpenOnTheSimulator() {
    EncoderSettings settings;
    const char* doc = R"({"video": {
        "video1": {"enabled": true, "width": 640, "height": 360, "fps": 30, "bitRateVbrMax": 1500000,
                   "avSerializer": {"type": "flv", "destinations": ["file:///dev/null"]}},
        "video2": {"enabled": true, "width": 320, "height": 180, "fps": 30, "bitRateVbrMax": 400000,
                   "avSerializer": {"type": "flv", "destinations": ["file:///dev/null"]}}}})";
    settings.FromJSON(doc, std::strlen(doc));
    return encoder.Open(settings) && encoder.StartEncode();
  }

  static Variant BitrateChange(uint32_t bitRateVbrMax) {
    Variant keys;
    keys["video"]["video1"]["bitRateVbrMax"] = bitRateVbrMax;
    return keys;
  }
  uint32_t CurrentMax() { return encoder.GetCurrentSettings().Find("video")->Find("video1")->Find("bitRateVbrMax")->AsUInt32(); }

  kavo::test::TestRoot root;
  LogCapture logs;
  Ipc server, client;
  Encoder encoder;
  ChangeVideoSettingsHandler change{&encoder};
  ForceIDRHandler forceIdr{&encoder};
  ResetVideoToDefaultsHandler reset{&encoder};
  EventAnalyticsMotionHandler motion{&encoder};
  EnableLiveVideoHandler live{&encoder};
  kavo::ipc::CatchAllHandlerRejector rejector;
  Answers answers;
};

TEST_F(StreamerHandlers, AnswersOfAnEncoderThatIsNotOpen) {
  struct Case {
    const char* function;
    uint64_t status;
    bool settingsPayload;  // else the payload is given below
    Variant payload;
  };
  const Case cases[] = {
      {"ChangeVideoSettings", 1, true, {}}, {"GetVideoSettings", 0, true, {}},
      {"ResetVideoSettings", 1, true, {}},  {"ForceIDR", 1, false, Variant()},
      {"EnableLiveVideo", 1, false, Variant(0)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.function);
    BaseResponseMessage answer = Ask(c.function);
    EXPECT_EQ(answer.statusCode(), c.status);
    if (c.settingsPayload) {
      EXPECT_EQ(answer.payload(), static_cast<const Variant&>(encoder.GetCurrentSettings()));
    } else {
      EXPECT_EQ(answer.payload(), c.payload);
      EXPECT_EQ(answer.payload().IsNull(), c.payload.IsNull());
    }
  }
  EXPECT_EQ(logs.count("No video encoder configured"), 4u);
  // Motion events are taken silently, even from a sender that waits for an answer.
  EXPECT_EQ(Ask("EventAnalyticsMotion", Variant(), true, 300).statusCode(), 99u);
  EXPECT_EQ(Ask("Unknown").payload(), "Operation not supported");
}

TEST_F(StreamerHandlers, ChangesOnAnOpenEncoder) {
  ASSERT_TRUE(OpenOnTheSimulator()) << logs.dump();
  // A change without "responseExpected" is applied and not answered.
  Variant quiet = BitrateChange(800000);
  EXPECT_EQ(Ask("ChangeVideoSettings", quiet, false, 300).statusCode(), 99u);
  EXPECT_EQ(CurrentMax(), 800000u);
  EXPECT_EQ(server.GetQueuedCount("test_client"), 0u);
  // GetVideoSettings changes nothing, whatever it carries, and answers the settings as they are.
  BaseResponseMessage got = Ask("GetVideoSettings", BitrateChange(100000));
  EXPECT_EQ(got.statusCode(), 0u);
  EXPECT_EQ(CurrentMax(), 800000u);
  EXPECT_EQ(got.payload(), static_cast<const Variant&>(encoder.GetCurrentSettings()));
  // A refused change answers 1 with the settings that stand.
  BaseResponseMessage refused = Ask("ChangeVideoSettings", BitrateChange(90000000));
  EXPECT_EQ(refused.statusCode(), 1u);
  EXPECT_EQ(refused.payload()["video"]["video1"]["bitRateVbrMax"].AsUInt32(), 800000u);
  BaseResponseMessage restored = Ask("ResetVideoSettings");
  EXPECT_EQ(restored.statusCode(), 0u);
  EXPECT_EQ(restored.payload()["video"]["video1"]["bitRateVbrMax"].AsUInt32(), 1500000u);
  BaseResponseMessage idr = Ask("ForceIDR");
  EXPECT_EQ(idr.statusCode(), 0u);
  EXPECT_TRUE(idr.payload().IsNull());

  BaseResponseMessage first = Ask("EnableLiveVideo");
  ASSERT_EQ(first.statusCode(), 0u) << logs.dump();
  ASSERT_TRUE(first.payload().IsInteger());
  EXPECT_GT(first.payload().AsUInt32(), 0u);
  EXPECT_EQ(Ask("EnableLiveVideo").payload(), first.payload());
}

TEST_F(StreamerHandlers, LiveVideoResponsesAreNotHandled) {
  BaseRequestMessage request;
  BaseResponseMessage response;
  bool cont = true;
  EXPECT_FALSE(live.HandleResponse(request, response, cont));
  EXPECT_TRUE(cont);
  EXPECT_TRUE(logs.has("Function HandleResponse not yet implemented", LOG_LEVEL_WARNING));
  for (BaseHandler* h : std::vector<BaseHandler*>{&change, &forceIdr, &reset, &motion})
    EXPECT_TRUE(h->HandleResponse(request, response, cont)) << h->GetName();
}

// A handler that needs an encoder and is given none ends the process, after saying so.
void PrintLogs() {
  kavo::logger::setSink([](const kavo::logger::LogRecord& r) { std::fprintf(stderr, "%s\n", r.message.c_str()); });
}

TEST(StreamerHandlersDeathTest, WithoutAnEncoderTheProcessEnds) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  EXPECT_DEATH((PrintLogs(), ChangeVideoSettingsHandler(nullptr)), "ChangeVideoSettings needs an encoder to work with");
  EXPECT_DEATH((PrintLogs(), EnableLiveVideoHandler(nullptr)), "EnableLiveVideo needs an encoder to work with");
  EXPECT_DEATH((PrintLogs(), ForceIDRHandler(nullptr)), "ForceIDR needs an encoder");
  EXPECT_DEATH((PrintLogs(), ResetVideoToDefaultsHandler(nullptr)), "ResetVideoSettings needs an encoder");
  EventAnalyticsMotionHandler unchecked(nullptr);
  BaseRequestMessage request;
  bool cont = true;
  EXPECT_TRUE(unchecked.HandleRequest(request, cont));
}

}  // namespace
}  // namespace streamer
}  // namespace kavo
