#pragma once
// Lens positions on a 0..100 scale, the zoom stop, the IR-cut filter by hand and the IR LEDs. The
// moves run on the IPC and VISCA threads and hand the lens over with the auto focus (3A thread)
// through the lens-motion flags only: a move suspends AF, waits (bounded) for its step to leave and
// its search to settle, drives the lens and gives AF back.
#include <cstdint>

namespace kavo {
namespace isp {

class CIsp;

// 0 when the move was made, -1 when refused.
int set_zoom_abs_normalize(CIsp* isp, int percent);
// 1 when the move was made, -1 when refused (another move runs, or AF owns the focus).
int set_focus_abs_normalize(CIsp* isp, int percent);
void set_zoom_stop(CIsp* isp);
// 0 automatic, 1 filter in (day), 2 filter out (night).
void set_icr_mode(CIsp* isp, unsigned mode);
void set_ir_led_auto(CIsp* isp, unsigned on);
void set_ir_led_level(CIsp* isp, unsigned level);

// The focus target an absolute zoom to `stop` gives on lens `lensId` with the biases in force,
// clamped to 0..the lens limit; -1 for a lens without a focus table.
int32_t zoomFocusTarget(int32_t lensId, int32_t stop);

}  // namespace isp
}  // namespace kavo
