// The A/V and analytics message classes: not-set marks, clamps, enumerations and views.
#include <gtest/gtest.h>

#include "document_cases.h"
#include "kavo/ipc/messages/analyticsinterrupt.h"
#include "kavo/ipc/messages/audiosettings.h"
#include "kavo/ipc/messages/avserializer.h"
#include "kavo/ipc/messages/baserequestmessage.h"
#include "kavo/ipc/messages/baseresponsemessage.h"
#include "kavo/ipc/messages/changeanalyticssettings.h"
#include "kavo/ipc/messages/changeispsettings.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/ipc/messages/eventstreamingstatus.h"
#include "kavo/ipc/messages/videosettings.h"

using namespace kavo::ipc::messages;
using kavo::test::FieldCase;
using kavo::test::json;
using kavo::test::normaliseAs;
using kavo::test::text;
using kavo::variant::Variant;

namespace {

template <class T>
Variant normaliseMessage(const Variant& doc) {
  T object{BaseMessage(doc)};
  object.NormalizeFields();
  return Variant(static_cast<const Variant&>(object));
}

const kavo::test::Normalisers& classes() {
  static const kavo::test::Normalisers all = {
      {"BaseMessage", normaliseAs<BaseMessage>},
      {"BaseRequestMessage", normaliseAs<BaseRequestMessage>},
      {"BaseResponseMessage", normaliseAs<BaseResponseMessage>},
      {"AVSerializer", normaliseAs<AVSerializer>},
      {"AudioSettings", normaliseAs<AudioSettings>},
      {"VideoSettingsElement", normaliseAs<VideoSettingsElement>},
      {"VideoSettings", normaliseAs<VideoSettings>},
      {"EventStreamingStatus", normaliseMessage<EventStreamingStatus>},
      {"ChangeVideoSettings", normaliseMessage<ChangeVideoSettings>},
      {"AnalyticsInterrupt", normaliseMessage<AnalyticsInterrupt>},
      {"ChangeIspSettings", normaliseMessage<ChangeIspSettings>},
      {"ChangeAnalyticsSettings", normaliseMessage<ChangeAnalyticsSettings>},
  };
  return all;
}

// The "not set" element of a change request.
const char* kUnsetElement =
    R"({"fps":0,"bitRateVbrMin":16383,"bitRateVbrMax":16383,"bitRateCbrAvg":16383,"isCbr":false,)"
    R"("avSerializer":{"destinations":null,"type":"unknown","streamName":""}})";

}  // namespace

TEST(ChangeVideoSettings, EmptyRequestNormalisesToNotSetMarks) {
  ChangeVideoSettings change;
  change.NormalizeFields();
  EXPECT_EQ(change["audio"], json(R"({"volume":-1})"));
  const std::string element = kUnsetElement;
  EXPECT_EQ(change["video"], json(R"({"video1":)" + element + R"(,"video2":)" + element + R"(,"video3":)" +
                                  element + R"(,"mjpg":)" + element + "}"))
      << text(change["video"]);
  EXPECT_EQ(change["functionName"], "ChangeVideoSettings");
  EXPECT_FALSE(change.responseExpected());
  for (const char* key : {"id", "timeStamp", "from", "to"}) EXPECT_NE(change.Find(key), nullptr) << key;
  EXPECT_EQ(change.Size(), 8u);
  EXPECT_FALSE(VideoSettingsElementFields::fps.isSet(change.video().mjpg().fps()));
  EXPECT_FALSE(VideoSettingsElementFields::bitRateVbrMax.isSet(change.video().video2().bitRateVbrMax()));
  EXPECT_EQ(change.audio().volume(), AudioSettings::kVolumeNotSet);
}

TEST(ChangeVideoSettings, ResponseExpectedDefaultsToFalseOnlyThroughNormalisation) {
  const Variant raw = json(R"({"functionName":"ChangeVideoSettings","video":{"video1":{"fps":25}}})");
  ChangeVideoSettings normalised{BaseMessage(raw)};
  normalised.NormalizeFields();
  EXPECT_FALSE(normalised.responseExpected());

  ChangeVideoSettings read{BaseMessage(raw)};
  EXPECT_TRUE(read.responseExpected());  // the class's own default, read before normalising
  read.NormalizeFields();
  EXPECT_TRUE(read.responseExpected());

  ChangeVideoSettings asked{BaseMessage(json(R"({"responseExpected":true})"))};
  asked.NormalizeFields();
  EXPECT_TRUE(asked.responseExpected());
}

TEST(ChangeVideoSettings, ViewsReadAndWriteTheRequestInPlace) {
  ChangeVideoSettings change{BaseMessage(json(R"({"video":{"video2":{"fps":60,"avSerializer":"flv"}},"audio":[]})"))};
  EXPECT_EQ(change.video().video2().fps(), 60);  // read as stored until normalised
  change.video().video2().fps(12);
  EXPECT_EQ(change["video"]["video2"]["fps"].AsInt32(), 12);
  change.video().video2().avSerializer().type("FLV");
  EXPECT_EQ(change["video"]["video2"]["avSerializer"], json(R"({"type":"flv"})"));
  EXPECT_TRUE(change["audio"].IsArray());  // untouched until read
  EXPECT_EQ(change.audio().volume(), -1);
  EXPECT_EQ(change["audio"], json(R"({"volume":-1})"));

  // A typed copy of a node, and a node handed on as a plain value.
  VideoSettingsElement copy(change.video().video2());
  copy.fps(1);
  EXPECT_EQ(change.video().video2().fps(), 12);
  Variant& node = change.video().video2();
  EXPECT_EQ(&node, change.GetKeyChain(kavo::variant::VariantType::Map, "video/video2"));
  change.video().video3() = copy;
  EXPECT_EQ(change["video"]["video3"]["fps"].AsInt32(), 1);
}

TEST(ChangeVideoSettings, FunctionNameIsForced) {
  for (const char* name : {"changevideosettings", "GetVideoSettings", ""}) {
    ChangeVideoSettings change{BaseMessage(json(std::string(R"({"functionName":")") + name + "\"}"))};
    EXPECT_EQ(change.functionName(), name);
    change.NormalizeFields();
    EXPECT_EQ(change.functionName(), "ChangeVideoSettings");
  }
}

TEST(Messages, FieldRules) {
  kavo::test::runFieldCases(classes(), {
      // AudioSettings: negative -> not set, above 100 -> 100 (also beyond 8 bits)
      {"AudioSettings", R"({"volume":-5})", "volume", "-1"},
      {"AudioSettings", R"({"volume":150})", "volume", "100"},
      {"AudioSettings", R"({"volume":300})", "volume", "100"},
      {"AudioSettings", R"({"volume":0})", "volume", "0"},
      {"AudioSettings", R"({"volume":100})", "volume", "100"},
      {"AudioSettings", R"({"volume":"50"})", "volume", "-1"},
      {"AudioSettings", R"({"volume":42.9})", "volume", "42"},
      // VideoSettingsElement
      {"VideoSettingsElement", R"({"fps":60})", "fps", "30"},
      {"VideoSettingsElement", R"({"fps":30})", "fps", "30"},
      {"VideoSettingsElement", R"({"fps":-3})", "fps", "0"},
      {"VideoSettingsElement", R"({"bitRateVbrMax":10})", "bitRateVbrMax", "16383"},
      {"VideoSettingsElement", R"({"bitRateVbrMax":20000000})", "bitRateVbrMax", "16000000"},
      {"VideoSettingsElement", R"({"bitRateVbrMin":16384})", "bitRateVbrMin", "16384"},
      {"VideoSettingsElement", R"({"bitRateCbrAvg":16000000})", "bitRateCbrAvg", "16000000"},
      {"VideoSettingsElement", R"({"bitRateCbrAvg":4294967296})", "bitRateCbrAvg", "16000000"},
      {"VideoSettingsElement", R"({"isCbr":1})", "isCbr", "false"},
      {"VideoSettingsElement", R"({"isCbr":true})", "isCbr", "true"},
      {"VideoSettingsElement", R"({"avSerializer":[1]})", "avSerializer/type", "\"unknown\""},
      // AVSerializer
      {"AVSerializer", R"({"destinations":"tcp://a:1"})", "destinations", "null"},
      {"AVSerializer", R"({"destinations":5})", "destinations", "null"},
      {"AVSerializer", R"({"destinations":["file:///a.flv","tcp://b:2"]})", "destinations",
       R"(["file:///a.flv","tcp://b:2"])"},
      {"AVSerializer", R"({"destinations":{"0":"file:///a.flv"}})", "destinations", R"({"0":"file:///a.flv"})"},
      {"AVSerializer", R"({"type":"FLV"})", "type", "\"flv\""},
      {"AVSerializer", R"({"type":"Mjpg"})", "type", "\"mjpg\""},
      {"AVSerializer", R"({"type":"rtmp"})", "type", "\"rtmp\""},
      {"AVSerializer", R"({"type":"flv "})", "type", "\"unknown\""},
      {"AVSerializer", R"({"type":"h264"})", "type", "\"unknown\""},
      {"AVSerializer", R"({"type":1})", "type", "\"unknown\""},
      {"AVSerializer", R"({"streamName":" cam "})", "streamName", "\" cam \""},
      // EventStreamingStatus
      {"EventStreamingStatus", R"({"channelId":7})", "channelId", "3"},
      {"EventStreamingStatus", R"({"channelId":2})", "channelId", "2"},
      {"EventStreamingStatus", R"({})", "channelId", "3"},
      {"EventStreamingStatus", R"j({"previousStatus":"(unknown)"})j", "previousStatus", "\"UNINITIALIZED\""},
      {"EventStreamingStatus", R"({"currentStatus":"send_data"})", "currentStatus", "\"SEND_DATA\""},
      {"EventStreamingStatus", R"({"currentStatus":"IGNORE_DESTINATION"})", "currentStatus",
       "\"IGNORE_DESTINATION\""},
      {"EventStreamingStatus", R"({"functionName":"Other"})", "functionName", "\"EventStreamingStatus\""},
      {"EventStreamingStatus", R"({})", "responseExpected", "false"},
      {"EventStreamingStatus", R"({"uri":"tcp://h:1"})", "uri", "\"tcp://h:1\""},
      // AnalyticsInterrupt
      {"AnalyticsInterrupt", R"({"interruptTimeoutMs":20000})", "interruptTimeoutMs", "10000"},
      {"AnalyticsInterrupt", R"({"interruptTimeoutMs":10000})", "interruptTimeoutMs", "10000"},
      {"AnalyticsInterrupt", R"({"interruptTimeoutMs":70000})", "interruptTimeoutMs", "10000"},
      {"AnalyticsInterrupt", R"({"interruptTimeoutMs":0})", "interruptTimeoutMs", "0"},
      {"AnalyticsInterrupt", R"({"sendClosure":"no"})", "sendClosure", "true"},
      {"AnalyticsInterrupt", R"({"reason":7})", "reason", "\"unknown\""},
      {"AnalyticsInterrupt", R"({"functionName":"analyticsinterrupt"})", "functionName",
       "\"AnalyticsInterrupt\""},
      // ChangeIspSettings: above or below the range is not set, wrong kinds are not set, not parsed
      {"ChangeIspSettings", R"({"brightness":150})", "brightness", "101"},
      {"ChangeIspSettings", R"({"brightness":100})", "brightness", "100"},
      {"ChangeIspSettings", R"({"brightness":-4})", "brightness", "101"},
      {"ChangeIspSettings", R"({"irLedLevel":-1})", "irLedLevel", "256"},
      {"ChangeIspSettings", R"({"contrast":"50"})", "contrast", "101"},
      {"ChangeIspSettings", R"({"irLedLevel":300})", "irLedLevel", "256"},
      {"ChangeIspSettings", R"({"irLedLevel":255})", "irLedLevel", "255"},
      {"ChangeIspSettings", R"({"irLedLevel":4294967296})", "irLedLevel", "256"},
      {"ChangeIspSettings", R"({"wdr":3})", "wdr", "3"},
      {"ChangeIspSettings", R"({"wdr":9})", "wdr", "4"},
      {"ChangeIspSettings", R"({"mirror":1})", "mirror", "1"},
      {"ChangeIspSettings", R"({"irOnStsHue":true})", "irOnStsHue", "2"},
      {"ChangeIspSettings", R"({"focusPosition":100.7})", "focusPosition", "100"},
      {"ChangeIspSettings", R"({"aeMode":"FLICK50"})", "aeMode", "\"flick50\""},
      {"ChangeIspSettings", R"({"aeMode":"day"})", "aeMode", "\"none\""},
      {"ChangeIspSettings", R"({"irLedMode":"Manual"})", "irLedMode", "\"manual\""},
      {"ChangeIspSettings", R"({"focusMode":"ztrig "})", "focusMode", "\"none\""},
      {"ChangeIspSettings", R"({"functionName":"changeispsettings"})", "functionName", "\"ChangeIspSettings\""},
      {"ChangeIspSettings", R"({"functionName":"ReInitIsp"})", "functionName", "\"ChangeIspSettings\""},
      // ChangeAnalyticsSettings
      {"ChangeAnalyticsSettings", R"({"ispMirror":7})", "ispMirror", "2"},
      {"ChangeAnalyticsSettings", R"({"ispFlip":0})", "ispFlip", "0"},
      {"ChangeAnalyticsSettings", R"({"interruptTimeoutMs":20000})", "interruptTimeoutMs", "10000"},
      {"ChangeAnalyticsSettings", R"({"zones":5})", "zones", "null"},
      {"ChangeAnalyticsSettings", R"({"zones":"all"})", "zones", "null"},
      {"ChangeAnalyticsSettings", R"({"zones":{"a":[1,2]}})", "zones", R"({"a":[1,2]})"},
      {"ChangeAnalyticsSettings", R"({"zones":[]})", "zones", "[]"},
      {"ChangeAnalyticsSettings", R"({"respondFullSettings":0})", "respondFullSettings", "true"},
  });
}

TEST(EventStreamingStatus, CarriesTheTwoStateNames) {
  EventStreamingStatus event;
  event.to("kavo_avclient");
  event.previousStatus("INIT_FOR_ACCEPT");
  event.currentStatus("ACCEPT");
  event.channelId(static_cast<uint8_t>(7));
  event.uri("tcp://0.0.0.0:1?acceptor&randomPort");
  event.NormalizeFields();
  EXPECT_EQ(event["previousStatus"], "INIT_FOR_ACCEPT");
  EXPECT_EQ(event["currentStatus"], "ACCEPT");
  EXPECT_EQ(event.channelId(), 3);
  EXPECT_EQ(event.functionName(), "EventStreamingStatus");
  EXPECT_EQ(event.from(), "");
  EXPECT_EQ(event.to(), "kavo_avclient");
  EXPECT_FALSE(event.responseExpected());
  EXPECT_EQ(event.Size(), 10u);
}

TEST(AnalyticsInterrupt, DefaultsAndTheRecoveryRequest) {
  AnalyticsInterrupt plain;
  plain.NormalizeFields();
  EXPECT_EQ(plain.functionName(), "AnalyticsInterrupt");
  EXPECT_FALSE(plain.responseExpected());
  EXPECT_TRUE(plain.sendClosure());
  EXPECT_EQ(plain.interruptTimeoutMs(), 5000);
  EXPECT_EQ(plain.reason(), "unknown");

  AnalyticsInterrupt recovery;
  recovery.from("kavo_streamer");
  recovery.to("kavo_analytics");
  recovery.interruptTimeoutMs(20000);
  EXPECT_EQ(recovery["interruptTimeoutMs"].AsInt32(), 10000);
  recovery.reason("Corrupt video frame");
  recovery.responseExpected(false);
  recovery.NormalizeFields();
  EXPECT_EQ(recovery["reason"], "Corrupt video frame");
  EXPECT_FALSE(recovery.responseExpected());

  AnalyticsInterrupt isp;
  isp.responseExpected(true);
  isp.reason("ISP change");
  isp.NormalizeFields();
  EXPECT_TRUE(isp.responseExpected());
}

TEST(ChangeIspSettings, EmptyRequestNormalisesToNotSetMarks) {
  ChangeIspSettings change;
  change.NormalizeFields();
  EXPECT_EQ(change.functionName(), "ChangeIspSettings");
  EXPECT_FALSE(change.responseExpected());
  // The envelope, then the 27 settings, each at its mark.
  EXPECT_EQ(change.Size(), 6u + 27u) << text(change);
  using F = ChangeIspSettingsFields;
  for (const auto* f : {&F::brightness, &F::contrast, &F::denoise, &F::hue, &F::saturation, &F::sharpness,
                        &F::zoomPosition, &F::focusPosition, &F::irOnValBrightness, &F::irOnValContrast,
                        &F::irOnValDenoise, &F::irOnValHue, &F::irOnValSaturation, &F::irOnValSharpness})
    EXPECT_EQ(change[f->key], Variant(uint8_t(101))) << f->key;
  for (const auto* f : {&F::mirror, &F::flip, &F::irOnStsBrightness, &F::irOnStsContrast, &F::irOnStsDenoise,
                        &F::irOnStsHue, &F::irOnStsSaturation, &F::irOnStsSharpness})
    EXPECT_EQ(change[f->key], Variant(uint8_t(2))) << f->key;
  EXPECT_EQ(change.wdr(), 4);
  EXPECT_EQ(change.irLedLevel(), 256u);
  EXPECT_FALSE(F::irLedLevel.isSet(change.irLedLevel()));
  for (const char* key : {"aeMode", "irLedMode", "focusMode"}) EXPECT_EQ(change[key], "none") << key;

  // A request that asks for an answer keeps asking; the class default shows only before normalising.
  ChangeIspSettings asked{BaseMessage(json(R"({"responseExpected":true,"brightness":20})"))};
  asked.NormalizeFields();
  EXPECT_TRUE(asked.responseExpected());
  EXPECT_EQ(asked.brightness(), 20);
  EXPECT_TRUE(ChangeIspSettings().responseExpected());
}

TEST(ChangeAnalyticsSettings, DefaultsAndTheMirrorAnnouncement) {
  ChangeAnalyticsSettings plain;
  plain.NormalizeFields();
  EXPECT_EQ(plain.functionName(), "ChangeAnalyticsSettings");
  EXPECT_FALSE(plain.responseExpected());
  EXPECT_TRUE(plain.respondFullSettings());
  EXPECT_TRUE(plain.incremental());
  EXPECT_EQ(plain.sendEvents(), 2);
  EXPECT_EQ(plain.ispFlip(), 2);
  EXPECT_EQ(plain.ispMirror(), 2);
  EXPECT_EQ(plain.interruptTimeoutMs(), 5000);
  EXPECT_TRUE(plain.zones().IsNull());

  ChangeAnalyticsSettings mirror;
  mirror.responseExpected(true);
  mirror.respondFullSettings(false);
  mirror.ispMirror(1);
  mirror.NormalizeFields();
  EXPECT_EQ(text(mirror["ispMirror"]), "1");
  EXPECT_EQ(text(mirror["ispFlip"]), "2");
  EXPECT_EQ(mirror["respondFullSettings"], false);
  EXPECT_EQ(mirror["responseExpected"], true);
}

TEST(Messages, NormalisingTwiceEqualsOnce) {
  std::vector<std::string> keys = {"id", "timeStamp", "from", "to", "functionName", "responseExpected",
                                   "requestId", "statusCode", "payload", "destinations", "type", "streamName",
                                   "volume", "fps", "bitRateVbrMin", "bitRateVbrMax", "bitRateCbrAvg", "isCbr",
                                   "avSerializer", "video1", "video2", "video3", "mjpg", "previousStatus",
                                   "currentStatus", "channelId", "uri", "audio", "video", "sendClosure",
                                   "interruptTimeoutMs", "reason", "brightness", "wdr", "mirror", "irLedLevel",
                                   "aeMode", "focusMode", "irOnStsHue", "ispMirror", "zones", "sendEvents",
                                   "respondFullSettings"};
  std::vector<std::string> words = {"flv", "mjpg", "rtmp", "unknown", "accept", "SEND_DATA", "__response__",
                                    "ChangeVideoSettings", "EventStreamingStatus", "AnalyticsInterrupt", "auto", "none", "manual",
                                    "flick60", "ztrig", "ChangeIspSettings", ""};
  kavo::test::RandomDocuments gen(keys, words, 20240601u);
  kavo::test::checkIdempotent(classes(), gen, 300);
}
