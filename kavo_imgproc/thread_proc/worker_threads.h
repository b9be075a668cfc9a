#pragma once
// Start and stop of the worker threads that main runs besides the IPC and VISCA threads: the 3A
// thread, the sub-CPU reply pump (zoom-lens boards), the pan/tilt worker (board 3) and the
// video-port input watcher (board 2). Starters return 0, or -1 when the thread did not answer.

namespace kavo {
namespace isp {

int start_aaa_thread();
int stop_aaa_thread();
// 1 pauses the 3A step, 0 resumes it.
void setPauseAAA(int pause);
int startSubCPUThread();
int stopSubCPUThread();
int start_subcpu_pt_thread();
int stop_subcpu_pt_thread();
int start_io_thread();
int stop_io_thread();

}  // namespace isp
}  // namespace kavo
