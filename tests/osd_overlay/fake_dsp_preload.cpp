// Preloaded into kavo_osd_overlay by its process tests: "/dev/iav" becomes a DSP whose ME1
// buffers show the pictures a test drew, following the script in "/tmp/fake_dsp.json" under the
// test root (read at the first open):
//
//   {"steps": [{"queries": 6, "pictures": {"0": {"file": "/tmp/me0.raw", "width": 640,
//                                                "height": 368, "pitch": 704}}},
//              {"ms": 9000, "error": "EAGAIN"},
//              {"error": "EIO"}]}
//
// A step lasts "queries" buffer queries (every buffer id counts), or "ms" milliseconds from its
// first query, or for ever. With "error" every query of the step fails with that errno; without,
// the buffers answer with the newest pictures given (a file holds height rows of pitch bytes).
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fake_dsp.h"
#include "kavo/os/path.h"

namespace {

int64_t monotonicMs() {
  struct timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int errnoNamed(const std::string& name) {
  static const std::pair<const char*, int> kNames[] = {
      {"EAGAIN", EAGAIN}, {"EPERM", EPERM}, {"EBUSY", EBUSY}, {"EIO", EIO}, {"EINVAL", EINVAL}, {"ENODEV", ENODEV}};
  for (const auto& n : kNames)
    if (name == n.first) return n.second;
  return EIO;
}

class ScriptedDsp : public kavo::test::FakeDsp {
 public:
  ScriptedDsp() {
    beforeQuery = [this](uint32_t) { step(); };
  }
  int open(const char* node, int flags) override {
    if (!loaded_) load();
    return FakeDsp::open(node, flags);
  }

 private:
  void load() {
    loaded_ = true;
    std::ifstream in(kavo::os::path("/tmp/fake_dsp.json"));
    nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
    if (doc.is_discarded() || !doc.contains("steps")) {
      std::fprintf(stderr, "fake DSP: no usable /tmp/fake_dsp.json\n");
      return;
    }
    steps_ = doc["steps"];
  }

  // Moves to the step the next query belongs to and applies it when it begins.
  void step() {
    const int64_t now = monotonicMs();
    while (index_ < steps_.size()) {
      const nlohmann::json& s = steps_[index_];
      if (!begun_) {
        begin(s, now);
        break;
      }
      const bool countDone = s.contains("queries") && used_ >= s["queries"].get<int>();
      const bool timeDone = s.contains("ms") && now - start_ >= s["ms"].get<int64_t>();
      if (!countDone && !timeDone) break;
      ++index_;
      begun_ = false;
    }
    ++used_;
  }
  void begin(const nlohmann::json& s, int64_t now) {
    begun_ = true;
    start_ = now;
    used_ = 0;
    if (s.contains("pictures")) {
      for (auto it = s["pictures"].begin(); it != s["pictures"].end(); ++it) {
        const nlohmann::json& p = it.value();
        std::ifstream f(kavo::os::path(p["file"].get<std::string>()), std::ios::binary);
        std::vector<uint8_t> rows((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        const uint32_t w = p["width"], h = p["height"], pitch = p["pitch"];
        if (rows.size() < size_t{h} * pitch) {
          std::fprintf(stderr, "fake DSP: %s is short\n", p["file"].get<std::string>().c_str());
          continue;
        }
        setPictureRows(static_cast<uint32_t>(std::stoul(it.key())), w, h, pitch, rows.data());
      }
    }
    setError(s.contains("error") ? errnoNamed(s["error"].get<std::string>()) : 0);
  }

  bool loaded_ = false;
  nlohmann::json steps_ = nlohmann::json::array();
  size_t index_ = 0;
  bool begun_ = false;
  int64_t start_ = 0;
  int used_ = 0;
};

struct Registration {
  Registration() {
    // Never destroyed: the program may still hold its descriptor while the process exits.
    kavo::os::registerDevice("/dev/iav", new ScriptedDsp());
  }
} registration;

}  // namespace
