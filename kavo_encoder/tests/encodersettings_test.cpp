// The encoder settings document: the default tree, every clamp, enumeration and fall-back, views
// of nodes, and idempotent normalisation.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "document_cases.h"
#include "kavo/encoder/encodersettings.h"
#include "kavo/encoder/streaminfo.h"
#include "kavo/test/test_root.h"

using namespace kavo::encoder;
using kavo::test::FieldCase;
using kavo::test::json;
using kavo::test::normaliseAs;
using kavo::test::text;
using kavo::variant::Variant;
using kavo::variant::VariantType;

namespace {

Variant fixture(const std::string& name) {
  std::ifstream in(kavo::test::sourceDir() + "/kavo_encoder/tests/data/" + name);
  std::stringstream s;
  s << in.rdbuf();
  EXPECT_FALSE(s.str().empty()) << name;
  return json(s.str());
}

const kavo::test::Normalisers& classes() {
  static const kavo::test::Normalisers all = {
      {"EncoderSettings", normaliseAs<EncoderSettings>},
      {"BaseEncoderSettings", normaliseAs<BaseEncoderSettings>},
      {"AudioEncoderSettings", normaliseAs<AudioEncoderSettings>},
      {"BaseVideoEncoderSettings", normaliseAs<BaseVideoEncoderSettings>},
      {"VideoEncoderSettings", normaliseAs<VideoEncoderSettings>},
      {"H264VideoEncoderSettings", normaliseAs<H264VideoEncoderSettings>},
      {"MJPGVideoEncoderSettings", normaliseAs<MJPGVideoEncoderSettings>},
      {"StreamInfo", normaliseAs<StreamInfo>},
  };
  return all;
}

}  // namespace

TEST(EncoderSettings, EmptyDocumentNormalisesToTheDefaultTree) {
  const Variant golden = fixture("default_settings.json");
  EncoderSettings settings;
  settings.NormalizeFields();
  EXPECT_TRUE(settings == golden) << text(settings);

  // The same from a file that holds only an empty object, and the tree is a fixed point.
  EncoderSettings fromEmpty(json("{}"));
  fromEmpty.NormalizeFields();
  EXPECT_TRUE(fromEmpty == golden);
  EncoderSettings again(golden);
  again.NormalizeFields();
  EXPECT_TRUE(again == golden) << text(again);
}

TEST(EncoderSettings, NodesOfAnotherKindBecomeMapsOfDefaults) {
  const Variant golden = fixture("default_settings.json");
  for (const char* audio : {"[]", "[1,2]", "\"aac\"", "7", "null", "true"}) {
    EncoderSettings s(json(std::string(R"({"audio":)") + audio + R"(,"video":{"video2":"x","mjpg":[]}})"));
    s.NormalizeFields();
    EXPECT_TRUE(s == golden) << audio << ": " << text(s);
  }
  EncoderSettings root(Variant("not a document"));
  root.NormalizeFields();
  EXPECT_TRUE(root == golden);
}

TEST(EncoderSettings, FieldRules) {
  kavo::test::runFieldCases(classes(), {
      // kinds: wrong kinds take the default, they are not parsed
      {"H264VideoEncoderSettings", R"({"fps":"25"})", "fps", "255"},
      {"H264VideoEncoderSettings", R"({"fps":25})", "fps", "25"},
      {"H264VideoEncoderSettings", R"({"fps":300})", "fps", "255"},  // saturates
      {"H264VideoEncoderSettings", R"({"fps":24.97})", "fps", "24"},
      {"H264VideoEncoderSettings", R"({"width":"1920"})", "width", "4294967295"},
      {"H264VideoEncoderSettings", R"({"width":1920,"height":1080})", "height", "1080"},
      {"H264VideoEncoderSettings", R"({"enabled":1})", "enabled", "false"},
      {"H264VideoEncoderSettings", R"({"enabled":true})", "enabled", "true"},
      {"H264VideoEncoderSettings", R"({"description":{"a":1}})", "description", "\"\""},
      {"EncoderSettings", R"({"firmwarePath":5})", "firmwarePath", "\"/lib/firmware/\""},
      {"EncoderSettings", R"({"firmwarePath":"/opt/ucode"})", "firmwarePath", "\"/opt/ucode\""},
      // "type": every class of a node forces its own
      {"EncoderSettings", R"({"video":{"video2":{"type":"mjpg"}}})", "video/video2/type", "\"h264\""},
      {"EncoderSettings", R"({"video":{"mjpg":{"type":"MjPg"}}})", "video/mjpg/type", "\"mjpg\""},
      {"EncoderSettings", R"({"video":{"mjpg":{"type":"h264"}}})", "video/mjpg/type", "\"mjpg\""},
      {"EncoderSettings", R"({"audio":{"type":"H264"}})", "audio/type", "\"aac\""},
      {"BaseEncoderSettings", R"({"type":"AAC"})", "type", "\"aac\""},
      {"BaseEncoderSettings", R"({"type":"mp3"})", "type", "\"h264\""},
      {"BaseVideoEncoderSettings", R"({"type":"aac"})", "type", "\"h264\""},
      {"BaseVideoEncoderSettings", R"({"type":"MJPG"})", "type", "\"mjpg\""},
      // audio
      {"AudioEncoderSettings", R"({"mode":0})", "mode", "0"},
      {"AudioEncoderSettings", R"({"mode":3})", "mode", "1"},
      {"AudioEncoderSettings", R"({"channels":0})", "channels", "1"},
      {"AudioEncoderSettings", R"({"channels":2})", "channels", "2"},
      {"AudioEncoderSettings", R"({"channels":6})", "channels", "2"},
      {"AudioEncoderSettings", R"({"volume":0})", "volume", "1"},
      {"AudioEncoderSettings", R"({"volume":100})", "volume", "100"},
      {"AudioEncoderSettings", R"({"volume":255})", "volume", "100"},
      {"AudioEncoderSettings", R"({"volume":-3})", "volume", "1"},
      {"AudioEncoderSettings", R"({"quality":9})", "quality", "2"},
      {"AudioEncoderSettings", R"({"quality":1})", "quality", "1"},
      {"AudioEncoderSettings", R"({"bitRate":8000})", "bitRate", "16000"},
      {"AudioEncoderSettings", R"({"bitRate":256000})", "bitRate", "128000"},
      {"AudioEncoderSettings", R"({"bitRate":64000})", "bitRate", "64000"},
      {"AudioEncoderSettings", R"({"sampleRate":8000})", "sampleRate", "11025"},
      {"AudioEncoderSettings", R"({"sampleRate":16000})", "sampleRate", "11025"},
      {"AudioEncoderSettings", R"({"sampleRate":22050})", "sampleRate", "22050"},
      {"AudioEncoderSettings", R"({"sampleRate":32000})", "sampleRate", "22050"},
      {"AudioEncoderSettings", R"({"sampleRate":44100})", "sampleRate", "44100"},
      {"AudioEncoderSettings", R"({"sampleRate":48000})", "sampleRate", "44100"},
      {"AudioEncoderSettings", R"({"sampleRate":96000})", "sampleRate", "44100"},
      {"AudioEncoderSettings", R"({"enableTemporalNoiseShaping":true})", "enableTemporalNoiseShaping", "true"},
      {"VideoEncoderSettings", R"({"audioSampleRate":96000})", "audioSampleRate", "48000"},
      {"VideoEncoderSettings", R"({"audioSampleRate":48000})", "audioSampleRate", "48000"},
      {"VideoEncoderSettings", R"({"audioSampleRate":44099})", "audioSampleRate", "22050"},
      {"VideoEncoderSettings", R"({"audioSampleRate":0})", "audioSampleRate", "11025"},
      {"VideoEncoderSettings", R"({"lowDelay":true})", "lowDelay", "true"},
      // stream bitrates: at least 16384, no upper bound, no relation between keys
      {"BaseVideoEncoderSettings", R"({"bitRateVbrMax":1000})", "bitRateVbrMax", "16384"},
      {"BaseVideoEncoderSettings", R"({"bitRateVbrMin":16383})", "bitRateVbrMin", "16384"},
      {"BaseVideoEncoderSettings", R"({"bitRateCbrAvg":0})", "bitRateCbrAvg", "16384"},
      {"BaseVideoEncoderSettings", R"({"bitRateVbrMin":9000000,"bitRateVbrMax":20000})", "bitRateVbrMin",
       "9000000"},
      {"BaseVideoEncoderSettings", R"({"validBitrateRangeMin":0})", "validBitrateRangeMin", "16384"},
      {"BaseVideoEncoderSettings", R"({"validBitrateRangeMax":100})", "validBitrateRangeMax", "16384"},
      {"BaseVideoEncoderSettings", R"({"validBitrateRangeMax":4294967295})", "validBitrateRangeMax",
       "4294967295"},
      {"BaseVideoEncoderSettings", R"({"isCbr":true})", "isCbr", "true"},
      {"BaseVideoEncoderSettings", R"({"avSerializer":{"type":"FLV","destinations":["tcp://h:1"]}})",
       "avSerializer", R"({"type":"flv","destinations":["tcp://h:1"],"streamName":""})"},
      {"BaseVideoEncoderSettings", R"({"avSerializer":["flv"]})", "avSerializer/type", "\"unknown\""},
      // H.264
      {"H264VideoEncoderSettings", R"({"M":0})", "M", "1"},
      {"H264VideoEncoderSettings", R"({"M":3})", "M", "3"},
      {"H264VideoEncoderSettings", R"({"M":5})", "M", "3"},
      {"H264VideoEncoderSettings", R"({"N":1})", "N", "3"},
      {"H264VideoEncoderSettings", R"({"N":120})", "N", "120"},
      {"H264VideoEncoderSettings", R"({"idrInterval":0})", "idrInterval", "1"},
      {"H264VideoEncoderSettings", R"({"idrInterval":4})", "idrInterval", "4"},
      {"H264VideoEncoderSettings", R"({"gopModel":5})", "gopModel", "4"},
      {"H264VideoEncoderSettings", R"({"gopModel":6})", "gopModel", "6"},
      {"H264VideoEncoderSettings", R"({"gopModel":100})", "gopModel", "7"},
      {"H264VideoEncoderSettings", R"({"gopModel":-1})", "gopModel", "0"},
      {"H264VideoEncoderSettings", R"({"verticalFlip":true,"horizontalFlip":"yes"})", "horizontalFlip", "false"},
      // keys no class declares stay as they are, at every level
      {"EncoderSettings", R"({"comment":"site A"})", "comment", "\"site A\""},
      {"EncoderSettings", R"({"video":{"video1":{"_note":[1,{"b":2}]}}})", "video/video1/_note", R"([1,{"b":2}])"},
      {"EncoderSettings", R"({"audio":{"extra":-1.5}})", "audio/extra", "-1.5"},
  });
}

TEST(EncoderSettings, SettersApplyTheirRules) {
  AudioEncoderSettings audio;
  audio.sampleRate(32000);
  audio.volume(0);
  audio.channels(6);
  audio.type("AAC");
  EXPECT_EQ(audio.sampleRate(), 22050u);
  EXPECT_EQ(audio.volume(), 1);
  EXPECT_EQ(audio.channels(), 2);
  EXPECT_EQ(audio.type(), "aac");
  H264VideoEncoderSettings h264;
  h264.gopModel(5);
  h264.M(9);
  h264.type("mjpg");
  EXPECT_EQ(h264.gopModel(), 4u);
  EXPECT_EQ(h264.M(), 3u);
  EXPECT_EQ(h264.type(), "h264");
  // The base class's own table is reachable through the base.
  h264.BaseVideoEncoderSettingsT::type("mjpg");
  EXPECT_EQ(h264["type"], "mjpg");
}

TEST(EncoderSettings, ViewsWorkOnTheStoredNodes) {
  EncoderSettings settings;
  settings.NormalizeFields();

  EXPECT_FALSE(settings.audio().enabled());
  settings.audio().enabled(true);
  settings.audio().sampleRate(22050);  // the rate the capture device granted
  EXPECT_TRUE(settings["audio"]["enabled"].AsBool());
  EXPECT_EQ(settings["audio"]["sampleRate"].AsUInt32(), 22050u);

  settings.video().audioSampleRate(settings.audio().sampleRate());
  EXPECT_EQ(settings.video().audioSampleRate(), 22050u);
  EXPECT_EQ(settings.firmwarePath(), "/lib/firmware/");

  // A stream entry written back under its name, as the video encoder does.
  H264VideoEncoderSettings entry(settings.video().video1());
  entry.fps(15);
  entry["name"] = "video1";
  settings.video()[entry["name"].AsString()] = entry;
  EXPECT_EQ(settings.video().video1().fps(), 15);
  EXPECT_EQ(settings["video"]["video1"]["name"], "video1");

  settings.video().video2().avSerializer().type("FLV");
  settings.video().video2().avSerializer().destinations()[-1] = "file:///tmp/a.flv";
  kavo::ipc::messages::AVSerializer serializer(settings.video().video2().avSerializer());
  EXPECT_EQ(serializer.type(), "flv");
  EXPECT_EQ(serializer.destinations()[0], "file:///tmp/a.flv");

  Variant& node = settings.video().mjpg();
  EXPECT_EQ(&node, settings.GetKeyChain(VariantType::Map, "video/mjpg"));
}

TEST(EncoderSettings, ReadingANodeDoesNotFillIt) {
  EncoderSettings settings;
  (void)settings.video();
  EXPECT_EQ(settings["video"], json("{}"));
  (void)settings.video().video3();
  EXPECT_EQ(settings["video"], json(R"({"video3":{}})"));
  EXPECT_EQ(settings.video().video3().N(), 30u);  // a field getter fills its own key
  EXPECT_EQ(settings["video"]["video3"], json(R"({"N":30})"));
}

TEST(EncoderSettings, NormalisingTwiceEqualsOnce) {
  std::vector<std::string> keys = {"firmwarePath", "audio", "video", "type", "description", "enabled", "mode",
                                   "channels", "sampleRate", "bitRate", "quality", "enableTemporalNoiseShaping",
                                   "volume", "lowDelay", "audioSampleRate", "video1", "video2", "video3", "mjpg",
                                   "width", "height", "fps", "bitRateVbrMin", "bitRateVbrMax", "bitRateCbrAvg",
                                   "validBitrateRangeMin", "validBitrateRangeMax", "isCbr", "avSerializer",
                                   "destinations", "streamName", "verticalFlip", "horizontalFlip", "M", "N",
                                   "idrInterval", "gopModel", "channelId", "uri", "videoBandwidth"};
  std::vector<std::string> words = {"h264", "mjpg", "aac", "flv", "rtmp", "unknown", "/lib/firmware/", ""};
  kavo::test::RandomDocuments gen(keys, words, 0x5e771265u);
  kavo::test::checkIdempotent(classes(), gen, 300);
}
