#pragma once
// Constant tables of the image-DSP library. Written by gen/gen_tables.py (rules and checks there);
// tests/tables_test.cpp checks the rules again on what was compiled.
#include <cstdint>

namespace imgdsp {

// Half kernels (25 taps in 1/256, positions as in design.h), row r for strength 64 r.
extern const int16_t kIsoSmoothQ8[5][25];
extern const int16_t kIsoHighPassQ8[5][25];      // identity minus kIsoSmoothQ8
extern const int16_t kDirSmoothQ8[8][5][25];     // directions 1 to 8
extern const int16_t kDirHighPassQ8[8][5][25];   // identity minus kDirSmoothQ8

// Dynamic bad-pixel rows: [table set][strength - 1][hot half 0..767, dark half 768..1535].
extern const uint8_t kBadPixelRows[2][10][1536];
constexpr unsigned kBadPixelHalf = 768;

// The ISO modes' colour tables: RGB to YCbCr (1024 = 1.0, row-major), the 16 grid inputs (14 bits,
// 6 fractional) meeting the linear tone curve (img_dsp_linear_tone_curve) at entries 0, 17, ..., 255,
// and the 8-bit grid of the high-ISO colour table.
extern const int16_t kColourMatrixQ10[9];
extern const int32_t kToneGrid[16];
extern const uint8_t kYccGrid[16];

}  // namespace imgdsp
