#pragma once
// Reads the simulated video DSP's input timing (time of input frame 0 and the frame period) from
// its shared state file, so that the sound's time marks fall on the capture instants of the
// pictures. Read-only; the video simulator may be absent, start later or restart its input.
#include <cstdint>
#include <string>

namespace kavo {
namespace sim {
namespace alsa {

struct VideoTiming {
  bool valid = false;      // an input runs on the real clock
  uint64_t startNs = 0;    // CLOCK_MONOTONIC time of input frame 0
  uint32_t period = 0;     // frame period in 1/512,000,000 s
  // Capture time of input frame i, rounded down to whole ns as the video simulator does.
  uint64_t frameNs(uint64_t i) const { return startNs + i * period * 125ull / 64ull; }
  bool operator==(const VideoTiming& o) const {
    return valid == o.valid && startNs == o.startNs && period == o.period;
  }
  bool operator!=(const VideoTiming& o) const { return !(*this == o); }
};

class VideoTimingReader {
 public:
  ~VideoTimingReader();
  void setRoot(const std::string& root) { file_ = root + "/tmp/kavo_sim/iav.state"; }
  // The current timing; maps the state file when it appears (looked for at most once a second).
  VideoTiming read(uint64_t nowNs);
  // Why there is no timing ("no video state", "virtual clock", "no input"); empty when valid.
  const char* why() const { return why_; }

 private:
  void unmap();
  std::string file_;
  const void* map_ = nullptr;
  uint64_t ino_ = 0;
  uint64_t lastLook_ = 0;
  bool looked_ = false;
  const char* why_ = "no video state";
};

}  // namespace alsa
}  // namespace sim
}  // namespace kavo
