// The Encoder facade and the video encoder's live operations (bitrate adaptation, settings
// changes, saved defaults, the live-view stream choice) on the simulated DSP.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <deque>
#include <memory>

#include "kavo/encoder/basecontainer.h"
#include "kavo/encoder/encoder.h"
#include "kavo/ipc/messages/changevideosettings.h"
#include "kavo/logger/logger.h"
#include "video_test_support.h"

namespace {

using namespace videotest;
using kavo::encoder::audio_frame_t;
using kavo::encoder::BaseContainer;
using kavo::encoder::Encoder;
using kavo::encoder::video_frame_t;
using kavo::ipc::messages::ChangeVideoSettings;
using kavo::logger::LogCapture;
using kavo::variant::Variant;

class EncoderProbe : public Encoder {
 public:
  using Encoder::BitrateStep;
  using Encoder::congestion;
  using Encoder::CongestionRule;
  using Encoder::containers;
  using Encoder::lastLevel;
  using Encoder::unchangedCount;
  using Encoder::videoEncoder;
};

// ---- the congestion rule ---------------------------------------------------------------------

struct CongestionRow {
  const char* what;
  std::vector<std::pair<uint8_t, int>> levels;  // level, calls at it
  // The steps taken, as (call number from 1, 'D' or 'U').
  std::vector<std::pair<int, char>> steps;
  uint32_t count;  // unchangedCount afterwards
  uint8_t last;
};

TEST(EncoderCongestion, RuleTable) {
  const CongestionRow rows[] = {
      {"first call at 0", {{0, 1}}, {}, 1, 0},
      {"a clean network raises after 300 calls", {{0, 300}}, {{300, 'U'}}, 0, 0},
      {"and again after 300 more", {{0, 601}}, {{300, 'U'}, {600, 'U'}}, 1, 0},
      {"the first call counts as unchanged", {{50, 300}}, {{300, 'D'}}, 0, 50},
      {"0 -> 5 resets, -> 12 lowers at once", {{0, 10}, {5, 1}, {12, 1}}, {{12, 'D'}}, 0, 12},
      {"a rise to 10 or less changes nothing", {{0, 10}, {10, 1}}, {}, 0, 10},
      {"a rise to 11 lowers", {{3, 2}, {11, 1}}, {{3, 'D'}}, 0, 11},
      {"a fall changes nothing", {{50, 1}, {30, 1}}, {}, 0, 30},
      {"a lasting congestion keeps lowering", {{50, 1}, {30, 301}}, {{302, 'D'}}, 0, 30},
      {"a rise between high levels lowers", {{40, 5}, {60, 1}, {61, 1}}, {{6, 'D'}, {7, 'D'}}, 0, 61},
      {"above 100 counts as 100", {{100, 1}, {200, 1}, {255, 298}}, {{300, 'D'}}, 0, 100},
  };
  for (const CongestionRow& row : rows) {
    SCOPED_TRACE(row.what);
    uint8_t last = 0xFF;
    uint32_t count = 0;
    int call = 0;
    std::vector<std::pair<int, char>> steps;
    for (const auto& l : row.levels) {
      for (int i = 0; i < l.second; ++i) {
        ++call;
        const EncoderProbe::BitrateStep step = EncoderProbe::CongestionRule(l.first, last, count);
        if (step == EncoderProbe::BitrateStep::Down) steps.emplace_back(call, 'D');
        if (step == EncoderProbe::BitrateStep::Up) steps.emplace_back(call, 'U');
      }
    }
    EXPECT_EQ(steps, row.steps);
    EXPECT_EQ(count, row.count);
    EXPECT_EQ(last, row.last);
  }
}

// ---- the facade on the simulated DSP ---------------------------------------------------------

ChangeVideoSettings changeOf(const json& video) {
  json doc = {{"functionName", "ChangeVideoSettings"}, {"video", video}};
  const std::string text = doc.dump();
  Variant v;
  v.FromJSON(text.data(), text.size());
  return ChangeVideoSettings(kavo::ipc::messages::BaseMessage(v));
}

class EncoderSim : public ::testing::Test {
 protected:
  void SetUp() override {
    kavo::sim::iav::resetState();
    simConfig(root);
    ::mkdir(root.path("/var/media").c_str(), 0755);
  }
  void TearDown() override { kavo::sim::iav::resetState(); }
  kavo::test::TestRoot root;
};

TEST_F(EncoderSim, OperationsBeforeOpen) {
  Encoder encoder;
  LogCapture log;
  unsigned short port = 7;
  ChangeVideoSettings change;
  EXPECT_FALSE(encoder.ForceIDR());
  EXPECT_FALSE(encoder.ResetToDefaults());
  EXPECT_FALSE(encoder.UpdateSettings(change));
  EXPECT_FALSE(encoder.EnableLiveVideo(port));
  EXPECT_EQ(port, 7);
  EXPECT_EQ(log.count("No video encoder configured"), 4u);
  EXPECT_EQ(encoder.GetAudioBandwidth(), 0u);
  EXPECT_TRUE(encoder.EncodeFrames());
  const kavo::encoder::av_frames_t* pair = encoder.GetFrame();
  EXPECT_EQ(pair->video, nullptr);
  EXPECT_EQ(pair->audio, nullptr);
  EXPECT_TRUE(encoder.StartEncode());
  EXPECT_TRUE(log.has("A/V encoding started", LOG_LEVEL_INFO));
}

TEST_F(EncoderSim, OpenRunsVideoOnlyWhenAudioCannotBeSetUp) {
  json doc = threeStreams();
  doc["audio"] = {{"enabled", true}};
  doc["video"]["video1"]["avSerializer"] = {{"type", "flv"}, {"streamName", "cam"},
                                            {"destinations", {"file:///var/media/v1.flv"}}};
  EncoderSettings settings;
  const std::string text = doc.dump();
  settings.FromJSON(text.data(), text.size());
  EncoderProbe encoder;
  LogCapture log;
  ASSERT_TRUE(encoder.Open(settings));
  EXPECT_TRUE(log.has("A/V encoding stopped", LOG_LEVEL_INFO)) << "Open starts with Close";
  EXPECT_TRUE(log.has("Audio setup failed. Permanently closing the audio track", LOG_LEVEL_WARNING));
  EXPECT_EQ(encoder.GetAudioBandwidth(), 0u);
  // The normalised copy: every key present, the stream entries' keys written back.
  const EncoderSettings& current = encoder.GetCurrentSettings();
  EXPECT_TRUE(const_cast<EncoderSettings&>(current).video()["video1"].HasKey("maxFps"));
  EXPECT_EQ(const_cast<EncoderSettings&>(current).firmwarePath(), "/lib/firmware/");
  ASSERT_NE(encoder.containers[0], nullptr);
  EXPECT_EQ(encoder.containers[0]->GetType(), kavo::encoder::CONTAINER_FLV);
  EXPECT_EQ(encoder.containers[1], nullptr);  // "unknown" serializer: encoded without a container
  ASSERT_TRUE(encoder.StartEncode());
  for (int i = 0; i < 90; ++i) encoder.EncodeFrames();
  encoder.Close();
  EXPECT_EQ(encoder.videoEncoder, nullptr);
  EXPECT_EQ(encoder.containers[0], nullptr);
  EXPECT_EQ(encoder.lastLevel, 0xFF);
  const Shell probe = shell("ffprobe -v error -select_streams v -show_entries stream=codec_name,width,height -of csv=p=0 " +
                            root.path("/var/media/v1.flv"));
  EXPECT_EQ(probe.out, "h264,640,360\n");
  // A failed video set-up fails the Open.
  kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_ENABLE_PREVIEW", "errno": "EIO"}]})");
  EXPECT_FALSE(encoder.Open(settings));
  kavo::sim::iav::setFaults("");
}

// The current settings that the facade hands to the request handlers carry each stream's state
// keys; a configuration without any stream fails with a word.
TEST_F(EncoderSim, CurrentSettingsCarryTheStreamNumbering) {
  EncoderSettings settings = settingsOf(threeStreams());
  Encoder encoder;
  ASSERT_TRUE(encoder.Open(settings));
  auto check = [&](const char* when) {
    SCOPED_TRACE(when);
    const Variant& video = *encoder.GetCurrentSettings().Find("video");
    const struct {
      const char* name;
      int ordinal;
    } expected[] = {{"video1", 0}, {"video2", 1}, {"mjpg", 2}};
    for (const auto& e : expected) {
      const Variant* node = video.Find(e.name);
      ASSERT_NE(node, nullptr) << e.name;
      ASSERT_NE(node->Find("streamOrdinal"), nullptr) << e.name;
      ASSERT_NE(node->Find("streamId"), nullptr) << e.name;
      EXPECT_EQ(node->Find("streamOrdinal")->AsInt32(), e.ordinal) << e.name;
      EXPECT_EQ(node->Find("streamId")->AsUInt32(), 1u << e.ordinal) << e.name;
      EXPECT_EQ(node->Find("name")->AsString(), e.name);
      EXPECT_NE(node->Find("maxFps"), nullptr) << e.name;
    }
    EXPECT_EQ(video.Find("video3")->Find("streamOrdinal"), nullptr) << "a disabled stream has no number";
  };
  check("after Open");
  ASSERT_TRUE(encoder.StartEncode());
  // A change that fails on its first stream writes nothing back; the keys are there all the same.
  ChangeVideoSettings refused = changeOf({{"video1", {{"bitRateVbrMax", 90000000}}}});
  EXPECT_FALSE(encoder.UpdateSettings(refused));
  check("after a refused change");
  ASSERT_TRUE(encoder.ResetToDefaults());
  check("after ResetToDefaults");

  LogCapture log;
  EXPECT_FALSE(encoder.Open(settingsOf(json::object())));
  EXPECT_TRUE(log.has("No video stream enabled", LOG_LEVEL_ERROR)) << log.dump();
}

// A container that reports scripted congestion levels.
class LevelContainer : public BaseContainer {
 public:
  explicit LevelContainer(std::deque<uint8_t> script) : BaseContainer(kavo::encoder::CONTAINER_FLV, nullptr),
                                                       levels(std::move(script)) {}
  bool Open(kavo::ipc::messages::AVSerializer&, const kavo::encoder::StreamInfo&) override { return true; }
  void Close() override {}
  bool UpdateSettings(kavo::ipc::messages::AVSerializer&, const kavo::encoder::StreamInfo&) override { return true; }
  bool WriteAudioFrame(const audio_frame_t*, unsigned char& level) override {
    level = 0;
    return true;
  }
  bool WriteVideoFrame(const video_frame_t* frame, unsigned char& level) override {
    ++frames;
    lastStream = frame->streamId();
    level = levels.empty() ? 0 : levels.front();
    if (!levels.empty()) levels.pop_front();
    return true;
  }
  bool SignalCodecsChanged() override { return true; }
  bool IsNetworkActive() override { return false; }

  std::deque<uint8_t> levels;
  int frames = 0;
  uint32_t lastStream = 9;
};

TEST_F(EncoderSim, EncodeFramesFansOutAndAdaptsToTheHighestLevel) {
  EncoderSettings settings = settingsOf(threeStreams());
  EncoderProbe encoder;
  ASSERT_TRUE(encoder.Open(settings));
  ASSERT_TRUE(encoder.StartEncode());
  LevelContainer h264a({}), h264b({}), pictures({120});  // the first picture reports above 100
  encoder.containers[0] = &h264a;
  encoder.containers[1] = &h264b;
  encoder.containers[2] = &pictures;
  const uint64_t since = lastSeq();
  // Pictures come at a sixth of the H.264 rate: the picture's level stays until its next picture.
  int calls = 0;
  while (pictures.frames == 0) {
    ASSERT_TRUE(encoder.EncodeFrames());
    ++calls;
  }
  EXPECT_EQ(encoder.lastLevel, 100);
  EXPECT_EQ(encoder.congestion[2], 120);
  for (int i = 0; i < 5; ++i) encoder.EncodeFrames();
  EXPECT_EQ(encoder.lastLevel, 100);  // still, while pictures bring no new level
  while (pictures.frames == 1) encoder.EncodeFrames();
  EXPECT_EQ(encoder.lastLevel, 0);
  EXPECT_GT(h264a.frames, 0);
  EXPECT_GT(h264b.frames, 0);
  EXPECT_EQ(h264a.lastStream, 0u);
  EXPECT_EQ(h264b.lastStream, 1u);
  EXPECT_EQ(pictures.lastStream, 2u);
  // The rise to 100 lowered every stream's bitrate once.
  const std::vector<json> rates = requests("IAV_IOC_SET_BITRATE_EX", since);
  ASSERT_EQ(rates.size(), 3u);
  EXPECT_EQ(rates[0]["arg"]["max"], 1350000);
  EXPECT_EQ(rates[1]["arg"]["max"], 540000);
  EXPECT_EQ(rates[2]["arg"]["max"], 450000);
  (void)calls;
  for (auto& slot : encoder.containers) slot = nullptr;  // not the video encoder's to delete

  // A container map entry outside 0..3 stops the listing.
  LogCapture log;
  encoder.videoEncoder->GetContainers()[5] = nullptr;
  EXPECT_FALSE(encoder.UpdateContainers());
  EXPECT_TRUE(log.has("Invalid stream id detected", LOG_LEVEL_ERROR));
  encoder.videoEncoder->GetContainers().erase(5);
}

// ---- bitrate adaptation ----------------------------------------------------------------------

class VideoEncoderLive : public EncoderSim {
 protected:
  void open(const json& doc) {
    settings = settingsOf(doc);
    encoder.reset(new Probe(settings, nullptr));
    ASSERT_TRUE(encoder->Open());
    mark = lastSeq();
  }
  std::vector<json> rates() { return requests("IAV_IOC_SET_BITRATE_EX", mark); }
  Variant& entry(int i) { return encoder->streams[i]; }

  EncoderSettings settings;
  std::unique_ptr<Probe> encoder;
  uint64_t mark = 0;
};

TEST_F(VideoEncoderLive, AdjustBitratesSteps) {
  json doc;
  doc["video"]["video1"] = stream(640, 360, 30);  // bitRateVbrMax 500000 by default
  doc["video"]["mjpg"] = stream(320, 180, 5);
  open(doc);
  LogCapture log;
  // Up first: growth 1.15, 575000 is cut to the maximum: nothing changes, nothing is said.
  encoder->AdjustBitrates(false);
  EXPECT_DOUBLE_EQ(encoder->growthFactor, 1.15);
  EXPECT_EQ(entry(0)["currentBitrate"].AsUInt32(), 500000u);
  EXPECT_TRUE(rates().empty());
  EXPECT_TRUE(log.records().empty());
  // Down: 450000 with mode 1 and the stream's minimum as the average.
  encoder->AdjustBitrates(true);
  EXPECT_DOUBLE_EQ(encoder->growthFactor, 1.1);
  std::vector<json> r = rates();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["arg"], json::parse(R"({"avg":16384,"id":1,"max":450000,"min":16384,"mode":1})"));
  // The MJPEG stream's minimum (500000) follows the new value down.
  EXPECT_EQ(r[1]["arg"], json::parse(R"({"avg":450000,"id":2,"max":450000,"min":16384,"mode":1})"));
  EXPECT_EQ(entry(1)["bitRateVbrMin"].AsUInt32(), 450000u);
  EXPECT_TRUE(log.has("Adjusted down. Active 0.00 KB/s. Total (including inactive): 109.86 KB/s", LOG_LEVEL_WARNING))
      << log.dump();
  EXPECT_TRUE(log.has("640 x 360 @ 30 - Current: 54.93KB/s (2.00KB/s - 61.04KB/s) inactive", LOG_LEVEL_WARNING));
  EXPECT_TRUE(log.has("320 x 180 @ 5 - Current: 54.93KB/s (54.93KB/s - 61.04KB/s) inactive", LOG_LEVEL_WARNING));
  // The settings document keeps the configured bitrates.
  EXPECT_EQ(settings.video().video1().bitRateVbrMax(), 500000u);
  // Down to the floor of 32000 (28800 is raised), after which a step changes and says nothing.
  uint32_t expected = 450000;
  while (expected > 32000) {
    expected = static_cast<uint32_t>(expected * 0.9);
    if (expected < 32000) expected = 32000;
    encoder->AdjustBitrates(true);
    ASSERT_EQ(entry(0)["currentBitrate"].AsUInt32(), expected);
  }
  const size_t sent = rates().size();
  log.clear();
  encoder->AdjustBitrates(true);
  EXPECT_EQ(rates().size(), sent);
  EXPECT_TRUE(log.records().empty());
  // Up: 1.15, 1.2, 1.25, ... up to 2.0 after 18 steps, truncated each time.
  double growth = 1.1;
  uint32_t current = 32000;
  for (int step = 1; step <= 20; ++step) {
    growth = std::min(growth + 0.05, 2.0);
    uint32_t next = static_cast<uint32_t>(current * growth);
    if (next > 500000) next = 500000;
    encoder->AdjustBitrates(false);
    EXPECT_NEAR(encoder->growthFactor, growth, 1e-9);
    ASSERT_EQ(entry(0)["currentBitrate"].AsUInt32(), next) << "step " << step;
    current = next;
  }
  EXPECT_DOUBLE_EQ(encoder->growthFactor, 2.0);
  EXPECT_EQ(current, 500000u);
  // A downward step starts the growth again.
  encoder->AdjustBitrates(true);
  encoder->AdjustBitrates(false);
  EXPECT_NEAR(encoder->growthFactor, 1.15, 1e-9);
}

// ---- live settings changes ---------------------------------------------------------------------


TEST_F(VideoEncoderLive, UpdateSettingsChangesTheRunningStreams) {
  json doc = threeStreams();
  doc["video"]["video1"]["avSerializer"] = {{"type", "flv"}, {"streamName", "one"},
                                            {"destinations", {"file:///var/media/a.flv"}}};
  open(doc);
  ASSERT_TRUE(encoder->StartEncode());
  BaseContainer* before = encoder->containers[0];
  ASSERT_NE(before, nullptr);
  LogCapture log;
  ChangeVideoSettings change = changeOf({{"video1", {{"fps", 25}, {"bitRateVbrMax", 900000}, {"isCbr", true},
                                                     {"bitRateCbrAvg", 700000}}},
                                         {"video2", {{"fps", 10}}}});
  ASSERT_TRUE(encoder->UpdateSettings(change)) << log.dump();
  EXPECT_TRUE(log.has("FPS value corrected. N: 30; Max FPS: 30; Wanted FPS: 25; Correct FPS: 15", LOG_LEVEL_WARNING));
  EXPECT_TRUE(log.has("fps changed on video1: 30 -> 15", LOG_LEVEL_INFO));
  EXPECT_TRUE(log.has("fps changed on video2: 30 -> 10", LOG_LEVEL_INFO));
  EXPECT_TRUE(log.has("Changing bitRateCbrAvg on video1: 500000 -> 700000", LOG_LEVEL_INFO));
  EXPECT_TRUE(log.has("Changing bitRateVbrMax on video1: 1500000 -> 900000", LOG_LEVEL_INFO));
  EXPECT_TRUE(log.has("Changing bitRateVbrMin on mjpg: 500000 -> 16384", LOG_LEVEL_INFO));
  EXPECT_FALSE(log.contains("serializer changed"));
  // The driver: new rates, bitrates re-sent for every stream, and a key frame on each.
  std::vector<std::string> seen;
  for (const json& j : journalSince(mark)) {
    const std::string req = j.value("req", "");
    if (req == "IAV_IOC_READ_BITSTREAM_EX" || req == "IAV_IOC_START_ENCODE_EX") continue;
    seen.push_back(req + " " + j["arg"].dump());
  }
  const std::vector<std::string> expected = {
      R"(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX {"denominator":30,"id":1,"numerator":15})",
      R"(IAV_IOC_CHANGE_GOP_EX {"N":15,"id":1,"idrInterval":1})",
      R"(IAV_IOC_SET_BITRATE_EX {"avg":700000,"id":1,"max":900000,"min":16384,"mode":0})",
      R"(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX {"denominator":30,"id":2,"numerator":10})",
      R"(IAV_IOC_CHANGE_GOP_EX {"N":10,"id":2,"idrInterval":1})",
      R"(IAV_IOC_SET_BITRATE_EX {"avg":500000,"id":2,"max":600000,"min":16384,"mode":1})",
      R"(IAV_IOC_SET_BITRATE_EX {"avg":500000,"id":4,"max":500000,"min":16384,"mode":1})",
      R"(IAV_IOC_FORCE_IDR_EX {"id":1})",
      R"(IAV_IOC_FORCE_IDR_EX {"id":2})",
      R"(IAV_IOC_FORCE_IDR_EX {"id":4})",
  };
  EXPECT_EQ(seen, expected);
  // The current settings show the new values; the container is the same.
  auto video1 = settings.video().video1();
  EXPECT_EQ(video1.fps(), 15);
  EXPECT_EQ(video1.bitRateVbrMax(), 900000u);
  EXPECT_TRUE(video1.isCbr());
  EXPECT_EQ(video1["streamOrdinal"].AsInt32(), 0);
  EXPECT_EQ(encoder->containers[0], before);

  // A frame rate never goes above the validated one; a new destination list reopens the container.
  log.clear();
  mark = lastSeq();
  change = changeOf({{"video1", {{"fps", 30}, {"avSerializer", {{"type", "flv"}, {"streamName", "one"},
                                                                 {"destinations", {"file:///var/media/b.flv"}}}}}}});
  ASSERT_TRUE(encoder->UpdateSettings(change)) << log.dump();
  EXPECT_TRUE(log.has("fps changed on video1: 15 -> 30", LOG_LEVEL_INFO));
  EXPECT_TRUE(log.has("serializer changed on video1", LOG_LEVEL_INFO));
  EXPECT_EQ(settings.video().video1().avSerializer()["destinations"][0], "file:///var/media/b.flv");
  // A request that leaves a stream out switches it to isCbr false.
  EXPECT_FALSE(settings.video().video1().isCbr());
  EXPECT_EQ(requests("IAV_IOC_SET_BITRATE_EX", mark)[0]["arg"]["mode"], 1);

  // A serializer for a stream without a container.
  log.clear();
  change = changeOf({{"video2", {{"avSerializer", {{"type", "mjpg"}, {"destinations", {"file:///var/media/x.jpg"}}}}}}});
  EXPECT_FALSE(encoder->UpdateSettings(change));
  EXPECT_TRUE(log.has("Unable to change serializer on video2", LOG_LEVEL_ERROR));
}

TEST_F(VideoEncoderLive, RefusedChangesAndTheSavedDefaults) {
  open(threeStreams());
  ASSERT_TRUE(encoder->StartEncode());
  LogCapture log;
  // A maximum outside the stream's valid range: refused; the frame-rate change before it stays.
  ChangeVideoSettings change = changeOf({{"video1", {{"fps", 10}}}, {"video2", {{"bitRateVbrMax", 9000000}}}});
  EXPECT_FALSE(encoder->UpdateSettings(change));
  EXPECT_TRUE(log.has("Incorrect bitrate settings on channel video2", LOG_LEVEL_ERROR));
  EXPECT_EQ(settings.video().video1().fps(), 10);
  EXPECT_TRUE(requests("IAV_IOC_FORCE_IDR_EX", mark).empty()) << "no key frame after a failure";
  EXPECT_TRUE(requests("IAV_IOC_SET_BITRATE_EX", mark).size() == 1u);
  // The same stream: its frame-rate change stays, its bitrate and the later streams are left
  // alone, and nothing stops; every stream goes on delivering frames.
  log.clear();
  mark = lastSeq();
  change = changeOf({{"video2", {{"fps", 10}, {"bitRateVbrMax", 9000000}}}, {"mjpg", {{"fps", 1}}}});
  EXPECT_FALSE(encoder->UpdateSettings(change));
  EXPECT_TRUE(log.has("Incorrect bitrate settings on channel video2", LOG_LEVEL_ERROR));
  EXPECT_EQ(settings.video().video2().fps(), 10);
  EXPECT_EQ(settings.video().video2().bitRateVbrMax(), 600000u);
  EXPECT_EQ(settings.video().mjpg().fps(), 5);
  std::vector<std::string> sent;
  for (const json& j : journalSince(mark)) {
    const std::string req = j.value("req", "");
    if (req != "IAV_IOC_READ_BITSTREAM_EX") sent.push_back(req + " " + j["arg"].dump());
  }
  EXPECT_EQ(sent, (std::vector<std::string>{
                      R"(IAV_IOC_SET_BITRATE_EX {"avg":500000,"id":1,"max":1500000,"min":16384,"mode":1})",
                      R"(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX {"denominator":30,"id":2,"numerator":10})",
                      R"(IAV_IOC_CHANGE_GOP_EX {"N":10,"id":2,"idrInterval":1})",
                  }));
  bool delivered[3] = {false, false, false};
  for (int i = 0; i < 200; ++i)
    if (const video_frame_t* f = encoder->GetFrame()) delivered[f->streamId()] = true;
  EXPECT_TRUE(delivered[0] && delivered[1] && delivered[2]);
  mark = lastSeq();
  // The driver refusing a frame rate.
  log.clear();
  kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX", "errno": "EINVAL"}]})");
  change = changeOf({{"video1", {{"fps", 5}}}});
  EXPECT_FALSE(encoder->UpdateSettings(change));
  EXPECT_TRUE(log.has("IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX failed", LOG_LEVEL_ERROR));
  EXPECT_TRUE(log.has("Unable to change FPS on video1", LOG_LEVEL_ERROR));
  kavo::sim::iav::setFaults("");
  // The adaptation's current bitrate is left to the adaptation.
  encoder->AdjustBitrates(true);
  const uint32_t adapted = entry(0)["currentBitrate"].AsUInt32();

  // Back to the state of Open, in the driver and in the settings.
  mark = lastSeq();
  ASSERT_TRUE(encoder->ResetToDefaults());
  std::vector<std::string> seen;
  for (const json& j : journalSince(mark)) {
    const std::string req = j.value("req", "");
    if (req != "IAV_IOC_READ_BITSTREAM_EX") seen.push_back(req + " " + j["arg"].dump());
  }
  EXPECT_EQ(seen, (std::vector<std::string>{
                      R"(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX {"denominator":30,"id":1,"numerator":30})",
                      R"(IAV_IOC_CHANGE_GOP_EX {"N":30,"id":1,"idrInterval":1})",
                      R"(IAV_IOC_SET_BITRATE_EX {"avg":500000,"id":1,"max":1500000,"min":16384,"mode":1})",
                      R"(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX {"denominator":30,"id":2,"numerator":30})",
                      R"(IAV_IOC_CHANGE_GOP_EX {"N":30,"id":2,"idrInterval":1})",
                      R"(IAV_IOC_SET_BITRATE_EX {"avg":500000,"id":2,"max":600000,"min":16384,"mode":1})",
                      R"(IAV_IOC_CHANGE_FRAMERATE_FACTOR_EX {"denominator":30,"id":4,"numerator":5})",
                      R"(IAV_IOC_CHANGE_GOP_EX {"N":5,"id":4,"idrInterval":1})",
                      R"(IAV_IOC_SET_BITRATE_EX {"avg":500000,"id":4,"max":500000,"min":16384,"mode":1})",
                  }));
  EXPECT_EQ(settings.video().video1().fps(), 30);
  EXPECT_EQ(entry(0)["fps"].AsUInt32(), 30u);
  EXPECT_EQ(entry(0)["currentBitrate"].AsUInt32(), adapted);
  // Any number of times.
  ASSERT_TRUE(encoder->ResetToDefaults());
  EXPECT_EQ(encoder->savedDefaults.NumericKeysCount(), 3u);
  kavo::sim::iav::setFaults(R"({"faults": [{"request": "IAV_IOC_SET_BITRATE_EX", "errno": "EIO"}]})");
  log.clear();
  EXPECT_FALSE(encoder->ResetToDefaults());
  EXPECT_TRUE(log.has("Unable to set default bit rate", LOG_LEVEL_ERROR));
  kavo::sim::iav::setFaults("");
}

TEST_F(VideoEncoderLive, LiveViewTakesTheNarrowestH264Stream) {
  LogCapture log;
  {  // only pictures
    json doc;
    doc["video"]["mjpg"] = stream(320, 180, 5);
    open(doc);
    unsigned short port = 1;
    EXPECT_FALSE(encoder->EnableLiveVideo(port));
    EXPECT_TRUE(log.has("Unable to find target bitrate for liveView", LOG_LEVEL_ERROR));
    EXPECT_EQ(port, 1);
  }
  {  // 1920, 640, 640: the first 640-wide stream; its pictures container is no FLV container
    json doc;
    doc["video"]["video1"] = stream(1920, 1080, 10);
    doc["video"]["video2"] = stream(640, 360, 30, {{"avSerializer", {{"type", "mjpg"},
                                                                    {"destinations", {"file:///var/media/p.jpg"}}}}});
    doc["video"]["video3"] = stream(640, 360, 30, {{"avSerializer", {{"type", "flv"},
                                                                    {"destinations", {"file:///dev/null"}}}}});
    open(doc);
    unsigned short port = 0;
    log.clear();
    EXPECT_FALSE(encoder->EnableLiveVideo(port));
    EXPECT_TRUE(log.has("No compatible container found", LOG_LEVEL_ERROR));
  }
  {  // the narrowest stream has a switched-off FLV container: the acceptor joins it
    json doc;
    doc["video"]["video1"] = stream(1920, 1080, 10);
    doc["video"]["video2"] = stream(640, 360, 30, {{"avSerializer", {{"type", "flv"}, {"streamName", "live"},
                                                                    {"destinations", {"file:///dev/null"}}}}});
    open(doc);
    unsigned short port = 0;
    ASSERT_TRUE(encoder->EnableLiveVideo(port)) << log.dump();
    EXPECT_NE(port, 0);
    unsigned short again = 0;
    ASSERT_TRUE(encoder->EnableLiveVideo(again));
    EXPECT_EQ(again, port) << "the same acceptor while no viewer is connected";
    EXPECT_NE(encoder->containers[1], nullptr);
  }
}

}  // namespace
