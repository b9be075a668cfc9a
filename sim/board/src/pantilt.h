#pragma once
// The pan/tilt unit as pure functions: its motion over time and the VISCA pan/tilt packets it takes.
#include <cstddef>
#include <cstdint>

namespace kavo {
namespace sim {
namespace board {

// Limits of travel when none are set (steps).
constexpr int32_t kPanMin = -2400, kPanMax = 2400;
constexpr int32_t kTiltMin = -400, kTiltMax = 1200;
// Steps per second for one unit of VISCA speed (pan 1..24, tilt 1..20).
constexpr double kStepsPerSpeed = 20.0;
constexpr uint8_t kMaxPanSpeed = 0x18, kMaxTiltSpeed = 0x14;

struct PanTiltMotion {
  double pan, tilt;    // at t0
  uint64_t t0;         // ns, CLOCK_MONOTONIC
  double vPan, vTilt;  // steps per second (signed)
  int32_t targetPan, targetTilt;
  uint32_t toTarget;   // travels to the target (else drives until stopped or at a limit)
  int32_t panMin, panMax, tiltMin, tiltMax;
};

void panTiltReset(PanTiltMotion& m, uint64_t now);
// Brings the position up to `now`.
void panTiltAdvance(PanTiltMotion& m, uint64_t now);
bool panTiltMoving(const PanTiltMotion& m);

// What one packet asked (for the journal).
struct PanTiltCommand {
  const char* what;  // "drive", "absolute", "relative", "home", "reset", "limitSet", "limitClear"
  int32_t pan, tilt;
  uint8_t panSpeed, tiltSpeed;
  uint8_t x, y;       // drive directions
  uint8_t corner;     // limits: 1 up-right, 0 down-left
};
// Takes one packet (header .. FF) at `now`. False for a packet the unit does not know (nothing
// changes).
bool panTiltTake(PanTiltMotion& m, const uint8_t* packet, size_t length, uint64_t now, PanTiltCommand& out);

}  // namespace board
}  // namespace sim
}  // namespace kavo
