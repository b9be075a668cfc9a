#pragma once
// The DSP's own kinds of fault (frames: gaps, queue reports, short start codes, stale descriptors,
// EAGAIN reads, stalls), taken from the faults file beside the request faults of the simulator
// core (README.md). Counters start again with every new file.
#include <cstdint>
#include <string>
#include <vector>

#include "kavo/sim/core/faults.h"

namespace kavo {
namespace sim {
namespace iav {

enum class FrameFaultKind { Gap, Queue, StartCode, StalePts, Eagain, Stall };

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

class FrameFaults {
 public:
  // Parser options for the faults file: request faults plus the "frame" entries, which land here.
  FaultParseOptions options();
  // Read-level faults, checked at the start of a bitstream read.
  uint32_t takeStall();
  bool takeEagain();
  bool takeStalePts();
  // Frame-level faults for a frame of `stream`; also counts the frame for every fault's "after".
  void onFrame(int stream, bool h264, FrameEffects& fx);
  void clear() { frames_.clear(); }
  bool empty() const { return frames_.empty(); }

  // The whole faults text: request faults and frame faults (for tests).
  static bool parse(const std::string& text, std::vector<RequestFault>& requests, std::vector<FrameFault>& frames,
                    std::string& error);

 private:
  bool takeRead(FrameFaultKind kind, uint32_t* value);
  std::vector<FrameFault> frames_;
};

}  // namespace iav
}  // namespace sim
}  // namespace kavo
