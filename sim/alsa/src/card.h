#pragma once
// What the simulated sound card's two plugins (capture PCM, control) and the helper share: the
// configuration, the small state file that carries the "Capture Volume" value and the on-demand
// overruns between processes, the journal and the faults. Files live under the root that the ALSA
// configuration names (README.md). Built on the simulator core (sim/core).
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kavo/sim/core/faults.h"
#include "kavo/sim/core/files.h"
#include "kavo/sim/core/journal.h"
#include "kavo/sim/core/shared_state.h"

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
struct SharedState {
  SharedHeader head;
  std::atomic<int64_t> volume;       // the element's value
  std::atomic<uint64_t> journalSeq;  // one numbering of journal lines over all processes
  std::atomic<uint32_t> faultsGen;   // bumped when the faults file is rewritten by the helper
  std::atomic<uint32_t> xrunRequests;  // every bump makes running captures overrun once
  std::atomic<uint32_t> configGen;   // bumped by every new configuration (the volume starts again)
  std::atomic<uint32_t> xrunUsed;    // positional overruns taken since the faults file was new
  SharedFaultCounters faultCalls;    // request faults, counted over every process
};
constexpr uint32_t kStateMagic = 0x41534b56;  // "VKSA"
constexpr uint32_t kStateVersion = 4;

// Maps the state file (creating it, with the configuration's initial volume, when missing or
// foreign). Null on failure (error set).
SharedState* mapState(const std::string& root, const Config& cfg, std::string& error);
void unmapState(SharedState* st);

// A journal line of the card: seq, t, pid, then "dev" ("pcm" or "ctl").
inline void journalHead(Journal& journal, JournalLine& line, const char* dev) {
  journal.head(line, monoNs());
  line.str("dev", dev);
}

// The faults of the card: request faults counted over every process, and the positional overrun.
class Faults {
 public:
  // Takes the faults file when it is new (see kavo::sim::FaultsFile); true then, with `error` set
  // for a malformed file (no faults then).
  bool refresh(const std::string& root, SharedState* st, bool force, std::string& error);
  // Negative errno to inject into this call, or 0.
  int onRequest(const char* request);
  // The positional overrun: frames after a start, for the next `times` starts of any capture.
  uint64_t xrunAfter() const { return xrunAfter_; }
  bool xrunArmed() const;
  void takeXrun();

  static bool parse(const std::string& text, std::vector<RequestFault>& requests, uint64_t& xrunAfter,
                    uint32_t& xrunTimes, std::string& error);

 private:
  FaultParseOptions options();
  FaultsFile file_;
  FaultParseOptions options_;  // built at the first refresh: later looks allocate nothing
  SharedState* st_ = nullptr;
  uint32_t localXrunUsed_ = 0;
  uint64_t xrunAfter_ = 0;
  uint32_t xrunTimes_ = 0;
};

}  // namespace alsa
}  // namespace sim
}  // namespace kavo
