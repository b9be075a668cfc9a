// The ISP server's IPC front end behind real hubs in this process: a client ("tclient") and an
// analytics stand-in ("kavo_analytics") talk to the messenger, all serviced from the test thread
// with the clock frozen, so that the 10 s time-out is tested on its boundary. The thread itself
// is tested last, against an endpoint held by someone else.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "algo_af/CAFControl.h"
#include "ispserver_messenger.h"
#include "kavo/ipc/ipc.h"
#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "kavo/utils/clock.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {
namespace {

using kavo::ipc::Ipc;
using kavo::ipc::RequestHandler;
using kavo::ipc::messages::AnalyticsInterrupt;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::BaseResponseMessage;
using kavo::ipc::messages::ChangeIspSettings;
using kavo::ispserver::ispserver_messenger::IspServerMessenger;
using kavo::logger::LogCapture;
using kavo::variant::Variant;

const char* const kServed[] = {"ChangeIspSettings", "ResetIspSettings", "ResetAllIspSettings", "ReloadIspSettings",
                               "ReInitIsp"};

Variant json(const std::string& text) {
  Variant v;
  EXPECT_EQ(v.FromJSON(text), text.size()) << text;
  return v;
}

// Every leaf of `expected` is in `doc` under the same keys.
void ExpectHolds(const Variant& doc, const Variant& expected, const std::string& path) {
  if (!expected.IsMap()) {
    EXPECT_EQ(doc, expected) << path;
    return;
  }
  for (const auto& entry : expected) {
    const Variant* inner = doc.Find(entry.first);
    ASSERT_NE(inner, nullptr) << path << "/" << entry.first;
    ExpectHolds(*inner, entry.second, path + "/" + entry.first);
  }
}

// The client: keeps every answer.
class Client : public RequestHandler {
 public:
  Client() : RequestHandler("tclient") {}
  bool HandleResponse(BaseRequestMessage&, BaseResponseMessage& response, bool&) override {
    answers.push_back(response);
    return true;
  }
  bool HandleRequest(BaseRequestMessage&, bool&) override { return true; }
  BaseResponseMessage* answerTo(uint64_t id) {
    for (BaseResponseMessage& a : answers)
      if (a.requestId() == id) return &a;
    return nullptr;
  }
  std::deque<BaseResponseMessage> answers;  // stable addresses: tests keep pointers
};

// The analytics stand-in: keeps every announcement and answers it with `autoStatus` (>= 0), or
// when told.
class Analytics : public RequestHandler {
 public:
  Analytics() : RequestHandler("kavo_analytics") {}
  bool HandleRequest(BaseRequestMessage& request, bool&) override {
    announcements.push_back(request);
    return autoStatus < 0 || Answer(request, static_cast<uint64_t>(autoStatus));
  }
  bool answer(size_t index, uint64_t status) { return Answer(announcements.at(index), status); }
  std::vector<BaseRequestMessage> announcements;
  int autoStatus = -1;
};

class Messenger : public ::testing::Test {
 protected:
  void SetUp() override {
    g_isp.runState.store(kRunStateRun);
    kavo::utils::freezeMomentsForTest();
    settings.NormalizeFields();  // the shipped defaults: picture values 50, mirror and flip 0
    ASSERT_EQ(messenger.Initialize(), 0);
    ASSERT_TRUE(Ipc::GetInstance()->IsInitialized()) << logs.dump();
    for (const char* f : kServed) client.AddHandler(f, &answers);
    client.AddHandler("", &answers);
    ASSERT_TRUE(client.Init("tclient", false));
  }
  void TearDown() override {
    Ipc::FreeInstance();
    kavo::utils::resetMomentsForTest();
    g_isp.runState.store(kRunStateRun);
  }

  void StartAnalytics(int autoStatus = -1) {
    analyticsHandler.autoStatus = autoStatus;
    analytics.AddHandler("ChangeAnalyticsSettings", &analyticsHandler);
    analytics.AddHandler("AnalyticsInterrupt", &analyticsHandler);
    ASSERT_TRUE(analytics.Init("kavo_analytics", false));
  }

  // Services the three hubs until `done` or `ms` of real time.
  bool Pump(const std::function<bool()>& done, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      Ipc::GetInstance()->Service(0);
      client.Service(0);
      if (analytics.IsInitialized()) analytics.Service(0);
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      ::usleep(200);
    }
  }

  // Sends `function` with the top-level keys of `keys`; its id.
  uint64_t Send(const std::string& function, const std::string& keys = "{}", bool expectAnswer = true) {
    BaseRequestMessage request(json(keys));
    request.functionName(function);
    request.from("tclient");
    request.to("kavo_ispserver");
    request.responseExpected(expectAnswer);
    EXPECT_TRUE(client.SendRequest(request));
    return request.id();
  }
  // The answer to request `id`, waiting for it; null when none came within `ms`.
  BaseResponseMessage* Answer(uint64_t id, int ms = 3000) {
    Pump([&] { return answers.answerTo(id) != nullptr; }, ms);
    return answers.answerTo(id);
  }
  BaseResponseMessage* Ask(const std::string& function, const std::string& keys = "{}") {
    return Answer(Send(function, keys));
  }
  // Waits for announcement number `n` (from 1) to reach analytics.
  bool Announced(size_t n) {
    return Pump([&] { return analyticsHandler.announcements.size() >= n; });
  }
  // Pumps a while, so that a late answer or announcement would have arrived.
  void Settle() {
    Pump([] { return false; }, 150);
  }

  static int Brightness(BaseResponseMessage* answer) {
    return answer == nullptr ? -1 : answer->payload()["brightness"].AsInt32();
  }

  kavo::test::TestRoot root;
  LogCapture logs;
  IspSettings settings;
  IspServerMessenger messenger{&settings};
  Ipc client, analytics;
  Client answers;
  Analytics analyticsHandler;
};

TEST_F(Messenger, BusyForTenSecondsThenTheNextRequestAppliesTheChange) {
  StartAnalytics();
  const uint64_t first = Send("ChangeIspSettings", R"({"brightness":30})");
  ASSERT_TRUE(Announced(1));
  kavo::utils::advanceMomentsForTest(5000);
  BaseResponseMessage* busy = Ask("ChangeIspSettings", R"({"contrast":10})");
  ASSERT_NE(busy, nullptr);
  EXPECT_EQ(busy->statusCode(), 1u);
  EXPECT_EQ(busy->payload(), json(R"({"reason":"Busy"})"));
  // A re-initialisation is refused as well.
  EXPECT_EQ(Ask("ReInitIsp")->statusCode(), 1u);
  EXPECT_EQ(g_isp.runState.load(), kRunStateRun);

  kavo::utils::advanceMomentsForTest(5000);  // exactly 10,000 ms: still waiting for analytics
  EXPECT_EQ(Ask("ReloadIspSettings")->payload(), json(R"({"reason":"Busy"})"));
  EXPECT_EQ(answers.answerTo(first), nullptr);
  EXPECT_EQ(settings.image().brightness(), 50);

  kavo::utils::advanceMomentsForTest(1);
  BaseResponseMessage* reload = Ask("ReloadIspSettings");
  ASSERT_NE(reload, nullptr);
  EXPECT_TRUE(logs.has("Timeout propagating ISP changes to analytics", LOG_LEVEL_WARNING));
  EXPECT_EQ(Answer(first)->statusCode(), 0u);
  EXPECT_EQ(Brightness(Answer(first)), 30);
  // The reload found the change it brings back in force already: nothing to announce.
  EXPECT_EQ(reload->statusCode(), 0u);
  EXPECT_EQ(Brightness(reload), 30);
  EXPECT_EQ(analyticsHandler.announcements.size(), 1u);
  EXPECT_FALSE(messenger.IsPending());
}

// Analytics refusing a change drops it: its client learns at once, and nothing applies it later.
TEST_F(Messenger, ARefusedChangeIsDroppedAndAnsweredWithStatusOne) {
  StartAnalytics();
  const uint64_t change = Send("ChangeIspSettings", R"({"brightness":30})");
  ASSERT_TRUE(Announced(1));
  ASSERT_TRUE(analyticsHandler.answer(0, 1));
  ASSERT_NE(Answer(change), nullptr);
  EXPECT_EQ(Answer(change)->statusCode(), 1u);
  EXPECT_EQ(Brightness(Answer(change)), 50);
  EXPECT_TRUE(logs.has("Analytics settings update failed, reject ISP setting update", LOG_LEVEL_ERROR));
  EXPECT_FALSE(messenger.IsPending());

  kavo::utils::advanceMomentsForTest(20000);
  BaseResponseMessage* later = Ask("ChangeIspSettings");
  ASSERT_NE(later, nullptr);
  EXPECT_EQ(later->statusCode(), 0u);
  EXPECT_EQ(Brightness(later), 50);
  EXPECT_EQ(settings.image().brightness(), 50);
  EXPECT_FALSE(logs.contains("Timeout propagating"));
  EXPECT_EQ(answers.answers.size(), 2u);  // the refused change was answered once
}

// A late answer to an announcement whose change timed out must not apply the next change, which
// analytics has not agreed to yet.
TEST_F(Messenger, AnAnswerToAnEarlierAnnouncementIsDropped) {
  StartAnalytics();
  const uint64_t first = Send("ChangeIspSettings", R"({"brightness":30})");
  ASSERT_TRUE(Announced(1));
  kavo::utils::advanceMomentsForTest(10001);
  const uint64_t second = Send("ChangeIspSettings", R"({"brightness":40})");
  ASSERT_TRUE(Announced(2));
  EXPECT_EQ(Brightness(Answer(first)), 30);  // applied by the time-out
  EXPECT_NE(analyticsHandler.announcements[0].id(), analyticsHandler.announcements[1].id());

  ASSERT_TRUE(analyticsHandler.answer(0, 0));
  ASSERT_TRUE(Pump([&] { return logs.contains("Dropped the answer to an earlier analytics announcement"); }))
      << logs.dump();
  Settle();
  EXPECT_EQ(answers.answerTo(second), nullptr);
  EXPECT_EQ(settings.image().brightness(), 30);
  EXPECT_TRUE(messenger.IsPending());

  ASSERT_TRUE(analyticsHandler.answer(1, 0));
  ASSERT_NE(Answer(second), nullptr);
  EXPECT_EQ(Answer(second)->statusCode(), 0u);
  EXPECT_EQ(settings.image().brightness(), 40);
}

// An announcement that cannot even be queued (analytics absent long enough to fill its queue)
// answers the client at once instead of leaving it without an answer.
TEST_F(Messenger, WhenTheAnnouncementCannotBeSentTheClientIsAnsweredAtOnce) {
  Ipc* hub = Ipc::GetInstance();
  for (size_t i = 0; i < Ipc::kMaxQueuedRequests; ++i) {
    AnalyticsInterrupt filler;
    filler.to("kavo_analytics");
    ASSERT_TRUE(hub->SendRequest(filler));
  }
  const struct {
    const char* change;
    const char* log;
  } cases[] = {{R"({"brightness":30})", "Failed to send interrupt to analytics"},
               {R"({"flip":1})", "Failed to send mirror/flip notification to analytics"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.change);
    BaseResponseMessage* answer = Ask("ChangeIspSettings", c.change);
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer->statusCode(), 1u);
    EXPECT_EQ(answer->payload().Size(), 27u);
    EXPECT_TRUE(logs.has(c.log, LOG_LEVEL_ERROR));
    EXPECT_FALSE(messenger.IsPending());
  }
  EXPECT_EQ(settings.image().brightness(), 50);
  EXPECT_EQ(settings.image().flip(), 0);
}

TEST_F(Messenger, ResetAndReloadBringBackWhatTheyKept) {
  StartAnalytics(0);
  // Nothing applied yet: a reload changes nothing and announces nothing.
  BaseResponseMessage* reload = Ask("ReloadIspSettings");
  ASSERT_NE(reload, nullptr);
  EXPECT_EQ(reload->statusCode(), 0u);
  EXPECT_TRUE(analyticsHandler.announcements.empty());

  BaseResponseMessage* changed = Ask("ChangeIspSettings", R"({"brightness":30,"focusMode":"MANUAL","irLedLevel":0})");
  EXPECT_EQ(Brightness(changed), 30);
  ASSERT_NE(changed, nullptr);
  EXPECT_EQ(changed->payload().Size(), 27u) << "the settings, nothing else";
  EXPECT_EQ(settings.motor().focus().mode(), "manual");
  // The last change is what is in force: reloading it announces nothing.
  EXPECT_EQ(Brightness(Ask("ReloadIspSettings")), 30);
  EXPECT_EQ(analyticsHandler.announcements.size(), 1u);
  EXPECT_EQ(Brightness(Ask("ResetIspSettings")), 50);
  EXPECT_EQ(settings.motor().focus().mode(), "ztrig");
  EXPECT_EQ(settings.ir().led().level(), 215u);
  EXPECT_EQ(analyticsHandler.announcements.size(), 2u);
  EXPECT_EQ(Brightness(Ask("ChangeIspSettings", R"({"brightness":35})")), 35);
  EXPECT_EQ(Brightness(Ask("ResetAllIspSettings")), 50);
  EXPECT_EQ(analyticsHandler.announcements.size(), 4u);
}

// Every setting of a change lands in its place in the document, in the order the log shows.
TEST_F(Messenger, UpdateSettingsWritesEverySettingToItsPlace) {
  ChangeIspSettings change(BaseRequestMessage(json(R"({
      "brightness": 1, "contrast": 2, "denoise": 3, "hue": 4, "saturation": 5, "sharpness": 6, "wdr": 3,
      "mirror": 1, "flip": 1, "aeMode": "flick60", "irLedMode": "manual", "irLedLevel": 255,
      "focusMode": "auto", "zoomPosition": 77, "focusPosition": 88,
      "irOnValBrightness": 11, "irOnStsBrightness": 1, "irOnValContrast": 12, "irOnStsContrast": 1,
      "irOnValDenoise": 13, "irOnStsDenoise": 1, "irOnValHue": 14, "irOnStsHue": 1,
      "irOnValSaturation": 15, "irOnStsSaturation": 1, "irOnValSharpness": 16, "irOnStsSharpness": 1})")));
  change.NormalizeFields();
  logs.clear();
  EXPECT_TRUE(messenger.UpdateSettings(change));
  const Variant expected = json(R"({
      "image": {"brightness": 1, "contrast": 2, "denoise": 3, "hue": 4, "saturation": 5, "sharpness": 6,
                "wdr": 3, "mirror": 1, "flip": 1,
                "irOnValBrightness": 11, "irOnStsBrightness": 1, "irOnValContrast": 12, "irOnStsContrast": 1,
                "irOnValDenoise": 13, "irOnStsDenoise": 1, "irOnValHue": 14, "irOnStsHue": 1,
                "irOnValSaturation": 15, "irOnStsSaturation": 1, "irOnValSharpness": 16, "irOnStsSharpness": 1},
      "ae": {"mode": "flick60"}, "ir": {"led": {"mode": "manual", "level": 255}},
      "motor": {"focus": {"mode": "auto", "position": 88}, "zoom": {"position": 77}}})");
  ExpectHolds(settings, expected, "");
  std::vector<std::string> changed;
  for (const auto& r : logs.records())
    if (r.function == "UpdateSettings") changed.push_back(r.message.substr(0, r.message.find(" changed")));
  const std::vector<std::string> order = {
      "irLedMode", "irLedLevel", "brightness", "contrast", "saturation", "hue", "sharpness", "denoise", "wdr",
      "mirror", "flip", "irOnValBrightness", "irOnStsBrightness", "irOnValContrast", "irOnStsContrast",
      "irOnValHue", "irOnStsHue", "irOnValSaturation", "irOnstsSaturation", "irOnValSharpness",
      "irOnStsSharpness", "irOnValDenoise", "irOnStsDenoise", "aeMode", "focusMode", "focusPosition",
      "zoomPosition"};
  EXPECT_EQ(changed, order);
  EXPECT_TRUE(logs.has("aeMode changed: auto -> flick60"));
  EXPECT_TRUE(logs.has("irLedLevel changed: 215 -> 255"));

  // Applied again: nothing differs, nothing is logged.
  logs.clear();
  messenger.UpdateSettings(change);
  EXPECT_FALSE(logs.contains("changed"));
}

// The AF mode also changes over VISCA (the one mode word): a request is weighed against the mode in
// force, and the document takes it; a word without a mode name (none yet, a calibration) leaves
// the document alone.
TEST_F(Messenger, AFocusModeRequestIsWeighedAgainstTheModeInForce) {
  const struct {
    int32_t inForce;
    const char* request;
    const char* document;
    const char* logged;  // "": no focus mode line
  } rows[] = {
      {MANUAL_MODE, "{}", "manual", ""},
      {MANUAL_MODE, R"({"focusMode": "auto"})", "auto", "focusMode changed: manual -> auto"},
      {ZOOM_TRIG_MODE, R"({"focusMode": "ztrig"})", "ztrig", ""},
      {AF_MODE_UNSET, R"({"brightness": 20})", "ztrig", ""},
      {0, R"({"focusMode": "manual"})", "manual", "focusMode changed: ztrig -> manual"},
  };
  for (const auto& r : rows) {
    g_isp.focusMode.store(r.inForce);
    ChangeIspSettings change(BaseRequestMessage(json(r.request)));
    change.NormalizeFields();
    logs.clear();
    messenger.UpdateSettings(change);
    EXPECT_EQ(settings.motor().focus().mode(), r.document) << r.request;
    EXPECT_EQ(logs.contains("focusMode changed"), *r.logged != 0) << r.request;
    if (*r.logged != 0) {
      EXPECT_TRUE(logs.has(r.logged)) << logs.dump();
    }
  }
  g_isp.focusMode.store(0);
}

// The thread: with the endpoint held by another process it neither spins nor floods the log, opens
// the endpoint once it is free, and ends soon after it is cancelled.
TEST(MessengerThread, OpensTheEndpointWhenItIsFreeAndStopsWhenCancelled) {
  kavo::test::TestRoot root;
  LogCapture logs;
  Ipc holder;
  ASSERT_TRUE(holder.Init("kavo_ispserver", false));
  IspSettings settings;
  IspServerMessenger messenger(&settings);
  EXPECT_EQ(messenger.Initialize(), 0);
  EXPECT_TRUE(logs.has("Response:2, ipc library initailization failed.", LOG_LEVEL_ERROR)) << logs.dump();
  ASSERT_EQ(messenger.Run(), 0);
  ::usleep(300 * 1000);
  EXPECT_EQ(logs.count("IPC not initialized"), 0u);
  holder.TearDown(true);

  Ipc client;
  Client answers;
  client.AddHandler("ChangeIspSettings", &answers);
  ASSERT_TRUE(client.Init("tclient", false));
  BaseRequestMessage request;
  request.functionName("ChangeIspSettings");
  request.from("tclient");
  request.to("kavo_ispserver");
  request.responseExpected(true);
  ASSERT_TRUE(client.SendRequest(request));
  // The endpoint is tried every 2 s, and the client tries to connect every 2 s.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (answers.answers.empty() && std::chrono::steady_clock::now() < deadline) {
    client.Service(10);
  }
  ASSERT_EQ(answers.answers.size(), 1u) << logs.dump();
  EXPECT_EQ(answers.answers[0].statusCode(), 0u);

  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(messenger.Join());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  Ipc::FreeInstance();
}

}  // namespace
}  // namespace isp
}  // namespace kavo
