#pragma once
// The exposure control's constant tables (ae_tables.cpp, written by gen/gen_ae_tables.py from the
// runs and sample rows it states).
#include <cstdint>

namespace kavo {
namespace isp {

// A substituted step: the time of the step `offset` further on, with an absolute AGC index.
// Offset 0: the step's own time, no substitution.
struct AeStep {
  uint16_t offset;
  uint16_t agc;
};

constexpr int kFlickerSteps60 = 119;
constexpr int kFlickerSteps50 = 124;
constexpr int kShutterSteps = 163;

// Flicker-safe exposure times in 1/512,000,000 s by flicker step, longest first.
extern const int32_t kFlickerTime60[kFlickerSteps60];
extern const int32_t kFlickerTime50[kFlickerSteps50];
// By shutter index: the OV9715 and every other sensor.
extern const AeStep kShutterStepOther[kShutterSteps];
extern const AeStep kShutterStepOv9715[kShutterSteps];
// By flicker step.
extern const AeStep kFlickerStep60Other[kFlickerSteps60];
extern const AeStep kFlickerStep50Other[kFlickerSteps50];
extern const AeStep kFlickerStep60Ov9715[kFlickerSteps60];
extern const AeStep kFlickerStep50Ov9715[kFlickerSteps50];

}  // namespace isp
}  // namespace kavo
