// Holds the place of the worker threads until they land: each starter and stopper succeeds at
// once without a thread.
#include "thread_proc/worker_threads.h"

namespace kavo {
namespace isp {

int start_aaa_thread() { return 0; }
int stop_aaa_thread() { return 0; }
void setPauseAAA(int) {}
int start_subcpu_pt_thread() { return 0; }
int stop_subcpu_pt_thread() { return 0; }
int start_io_thread() { return 0; }
int stop_io_thread() { return 0; }

}  // namespace isp
}  // namespace kavo
