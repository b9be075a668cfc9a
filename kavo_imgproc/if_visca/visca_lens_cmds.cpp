// The VISCA lens handlers: absolute and relative zoom, absolute focus, the focus drive, the AF mode
// and the lens calibration steps, the zoom/focus correction check and the lens reset (see
// visca_handlers.h).
#include <unistd.h>

#include <algorithm>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_af/lens_tables.h"
#include "algo_awb/AWBControl.h"
#include "fe_subcpu/subcpu.h"
#include "if_visca/visca_channel.h"
#include "if_visca/visca_handlers.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/CIsp_Motor.h"
#include "thread_proc/isp_globals.h"
#include "thread_proc/worker_threads.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "DVisca_LENS";
constexpr auto kRelaxed = std::memory_order_relaxed;

LensMotionFlags& lensFlags() { return g_isp.lensLink.flags; }
bool zoomLensSystem() { return g_isp.sys.systemType == ZOOMLENS; }

struct LensRange {
  int32_t lastStop;    // -1: no zoom lens the handlers know
  int32_t focusLimit;
};

LensRange lensRange() {
  const int32_t lens = g_isp.sys.lens;
  if (lens == TAMRON_X3 || lens == TAMRON_X30) return {607, 1888};
  if (lens == T5289_X3) return {1179, 900};
  return {-1, 0};
}

// The relative zoom's and the tele-bias step's focus table and its length (lens 1's runs on to stop 796).
const int32_t* relativeTable(int32_t* entries) {
  switch (g_isp.sys.lens) {
    case TAMRON_X3: *entries = 609; return kLens0Focus;
    case TAMRON_X30: *entries = 797; return kLens1Focus;
    case T5289_X3: *entries = 1180; return kLens3Focus;
    default: *entries = 0; return nullptr;
  }
}

int32_t wideNominal() {
  switch (g_isp.sys.lens) {
    case TAMRON_X30: return 109;
    case TAMRON_X3: return 80;
    case T5289_X3: return 744;
    default: return 0;
  }
}

// The tele end of the calibration moves: lens 1 has none of its own there and goes to stop 0.
uint32_t calibrationTeleStop() {
  switch (g_isp.sys.lens) {
    case TAMRON_X3: return 607;
    case T5289_X3: return 1179;
    default: return 0;
  }
}

bool claimLens(DVisca* v, const char* who) {
  uint8_t expected = 0;
  if (v->zoomMoving.load() != 0 || !v->focusMoving.compare_exchange_strong(expected, 1)) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[%s]err:Zoom or Focus is moving.\n", who);
    return false;
  }
  v->zoomMoving.store(1);
  return true;
}

void releaseLens(DVisca* v) {
  v->zoomMoving.store(0);
  v->focusMoving.store(0);
}

void readPositions(SubCPU* s, CAFControl* af) {
  uint32_t v = 0;
  if (s == nullptr || af == nullptr) return;
  if (s->getZoom(&v) == 1) af->m_iCurrZoomPosition.store(v, kRelaxed);
  usleep(10);
  if (s->getFocus(&v) == 1) af->m_iCurrFocusPosition.store(v, kRelaxed);
}

// Steps 2 to 4 of a move: AF and tracking let go of the lens, the positions taken once.
void prepareMove(SubCPU* s, CAFControl* af) {
  LensMotionFlags& f = lensFlags();
  f.G_ATF_On.store(0);
  f.G_AutoFocusMode.store(0);
  usleep(100);
  if (s != nullptr) {
    s->zoomStop();
    s->focusStop();
  }
  kavo::utils::sleepMs(100);
  f.G_AutoFocusMode.store(0);
  f.G_ZoomAccept.store(1);
  if (f.G_PushPending.load()) f.G_PushTrigger.store(0);
  if (f.G_ZoomTrigMode.load()) f.G_ZoomTrigArmed.store(0);
  for (int i = 0; i < 400 && f.G_Wait_AF_Off.load() != 0; ++i) usleep(1);
  if (f.G_AF_NotDataLock.load() == 0) {
    for (int i = 0; i < 50 && f.G_AF_NotDataLock.load() == 0; ++i) usleep(1);
    if (f.G_AF_NotDataLock.load() == 0) {
      readPositions(s, af);
      f.G_AF_NotDataLock.store(1);
      if (af != nullptr) af->movePending.store(0);
    }
  }
}

// Steps 5 to 7: the move, the positions kept, focusing re-armed.
void finishMove(SubCPU* s, CAFControl* af, uint32_t zoom, uint32_t focus) {
  LensMotionFlags& f = lensFlags();
  f.G_WaitCmd_Done.store(0);
  if (s != nullptr) {
    s->syncAbsZoomFocus_WaitCompletion(zoom, focus);
    uint32_t z = 0, fo = 0;
    if (s->getZoom(&z) == 1 && s->getFocus(&fo) == 1 && (z != zoom || fo != focus))
      debugPrintf(0, "[AbsZoomFocus]zoom %u focus %u, target %u %u\n", z, fo, zoom, focus);
  }
  if (af != nullptr) {
    af->m_iCurrFocusPosition.store(focus, kRelaxed);
    af->m_iCurrZoomPosition.store(zoom, kRelaxed);
  }
  if (f.G_PushMode.load() == 0) {
    if (f.G_ZoomTrigMode.load() == 0 && f.G_ManualFocusMode.load() == 0) {
      f.G_AutoFocusMode.store(1);
      if (af != nullptr) triggerRefocus(af);
    } else if (f.G_ZoomTrigMode.load() != 0) {
      if (af != nullptr) af->noSeekFrames.store(0);
      f.G_ZoomTrigArmed.store(1);
      if (af != nullptr) goBacktoPreSeek(af);
    }
  }
  if (f.G_PushPending.load()) f.G_PushTrigger.store(1);
}

uint16_t currentZoom() {
  CAFControl* af = afControl();
  return static_cast<uint16_t>(af != nullptr ? af->m_iCurrZoomPosition.load(kRelaxed) : 0);
}

uint16_t currentFocus() {
  CAFControl* af = afControl();
  return static_cast<uint16_t>(af != nullptr ? af->m_iCurrFocusPosition.load(kRelaxed) : 0);
}

void resetLensFlags() {
  LensMotionFlags& f = lensFlags();
  f.G_AutoFocusMode.store(0);
  f.G_ManualFocusMode.store(1);
  f.G_PushMode.store(0);
  f.G_ZoomTrigArmed.store(0);
  f.G_ZoomTrigMode.store(0);
}

void setGains(uint32_t r, uint32_t g, uint32_t b) {
  if (CIsp* isp = controller()) set_rgb_gain(isp, r, g, b);
}

// The white balance the calibration and its check look through: neutral gains, AWB following.
void calibrationWhiteBalance() {
  setGains(1024, 1024, 1024);
  g_isp.awbMode.store(2, kRelaxed);
  enable_awb(controller(), 1);
  if (AWBControl* awb = awbControl()) awb->setAWBMode(AWB_ATW);
}

void automaticWhiteBalance() {
  g_isp.awbMode.store(1, kRelaxed);
  enable_awb(controller(), 1);
  if (AWBControl* awb = awbControl()) awb->setAWBMode(AWB_AUTO);
}

void pushFocusStart() {
  SubCPU* s = subCpu();
  CAFControl* af = afControl();
  if (zoomLensSystem()) readPositions(s, af);
  LensMotionFlags& f = lensFlags();
  f.G_AutoFocusMode.store(0);
  f.G_ManualFocusMode.store(0);
  if (af != nullptr) af->noSeekFrames.store(0);
  f.G_ZoomTrigMode.store(0);
  f.G_PushMode.store(1);
  f.G_PushTrigger.store(1);
  if (af != nullptr) {
    goBacktoPreSeek(af);
    triggerRefocus(af);
  }
  f.G_PushPending.store(1);
}

// Once a second, up to 25 times: the push focus found its peak (and, with `hf1` not 0, one sharper).
bool waitPushFocus(uint32_t hf1) {
  CAFControl* af = afControl();
  for (int i = 0; i < 25; ++i) {
    if (!viscaWaitMs(1000)) return false;
    if (af == nullptr) continue;
    if (lensFlags().G_PushTrigger.load() == 0 && af->m_iFocusStatus.load() == 2 &&
        (hf1 == 0 || af->calibrationHF1.load(kRelaxed) > hf1))
      return true;
  }
  return false;
}

bool waitSettled() {
  for (int i = 0; i < 25; ++i) {
    if (!viscaWaitMs(1000)) return false;
    if (g_isp.lensLink.focusedWithoutMove.load() != 0) return true;
  }
  return false;
}

}  // namespace

// ---- moves -----------------------------------------------------------------------------------------

void moveZoomAbsolute(DVisca* visca, uint32_t zoom) {
  const LensRange range = lensRange();
  if (!zoomLensSystem() || range.lastStop < 0) return;
  if (!claimLens(visca, "zoomABS")) return;
  const int32_t z = std::min(static_cast<int32_t>(zoom), range.lastStop);
  // Lens 1 takes the absolute targets of lens 0; the target is held within 0..the lens limit.
  const int32_t lens = g_isp.sys.lens == TAMRON_X30 ? TAMRON_X3 : g_isp.sys.lens;
  const uint32_t focus = static_cast<uint32_t>(std::max(zoomFocusTarget(lens, z), 0));
  SubCPU* s = subCpu();
  CAFControl* af = afControl();
  prepareMove(s, af);
  finishMove(s, af, static_cast<uint32_t>(z), focus);
  releaseLens(visca);
}

int zoomABS(DVisca* visca, uint8_t* p) {
  moveZoomAbsolute(visca, viscaNibbles(p, 4, 4));
  return viscaValueReply(p, currentZoom());
}

int ZoomFocusABS(DVisca* visca, uint8_t* p) {
  const LensRange range = lensRange();
  if (zoomLensSystem() && range.lastStop >= 0 && claimLens(visca, "ZoomFocusABS")) {
    const uint32_t zoom = viscaNibbles(p, 4, 4), focus = viscaNibbles(p, 8, 4);
    if (zoom > static_cast<uint32_t>(range.lastStop)) {
      debugPrintf(0, "[ZoomFocusABS]wZStop out of range %2X\n", zoom);
    } else if (focus > static_cast<uint32_t>(range.focusLimit)) {
      debugPrintf(0, "[ZoomFocusABS]wFStop out of range %2X\n", focus);
    } else {
      SubCPU* s = subCpu();
      CAFControl* af = afControl();
      prepareMove(s, af);
      finishMove(s, af, zoom, focus);
    }
    releaseLens(visca);
  }
  return viscaValueReply(p, currentZoom());
}

void SetZoomPercentage(DVisca* visca, uint32_t percent) {
  const LensRange range = lensRange();
  if (range.lastStop < 0) return;
  moveZoomAbsolute(visca, std::min(percent, 100u) * static_cast<uint32_t>(range.lastStop) / 100);
}

int zoomREL(DVisca* visca, uint8_t* p) {
  const LensRange range = lensRange();
  int32_t entries = 0;
  const int32_t* table = relativeTable(&entries);
  if (!zoomLensSystem() || range.lastStop < 0 || table == nullptr) return 0;
  if (!claimLens(visca, "zoomREL")) return 0;
  const int32_t step = (p[5] << 8) + (p[6] << 4) + p[7];
  SubCPU* s = subCpu();
  CAFControl* af = afControl();
  prepareMove(s, af);
  const int32_t now = af != nullptr ? static_cast<int32_t>(af->m_iCurrZoomPosition.load(kRelaxed)) : 0;
  int32_t target = p[4] == 1 ? now - step : p[4] == 0 ? now + step : step;
  // Every form stays on the lens: the step as a target could otherwise pass the table's end.
  target = std::clamp(target, 0, std::min(range.lastStop, entries - 1));
  const int32_t focus = std::clamp(table[target] + g_isp.lensLink.focus_bias.load(kRelaxed), 0, range.focusLimit);
  debugPrintf(0, "wZStop = %d, wFStop = %d\n", target, focus);
  finishMove(s, af, static_cast<uint32_t>(target), static_cast<uint32_t>(focus));
  releaseLens(visca);
  return 0;
}

int SetFocusABS(DVisca* visca, uint8_t* p) {
  LensMotionFlags& f = lensFlags();
  if (f.G_AutoFocusMode.load() != 0 || f.G_ZoomTrigMode.load() != 0) {
    debugPrintf(0, "Reject by AutoFocus is On\n");
    return viscaValueReply(p, currentFocus());
  }
  const LensRange range = lensRange();
  if (range.lastStop >= 0 && claimLens(visca, "SetFocusABS")) {
    SubCPU* s = subCpu();
    CAFControl* af = afControl();
    if (s != nullptr) s->focusStop();
    kavo::utils::sleepMs(100);
    const uint32_t target = viscaNibbles(p, 4, 4);
    if (target > static_cast<uint32_t>(range.focusLimit)) {
      debugPrintf(0, "wFStop >= %2X\n", unsigned(range.focusLimit));
    } else {
      if (s != nullptr) {
        s->syncAbsZoomFocus_WaitCompletion(currentZoom(), target);
        uint32_t fo = 0;
        if (s->getFocus(&fo) == 1 && fo != target) debugPrintf(0, "[SetFocusABS]focus %u, target %u\n", fo, target);
      }
      if (af != nullptr) af->m_iCurrFocusPosition.store(target, kRelaxed);
    }
    releaseLens(visca);
  }
  return viscaValueReply(p, currentFocus());
}

int zoomStopOrHome(DVisca*, uint8_t code) {
  if (code == 0x0A) {
    lensFlags().G_PushTrigger.store(0);
    kavo::utils::sleepMs(1);
    return 0;
  }
  if (CAFControl* af = afControl()) af->afStatus.fetch_and(~(AF_PRESEEK | AF_SEEK));
  if (CIsp* isp = controller()) set_zoom_stop(isp);
  return 0;
}

// ---- calibration steps -------------------------------------------------------------------------------

bool ZeroZoomBias() {
  resetLensFlags();
  kavo::utils::sleepMs(50);
  if (SubCPU* s = subCpu()) s->setZoomBias(0);
  if (CAFControl* af = afControl()) af->m_iCurrZoomPosition.store(0, kRelaxed);
  return viscaWaitMs(2000);
}

bool FindZoomBias() {
  SubCPU* s = subCpu();
  CAFControl* af = afControl();
  if (s == nullptr || af == nullptr) return false;
  resetLensFlags();
  kavo::utils::sleepMs(1);
  s->zoomStop();
  kavo::utils::sleepMs(1);
  s->focusStop();
  kavo::utils::sleepMs(1);
  uint32_t best = 0, bestValue = 0;
  for (uint32_t z = 0; z <= 50; ++z) {
    s->syncAbsZoomFocus_WaitCompletion(z, 40);
    if (!viscaWaitMs(80)) return false;
    const uint32_t value = af->calibrationHF0.load(kRelaxed);
    if (z == 0 || value > bestValue) {
      best = z;
      bestValue = value;
    }
  }
  s->syncAbsZoomFocus_WaitCompletion(best, 40);
  if (best > 0 && best < 50) return true;
  ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[FindZoomBias]Fail, Zoom bias at boundary:%d\n", int(best));
  return false;
}

bool ApplyZoomBias() {
  SubCPU* s = subCpu();
  if (s == nullptr) return false;
  s->setFocusWideBias(230);
  uint32_t position = 0;
  if (s->getZoom(&position) != 1) return false;
  kavo::utils::sleepMs(1);
  g_isp.lensLink.zoom_bias.store(static_cast<int32_t>(position), kRelaxed);
  s->setZoomBias(std::min(position, 50u));
  if (CAFControl* af = afControl()) af->m_iCurrZoomPosition.store(0, kRelaxed);
  return viscaWaitMs(2000);
}

bool FindFocusBiasAtWide(DVisca* visca) {
  if (CAFControl* af = afControl()) af->calibrating.store(1);
  moveZoomAbsolute(visca, 0);
  pushFocusStart();
  if (waitPushFocus(0)) return true;
  ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[FindFocusBiasAtWide]can not find Focus Bias at wide_end in 25 secs\n");
  return false;
}

bool SetWideFocusBias() {
  SubCPU* s = subCpu();
  uint32_t position = 0;
  if (s == nullptr || s->getFocus(&position) != 1) return false;
  const int32_t bias = static_cast<int32_t>(position) - wideNominal();
  g_isp.lensLink.focus_bias.store(bias, kRelaxed);
  s->setFocusWideBias(biasByte(bias));
  int32_t back = 0;
  s->getFocusTrackingBias(&back);
  debugPrintf(0, "[WideFocusBias]%d read back %d\n", bias, back);
  return true;
}

bool FindFocusBiasAtTele(DVisca* visca) {
  if (CAFControl* af = afControl()) af->calibrating.store(1);
  moveZoomAbsolute(visca, calibrationTeleStop());
  pushFocusStart();
  if (waitPushFocus(14000)) return true;
  ISP_LOG(kSource, LOG_LEVEL_WARNING, 0,
          "[FindFocusBiasAtTele]can not find good Focus Bias at tele_end in 25 secs\n");
  return false;
}

bool SetTeleFocusBias() {
  SubCPU* s = subCpu();
  int32_t entries = 0;
  const int32_t* table = relativeTable(&entries);
  uint32_t focus = 0, zoom = 0;
  if (s == nullptr || table == nullptr || s->getFocus(&focus) != 1) return false;
  kavo::utils::sleepMs(1);
  if (s->getZoom(&zoom) != 1) return false;
  const int32_t bias = static_cast<int32_t>(focus) - table[std::min(static_cast<int32_t>(zoom), entries - 1)];
  g_isp.lensLink.focus_Telebias.store(bias, kRelaxed);
  s->setFocusTeleBias(biasByte(bias));
  return true;
}

void CalibrationDone() {
  g_isp.image.backlight.store(0, kRelaxed);
  setGains(1024, 1024, 1024);
  automaticWhiteBalance();
  g_isp.viscaCamera.dayNightAuto.store(0, kRelaxed);
  if (AEControl* ae = aeControl()) ae->set_icr_manual(0);
  debugPrintf(0, "cali done \n");
}

uint8_t FullLensCalibration(DVisca* visca) {
  ViscaCameraState& c = g_isp.viscaCamera;
  SetAE_fullauto(visca);
  c.calibrationExposure.store(1, kRelaxed);
  viscaSetAeTarget(7000);
  calibrationWhiteBalance();
  g_isp.focusMode.store(AF_MODE_UNSET, kRelaxed);

  resetLensFlags();
  if (SubCPU* s = subCpu()) s->syncAbsZoomFocus_WaitCompletion(0, 40);
  g_isp.lensLink.zoom_bias.store(0);
  g_isp.lensLink.focus_bias.store(0);
  g_isp.lensLink.focus_Telebias.store(0);
  g_isp.image.backlight.store(3, kRelaxed);
  bool ok = true;
  for (int i = 0; ok && i < 8; ++i) ok = viscaWaitMs(850);
  ok = ok && ZeroZoomBias() && FindZoomBias();
  if (ok) kavo::utils::sleepMs(50);
  ok = ok && ApplyZoomBias() && FindFocusBiasAtWide(visca) && SetWideFocusBias();
  if (ok) viscaSetAeTarget(18000);
  ok = ok && FindFocusBiasAtTele(visca) && SetTeleFocusBias();

  CAFControl* af = afControl();
  if (af != nullptr) af->calibrating.store(0);
  if (ok && af != nullptr) SaveZFBias(af);
  debugPrintf(0, ok ? "Zf correction success(AF:manual now). \n" : "Zf correction fail(AF:manual now). \n");
  g_isp.awbMode.store(6, kRelaxed);
  if (AWBControl* awb = awbControl()) awb->setAWBMode(AWB_HOLD);
  enable_awb(controller(), 0);
  // The picture says the verdict: green on success, red on failure.
  if (ok)
    setGains(1024, 3600, 1024);
  else
    setGains(3600, 1024, 1024);
  c.calibrationExposure.store(0, kRelaxed);
  AEReset(visca);
  return ok ? 1 : 0;
}

// ---- the focus group ---------------------------------------------------------------------------------

int GeneralFocusGroup(DVisca* visca, uint8_t* p) {
  LensMotionFlags& f = lensFlags();
  SubCPU* s = subCpu();
  CAFControl* af = afControl();
  switch (p[3]) {
    case 0x08:
      if (p[4] == 0x02 || p[4] == 0x03) {
        if (f.G_AutoFocusMode.load() != 0 || f.G_ZoomTrigMode.load() != 0) {
          debugPrintf(0, "AutoFocus is On");
        } else if (s != nullptr) {
          // The motor runs the other way round from the VISCA sense: far drives it "near".
          if (p[4] == 0x02)
            s->focusNear();
          else
            s->focusFar();
        }
      } else if (p[4] == 0x00 && s != nullptr) {
        s->focusStopUnlessAF();
      }
      return 0;
    case 0x48:
      return SetFocusABS(visca, p);
    case 0x38:
      break;
    default:
      return 0;
  }
  const uint8_t mode = p[4];
  switch (mode) {
    case 0x02:
    case 0x03:
    case 0x04:
      if (af != nullptr) processAFModeSwitching(af, mode);
      g_isp.focusMode.store(mode, kRelaxed);
      break;
    case 0x05:
      if (g_isp.focusMode.load(kRelaxed) == MANUAL_MODE) {
        if (af != nullptr) processAFModeSwitching(af, PUSH_MODE);
      } else {
        if (af != nullptr) triggerRefocus(af);
        f.G_ZoomTrigArmed.store(1);
      }
      break;
    case 0x06:
      return viscaShortReply(p, FullLensCalibration(visca));
    case 0x07: ZeroZoomBias(); break;
    case 0x08: FindZoomBias(); break;
    case 0x09: ApplyZoomBias(); break;
    case 0x0A: FindFocusBiasAtWide(visca); break;
    case 0x0B: SetWideFocusBias(); break;
    case 0x0C: FindFocusBiasAtTele(visca); break;
    case 0x0D: SetTeleFocusBias(); break;
    case 0x0E: CalibrationDone(); break;
    default: break;
  }
  return 0;
}

// ---- the correction check (inquiry F4) and the lens reset -------------------------------------------

uint8_t ZFCorrectionCheck(DVisca* visca) {
  ViscaCameraState& c = g_isp.viscaCamera;
  c.calibrationExposure.store(1, kRelaxed);
  calibrationWhiteBalance();
  uint8_t result = 0;
  if (viscaWaitMs(3000)) {
    g_isp.focusMode.store(AF_MODE_UNSET, kRelaxed);
    g_isp.lensLink.focusedWithoutMove.store(0);
    g_isp.image.backlight.store(3, kRelaxed);
    resetLensFlags();
    if (SubCPU* s = subCpu()) {
      kavo::utils::sleepMs(1);
      s->zoomStop();
      kavo::utils::sleepMs(1);
      s->focusStop();
      kavo::utils::sleepMs(1);
    }
    moveZoomAbsolute(visca, calibrationTeleStop());
    kavo::utils::sleepMs(100);
    pushFocusStart();
    if (waitSettled() && viscaWaitMs(500)) {
      const int32_t lens = g_isp.sys.lens;
      g_isp.lensLink.focusedWithoutMove.store(0);
      moveZoomAbsolute(visca, lens == TAMRON_X3 || lens == T5289_X3 ? 0 : calibrationTeleStop());
      pushFocusStart();
      result = waitSettled() ? 1 : 0;
    }
  }
  g_isp.image.backlight.store(0, kRelaxed);
  c.calibrationExposure.store(0, kRelaxed);
  automaticWhiteBalance();
  return result;
}

int GeneralCamInit(DVisca*, uint8_t* p) {
  if (p[4] != 1 && p[4] != 2) return 0;
  SubCPU* s = subCpu();
  CIsp* isp = controller();
  const uint32_t bias = static_cast<uint32_t>(g_isp.lensLink.zoom_bias.load(kRelaxed));
  setPauseAAA(1);
  // A stop cuts the waits short; the 3A pause is lifted whatever happened.
  bool on = viscaWaitMs(3000);
  if (p[4] == 1) {
    if (on && s != nullptr) s->lensInit();
    on = on && viscaWaitMs(3000);
    if (on && isp != nullptr) set_zoom_stop(isp);
    on = on && viscaWaitMs(2000);
    if (on && s != nullptr) s->setZoomBias(bias);
    if (on) viscaWaitMs(3000);
  } else {
    if (on && s != nullptr) s->setZoomBias(bias);
    on = on && viscaWaitMs(3000);
    if (on && isp != nullptr) set_zoom_stop(isp);
    if (on) viscaWaitMs(2000);
  }
  setPauseAAA(0);
  return 0;
}

}  // namespace isp
}  // namespace kavo
