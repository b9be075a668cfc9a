// Holds the place of the exposure control: see AEControl.h.
#include "algo_ae/AEControl.h"

#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

int ae_control_init(CIsp* isp) {
  if (AEControl* ae = aeControl()) ae->previousMode.store(10, std::memory_order_relaxed);
  isp->aeEnable.store(1, std::memory_order_relaxed);
  return 0;
}

int processAE(AEControl*) { return 0; }

}  // namespace isp
}  // namespace kavo
