// Holds the place of the sub-CPU link and its thread: see subcpu_stub.h.
#include "fe_subcpu/subcpu_stub.h"

#include "misc/isp_log.h"

namespace kavo {
namespace isp {

int SubCPU::openSubCPU() {
  serialOpens.fetch_add(1, std::memory_order_relaxed);
  ISP_LOG("subcpu", LOG_LEVEL_DEBUG, 0, "[openSubCPU] the sub-CPU link is not built in: no line opened");
  return 0;
}

int SubCPU::closeSubCPU() { return 0; }
int SubCPU::openGPIO_xBrisk() { return 0; }
int SubCPU::closeGPIO() { return 0; }

int startSubCPUThread() { return 0; }
int stopSubCPUThread() { return 0; }

}  // namespace isp
}  // namespace kavo
