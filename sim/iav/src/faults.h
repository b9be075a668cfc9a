#pragma once
// Fault injection of the simulated DSP, read from the faults file (README.md) and re-read when it
// changes. Counters start again with every new file.
#include <cstdint>
#include <string>
#include <vector>

namespace kavo {
namespace sim {
namespace iav {

enum class FrameFaultKind { Gap, Queue, StartCode, StalePts, Eagain, Stall };

struct RequestFault {
  std::string request;  // request name ("IAV_IOC_START_ENCODE_EX"), or "open" / "mmap"
  std::string node;     // empty: any node
  uint32_t nth = 1;     // the first failing call, counted from 1
  uint32_t times = 1;   // consecutive failing calls
  int err = 5;          // errno
  uint32_t seen = 0;
};

struct FrameFault {
  FrameFaultKind kind = FrameFaultKind::Gap;
  int stream = -1;      // -1: the H.264 streams (gap, queue, startcode) or any stream (the others)
  uint32_t after = 0;   // frames that pass before the fault acts
  uint32_t frames = 1;  // frames (or reads) it acts on
  uint32_t value = 0;   // gap: numbers skipped; queue: frames reported queued; stall: ms
};

// What the faults do to one frame.
struct FrameEffects {
  uint32_t gap = 0;
  bool queue = false;
  uint32_t backlog = 0;
  bool shortStartCode = false;
};

class Faults {
 public:
  // Re-reads `file` when it changed since the last look; `force` skips the time gate.
  // Returns true when a new set was taken (error set when the file was malformed: no faults then).
  bool refresh(const std::string& file, bool force, std::string& error);
  // errno to inject into this call, or 0.
  int onRequest(const char* request, const char* node);
  bool any() const { return !requests_.empty() || !frames_.empty(); }
  // Read-level faults, checked at the start of a bitstream read.
  uint32_t takeStall();
  bool takeEagain();
  bool takeStalePts();
  // Frame-level faults for a frame of `stream`; also counts the frame for every fault's "after".
  void onFrame(int stream, bool h264, FrameEffects& fx);
  void clear();

  static bool parse(const std::string& text, std::vector<RequestFault>& requests, std::vector<FrameFault>& frames,
                    std::string& error);

 private:
  bool takeRead(FrameFaultKind kind, uint32_t* value);
  std::vector<RequestFault> requests_;
  std::vector<FrameFault> frames_;
  bool known_ = false;
  uint64_t ino_ = 0, size_ = 0, mtimeNs_ = 0;
  uint64_t lastCheckNs_ = 0;
};

int errnoFromName(const std::string& name);
const char* errnoName(int err);

}  // namespace iav
}  // namespace sim
}  // namespace kavo
