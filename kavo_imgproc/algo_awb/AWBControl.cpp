// Holds the place of the white balance: see AWBControl.h.
#include "algo_awb/AWBControl.h"

#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

int awb_control_init(CIsp* isp) {
  isp->awbEnable.store(1, std::memory_order_relaxed);
  return 0;
}

int emulatedISR_AWB(AWBControl*, AwbInterrupt*) { return 0; }

int AWBControl::SetColorTmpByUser(uint32_t) { return 1; }

}  // namespace isp
}  // namespace kavo
