#pragma once
// What the simulated sound card's two plugins (capture PCM, control) and the helper share: the
// configuration, the small state file that carries the "Capture Volume" value and the on-demand
// overruns between processes, the journal and the faults. Files live under the root that the ALSA
// configuration names (README.md).
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kavo {
namespace sim {
namespace alsa {

constexpr const char* kConfigFile = "/etc/kavo_sim/alsa.json";
constexpr const char* kAsoundConf = "/etc/kavo_sim/asound.conf";
constexpr const char* kRunDir = "/tmp/kavo_sim";
constexpr const char* kStateFile = "/tmp/kavo_sim/alsa.state";
constexpr const char* kJournalFile = "/tmp/kavo_sim/alsa.journal";
constexpr const char* kFaultsFile = "/tmp/kavo_sim/alsa.faults";
constexpr const char* kIavStateFile = "/tmp/kavo_sim/iav.state";
constexpr const char* kElementName = "Capture Volume";

struct Config {
  std::vector<unsigned> rates{8000, 11025, 16000, 22050, 32000, 44100, 48000};
  std::vector<unsigned> channels{1, 2};
  unsigned periodBytes = 4000;
  unsigned periods = 16;
  bool periodPointer = false;  // the position moves in whole periods, as with a period interrupt
  int64_t driftPpb = 0;        // sample clock against CLOCK_MONOTONIC, parts per 10^9

  std::vector<double> toneFrequency{1000.0};  // per channel; the last one serves the rest
  double toneLevelDb = -20.0;                  // peak, dB below full scale

  bool marks = true;
  bool marksFollowVideo = true;  // "origin": "video" (else "clock")
  unsigned markEveryFrames = 30;
  double markPeriodMs = 1000.0;
  double markDurationMs = 20.0;
  double markFrequency = 2000.0;
  double markLevelDb = -3.0;

  bool volumePresent = true;
  long volumeMin = 0;
  long volumeMax = 31;
  long volumeInitial = 31;

  bool journal = true;
};

// Parses the configuration text; an empty text gives the defaults. False (with `error`) for a
// malformed file or a value out of range: `cfg` then holds the defaults.
bool parseConfig(const std::string& text, Config& cfg, std::string& error);

// The state file shared by every process of a run. Plain atomics in a shared mapping.
constexpr int kFaultRequests = 9;  // the request names a fault may name (core.cpp)
struct SharedState {
  std::atomic<uint32_t> magic;
  uint32_t version;
  std::atomic<int64_t> volume;       // the element's value
  std::atomic<uint64_t> journalSeq;  // one numbering of journal lines over all processes
  std::atomic<uint32_t> faultsGen;   // bumped when the faults file is rewritten by the helper
  std::atomic<uint32_t> xrunRequests;  // every bump makes running captures overrun once
  std::atomic<uint32_t> configGen;   // bumped by every new configuration (the volume starts again)
  // Fault counters over every process and every open, since the faults file (by its identity)
  // was first taken.
  std::atomic<uint32_t> xrunUsed;
  std::atomic<uint64_t> faultsIno;
  std::atomic<uint64_t> faultsSize;
  std::atomic<int64_t> faultsMtime;
  std::atomic<uint32_t> calls[kFaultRequests];
};
constexpr uint32_t kStateMagic = 0x41534b56;  // "VKSA"
constexpr uint32_t kStateVersion = 3;

// Maps the state file (creating it, with the configuration's initial volume, when missing or
// foreign). Null on failure (error set).
SharedState* mapState(const std::string& root, const Config& cfg, std::string& error);
void unmapState(SharedState* st);

uint64_t monoNs();
std::string readFile(const std::string& file, bool* exists);
bool writeFileAtomic(const std::string& file, const std::string& text);
bool makeDirs(const std::string& dir);

// Journal lines go out whole with one write on an O_APPEND descriptor, so the lines of several
// processes never interleave.
class Journal {
 public:
  ~Journal();
  void open(const std::string& root, SharedState* st, bool enabled);
  void close();
  // Adds seq, t, pid and dev to `line` and writes it.
  void write(const char* dev, nlohmann::json line);
  bool enabled() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
  SharedState* st_ = nullptr;
};

struct RequestFault {
  std::string request;  // "snd_pcm_open", "snd_ctl_elem_write", ...
  int index = 0;        // of the request's name
  uint32_t nth = 1;
  uint32_t times = 1;
  int err = 5;
};

class Faults {
 public:
  // Re-reads the file when the helper's generation moved, when `force` is set, or (for files
  // written by other means) when its inode, size or time changed, looked at no more than every
  // 100 ms. True when a new set was taken; `error` is set for a malformed file (no faults then).
  // A file not seen before by any process starts the shared counters again.
  bool refresh(const std::string& root, SharedState* st, bool force, std::string& error);
  // Negative errno to inject into this call, or 0. Calls are counted over all processes.
  int onRequest(const char* request);
  // The positional overrun: frames after a start, for the next `times` starts of any capture.
  uint64_t xrunAfter() const { return xrunAfter_; }
  bool xrunArmed() const;
  void takeXrun();

  static bool parse(const std::string& text, std::vector<RequestFault>& requests, uint64_t& xrunAfter,
                    uint32_t& xrunTimes, std::string& error);

 private:
  std::vector<RequestFault> requests_;
  SharedState* st_ = nullptr;
  uint32_t localCalls_[kFaultRequests] = {};
  uint32_t localXrunUsed_ = 0;
  uint64_t xrunAfter_ = 0;
  uint32_t xrunTimes_ = 0;
  uint32_t gen_ = UINT32_MAX;
  uint64_t lastLook_ = 0;
  uint64_t ino_ = 0, size_ = 0;
  int64_t mtimeNs_ = -1;
};

// Parses an errno given as a number or a name ("EIO").
bool parseErrno(const nlohmann::json& v, int& err);

}  // namespace alsa
}  // namespace sim
}  // namespace kavo
