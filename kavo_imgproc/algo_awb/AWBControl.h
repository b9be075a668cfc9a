#pragma once
// Holds the place of the white balance until it lands: an initialisation that enables AWB on the
// controller and a per-pass step that changes nothing.
#include <atomic>
#include <cstdint>

#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

class AWBControl {
 public:
  // The averages the statistics reduction writes (3A thread).
  uint32_t average[3] = {10, 10, 10};
  std::atomic<int32_t> mode{0};

  // m when 1 or 2, else 0.
  void setAWBMode(int m) { mode.store(m == 1 || m == 2 ? m : 0, std::memory_order_relaxed); }
  // The gains of a colour temperature: holds the place (1, nothing sent).
  int SetColorTmpByUser(uint32_t kelvin);
};

class CIsp;

// Once, from enable_aaa: AWB enabled on the controller.
int awb_control_init(CIsp* isp);
// The per-pass step with the AWB interrupt record: holds the place (nothing changes).
int emulatedISR_AWB(AWBControl* awb, AwbInterrupt* record);

}  // namespace isp
}  // namespace kavo
