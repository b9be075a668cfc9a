#pragma once
// The 3A statistics of one frame, read into the controller's buffers (the read waits for the frame
// and paces the 3A thread), and their reduction to the numbers the algorithms use: the focus
// figures (and their export on "/tmp/shm/focus_server"), the white-balance averages and tile
// counts, and the exposure luminance Y.
#include <cstdint>

namespace kavo {
namespace isp {

class CIsp;

// The metering weights of the 96 AE/AWB tiles (12 x 8, row by row) for a backlight-compensation
// value: 1, 2 and 3 have their own table, any other value the default one.
const uint8_t* meteringWeights(uint32_t backlight);

// The focus-server record: byte 0 state (1 while written, 0 complete; a reader sets 2 to hold the
// writer off), then six 16-bit figures as four nibbles each, most significant first.
constexpr int kFocusRecordBytes = 25;
// Writes the record unless a reader holds it (byte 0 is 2); false when held.
bool exportFocusRecord(uint8_t* record, const uint16_t figures[6]);

// The AE luminance of the weighted sums, truncated to 16 bits as the statistics words are.
uint32_t aeLuminance(uint64_t r, uint64_t g, uint64_t b);

// The means of three sums over `count` (0 gives 0) through the controller's colour matrix (Q10);
// negative results give 0.
void colorMatrixApply(const CIsp* isp, const uint64_t sums[3], uint32_t count, uint32_t out[3]);

// Reads and reduces; 0, or -1 when the read failed (logged; the buffers keep the last frame's
// statistics and the reduction runs on them, and the 3A thread waits a frame).
int Get_3A_data_1080p(CIsp* isp);

}  // namespace isp
}  // namespace kavo
