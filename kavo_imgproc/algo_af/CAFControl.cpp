// Holds the place of the contrast auto focus: see CAFControl.h.
#include "algo_af/CAFControl.h"

#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

int CAFControl::callback(int) {
  callbacks.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

int resetAF(CIsp* isp) {
  isp->afEnable.store(1, std::memory_order_relaxed);
  return 0;
}

int emulatedISR_AF(CAFControl*) { return 0; }

}  // namespace isp
}  // namespace kavo
