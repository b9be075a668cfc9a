// The exposure control's object, its primitives and the day/night decisions: see AEControl.h.
#include "algo_ae/AEControl.h"

#include <algorithm>
#include <cmath>

#include "algo_af/CAFControl.h"
#include "be_i2c/i2c_driver.h"
#include "be_iav/iav_driver.h"
#include "fe_subcpu/subcpu.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "AEControl";
constexpr auto R = std::memory_order_relaxed;

// The lens link's and the GPIO's operations where the link exists.
class LinkOutside : public AeOutside {
 public:
  void setICR(int out) override { with([&](SubCPU& l) { l.setICR(out); }); }
  void setIrLedon_xBrisk(int on) override { with([&](SubCPU& l) { l.setIrLedon_xBrisk(static_cast<uint32_t>(on)); }); }
  void setIrLedLevel(int level) override { with([&](SubCPU& l) { l.setIrLedLevel(static_cast<uint32_t>(level)); }); }
  void setDCIrisMode(int mode) override { with([&](SubCPU& l) { l.setDCIrisMode(mode); }); }
  void setDCIrisDriver(int value) override {
    with([&](SubCPU& l) { l.setDCIrisDriver(static_cast<uint32_t>(value)); });
  }
  void setIrisDirect(int value) override { with([&](SubCPU& l) { l.setIrisDirect(static_cast<uint32_t>(value)); }); }
  void setIrisBias(int value) override { with([&](SubCPU& l) { l.setIrisBias(static_cast<uint32_t>(value)); }); }
  int inqLightSensor(uint32_t* value) override {
    int rc = 1;
    with([&](SubCPU& l) { rc = l.inqLightSensor(value); });
    return rc;
  }

 private:
  template <class F>
  static void with(F f) {
    if (SubCPU* link = subCpu()) f(*link);
  }
};

LinkOutside g_linkOutside;
std::atomic<AeOutside*> g_outside{&g_linkOutside};

int model() {
  const CIsp* isp = controller();
  return isp ? isp->system().model : g_isp.sys.model;
}

int32_t shutterTime(int i) {
  i = std::clamp(i, 0, kShutterEntries - 1);
  const CIsp* isp = controller();
  return isp ? isp->shutterTable.get(i) : kShutterTable[i];
}

int32_t agcValue(int i) {
  i = std::clamp(i, 0, kAgcEntries - 1);
  const CIsp* isp = controller();
  return isp ? isp->agcTable.get(i) : kAgcTable[i];
}

void sendShutter(int32_t time) {
  if (IAVDriver* d = iavDriver()) d->set_eshutter_time(time);
}

void sendAgc(int32_t value) {
  if (IAVDriver* d = iavDriver()) d->set_agc_index(value);
}

// The bound setters hold the exposure in manual mode while the caller waits, so that the 3A thread
// does not step it meanwhile, and leave it in full auto.
template <class F>
void withExposureHeld(AEControl* ae, F change) {
  ae->mode.store(AE_MANUAL, R);
  change();
  kavo::utils::sleepMs(400);
  ae->mode.store(AE_FULL_AUTO, R);
}

}  // namespace

void AeOutside::ipc_apply_ir_state(int on) {
  if (CIsp* isp = controller()) isp::ipc_apply_ir_state(isp, static_cast<uint32_t>(on));
}
void AeOutside::set_yuv_BW(int on) {
  if (CIsp* isp = controller()) isp::set_yuv_BW(isp, on);
}
void AeOutside::triggerRefocus() {
  if (CAFControl* af = afControl()) isp::triggerRefocus(af);
}

void setAeOutside(AeOutside* outside) { g_outside.store(outside ? outside : &g_linkOutside, std::memory_order_release); }
AeOutside& aeOutside() { return *g_outside.load(std::memory_order_acquire); }

AEControl::AEControl() {
  const bool ov = g_isp.sys.sensor == SENSOR_OV9715;
  shutterSteps = ov ? kShutterStepOv9715 : kShutterStepOther;
  flickerSteps60 = ov ? kFlickerStep60Ov9715 : kFlickerStep60Other;
  flickerSteps50 = ov ? kFlickerStep50Ov9715 : kFlickerStep50Other;
}

void AEControl::set_ae_enable(CIsp* isp, int on) {
  if (isp) isp->aeEnable.store(static_cast<uint8_t>(on), R);
}

void AEControl::set_ae_mode(int m) { mode.store(m >= 1 && m <= 6 ? m : 0, R); }

void AEControl::reset_ae_params() {
  const AELimits& l = g_isp.aeLimits;
  aeTarget.store(l.targetBase, R);
  halfTarget.store(l.targetBase / 2, R);
  for (auto& z : zone) z.store(15 * l.targetBase / 128, R);
  constantFive = 5;
  constantTen = 10;
  slowestAllowed.store(static_cast<uint16_t>(l.shutterSlowest), R);
  slowestBound.store(static_cast<uint16_t>(l.shutterSlowest), R);
  dssSlowest.store(static_cast<uint16_t>(l.shutterSlowest), R);
  fastestBound.store(static_cast<uint16_t>(l.shutterFastest), R);
  agcMax.store(static_cast<uint16_t>(l.agcMaxIndex), R);
  agcMaxBound.store(static_cast<uint16_t>(l.agcMaxIndex), R);
  agcIndex.store(static_cast<uint16_t>(l.agcMaxIndex), R);
  agcMin.store(static_cast<uint16_t>(l.agcMinIndex), R);
  agcMinBound.store(static_cast<uint16_t>(l.agcMinIndex), R);
  lightToDay.store(600, R);
  lightToNight.store(300, R);
  agcToDay.store(62, R);
  agcToNight.store(24, R);
  dayState.store(1, R);
  dayCount.store(0, R);
  nightCount.store(0, R);
  ir2dayCountBound.store(10, R);
  dssFlag.store(0, R);
  shutterIndex.store(10, R);
}

void AEControl::set_ae_target(uint32_t t) {
  const uint32_t base = g_isp.aeLimits.targetBase;
  aeTarget.store(t, R);
  halfTarget.store(t / 2, R);
  for (auto& z : zone) z.store(17 * base / 128, R);
}

int AEControl::restore_iris_index() {
  irisIndex.store(static_cast<uint16_t>(irisTarget.load(R)), R);
  return 1;
}

// ---- shutter and gain ----------------------------------------------------------------------------

void AEControl::applyShutterIndex(int i) {
  sendShutter(shutterTime(i));
  shutterIndex.store(static_cast<uint16_t>(i), R);
}

uint32_t AEControl::get_shutter_index(uint32_t us) const {
  for (int i = 0; i <= 161; ++i) {
    const uint32_t hi = static_cast<uint32_t>(shutterTime(i)) >> 9;
    const uint32_t lo = static_cast<uint32_t>(shutterTime(i + 1)) >> 9;
    if (hi >= us && us > lo) return static_cast<uint32_t>(i);
  }
  if (us < static_cast<uint32_t>(shutterTime(161))) return 161;
  return ~0u;
}

int AEControl::set_shutter_high_speed_bound(int i) {
  const int allowed = slowestAllowed.load(R);
  if (i >= 5 && i <= 161 && i >= allowed) {
    withExposureHeld(this, [&] {
      fastestBound.store(static_cast<uint16_t>(i), R);
      debugPrintf(0, "shutter upper bound=%d\n", i);
    });
  } else {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "index=%d, ref=%d,%d,%d", i, 5, 161, allowed);
  }
  return 1;
}

int AEControl::set_shutter_low_speed_bound(int i) {
  const int fastest = fastestBound.load(R);
  if (i >= 5 && i <= 161 && i <= fastest) {
    withExposureHeld(this, [&] {
      slowestBound.store(static_cast<uint16_t>(i), R);
      debugPrintf(0, "shutter lower bound=%d\n", i);
    });
  } else {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[set_shutter_low_speed_bound]err_code:%d_%d.)\n", i, fastest);
  }
  return 1;
}

int AEControl::set_Agc_maxIdx_bound(int i) {
  const int minimum = agcMinBound.load(R);
  if (i >= 0 && i <= 198 && i >= minimum) {
    withExposureHeld(this, [&] {
      agcMaxBound.store(static_cast<uint16_t>(i), R);
      debugPrintf(0, "AGC upper bound=%d\n", i);
    });
  } else {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[set_Agc_maxIdx_bound]err_code:%d_%d.\n", i, minimum);
  }
  return 1;
}

void AEControl::checkShutterIndex() {
  const int allowed = slowestAllowed.load(R);
  if (shutterIndex.load(R) < allowed) {
    applyShutterIndex(allowed);
    debugPrintf(0, "checkShutterIndex and set it to %d \n", allowed);
  }
}

int AEControl::downShutterOneStop() {
  const uint16_t allowed = dssFlag.load(R) ? dssSlowest.load(R) : slowestBound.load(R);
  slowestAllowed.store(allowed, R);
  int i = shutterIndex.load(R);
  if (i > allowed) {
    --i;
    shutterIndex.store(static_cast<uint16_t>(i), R);
    if (applyShutterStep(i) == 0) sendShutter(shutterTime(i));
  }
  debugPrintf(0, "Y = %d / downShutterOneStop = %d (fastest_speed =%d, slowest_speed=%d)\n", luminance.load(R), i,
              fastestBound.load(R), allowed);
  return 0;
}

int AEControl::upShutterOneStop() {
  int i = shutterIndex.load(R);
  if (i < fastestBound.load(R)) {
    ++i;
    shutterIndex.store(static_cast<uint16_t>(i), R);
    if (applyShutterStep(i) == 0) sendShutter(shutterTime(i));
  }
  debugPrintf(0, "Y = %d / upShutterOneStop = %d (fastest_speed =%d, slowest_speed=%d)\n", luminance.load(R), i,
              fastestBound.load(R), slowestAllowed.load(R));
  return 0;
}

int AEControl::applyShutterStep(int i) {
  const AeStep step = i >= 0 && i < kShutterSteps ? shutterSteps[i] : AeStep{0, 0};
  if (step.offset == 0) {
    stepGainFlag.store(0, R);
    return 0;
  }
  sendShutter(shutterTime(i + step.offset));
  stepGainFlag.store(1, R);
  return 1;
}

void AEControl::applyStepGain(int i) {
  const AeStep step = i >= 0 && i < kShutterSteps ? shutterSteps[i] : AeStep{0, 0};
  if (step.offset == 0) {
    sendAgc(agcValue(0));
    stepGainFlag.store(0, R);
  } else if (stepGainFlag.load(R)) {
    sendAgc(agcValue(step.agc));
    stepGainFlag.store(0, R);
  }
}

int32_t AEControl::flickerTime(int step) const {
  if (flick60.load(R)) return kFlickerTime60[std::clamp(step, 0, kFlickerSteps60 - 1)];
  return kFlickerTime50[std::clamp(step, 0, kFlickerSteps50 - 1)];
}

int AEControl::downShutterOneStop_flick() {
  int i = shutterIndex.load(R);
  if (i > 9) {
    --i;
    shutterIndex.store(static_cast<uint16_t>(i), R);
    if (applyFlickerShutterStep(i) == 0) sendShutter(flickerTime(i));
  }
  debugPrintf(0, "downShutterOneStop_flick =%d, m_bFlick60Hz=%d\n", i, flick60.load(R));
  return 0;
}

int AEControl::upShutterOneStop_flick() {
  int i = shutterIndex.load(R);
  if (i < static_cast<int>(fastestFlickerStep.load(R))) {
    ++i;
    shutterIndex.store(static_cast<uint16_t>(i), R);
    if (applyFlickerShutterStep(i) == 0) sendShutter(flickerTime(i));
  }
  debugPrintf(0, "upShutterOneStop_flick =%d, m_bFlick60Hz=%d\n", i, flick60.load(R));
  return 0;
}

namespace {
AeStep flickerStepOf(const AEControl& ae, int i) {
  const bool f60 = ae.flick60.load(R);
  const int n = f60 ? kFlickerSteps60 : kFlickerSteps50;
  if (i < 0 || i >= n) return {0, 0};
  return f60 ? ae.flickerSteps60[i] : ae.flickerSteps50[i];
}
}  // namespace

int AEControl::applyFlickerShutterStep(int i) {
  const AeStep step = flickerStepOf(*this, i);
  if (step.offset == 0) {
    stepGainFlag.store(0, R);
    return 0;
  }
  sendShutter(flickerTime(i + step.offset));
  stepGainFlag.store(1, R);
  return 1;
}

void AEControl::applyFlickerStepGain(int i) {
  const AeStep step = flickerStepOf(*this, i);
  if (step.offset == 0) {
    sendAgc(agcValue(0));
    stepGainFlag.store(0, R);
  } else if (stepGainFlag.load(R)) {
    sendAgc(agcValue(step.agc));
    stepGainFlag.store(0, R);
  }
}

void AEControl::applyAgcIndex(int i) {
  agcIndex.store(static_cast<uint16_t>(i), R);
  sendAgc(agcValue(i));
}

void AEControl::upGain_ISO(int n) {
  const int bound = agcMaxBound.load(R);
  int i = agcIndex.load(R);
  if (i + n > bound) {
    if (i == bound) return;
    i = bound;
  } else {
    i += n;
  }
  applyAgcIndex(i);
  debugPrintf(0, "Y = %d / upGain_ISO = %d (min~max=%d~%d)\n", luminance.load(R), i, agcMinBound.load(R), bound);
}

void AEControl::downGain_ISO(int n) {
  const int bound = agcMinBound.load(R);
  const int i = std::max(agcIndex.load(R) - n, bound);
  applyAgcIndex(i);
  debugPrintf(0, "Y = %d / downGain_ISO = %d (min~max=%d~%d)\n", luminance.load(R), i, bound, agcMaxBound.load(R));
}

// ---- day/night -----------------------------------------------------------------------------------

void AEControl::init_icr_thresholds() {
  // {AGC to day, shutter to day, AGC to night} for sensitivity 0, 1, 2.
  static const uint16_t kModel1[3][3] = {{25, 30, 198}, {43, 30, 184}, {48, 30, 170}};
  static const uint16_t kModel05[3][3] = {{0, 14, 198}, {0, 11, 198}, {2, 11, 180}};
  static const uint16_t kModel234[3][3] = {{50, 30, 198}, {50, 30, 198}, {50, 30, 198}};
  const int m = model();
  const uint16_t(*t)[3] = m == HALDEN_IR ? kModel1 : (m == ALDER_IR || m == FINCH_IR) ? kModel05 : kModel234;
  std::copy(&t[0][0], &t[0][0] + 9, &icrThreshold[0][0]);
}

void AEControl::set_icr_sensitivity(int s) {
  debugPrintf(0, "set_icr_sensitivity=%d\n", s);
  icrSensitivity.store(static_cast<uint32_t>(s), R);
  const int m = model();
  auto light = [&](uint16_t night, uint16_t day) {
    lightToNight.store(night, R);
    lightToDay.store(day, R);
    debugPrintf(0, "set_icr2nightThd=%d\n", night);
    debugPrintf(0, "set_icr2dayThd=%d\n", day);
  };
  if (m == TORVEX_BRISK || m == TORVEX_TARROW) {
    if (s == 0) light(200, 900);
    else if (s == 1) light(300, 1000);
    else if (s == 2) light(400, 1000);
  } else if (m == FINCH_IR) {
    if (s == 0) light(19, 70);
    else if (s == 1) light(32, 70);
    else if (s == 2) light(44, 80);
  } else {
    const int k = s < 0 ? 0 : s > 1 ? 2 : s;
    agcToDay.store(icrThreshold[k][0], R);
    shutterToDay.store(icrThreshold[k][1], R);
    agcToNight.store(icrThreshold[k][2], R);
  }
}

void AEControl::set_ae_ir2day_cnt_bound(int n) {
  ir2dayCountBound.store(static_cast<uint16_t>(n), R);
  debugPrintf(0, "ae_ir2day_cnt_bound=%d\n", n);
}

void AEControl::reset_icr_state() {
  dnAuto.store(0, R);
  dayState.store(1, R);
}

void AEControl::set_icr_manual(int on) {
  dnAuto.store(static_cast<uint8_t>(on), R);
  if (on == 1) {
    dayState.store(1, R);
    aeOutside().setICR(0);
    aeOutside().set_yuv_BW(0);
    update_icr_state();
  }
}

void AEControl::update_icr_state() {
  if (g_isp.irLedAuto.load(R) != 1) return;
  AeOutside& out = aeOutside();
  const int m = model();
  const bool level = m == TORVEX_BRISK || m == TORVEX_TARROW;
  if (dayState.load(R)) {
    out.ipc_apply_ir_state(0);
    if (level) out.setIrLedLevel(0);
    else out.setIrLedon_xBrisk(0);
  } else {
    if (level) out.setIrLedLevel(static_cast<int>(g_isp.irLedDriveLevel.load(R)));
    else out.setIrLedon_xBrisk(1);
    out.ipc_apply_ir_state(1);
  }
}

void AEControl::update_IrLevel_byLightSensor(uint32_t v) {
  const uint32_t td = lightToDay.load(R), tn = lightToNight.load(R);
  if (td <= tn || v < tn || v >= td) return;
  const int level = std::max<int>(1, static_cast<int>(255 * (td - v) / (td - tn)));
  aeOutside().setIrLedLevel(level);
  debugPrintf(0, "[update_IrLevel_byLightSensor]%d\n", level);
}

double AEControl::exposureAt(int shutter, int agc) const {
  return double(shutterTime(shutter)) * std::pow(10.0, agcValue(agc) / double(IAV_AGC_DB_ONE) / 20.0);
}

double AEControl::exposureNow() const { return exposureAt(shutterIndex.load(R), agcIndex.load(R)); }

void AEControl::DN_status_update_byIndex() {
  const int agc = agcIndex.load(R), sht = shutterIndex.load(R);
  if (dayState.load(R) == 0) {
    // The IR LEDs light the night scene, and the exposure index reads their light as daylight. So a
    // "day" reading also needs light beyond the LEDs': the exposure the target needs (the one in
    // force times target / Y, the luminance being linear) at most 4/5 of the darkest night reading's
    // that was not too bright (the scene under the LEDs alone, at most), and the light left once the
    // LEDs' share is taken off must read as day by itself. Otherwise the LEDs switched off at day
    // bring the night straight back. A ratio alone cannot serve: LEDs close to an object can light
    // it more than daylight does.
    const int64_t y = luminance.load(R), t = aeTarget.load(R);
    const double need = y > 0 ? exposureNow() * double(t) / double(y) : 0;
    if (y > 0 && y <= t + int64_t{zone[0].load(R)}) nightDarkest = std::max(nightDarkest, need);
    const int toDay = agcToDay.load(R);
    const bool byIndex = toDay != 0 ? agc <= toDay : sht >= shutterToDay.load(R);
    // The exposure at the day threshold: the slowest shutter with the day gain, or the day shutter.
    const double dayLimit =
        toDay != 0 ? exposureAt(slowestBound.load(R), toDay) : exposureAt(shutterToDay.load(R), agcMinBound.load(R));
    const double dark = nightDarkest;
    // Alone, the light beyond the LEDs' needs need x dark / (dark - need).
    const bool ownLight = need > 0 && 5 * need <= 4 * dark && need * dark <= dayLimit * (dark - need);
    const bool day = byIndex && ownLight;
    if (!day) {
      dayCount.store(0, R);
      return;
    }
    const uint16_t n = static_cast<uint16_t>(dayCount.load(R) + 1);
    dayCount.store(n, R);
    debugPrintf(0, "ir_toInstall_CNT=%d agc_index=%d or sht_index=%d\n", n, agc, sht);
    if (n >= ir2dayCountBound.load(R)) {
      dayState.store(1, R);
      update_icr_state();
      dayCount.store(0, R);
    }
  } else {
    if (agc < agcToNight.load(R)) {
      nightCount.store(0, R);
      return;
    }
    const uint16_t n = static_cast<uint16_t>(nightCount.load(R) + 1);
    nightCount.store(n, R);
    debugPrintf(0, "ir_toRemove_CNT=%d.agc_index =%d\n", n, agc);
    if (n >= 2) {
      dayState.store(0, R);
      nightDarkest = 0;
      update_icr_state();
      nightCount.store(0, R);
    }
  }
}

void AEControl::DN_status_update_Brisk() {
  uint32_t light = 0;
  if (model() == FINCH_IR) {
    if (I2CDriver* i2c = i2cDriver()) i2c->getLightSensorValue(&light);
  } else if (aeOutside().inqLightSensor(&light) != 0) {
    // No reading is neither dark nor light: a failed inquiry must not count towards a switch.
    debugPrintf(0, "[DN_status_update_Brisk]light sensor inquiry failed\r\n");
    return;
  }
  debugPrintf(0, "[DN_status_update_Brisk]bLightSensor=%d\r\n", light);
  if (dnAuto.load(R) != 1) return;
  AeOutside& out = aeOutside();
  auto switchTo = [&](uint8_t day) {
    dayState.store(day, R);
    out.setICR(day ? 0 : 1);
    out.triggerRefocus();
    g_isp.lensLink.flags.G_ZoomTrigArmed.store(1);
    update_icr_state();
  };
  if (dayState.load(R) == 0) {
    if (light != 0 && light < lightToDay.load(R)) {
      dayCount.store(0, R);
      return;
    }
    const uint16_t n = static_cast<uint16_t>(dayCount.load(R) + 1);
    dayCount.store(n, R);
    debugPrintf(0, "ir_toInstall_CNT=%d.ae_ir2cut_light_sensor=%d\n", n, light);
    if (n >= ir2dayCountBound.load(R)) {
      switchTo(1);
      dayCount.store(0, R);
    }
  } else {
    if (light == 0 || light > lightToNight.load(R)) {
      nightCount.store(0, R);
      return;
    }
    const uint16_t n = static_cast<uint16_t>(nightCount.load(R) + 1);
    nightCount.store(n, R);
    debugPrintf(0, "ir_toRemove_CNT=%d.ae_ir2in_light_sensor=%d\n", n, light);
    if (n >= 2) {
      switchTo(0);
      nightCount.store(0, R);
    }
  }
}

int set_shutter_index(CIsp* isp, uint32_t index) {
  if (isp == nullptr || index >= static_cast<uint32_t>(kShutterEntries)) return -1;
  if (AEControl* ae = aeControl()) ae->shutterIndex.store(static_cast<uint16_t>(index), R);
  return iavDriver()->set_eshutter_time(isp->shutterTable.get(static_cast<int>(index)));
}

int ae_control_init(CIsp* isp) {
  AEControl* ae = aeControl();
  if (ae == nullptr) return 0;
  ae->previousMode.store(10, R);
  ae->set_ae_enable(isp, 1);
  ae->reset_ae_params();
  ae->init_icr_thresholds();
  ae->set_icr_sensitivity(1);
  ae->reset_icr_state();
  return 0;
}

}  // namespace isp
}  // namespace kavo
