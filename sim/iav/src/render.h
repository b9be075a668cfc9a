#pragma once
// The pictures the simulated DSP encodes.
#include <cstdint>

namespace kavo {
namespace sim {
namespace iav {

// Number cells: kCellCols x kCellRows cells in the top quarter of the picture, 32 bits of the
// number then a 16-bit check, most significant bit first, row by row.
constexpr int kCellCols = 12;
constexpr int kCellRows = 4;
uint16_t sceneCheck(uint32_t number);
// Draws the scene for picture `number` into I420 planes (strides: w, w/2, w/2).
void drawScene(uint8_t* y, uint8_t* u, uint8_t* v, int w, int h, uint32_t number, bool hflip, bool vflip);
// Reads the number back from a luma plane; false when the check does not match.
bool readSceneNumber(const uint8_t* y, int w, int h, uint32_t* number);

}  // namespace iav
}  // namespace sim
}  // namespace kavo
