#pragma once
// The 3A statistics of one frame, read into the controller's buffers (the read waits for the frame
// and paces the 3A thread).

namespace kavo {
namespace isp {

class CIsp;

// 0, or -1 when the read failed (logged; the buffers keep the last frame's statistics).
int Get_3A_data_1080p(CIsp* isp);

}  // namespace isp
}  // namespace kavo
