#pragma once
// The image controller's constant tables (isp_tables.cpp, written by gen/gen_isp_tables.py from the
// rules and sample rows it states): the exposure units and the models' tone curves.
#include <cstdint>

namespace kavo {
namespace isp {

// Sensor gain of each AGC index, in 1/2^24 dB (IAV_AGC_DB_ONE): 0.1496 dB a step up to index 280.
constexpr int kAgcEntries = 290;
extern const int32_t kAgcTable[kAgcEntries];

// Exposure time of each shutter index in 1/512,000,000 s, longest first (0: 1 s, 163: 0).
constexpr int kShutterEntries = 164;
extern const int32_t kShutterTable[kShutterEntries];

// 10-bit tone curve (one channel; the three are the same) of models 2-4; the others load the image-DSP
// library's linear curve (img_dsp_linear_tone_curve).
extern const uint16_t kToneCurveS[256];

}  // namespace isp
}  // namespace kavo
