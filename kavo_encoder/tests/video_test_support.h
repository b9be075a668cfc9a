#pragma once
// Helpers of the video encoder's tests on the simulated DSP: configuration, settings documents,
// the journal, shell commands and a probe that reaches the encoder's state.
#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kavo/encoder/encodersettings.h"
#include "kavo/encoder/videoencoder.h"
#include "kavo/sim/iav_sim.h"
#include "kavo/test/shell.h"
#include "kavo/test/test_root.h"

namespace videotest {

using kavo::encoder::EncoderSettings;
using kavo::encoder::VideoEncoder;
using json = nlohmann::json;

using kavo::test::Shell;
using kavo::test::shell;

inline std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    out.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// The simulator's configuration; a virtual clock keeps the tests fast.
inline void simConfig(kavo::test::TestRoot& root, json config = json::object()) {
  if (!config.contains("clock")) config["clock"] = "virtual";
  root.write("/etc/kavo_sim/iav.json", config.dump());
}

// The journal's lines in "seq" order.
inline std::vector<json> journal() {
  kavo::sim::iav::flushJournal();
  std::vector<json> out;
  std::ifstream in(kavo::sim::iav::journalFile());
  std::string line;
  while (std::getline(in, line)) {
    json j = json::parse(line, nullptr, false);
    if (!j.is_discarded()) out.push_back(j);
  }
  std::sort(out.begin(), out.end(), [](const json& a, const json& b) { return a.value("seq", 0) < b.value("seq", 0); });
  return out;
}

// The last "seq" written so far (0 for an empty journal).
inline uint64_t lastSeq() {
  const std::vector<json> all = journal();
  return all.empty() ? 0 : all.back().value("seq", uint64_t{0});
}

// The lines after `since` (a lastSeq() result).
inline std::vector<json> journalSince(uint64_t since) {
  std::vector<json> out;
  for (const json& j : journal())
    if (j.value("seq", uint64_t{0}) > since) out.push_back(j);
  return out;
}

// The journal lines of one request name after `since`, in order.
inline std::vector<json> requests(const std::string& name, uint64_t since = 0) {
  std::vector<json> out;
  for (const json& j : journalSince(since))
    if (j.value("req", "") == name) out.push_back(j);
  return out;
}

// A stream node: {"enabled", "width", "height", "fps"} plus the given keys.
inline json stream(unsigned width, unsigned height, unsigned fps, json extra = json::object()) {
  json s = {{"enabled", true}, {"width", width}, {"height", height}, {"fps", fps}};
  for (auto it = extra.begin(); it != extra.end(); ++it) s[it.key()] = it.value();
  return s;
}

inline EncoderSettings settingsOf(const json& doc) {
  EncoderSettings s;
  const std::string text = doc.dump();
  s.FromJSON(text.data(), text.size());
  s.NormalizeFields();
  return s;
}

// Two H.264 streams and MJPEG pictures.
inline json threeStreams() {
  json doc;
  doc["video"]["video1"] = stream(640, 360, 30, {{"bitRateVbrMax", 1500000}});
  doc["video"]["video2"] = stream(320, 180, 30, {{"bitRateVbrMax", 600000}});
  doc["video"]["mjpg"] = stream(320, 180, 5);
  return doc;
}

// Reaches the encoder's state.
class Probe : public VideoEncoder {
 public:
  using VideoEncoder::VideoEncoder;
  using VideoEncoder::audioClockHz;
  using VideoEncoder::chipCapacity;
  using VideoEncoder::containers;
  using VideoEncoder::frame;
  using VideoEncoder::growthFactor;
  using VideoEncoder::iavFd;
  using VideoEncoder::idrNalMaps;
  using VideoEncoder::interNalMaps;
  using VideoEncoder::lastFrameNumber;
  using VideoEncoder::lastFrameTimestamp;
  using VideoEncoder::savedDefaults;
  using VideoEncoder::sourceSizes;
  using VideoEncoder::streams;
  using VideoEncoder::ucodeFd;
  using VideoEncoder::vinSource;
  using VideoEncoder::voutSink;
};

inline std::string srcDir() { return kavo::test::sourceDir(); }

}  // namespace videotest
