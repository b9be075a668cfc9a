#pragma once
// The lens MCU as the ISP server meets it on the serial line: it takes VISCA packets, acts on the lens,
// the IR-cut filter, the IR LEDs and the iris, and answers (acknowledgements, answers to inquiries,
// the end-of-move report 90 51 FF, errors), with the faults of its faults file. No I/O here: the
// program (main.cpp) reads the line, hands packets in and writes what comes due.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "lens_model.h"

namespace kavo {
namespace sim {

class JournalLine;

namespace lens {

struct McuConfig {
  int lens = 0;                   // lens id 0, 1 or 3
  double zoomStepsPerSecond = 600;
  double focusStepsPerSecond = 1200;
  uint32_t replyDelayMs = 0;      // every reply this late
  bool acks = true;               // 90 41 FF for each command
  uint32_t readyMs = 300;         // the correction-done flag (09 04 F4) turns 1 this long after start
  bool tagAnswers = false;        // zoom answers even numbers, focus answers odd ones, counting up
  bool journal = true;            // every packet and write in the journal
  int32_t zoom = 0;               // at start
  int32_t focus = -1;             // at start; -1: in focus at infinity
  uint16_t temperatures[6] = {45, 41, 38, 33, 30, 28};  // E1, E2, E3, E5, E7, E8
  uint16_t humidity = 40;
  double lightCountsPerLux = 10;  // the light sensor (09 04 E4)
  double lightIrShare = 0.5;      // how much of the ambient IR it sees
  double lightLedLeak = 150;      // counts the IR LEDs add at full drive
  // How this lens unit departs from the lens tables, as assembled: the motor steps from the zoom
  // count's zero (zoom bias 0) to the optical wide end, and how far its in-focus positions lie from
  // the tables' at the wide and the tele end (straight between). The lens calibration finds them.
  int32_t zoomOrigin = 0;
  int32_t focusOffsetWide = 0;
  int32_t focusOffsetTele = 0;
};
// Every key optional; false with `error` for a malformed text (the defaults stay).
bool parseConfig(const std::string& text, McuConfig& out, std::string& error);

// What the MCU reads of the world around it.
struct Surroundings {
  double lux = 0;
  double irLux = 0;
  int32_t pan = 0;
  int32_t tilt = 0;
};

// A write to the line that comes due at `due`.
struct Output {
  uint64_t due;
  std::vector<uint8_t> bytes;
  uint32_t splitAt = 0;   // written in two parts, `gapMs` apart
  uint32_t gapMs = 0;
  bool completion = false;  // an end-of-move report a newer move replaces
  const char* fault = nullptr;
};

// The faults of the MCU's faults file (entries {"mcu": kind, "match": "09 04 47", "nth", "times", ...}).
struct McuFault {
  std::string kind;
  std::vector<uint8_t> match;  // the packet's bytes after the header begin so; empty: any packet
  uint32_t nth = 1;
  uint32_t times = 1;          // 0: every matching packet from the nth on
  uint32_t ms = 0;             // late: delay; split: gap
  uint32_t at = 2;             // split: bytes in the first part
  int32_t value = 0;           // value: the answer
  std::vector<uint8_t> bytes;  // garbage: what goes on the line first
  uint32_t seen = 0;
};
// Parses one entry; false with `error` for an entry that is not one of ours.
bool parseFault(const nlohmann::json& entry, McuFault& out, std::string& error);

// Bytes as the journal writes them: upper-case hex pairs, one space apart.
std::string hex(const uint8_t* b, size_t n);

// What the sensor of the simulated camera sees of the lens and the light the MCU drives.
struct LensOutputs {
  uint32_t irCutIn;
  uint32_t irLed;  // 0..255
  uint32_t iris;   // 1024 = open
  int32_t zoom;
  int32_t focus;
  int32_t focusInfinity;
  int32_t focusPerDioptre;
  uint32_t depthOfField;
  uint32_t magnification;
  uint32_t moving;
  bool operator==(const LensOutputs& o) const;
  bool operator!=(const LensOutputs& o) const { return !(*this == o); }
};

class Mcu {
 public:
  Mcu(const McuConfig& config, uint64_t now);
  void setFaults(std::vector<McuFault> faults) { faults_ = std::move(faults); }

  // One packet (header .. FF, or a run of bytes the MCU cannot read). Adds the packet's fields to
  // `line` and queues its replies.
  void take(const uint8_t* packet, size_t length, uint64_t now, const Surroundings& world, JournalLine& line);
  // The lens up to `now`.
  void advance(uint64_t now) { lensAdvance(motion_, geometry_, now); }
  LensOutputs outputs() const;
  bool moving() const { return lensMoving(motion_); }

  // The next write due at or before `now` (false when none); the earliest due time of the queue.
  bool nextDue(uint64_t now, Output& out);
  uint64_t earliestDue() const;
  // Puts a write (the second part of a split one) back in the queue.
  void requeue(Output out);

 private:
  struct Replies;
  void command(const uint8_t* p, size_t n, uint64_t now, Replies& r, JournalLine& line);
  void inquiry(const uint8_t* p, size_t n, uint64_t now, const Surroundings& world, Replies& r, JournalLine& line);
  void startMove(uint64_t now, Replies& r);
  void setZoomBias(uint32_t bias);
  // The optical zoom stop (of the lens tables) at zoom count `z`, and the in-focus position at infinity there.
  double opticalZoom(double z) const;
  double focusAtInfinity(double z) const;
  uint16_t lightValue(const Surroundings& world) const;

  McuConfig config_;
  LensGeometry geometry_;
  LensMotion motion_;
  uint64_t start_;
  std::vector<McuFault> faults_;
  std::vector<Output> queue_;
  uint32_t tagCounter_ = 0;
  // Registers the server writes.
  uint32_t icrIn_ = 1;
  uint32_t ledLevel_ = 0;    // 0..127: the IR LEDs light at any level above 0, whatever the filter does
  uint32_t irisAuto_ = 1;    // DC iris driven (1) or set directly (0)
  uint32_t irisDriver_ = 0;
  uint32_t irisPosition_ = 255;
  uint32_t irisBias_ = 128;
  uint32_t irisBalance_ = 0;
  uint32_t zoomBias_ = 0;
  uint32_t focusBias_[3] = {0, 0, 0};  // wide, middle, tele: the byte received (negative + 256)
  uint32_t powerLed_ = 0;
  uint32_t heater_ = 0;
};

}  // namespace lens
}  // namespace sim
}  // namespace kavo
