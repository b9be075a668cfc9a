#pragma once
// Holds the place of the white balance until it lands: an initialisation that enables AWB on the
// controller and a per-pass step that changes nothing.
#include <cstdint>

#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

class AWBControl {
 public:
  // The averages the statistics reduction writes (3A thread).
  uint32_t average[3] = {10, 10, 10};
};

class CIsp;

// Once, from enable_aaa: AWB enabled on the controller.
int awb_control_init(CIsp* isp);
// The per-pass step with the AWB interrupt record: holds the place (nothing changes).
int emulatedISR_AWB(AWBControl* awb, AwbInterrupt* record);

}  // namespace isp
}  // namespace kavo
