// The settings operations (see CIsp_IPC.h).
#include "thread_proc/CIsp_IPC.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_awb/AWBControl.h"
#include "be_iav/iav_driver.h"
#include "fe_subcpu/subcpu.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/CIsp_Motor.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "CIsp_IPC";
constexpr uint32_t kAgcTop = 198;
constexpr uint32_t kNoIndex = ~0u;
// Shutter indexes of the VISCA shutter positions 0..24.
const uint32_t kShutterPositions[25] = {0,  1,  2,  3,   4,   5,   27,  39,  42,  47,  59,  69, 78,
                                        92, 99, 109, 120, 129, 135, 139, 145, 153, 155, 157, 158};

bool same(const char* a, const char* b) { return a != nullptr && std::strcmp(a, b) == 0; }
bool torvexMcu(const CIsp* isp) {
  const int32_t m = isp->system().model;
  return m == TORVEX_BRISK || m == TORVEX_TARROW;
}

int applyMirror(CIsp* isp) {
  uint32_t mode = 0, bayer = 0;
  mirrorModeOf(isp, isp->mirrorFlip.load(std::memory_order_relaxed), &mode, &bayer);
  IAVDriver* d = iavDriver();
  return d != nullptr ? d->set_mirror_mode(mode, bayer) : -1;
}

void setPatternBit(CIsp* isp, uint32_t bit, uint32_t on) {
  uint32_t p = isp->mirrorFlip.load(std::memory_order_relaxed);
  p = on ? (p | bit) : (p & ~bit);
  isp->mirrorFlip.store(p, std::memory_order_relaxed);
}

// IR LED auto flag, and the manual level to the lens MCU while the flag is off.
void setIrLedAuto(uint32_t on) { g_isp.irLedAuto.store(on != 0 ? 1 : 0, std::memory_order_relaxed); }
void setIrLedLevel(uint32_t level) {
  if (g_isp.irLedAuto.load(std::memory_order_relaxed) != 0) return;
  if (SubCPU* s = subCpu()) s->setIrLedLevel(level);
}
void irLedOn(uint32_t on) {
  if (SubCPU* s = subCpu()) s->setIrLedon_xBrisk(on);
}
// The IR-cut filter and the LEDs change what the lens sees on the models whose lens MCU switches
// them: the focus is searched again.
void refocusAfterIrChange(const CIsp* isp) {
  if (!torvexMcu(isp)) return;
  if (CAFControl* af = afControl()) triggerRefocus(af);
}
bool zoomLens(const CIsp* isp) { return isp->system().systemType == ZOOMLENS; }
int percentOf(uint32_t position) { return static_cast<int>(std::min(position, 100u)); }

// One picture attribute (brightness, contrast, saturation, hue, sharpness) put in force.
void applyPicture(CIsp* isp, int attribute, uint32_t v) {
  switch (attribute) {
    case 0: ipc_set_brightness(isp, v); break;
    case 1: ipc_set_contrast(isp, v); break;
    case 2: ipc_set_saturation(isp, v); break;
    case 3: ipc_set_hue(isp, v); break;
    case 4: ipc_set_sharpness(isp, v); break;
    default: break;
  }
}

}  // namespace

// ---- picture ------------------------------------------------------------------------------------

int ipc_set_brightness(CIsp* isp, uint32_t v) { return setBrightness(isp, static_cast<int>(v * 128 / 100) - 64); }
int ipc_set_contrast(CIsp* isp, uint32_t v) { return setContrast(isp, static_cast<int>(v * 128 / 100)); }
int ipc_set_saturation(CIsp* isp, uint32_t v) { return setSaturation(isp, static_cast<int>(v * 128 / 100)); }
int ipc_set_hue(CIsp* isp, uint32_t v) { return setHue(isp, static_cast<int>(30 * v / 100) - 15); }
int ipc_set_sharpness(CIsp* isp, uint32_t v) { return setSharpness(isp, static_cast<int>(v)); }

int ipc_set_wdr(CIsp* isp, uint32_t level) {
  if (level <= 3) setWDR(isp, static_cast<int>(level));
  return 0;
}

int ipc_set_dzoom(CIsp* isp, uint32_t factor) {
  if (factor < 2 || factor > 8) factor = 1;
  // The statistics are scaled by this factor; without it a re-initialisation after a zoom kept the
  // old one.
  g_isp.dptzZoom.store(factor, std::memory_order_relaxed);
  setDZoom(isp, static_cast<int>(factor));
  return 0;
}

void mirrorModeOf(const CIsp* isp, uint32_t pattern, uint32_t* mode, uint32_t* bayer) {
  pattern &= 3u;
  const SystemParameters& sys = isp->system();
  if (sys.sensor == SENSOR_AR0331) {
    *mode = pattern;
    *bayer = 1;
  } else if (sys.sensor == SENSOR_OV9715) {
    *mode = sys.model == FINCH_IR ? pattern : 3u - pattern;
    *bayer = 2;
  } else {
    *mode = *bayer = 0;
  }
}

int ipc_set_flip(CIsp* isp, uint32_t on) {
  setPatternBit(isp, 1u, on);
  applyMirror(isp);
  return 0;
}

int ipc_set_mirror(CIsp* isp, uint32_t on) {
  setPatternBit(isp, 2u, on);
  applyMirror(isp);
  return 0;
}

// ---- IR picture set -----------------------------------------------------------------------------

int ipc_apply_ir_state(CIsp* isp, uint32_t on) {
  ImageParameters& p = g_isp.image;
  g_isp.irOn.store(on, std::memory_order_relaxed);
  if (on == 0) {
    // The day saturation, not the one in force: under the night set that is the night value.
    p.saturation.store(p.daySaturation.load());
    const uint32_t day[5] = {p.brightness.load(), p.contrast.load(), p.saturation.load(), p.hue.load(),
                             p.sharpness.load()};
    for (int a = 0; a < 5; ++a) applyPicture(isp, a, day[a]);
    p.nrLevel.store(p.dayNrLevel.load());
    return 0;
  }
  if (on != 1) return 0;
  for (int a = 0; a < 5; ++a) {
    if (p.irOnSts[a].load() == 0) continue;
    const uint32_t v = p.irOnVal[a].load();
    applyPicture(isp, a, v);
    if (a == 2) p.saturation.store(v);
  }
  if (p.irOnSts[5].load() != 0) p.nrLevel.store(p.irOnVal[5].load());
  return 0;
}

uint32_t ipc_is_ir_on(CIsp*) { return g_isp.irOn.load(std::memory_order_relaxed); }

int ipc_set_ir_on(CIsp*, uint32_t on) {
  g_isp.irOn.store(on, std::memory_order_relaxed);
  return 0;
}

// ---- exposure -----------------------------------------------------------------------------------

int ipc_set_ae_target(CIsp*, uint32_t v) {
  const uint32_t target = g_isp.aeLimits.targetBase - 3750 + 75 * std::min(v, 100u);
  g_isp.aeTarget.store(target, std::memory_order_relaxed);
  if (AEControl* ae = aeControl()) ae->set_ae_target(target);
  return 0;
}

int ipc_set_shutter_limits(CIsp*, uint32_t longestUs, uint32_t shortestUs) {
  AEControl* ae = aeControl();
  if (ae == nullptr) return 0;
  const uint32_t fastest = ae->get_shutter_index(shortestUs);
  g_isp.shutterFastestBound.store(fastest, std::memory_order_relaxed);
  if (fastest != kNoIndex && fastest > g_isp.shutterSlowestBound.load()) ae->set_shutter_high_speed_bound(fastest);
  const uint32_t slowest = ae->get_shutter_index(longestUs);
  g_isp.shutterSlowestBound.store(slowest, std::memory_order_relaxed);
  if (slowest < g_isp.shutterFastestBound.load()) ae->set_shutter_low_speed_bound(slowest);
  return 0;
}

int ipc_set_gain_limit(CIsp*, uint32_t v) {
  const uint32_t m = std::min(kAgcTop * std::min(v, 100u) / 100, kAgcTop);
  const uint32_t minimum = g_isp.agcMinimumBound.load(std::memory_order_relaxed);
  const uint32_t bound = m > minimum ? m : minimum + 1;
  g_isp.agcMaximumBound.store(bound, std::memory_order_relaxed);
  if (AEControl* ae = aeControl()) ae->set_Agc_maxIdx_bound(bound);
  return 0;
}

int ipc_set_manual_shutter(CIsp* isp, uint32_t us) {
  const AEControl* ae = aeControl();
  uint32_t index = ae != nullptr ? ae->get_shutter_index(us) : kNoIndex;
  if (index == kNoIndex) index = 5;
  g_isp.manualShutterIndex.store(index, std::memory_order_relaxed);
  set_shutter_index(isp, index);
  return 0;
}

int ipc_set_manual_gain(CIsp* isp, uint32_t v) {
  const uint32_t scaled = std::min(kAgcTop * std::min(v, 100u) / 100, kAgcTop);
  const uint32_t index = kAgcTop - std::max(scaled, g_isp.aeLimits.agcMinIndex);
  g_isp.manualAgcIndex.store(index, std::memory_order_relaxed);
  iavDriver()->set_agc_index(isp->agcTable.get(static_cast<int>(index)));
  return 0;
}

int ipc_set_dss(CIsp*, uint32_t on, uint32_t slowestIndex) {
  AEControl* ae = aeControl();
  if (ae == nullptr) return 0;
  ae->dssFlag.store(static_cast<uint16_t>(on));
  ae->dssSlowest.store(static_cast<uint16_t>(slowestIndex));
  ae->slowestAllowed.store(static_cast<uint16_t>(on ? slowestIndex : 5));
  return 0;
}

uint32_t dssIndexOfFrameRate(uint32_t fps) {
  fps = std::clamp(fps, 1u, 30u);
  const AEControl* ae = aeControl();
  const uint32_t index = ae != nullptr ? ae->get_shutter_index(1000000 / fps) : kNoIndex;
  return index == kNoIndex ? 5 : index;
}

int ipc_set_ae_mode(CIsp* isp, const char* mode) {
  isp->aeEnable.store(1, std::memory_order_relaxed);
  AEControl* ae = aeControl();
  auto set = [&](uint32_t visca, uint32_t settings, int aeMode) {
    g_isp.viscaAeMode.store(visca, std::memory_order_relaxed);
    g_isp.settingsAeMode.store(settings, std::memory_order_relaxed);
    if (ae != nullptr) ae->set_ae_mode(aeMode);
  };
  if (same(mode, "manual")) {
    set(3, 0, 6);
    kavo::utils::sleepMs(200);
  } else if (same(mode, "shutter")) {
    set(10, 2, 3);
    kavo::utils::sleepMs(200);
    // The word may hold a shutter-table index from the manual shutter; beyond the map it counts as
    // the last position.
    const uint32_t word = g_isp.manualShutterIndex.load(std::memory_order_relaxed);
    set_shutter_index(isp, kShutterPositions[std::min(word, 24u)]);
  } else if (same(mode, "flick60")) {
    if (ae != nullptr) ae->fastestFlickerStep.store(118);
    set(6, 4, 1);
  } else if (same(mode, "flick50")) {
    if (ae != nullptr) ae->fastestFlickerStep.store(123);
    set(7, 5, 2);
  } else {
    set(0, 1, 0);
  }
  return 0;
}

// ---- white balance ------------------------------------------------------------------------------

uint32_t manualWbGainOf(uint32_t v) {
  const double x = static_cast<double>(std::min(v, 100u));
  return static_cast<uint32_t>(std::lround(1024.0 * std::exp2((x - 50.0) / 25.0)));
}

// The settings give 0..100; used as gains unmapped every value fell to the 256 floor.
int ipc_set_awb_rgain(CIsp* isp, uint32_t v) {
  isp->manualWbGain[0].store(manualWbGainOf(v), std::memory_order_relaxed);
  return 0;
}

int ipc_set_awb_bgain(CIsp* isp, uint32_t v) {
  isp->manualWbGain[2].store(manualWbGainOf(v), std::memory_order_relaxed);
  return 0;
}

int ipc_set_color_temp(CIsp*, uint32_t kelvin) {
  g_isp.colourTemperature.store(kelvin, std::memory_order_relaxed);
  return 0;
}

int ipc_set_awb_mode(CIsp* isp, const char* mode) {
  AWBControl* awb = awbControl();
  if (same(mode, "manual")) {
    g_isp.awbMode.store(0, std::memory_order_relaxed);
    if (awb != nullptr) awb->setAWBMode(2);
    enable_awb(isp, 0);
    isp->manualWbGain[1].store(1024, std::memory_order_relaxed);
    set_rgb_gain(isp, isp->manualWbGain[0].load(), 1024, isp->manualWbGain[2].load());
  } else if (same(mode, "colortemp")) {
    if (awb != nullptr) awb->setAWBMode(2);
    enable_awb(isp, 0);
    g_isp.awbMode.store(5, std::memory_order_relaxed);
    if (awb != nullptr) awb->SetColorTmpByUser(g_isp.colourTemperature.load());
  } else {
    g_isp.awbMode.store(1, std::memory_order_relaxed);
    enable_awb(isp, 1);
    if (awb != nullptr) awb->setAWBMode(0);
  }
  return 0;
}

// ---- IR filter and LED --------------------------------------------------------------------------

int ipc_set_ir_filter_thresholds(CIsp*, uint32_t thd2day, uint32_t thd2night, uint32_t cnt2day) {
  g_isp.irFilterThreshold[0].store(cnt2day);
  g_isp.irFilterThreshold[1].store(thd2day);
  g_isp.irFilterThreshold[2].store(thd2night);
  if (AEControl* ae = aeControl()) {
    ae->set_icr_sensitivity(thd2night < 300 ? 0 : thd2night == 300 ? 1 : 2);
    ae->set_ae_ir2day_cnt_bound(cnt2day);
  }
  return 0;
}

int ipc_set_ir_filter_mode(CIsp*, const char*) { return 0; }

int ipc_set_ir_led_level(CIsp* isp, uint32_t level) {
  if (g_isp.irLedAuto.load(std::memory_order_relaxed) != 0) {
    g_isp.irLedDriveLevel.store(215, std::memory_order_relaxed);
    return 0;
  }
  g_isp.irLedManualLevel.store(level, std::memory_order_relaxed);
  if (torvexMcu(isp)) {
    setIrLedLevel(level);
    if (SubCPU* s = subCpu()) s->setICR(level != 0 ? 1 : 0);
  } else {
    irLedOn(level != 0 ? 1 : 0);
  }
  return 0;
}

int ipc_set_ir_led_mode(CIsp* isp, const char* mode) {
  if (same(mode, "auto")) {
    setIrLedAuto(1);
    // The automatic IR-cut: without it the day/night decision never runs.
    set_icr_mode(isp, 0);
    refocusAfterIrChange(isp);
  } else if (same(mode, "manual")) {
    setIrLedAuto(0);
    const uint32_t level = g_isp.irLedManualLevel.load(std::memory_order_relaxed);
    set_icr_mode(isp, level != 0 ? 2 : 1);
    if (torvexMcu(isp)) {
      setIrLedLevel(level);
    } else {
      irLedOn(level != 0 ? 1 : 0);
      ipc_set_ir_on(isp, level != 0 ? 1 : 0);
    }
    refocusAfterIrChange(isp);
  } else {
    ISP_LOG_AS(kSource, "ipc_set_ir_led_mode", LOG_LEVEL_WARNING, 0, "not support");
    refocusAfterIrChange(isp);
  }
  return 0;
}

// ---- lens and device ----------------------------------------------------------------------------

int ipc_set_zoom_position(CIsp* isp, uint32_t, uint32_t position) {
  if (zoomLens(isp)) set_zoom_abs_normalize(isp, percentOf(position));
  return 0;
}

int ipc_set_focus_position(CIsp* isp, uint32_t, uint32_t position) {
  if (zoomLens(isp)) set_focus_abs_normalize(isp, percentOf(position));
  return 0;
}

int32_t focusModeCodeOf(const char* mode) {
  return same(mode, "manual") ? MANUAL_MODE : same(mode, "ztrig") ? ZOOM_TRIG_MODE : AUTO_FOCUS_MODE;
}

const char* focusModeNameOf(int32_t code) {
  switch (code) {
    case AUTO_FOCUS_MODE: return "auto";
    case MANUAL_MODE: return "manual";
    case ZOOM_TRIG_MODE: return "ztrig";
    default: return nullptr;
  }
}

int ipc_set_focus_mode(CIsp* isp, const char* mode) {
  if (!zoomLens(isp)) return 0;
  const int32_t code = focusModeCodeOf(mode);
  // The switch hands the search over to the AF step's own thread (as from VISCA); the code is the
  // one word the VISCA AF mode inquiry answers too.
  if (CAFControl* af = afControl()) processAFModeSwitching(af, code);
  g_isp.focusMode.store(code, std::memory_order_relaxed);
  return 0;
}

int ipc_set_pan_position(CIsp*, uint32_t speed, uint32_t position) {
  if (SubCPU* s = subCpu()) s->ptAbsolute(static_cast<uint8_t>(speed & 255), 0, static_cast<int32_t>(position), 0);
  return 0;
}

int ipc_set_tilt_position(CIsp*, uint32_t speed, uint32_t position) {
  if (SubCPU* s = subCpu()) s->ptAbsolute(0, static_cast<uint8_t>(speed & 255), 0, static_cast<int32_t>(position));
  return 0;
}

int ipc_set_vport0_output(CIsp*, uint32_t on) {
  if (SubCPU* s = subCpu()) s->setVportOutput(0, on != 0 ? 1 : 0);
  return 0;
}

int ipc_set_vport1_output(CIsp*, uint32_t on) {
  if (SubCPU* s = subCpu()) s->setVportOutput(1, on != 0 ? 1 : 0);
  return 0;
}

int ipc_set_powerled_interval(CIsp*, uint32_t ms) {
  if (SubCPU* s = subCpu()) s->setPowerLedTime(ms & 0xffffu);
  return 0;
}

int ipc_get_iav_state(CIsp*) {
  const int state = iavDriver()->get_iav_state();
  if (state == 1 || state == 2 || state == 7 || state == 8) return 0;
  ISP_LOG_AS(kSource, __func__, LOG_LEVEL_WARNING, 0, "IAV is not at encoding state, check kavo_streamer");
  return -1;
}

}  // namespace isp
}  // namespace kavo
