// Holds the place of the exposure control: see AEControl.h.
#include "algo_ae/AEControl.h"

#include "be_iav/iav_driver.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

int ae_control_init(CIsp* isp) {
  if (AEControl* ae = aeControl()) ae->previousMode.store(10, std::memory_order_relaxed);
  isp->aeEnable.store(1, std::memory_order_relaxed);
  return 0;
}

int processAE(AEControl*) { return 0; }

void AEControl::set_ae_mode(int m) { mode.store(m >= 1 && m <= 6 ? m : 0, std::memory_order_relaxed); }

void AEControl::set_ae_target(uint32_t target) { aeTarget.store(target, std::memory_order_relaxed); }

uint32_t AEControl::get_shutter_index(uint32_t us) const {
  const CIsp* isp = controller();
  if (isp == nullptr) return ~0u;
  for (int i = 0; i <= 161; ++i) {
    const uint32_t a = static_cast<uint32_t>(isp->shutterTable.get(i)) >> 9;
    const uint32_t b = static_cast<uint32_t>(isp->shutterTable.get(i + 1)) >> 9;
    if (a >= us && us > b) return static_cast<uint32_t>(i);
  }
  return us < static_cast<uint32_t>(isp->shutterTable.get(161)) ? 161u : ~0u;
}

namespace {
// A bound change runs a moment in the fixed mode and leaves the AE in full auto.
void boundChange(AEControl* ae) {
  ae->set_ae_mode(6);
  kavo::utils::sleepMs(400);
  ae->set_ae_mode(0);
}
}  // namespace

int AEControl::set_shutter_high_speed_bound(uint32_t index) {
  if (index >= 5 && index <= 161 && index >= slowestAllowed.load()) {
    fastestBound.store(static_cast<uint16_t>(index));
    debugPrintf(0, "shutter upper bound=%d\n", index);
    boundChange(this);
  } else {
    ISP_LOG_AS("AEControl", __func__, LOG_LEVEL_INFO, 0, "index=%d, ref=%d,%d,%d", index, 5, 161, slowestAllowed.load());
  }
  return 1;
}

int AEControl::set_shutter_low_speed_bound(uint32_t index) {
  if (index >= 5 && index <= 161 && index <= fastestBound.load()) {
    slowestBound.store(static_cast<uint16_t>(index));
    debugPrintf(0, "shutter lower bound=%d\n", index);
    boundChange(this);
  } else {
    ISP_LOG_AS("AEControl", __func__, LOG_LEVEL_INFO, 0, "[set_shutter_low_speed_bound]err_code:%d_%d.)\n", index,
               fastestBound.load());
  }
  return 1;
}

int AEControl::set_Agc_maxIdx_bound(uint32_t index) {
  if (index <= 198 && index >= agcMinBound.load()) {
    agcMaxBound.store(index);
    debugPrintf(0, "AGC upper bound=%d\n", index);
    boundChange(this);
  } else {
    ISP_LOG_AS("AEControl", __func__, LOG_LEVEL_INFO, 0, "[set_Agc_maxIdx_bound]err_code:%d_%d.\n", index,
               agcMinBound.load());
  }
  return 1;
}

int AEControl::set_icr_sensitivity(uint32_t s) {
  debugPrintf(0, "set_icr_sensitivity=%d\n", s);
  icrSensitivity.store(s);
  return 0;
}

int AEControl::set_ae_ir2day_cnt_bound(uint32_t n) {
  ir2dayCountBound.store(n);
  debugPrintf(0, "ae_ir2day_cnt_bound=%d\n", n);
  return 0;
}

int set_shutter_index(CIsp* isp, uint32_t index) {
  if (index >= static_cast<uint32_t>(kShutterEntries)) return -1;
  return iavDriver()->set_eshutter_time(isp->shutterTable.get(static_cast<int>(index)));
}

}  // namespace isp
}  // namespace kavo
