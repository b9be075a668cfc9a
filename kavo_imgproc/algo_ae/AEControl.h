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

  // The settings' exposure set-up (IPC and main threads; the exposure step reads it).
  std::atomic<uint32_t> aeTarget{0};
  std::atomic<uint16_t> dssFlag{0};
  std::atomic<uint16_t> dssSlowest{5};
  std::atomic<uint16_t> slowestAllowed{5};
  std::atomic<uint16_t> slowestBound{5};
  std::atomic<uint16_t> fastestBound{161};
  std::atomic<uint32_t> agcMaxBound{198};
  std::atomic<uint32_t> agcMinBound{0};
  std::atomic<uint32_t> fastestFlickerStep{110};
  std::atomic<uint32_t> icrSensitivity{1};
  std::atomic<uint32_t> ir2dayCountBound{10};

  // m when 1..6, else 0.
  void set_ae_mode(int m);
  void set_ae_target(uint32_t target);
  // The first shutter index whose time (table / 512 us) holds `us`; 161 below the table; ~0 none.
  uint32_t get_shutter_index(uint32_t us) const;
  int set_shutter_high_speed_bound(uint32_t index);
  int set_shutter_low_speed_bound(uint32_t index);
  int set_Agc_maxIdx_bound(uint32_t index);
  int set_icr_sensitivity(uint32_t s);
  int set_ae_ir2day_cnt_bound(uint32_t n);
};

class CIsp;

// Once, from enable_aaa: previous mode 10 and AE enabled on the controller.
int ae_control_init(CIsp* isp);
// One exposure step from the statistics: holds the place (0, nothing changes).
int processAE(AEControl* ae);
// The shutter time of table entry i to the sensor.
int set_shutter_index(CIsp* isp, uint32_t index);

}  // namespace isp
}  // namespace kavo
