#pragma once
// Holds the place of the exposure control until it lands: the fields the 3A step exchanges with it
// and reads of it, an initialisation that enables AE on the controller, and an exposure step that
// changes nothing.
#include <atomic>
#include <cstdint>

namespace kavo {
namespace isp {

class AEControl {
 public:
  // The exposure words the 3A step copies in and out each pass (the 3A thread's own).
  uint32_t exchange[4] = {};
  std::atomic<uint16_t> shutterIndex{0};
  std::atomic<uint16_t> agcIndex{0};
  std::atomic<uint8_t> dayState{1};      // 1 day, 0 night
  std::atomic<uint32_t> luminance{0};    // Y of the last statistics
  std::atomic<int32_t> mode{0};
  std::atomic<int32_t> previousMode{0};  // 10 forces a mode switch
  std::atomic<uint8_t> irisAdjustStatus{0};  // DC iris adjustment: 0 none, 1 running, 2 good, 3 not good
};

class CIsp;

// Once, from enable_aaa: previous mode 10 and AE enabled on the controller.
int ae_control_init(CIsp* isp);
// One exposure step from the statistics: holds the place (0, nothing changes).
int processAE(AEControl* ae);

}  // namespace isp
}  // namespace kavo
