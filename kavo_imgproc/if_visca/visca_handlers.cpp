// The handlers the VISCA dispatcher reaches (see visca_handlers.h): zoom dispatch, white balance,
// picture, devices and pan/tilt here; the lens moves and calibration in visca_lens_cmds.cpp, the
// exposure handlers in visca_exposure.cpp.
#include "if_visca/visca_handlers.h"

#include <algorithm>
#include <cstdio>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_awb/AWBControl.h"
#include "algo_mask/MaskControl.h"
#include "fe_subcpu/subcpu.h"
#include "if_visca/visca_channel.h"
#include "if_visca/visca_zoom_drive.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {
constexpr const char* kSource = "DVisca";
constexpr auto kRelaxed = std::memory_order_relaxed;

// A 0..100 picture value stepped by byte 4 (0 reset to `reset`, 2 up, 3 down) or set directly.
void stepPercent(std::atomic<uint32_t>& field, uint8_t op, uint32_t reset) {
  const uint32_t v = field.load(kRelaxed);
  if (op == 0) field.store(reset, kRelaxed);
  if (op == 2 && v < 100) field.store(v + 1, kRelaxed);
  if (op == 3 && v > 0) field.store(v - 1, kRelaxed);
}

bool ledLevelModel() {
  const int32_t model = g_isp.sys.model;
  return model == TORVEX_BRISK || model == TORVEX_TARROW;
}

// The IR LEDs to `level` (models 2 and 3) or on/off by GPIO (the others; non-zero is on).
void driveIrLeds(SubCPU* s, uint32_t level) {
  if (s == nullptr) return;
  if (ledLevelModel())
    s->setIrLedLevel(level);
  else
    s->setIrLedon_xBrisk(level);
}
}  // namespace

// ---- lens ----------------------------------------------------------------------------------------

int GeneralZoom(DVisca* visca, uint8_t* p) {
  if (p[3] == 0x45) return zoomREL(visca, p);
  if (p[3] == 0x47) return p[8] == 0xFF ? zoomABS(visca, p) : ZoomFocusABS(visca, p);
  if (p[3] == 0x07 && (p[4] == 0x00 || p[4] == 0x0A)) return zoomStopOrHome(visca, p[4]);
  if (p[3] == 0x07 && (p[4] == 0x02 || p[4] == 0x03)) continuousZoom(visca, p[4] == 0x02);
  return 0;
}


// ---- white balance and picture ---------------------------------------------------------------------

int enable_ae(CIsp* isp, int on) {
  if (isp != nullptr) isp->aeEnable.store(static_cast<uint8_t>(on), kRelaxed);
  return 0;
}

int enable_af(CIsp* isp, int on) {
  debugPrintf(0, "[enable_af]af_op_flag=%d\n", on);
  if (isp != nullptr) isp->afEnable.store(static_cast<uint8_t>(on), kRelaxed);
  return 0;
}

// AWB to the fixed gains of the camera's own white balance (mode 2 of the controller, 3A step off).
void holdWhiteBalance(CIsp* isp) {
  if (AWBControl* awb = awbControl()) awb->setAWBMode(AWB_HOLD);
  enable_awb(isp, 0);
}

void autoWhiteBalance(CIsp* isp, int controllerMode) {
  enable_awb(isp, 1);
  if (AWBControl* awb = awbControl()) awb->setAWBMode(controllerMode);
}

int GeneralAperture(DVisca*, uint8_t* p) {
  if (p[3] == 0x02 && p[4] != 0 && p[4] != 2 && p[4] != 3) return 0;
  if (p[3] == 0x02) stepPercent(g_isp.image.sharpness, p[4], 0);
  if (p[3] == 0x42) g_isp.image.sharpness.store(std::min<uint32_t>(viscaNibbles(p, 4, 4), 100), kRelaxed);
  if (CIsp* isp = controller()) setSharpness(isp, static_cast<int>(g_isp.image.sharpness.load(kRelaxed)));
  return 0;
}

namespace {
// 03/04 step or 43/44 set one of the gains in use (0 red, 2 blue).
void changeGain(uint8_t* p, int colour) {
  CIsp* isp = controller();
  if (isp == nullptr) return;
  uint32_t gains[3] = {};
  get_rgb_gain(isp, gains);
  uint32_t& g = gains[colour];
  if (p[3] == 0x03 || p[3] == 0x04) {
    if (p[4] == 0) g = 1024;
    else if (p[4] == 2 && g + 32 < 4096) g += 32;
    else if (p[4] == 3 && g > 64) g -= 32;
    else return;
  } else {
    const uint32_t v = std::clamp(viscaNibbles(p, 6, 2), 1u, 127u);
    g = v * 32 + 1;
  }
  set_rgb_gain(isp, gains[0], gains[1], gains[2]);
}
}  // namespace

int GeneralRGain(DVisca*, uint8_t* p) {
  changeGain(p, 0);
  return 0;
}

int GeneralBGain(DVisca*, uint8_t* p) {
  changeGain(p, 2);
  return 0;
}

int GeneralUserColorTemp(DVisca*, uint8_t* p) {
  CIsp* isp = controller();
  holdWhiteBalance(isp);
  g_isp.awbMode.store(5, kRelaxed);
  const uint32_t k = std::clamp<uint32_t>(viscaNibbles(p, 4, 4), 2300, 8000);
  g_isp.colourTemperature.store(k, kRelaxed);
  if (AWBControl* awb = awbControl()) awb->SetColorTmpByUser(k);
  return 0;
}

int GeneralWhiteBalance(DVisca*, uint8_t* p) {
  CIsp* isp = controller();
  AWBControl* awb = awbControl();
  switch (p[4]) {
    case 0:
      autoWhiteBalance(isp, AWB_AUTO);
      g_isp.awbMode.store(1, kRelaxed);
      break;
    case 1:
    case 2:
      holdWhiteBalance(isp);
      if (awb != nullptr) awb->SetColorTmpByUser(p[4] == 1 ? 3300 : 6800);
      g_isp.awbMode.store(p[4] == 1 ? 3 : 4, kRelaxed);
      break;
    case 4:
      autoWhiteBalance(isp, AWB_ATW);
      g_isp.awbMode.store(2, kRelaxed);
      break;
    case 5:
      holdWhiteBalance(isp);
      if (isp != nullptr) {
        uint32_t gains[3] = {};
        get_rgb_gain(isp, gains);
        set_rgb_gain(isp, gains[0], gains[1], gains[2]);
      }
      g_isp.awbMode.store(0, kRelaxed);
      break;
    case 6:
      enable_awb(isp, 1);
      g_isp.awbMode.store(1, kRelaxed);
      break;
    default:
      break;
  }
  return 0;
}

int GeneralWDR(DVisca*, uint8_t* p) {
  static constexpr int kLevels[7] = {-1, -1, 1, 0, 3, 2, 1};
  if (p[4] >= 7 || kLevels[p[4]] < 0) return 0;
  g_isp.image.wdrLevel.store(static_cast<uint32_t>(kLevels[p[4]]), kRelaxed);
  if (CIsp* isp = controller()) setWDR(isp, kLevels[p[4]]);
  return 0;
}

namespace {
bool sameDptz(uint32_t pan, uint32_t tilt, uint32_t zoom) {
  return pan == g_isp.dptzPan.load(kRelaxed) && tilt == g_isp.dptzTilt.load(kRelaxed) &&
         zoom == g_isp.dptzZoom.load(kRelaxed);
}

void applyDptz(uint32_t pan, uint32_t tilt, uint32_t zoom) {
  if (CIsp* isp = controller())
    setDPTZ(isp, static_cast<int>(pan & 0xFF), static_cast<int>(tilt & 0xFF), static_cast<int>(zoom));
  g_isp.dptzPan.store(pan, kRelaxed);
  g_isp.dptzTilt.store(tilt, kRelaxed);
  g_isp.dptzZoom.store(zoom, kRelaxed);
}
}  // namespace

int GeneralDZoom(DVisca*, uint8_t* p) {
  const uint32_t factor = viscaNibbles(p, 6, 2);
  if (factor < 1 || factor > 8) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralDZoom]err_code=%d.\n", int(factor));
    return 0;
  }
  const uint32_t pan = g_isp.dptzPan.load(kRelaxed), tilt = g_isp.dptzTilt.load(kRelaxed);
  if (!sameDptz(pan, tilt, factor)) applyDptz(pan, tilt, factor);
  return 0;
}

int GeneralDPTZ(DVisca*, uint8_t* p) {
  const uint32_t pan = viscaNibbles(p, 4, 2), tilt = viscaNibbles(p, 6, 2), zoom = p[8];
  if (pan > 100) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralDPTZ]err_code(p)=%d.\n", int(pan));
  } else if (tilt > 100) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralDPTZ]err_code(t)=%d.\n", int(tilt));
  } else if (zoom < 1 || zoom > 8) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralDPTZ]err_code(z)=%d.\n", int(zoom));
  } else if (!sameDptz(pan, tilt, zoom)) {
    applyDptz(pan, tilt, zoom);
  }
  return 0;
}

int GeneralGmUserIAV(DVisca*, uint8_t* p) {
  if (p[3] < 0xC0 || p[3] > 0xC3) return 0;
  std::atomic<uint32_t>* fields[4] = {&g_isp.image.brightness, &g_isp.image.contrast, &g_isp.image.saturation,
                                      &g_isp.image.hue};
  int (*const apply[4])(CIsp*, uint32_t) = {ipc_set_brightness, ipc_set_contrast, ipc_set_saturation, ipc_set_hue};
  const uint32_t v = std::min<uint32_t>(viscaNibbles(p, 6, 2), 100);
  fields[p[3] - 0xC0]->store(v, kRelaxed);
  if (CIsp* isp = controller()) apply[p[3] - 0xC0](isp, v);
  return 0;
}

int GeneralLensShade(DVisca*, uint8_t* p) {
  static constexpr int kLevels[8] = {0, 0, 1, 0, 4, 3, 2, 1};
  if (CIsp* isp = controller()) setLensShadeCorrect(isp, p[4] < 8 ? kLevels[p[4]] : 0);
  return 0;
}

// ---- devices ---------------------------------------------------------------------------------------

namespace {
// The filter in (day) or out (night) and, while the LEDs are automatic, the LEDs to match; the
// models with an LED level refocus when `refocus`, as the filter moves the focus.
void switchIrCut(bool install, bool refocus) {
  SubCPU* s = subCpu();
  if (s != nullptr) s->setICR(install ? 0 : 1);
  g_isp.viscaCamera.irCutInstalled.store(install ? 1 : 0, kRelaxed);
  if (g_isp.irLedAuto.load(kRelaxed) != 1) return;
  if (ledLevelModel()) {
    if (s != nullptr) s->setIrLedLevel(install ? 0 : g_isp.irLedDriveLevel.load(kRelaxed));
    if (!refocus) return;
    if (CAFControl* af = afControl()) triggerRefocus(af);
  } else if (s != nullptr) {
    s->setIrLedon_xBrisk(install ? 0 : 1);
  }
}
}  // namespace

int GeneralICR(DVisca*, uint8_t* p) {
  if (p[4] != 2 && p[4] != 3) return 0;
  const bool install = p[4] == 2;
  if (CIsp* isp = controller()) set_yuv_BW(isp, install ? 0 : 1);
  switchIrCut(install, true);
  return 0;
}

void GeneralICRByFlag(DVisca*, int install) { switchIrCut(install != 0, false); }

int GeneralIrLedMode(DVisca*, uint8_t* p) {
  SubCPU* s = subCpu();
  switch (p[4]) {
    case 4:
      g_isp.irLedAuto.store(1, kRelaxed);
      if (g_isp.viscaCamera.dayNightAuto.load(kRelaxed) != 0) {
        if (AEControl* ae = aeControl()) ae->update_icr_state();
      } else if (ledLevelModel() && s != nullptr) {
        s->setIrLedLevel(g_isp.viscaCamera.irCutInstalled.load(kRelaxed) ? 0 : g_isp.irLedDriveLevel.load(kRelaxed));
      }
      break;
    case 5:
      g_isp.irLedAuto.store(0, kRelaxed);
      break;
    case 6:
    case 7:
      if (g_isp.irLedAuto.load(kRelaxed) == 1) {
        debugPrintf(0, "reject by g_ir_led_auto =1\n");
      } else if (ledLevelModel()) {
        if (s != nullptr) s->setIrLedLevel(p[4] == 6 ? g_isp.irLedManualLevel.load(kRelaxed) : 0);
      } else if (s != nullptr) {
        s->setIrLedon_xBrisk(p[4] == 6 ? 1 : 0);
      }
      break;
    default:
      break;
  }
  return 0;
}

int GeneralIrLedLvl(DVisca*, uint8_t* p) {
  const uint32_t level = std::min<uint32_t>(viscaNibbles(p, 6, 2), 255);
  g_isp.irLedManualLevel.store(level, kRelaxed);
  driveIrLeds(subCpu(), level);
  return 0;
}

void GeneralIrLedDriveLevel(DVisca*, uint32_t level) {
  // Model 2's LEDs are driven to 245 at most; no LED level goes past 255.
  level = std::min<uint32_t>(level, g_isp.sys.model == TORVEX_BRISK ? 245 : 255);
  g_isp.irLedDriveLevel.store(level, kRelaxed);
  if (g_isp.irLedAuto.load(kRelaxed) != 1 || g_isp.viscaCamera.dayNightAuto.load(kRelaxed) == 0) return;
  if (AEControl* ae = aeControl()) ae->update_icr_state();
}

void GeneralPowerLedInterval(DVisca*, uint32_t interval) {
  const uint16_t ms = static_cast<uint16_t>(std::min<uint32_t>(interval, 0xFFFF));
  g_isp.image.powerLedInterval.store(ms, kRelaxed);
  debugPrintf(0, "[Visca]Power LED interval=%d.\n", ms);
  if (SubCPU* s = subCpu()) s->setPowerLedTime(ms);
}

int GeneralPowerLedTime(DVisca* visca, uint8_t* p) {
  GeneralPowerLedInterval(visca, viscaNibbles(p, 4, 4));
  return 0;
}

int GeneralRemoteUpgrade(DVisca*, uint8_t* p) {
  std::atomic<uint32_t>& flag = g_isp.lensLink.remoteUpgrade;
  SubCPU* s = subCpu();
  if (p[4] == 1 && flag.load() == 0) {
    debugPrintf(0, "%s: Start.\n", "GeneralRemoteUpgrade");
    flag.store(1);
    viscaWaitMs(200);
    if (s != nullptr) s->closeSubCPU();
  } else if (p[4] == 0 && flag.load() == 1) {
    debugPrintf(0, "%s: Stop.\n", "GeneralRemoteUpgrade");
    if (s != nullptr) s->openSubCPU();
    viscaWaitMs(200);
    flag.store(0);
  }
  return 0;
}

int VportOut(DVisca*, uint8_t* p) {
  const int channel = p[6] != 0 ? 1 : 0;
  const uint32_t value = p[7] != 0 ? 1 : 0;
  g_isp.image.vportOutput[channel].store(value, kRelaxed);
  if (SubCPU* s = subCpu()) s->setVportOutput(channel, value);
  return 0;
}

int GeneralHeater(DVisca*, uint8_t* p) {
  const uint8_t channel = p[6] != 0 ? 1 : 0, on = p[7] != 0 ? 1 : 0;
  g_isp.viscaCamera.heaterChannel.store(channel, kRelaxed);
  g_isp.viscaCamera.heaterOn.store(on, kRelaxed);
  if (SubCPU* s = subCpu()) s->setHeater(channel, on);
  return 0;
}

int GeneralMask(DVisca*, uint8_t* p) {
  auto value = [p](int at) { return (p[at] << 8) | (p[at + 1] << 4) | p[at + 2]; };
  const int hs = value(5), vs = value(8), w = value(11), h = value(14);
  debugPrintf(0, "[GeneralMask]:hs=%d vs=%d W=%d H=%d", hs, vs, w, h);
  MaskControl* mask = maskControl();
  if (mask == nullptr) return 0;
  // Start-up maps the mask memory only when the DSP is already up; a server started before the
  // streamer maps it at the first mask instead of drawing nothing.
  if (mask->blocksPerRow() == 0) mask->init();
  mask->setMask(p[4], hs, vs, w, h);
  return 0;
}

int GeneralPanTilt(DVisca*, uint8_t* p) {
  SubCPU* s = subCpu();
  if (s == nullptr) return 0;
  const uint8_t ps = p[4], ts = p[5];
  switch (p[3]) {
    case 0x01:
      std::printf("Pan=%d,Tilt=%d.\n\r", p[6], p[7]);
      // Pan direction (byte 6) and tilt direction (byte 7): 1 left / up, 2 right / down, 3 stop;
      // a byte past a nibble would alias another pair.
      switch (p[6] < 0x10 && p[7] < 0x10 ? p[6] << 4 | p[7] : 0) {
        case 0x33: s->ptStop(ps, ts); break;
        case 0x13:
          std::printf("Pan Left.\n");
          s->ptLeft(ps, ts);
          break;
        case 0x23: s->ptRight(ps, ts); break;
        case 0x31: s->ptUp(ps, ts); break;
        case 0x11: s->ptUpLeft(ps, ts); break;
        case 0x21: s->ptUpRight(ps, ts); break;
        case 0x32: s->ptDown(ps, ts); break;
        case 0x12: s->ptDownLeft(ps, ts); break;
        case 0x22: s->ptDownRight(ps, ts); break;
        default: break;
      }
      std::fflush(stdout);
      return 0;
    case 0x02:
    case 0x03:
      // A relative request goes out as an absolute move, as the unit's protocol has it here.
      s->ptAbsolute(ps, ts, static_cast<int32_t>(viscaNibbles(p, 6, 4)), static_cast<int32_t>(viscaNibbles(p, 10, 4)));
      return 0;
    case 0x04:
      s->ptHome();
      return 0;
    case 0x05:
      s->ptReset();
      return 0;
    case 0x07: {
      const int32_t pan = static_cast<int32_t>(viscaNibbles(p, 6, 4)), tilt = static_cast<int32_t>(viscaNibbles(p, 10, 4));
      if (p[4] == 0)
        p[5] == 0 ? s->ptLimitSetDownLeft(pan, tilt) : s->ptLimitSetUpRight(pan, tilt);
      else
        p[5] == 0 ? s->ptLimitClearDownLeft() : s->ptLimitClearUpRight();
      return 0;
    }
    default:
      return 0;
  }
}

// ---- the IR-cut and IR LED self-check (inquiry F5) ----------------------------------------------------

uint8_t ICR_IRLEDStatusCheck(DVisca*) {
  AEControl* ae = aeControl();
  SubCPU* s = subCpu();
  CIsp* isp = controller();
  ViscaCameraState& c = g_isp.viscaCamera;
  auto luminanceAfterSettling = [ae](uint32_t* y) {
    for (int i = 0; i < 3; ++i)
      if (!viscaWaitMs(800)) return false;
    *y = ae != nullptr ? ae->luminance.load(kRelaxed) : 0;
    return true;
  };
  c.dayNightAuto.store(0, kRelaxed);
  if (ae != nullptr) ae->set_icr_manual(0);
  if (s != nullptr) s->setICR(0);
  c.irCutInstalled.store(1, kRelaxed);
  g_isp.irLedAuto.store(0, kRelaxed);
  if (s != nullptr) s->setIrLedLevel(0);
  uint32_t y1 = 0, y2 = 0, y3 = 0;
  uint8_t result = 0;
  bool whole = luminanceAfterSettling(&y1);
  if (whole) {
    if (s != nullptr) {
      s->setICR(1);
      s->setIrLedLevel(230);
    }
    whole = luminanceAfterSettling(&y2);
  }
  if (whole) {
    if (isp != nullptr) set_yuv_BW(isp, 0);
    if (s != nullptr) s->setICR(0);
    whole = luminanceAfterSettling(&y3);
  }
  if (whole && y2 > y1 + 1500) result = y2 > y3 + 1500 ? 2 : 1;
  // Automatic control comes back whatever happened, also when a stop cut the check short.
  if (s != nullptr) s->setIrLedLevel(0);
  c.dayNightAuto.store(1, kRelaxed);
  if (ae != nullptr) ae->set_icr_manual(1);
  g_isp.irLedAuto.store(1, kRelaxed);
  if (ae != nullptr) ae->update_icr_state();
  debugPrintf(0, "******** ICR and IR LED check: %s (Y %u %u %u) ********\n",
              result == 2 ? "PASS" : "FAIL", y1, y2, y3);
  return result;
}

}  // namespace isp
}  // namespace kavo
