// The contrast auto focus: start-up, the per-frame entry, the end-of-move report, the modes, the
// bias file and the states around the search (see CAFControl.h; the search is CAF_driving.cpp).
#include "algo_af/CAFControl.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "algo_ae/AEControl.h"
#include "algo_af/lens_tables.h"
#include "algo_af/tracking_curves.h"
#include "algo_atf/ATFControl.h"
#include "fe_subcpu/subcpu.h"
#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_Motor.h"
#include "thread_proc/worker_threads.h"

namespace kavo {
namespace isp {

namespace {

const char kSource[] = "CAF";
const char kBiasFile[] = "/etc/ispserver/lensbias.conf";
const char kSavedBiasFile[] = "/etc/ispserver/lensbias1.conf";
constexpr int kLockWaitFrames = 150;

LensMotionFlags& flags() { return g_isp.lensLink.flags; }
int32_t lensId() { return g_isp.sys.lens; }
bool zoomLens() { return g_isp.sys.systemType == ZOOMLENS; }

void readPositions(CAFControl* af) {
  AfLens& lens = af->lensPort();
  uint32_t v = 0;
  if (lens.getFocus(&v)) af->m_iCurrFocusPosition.store(static_cast<int32_t>(v));
  if (lens.getZoom(&v)) af->m_iCurrZoomPosition.store(static_cast<int32_t>(v));
}

void clearBest(CAFControl* af) {
  af->bestHF1 = af->bestHF0 = af->bestHF0Quarter = 0;
  af->bestPosition = 0;
  af->bestCoarseHF0 = 0;
  af->bestCoarsePosition = 0;
}

// True when a and b, both known, lie more than 1/share of the larger apart.
bool apart(uint32_t a, uint32_t b, uint32_t share) {
  if (a == 0 || b == 0) return false;
  return absDiff(a, b) > std::max(a, b) / share;
}

// The search compares contrast from frame to frame, and contrast follows brightness: while the
// exposure still moves the picture (the 3A's first passes after start-up, a change of light) the
// search goes where the brightness leads it, not the focus. A search whose picture has moved by a
// quarter in brightness since it began goes back to PreSeeking, which waits for a steady picture.
bool brightnessMovedTheSearch(CAFControl* af) {
  const ATFControl* t = atfControl();
  const uint32_t lum = t != nullptr ? t->afLuminanceCopy : 0;
  af->luminanceSteady = !apart(lum, std::exchange(af->lastLuminance, lum), 16);
  if ((af->afStatus.load() & AF_SEEK) == 0) {
    af->seekLuminance = 0;
    return false;
  }
  if (af->seekLuminance == 0) af->seekLuminance = lum;
  if (!apart(lum, af->seekLuminance, 4)) return false;
  debugPrintf(0, "[AF]brightness %u -> %u during the search --goBacktoPreSeek\n", unsigned(af->seekLuminance),
              unsigned(lum));
  af->seekLuminance = 0;
  goBacktoPreSeek(af);
  return true;
}

}  // namespace

bool readAfValues(CAFControl* af) {
  for (int i = 0; i < 3; ++i) {
    const uint32_t s0 = af->afHFSum0, s1 = af->afHFSum1;
    if (s0 != 0 && s1 != 0) {
      af->m_uAF_Current_HF0 = 5 * s0;
      af->m_uAF_Current_HF1 = 5 * s1;
      if (ATFControl* t = atfControl()) {
        t->afLuminanceCopy = t->afLuminance.load(std::memory_order_relaxed);
        t->afLuminanceLast = t->afLuminanceCopy;
      }
      return true;
    }
  }
  return false;
}

// ---- the lens port --------------------------------------------------------------------------------

int AfLens::setFocus(uint32_t position) {
  SubCPU* s = subCpu();
  return s ? s->setFocus(position) : 0;
}
int AfLens::focusStop() {
  SubCPU* s = subCpu();
  return s ? s->focusStop() : 0;
}
int AfLens::getFocus(uint32_t* position) {
  SubCPU* s = subCpu();
  return s ? s->getFocus(position) : 0;
}
int AfLens::getZoom(uint32_t* position) {
  SubCPU* s = subCpu();
  return s ? s->getZoom(position) : 0;
}
int AfLens::ready() {
  SubCPU* s = subCpu();
  return s ? s->getZFCorrectionStatus() : 0;
}
int AfLens::setTrackingCurveAF(uint32_t curve) {
  SubCPU* s = subCpu();
  return s ? s->setTrackingCurveAF(curve) : 0;
}
int AfLens::setTrackingCurve(uint32_t curve) {
  SubCPU* s = subCpu();
  return s ? s->setTrackingCurve(curve) : 0;
}
int AfLens::zoomDrive(bool tele) {
  SubCPU* s = subCpu();
  return s ? (tele ? s->zoomTele() : s->zoomWide()) : 0;
}
void AfLens::stopZoom() {
  if (CIsp* isp = controller()) set_zoom_stop(isp);
}

AfLens& CAFControl::lensPort() {
  static AfLens subCpuLens;
  return lens ? *lens : subCpuLens;
}

// ---- end of a move ----------------------------------------------------------------------------------

int CAFControl::callback(int result) {
  if (curveMovePending.load() == 1)
    onCurveDone(this, result != 0);
  else if (movePending.load() == 1)
    onFocusDone(this, result);
  return 0;
}

int onFocusDone(CAFControl* af, int result) {
  debugPrintf(0, "onFocusDone\n");
  af->afStatus.fetch_and(~uint32_t(AF_MOVING));
  af->movePending.store(0);
  flags().G_AF_NotDataLock.store(1);
  if (result != 1) {
    debugPrintf(0, "onFocusDone - Fail\n");
    return 0;
  }
  const uint16_t info = af->m_lmAF_FocusCallbackUpdateInfo.load();
  if ((info & 0x4000) == 0) return 0;
  const int32_t pos = af->expectedFocus.load();
  af->m_iCurrFocusPosition.store(pos);
  if (zoomLens()) sendTrackingCurveAF(af);
  af->focusMoveByte.store(0);
  if (pos <= af->m_eMinAFFocus.load()) {
    af->afStatus.fetch_or(AF_AT_MIN);
    af->limitHits.fetch_or(2);
    debugPrintf(0, "m_eMinAFFocus = %d, m_iCurrFocusPosition = %d\n", int(af->m_eMinAFFocus.load()), int(pos));
  }
  if (pos >= af->m_eMaxAFFocus.load()) {
    af->afStatus.fetch_or(AF_AT_MAX);
    af->limitHits.fetch_or(1);
    debugPrintf(0, "m_eMaxAFFocus = %d, m_iCurrFocusPosition = %d\n", int(af->m_eMaxAFFocus.load()), int(pos));
  }
  return 1;
}

// ---- reset and start-up -----------------------------------------------------------------------------

int resetAF(CIsp* isp) {
  CAFControl* af = afControl();
  if (af != nullptr) {
    af->afInitState.store(0);
    af->afInitFrames = 0;
    af->zoomSettleCount = 0;
    af->m_iFocusStatus.store(0);
    af->wideRange.store(0);
    af->movePending.store(0);
    af->lockWaitFrames = 0;
    af->coarseAbortCount = 0;
    af->afMode.store(AF_MODE_UNSET);
    af->hfWeight = 2;
    af->afStatus.store(AF_PRESEEK);
    af->atfStatus.store(AF_PRESEEK);
  }
  LensMotionFlags& f = flags();
  f.G_ZoomTrigArmed.store(0);
  f.G_ZoomTrigMode.store(0);
  f.G_Wait_AF_Off.store(0);
  f.G_Wait_ATF_Off.store(0);
  f.G_ZoomDriving.store(0);
  f.G_ZoomStopping.store(0);
  if (af != nullptr) af->focusMoveByte.store(0);
  // No move is pending after the reset, so no search holds the lens: left 0, the first absolute
  // zoom waited its full 5 s for a lock no move would give.
  f.G_AF_NotDataLock.store(1);
  f.G_AutoFocusMode.store(1);
  f.G_ZoomAccept.store(1);
  if (isp != nullptr) isp->afEnable.store(1, std::memory_order_relaxed);
  return 0;
}

namespace {

void afStartUp(CAFControl* af) {
  AfLens& lens = af->lensPort();
  if (!lens.ready()) return;
  if (SubCPU* s = subCpu()) {
    AEControl* ae = aeControl();
    if (ae == nullptr || ae->mode.load(std::memory_order_relaxed) != 6)
      s->setDCIrisDriver(0);
    else
      s->setIrisDirect(255);
    s->isMcuReady();
  }
  debugPrintf(0, "setZFBias2Mcu.............Start\n");
  setZFBias2Mcu(af);
  // A stop in these seconds need not wait for them: the start-up runs again at the next start.
  if (!aaaWaitMs(5000)) return;
  uint32_t z = 0, f = 0;
  if (!lens.getZoom(&z)) {
    ISP_LOG(kSource, 4, 0, "GetZoom fail, set to default");
    z = 0;
  }
  if (!lens.getFocus(&f)) {
    ISP_LOG(kSource, 4, 0, "GetFocus fail, set to default");
    f = 0;
  }
  af->m_iCurrZoomPosition.store(static_cast<int32_t>(z));
  af->m_iCurrFocusPosition.store(static_cast<int32_t>(f));
  refreshFocusRange(af);
  if (z != 0) ISP_LOG(kSource, 6, 0, "[af_init]FPosition=%d ZPosition=%d\r\n", int(f), int(z));
  debugPrintf(0, "setZFBias2Mcu.............End\n");
  af->afInitState.store(2);
}

}  // namespace

int emulatedISR_AF(CAFControl* af) {
  CIsp* isp = controller();
  if (isp != nullptr && isp->afEnable.load(std::memory_order_relaxed) == 0) {
    debugPrintf(0, "af_op is disabled\n");
    return 0;
  }
  switch (af->afInitState.load()) {
    case 0:
      af->afInitState.store(1);
      return 0;
    case 1:
      if (++af->afInitFrames < 31) return 0;
      af->afInitFrames = 0;
      afStartUp(af);
      return 0;
    default:
      break;
  }
  LensMotionFlags& f = flags();
  if (f.G_AutoFocusMode.load() == 0 && !(f.G_ZoomTrigArmed.load() && f.G_ZoomTrigMode.load()) &&
      f.G_PushTrigger.load() == 0) {
    g_isp.lensLink.afIdle.store(1);
    f.G_Wait_AF_Off.store(0);
    f.G_Wait_ATF_Off.store(0);
    return 0;
  }
  g_isp.lensLink.afIdle.store(0);
  if (f.G_ATF_On.load()) {
    if (f.G_ZoomStopping.load() == 0) {
      f.G_Wait_ATF_Off.store(1);
      ATF_onAFdone(af);
      f.G_Wait_ATF_Off.store(0);
    }
  } else if (f.G_ZoomDriving.load() == 0 && f.G_ZoomStopping.load() == 0) {
    af->zoomSettleCount = 0;
    f.G_Wait_AF_Off.store(1);
    STD_onAFdone(af);
    f.G_Wait_AF_Off.store(0);
  }
  return 0;
}

// ---- one AF frame -----------------------------------------------------------------------------------

void STD_onAFdone(CAFControl* af) {
  takeAfStep(af);
  ++af->afDoneCount;
  af->lastFocusPosition = af->m_iCurrFocusPosition.load();
  if (af->movePending.load() == 1) {
    if (++af->lockWaitFrames >= kLockWaitFrames) {
      debugPrintf(0, "AF_DataLock_Count=%d\n", af->lockWaitFrames);
      ISP_LOG(kSource, 6, 0, "[AF_Lock]err_code=%d.\n", af->lockWaitFrames);
      if (zoomLens()) readPositions(af);
      af->lockWaitFrames = 0;
      af->movePending.store(0);
      flags().G_AF_NotDataLock.store(1);
    }
  }
  if (af->movePending.load() == 1) {
    if ((af->afStatus.load() & (AF_MOVING | AF_MOVING2)) == 0) af->movePending.store(0);
    return;
  }
  af->lockWaitFrames = 0;
  if (curveHandOverPending(af)) return;

  if (!readAfValues(af)) {
    goBacktoPreSeek(af);
    debugPrintf(0, "NO AF value........Reseek.\n");
    return;
  }
  if (brightnessMovedTheSearch(af)) return;
  af->previousOrigH1 = af->origH1;
  af->origH1 = af->m_uAF_Current_HF1;
  const uint32_t status = af->afStatus.load();
  if ((status & (AF_AT_MAX | AF_AT_MIN)) != (AF_AT_MAX | AF_AT_MIN) && af->hfWeight <= 1) {
    if (!af->weightStarted) {
      af->weightBaseline = af->previousOrigH1;
      af->weightStarted = 1;
    }
    if (af->origH1 >= af->weightBaseline + 33) {
      af->weightStarted = 0;
      af->hfWeight = 2;
      debugPrintf(0, "Change weight to %d\n", 2);
      if (status & AF_SEEK) af->afStatus.fetch_and(~uint32_t(AF_IMPROVED | AF_AT_MAX | AF_AT_MIN));
    }
  }
  af->m_uAF_Current_HF1 = (af->m_uAF_Current_HF1 * af->hfWeight + af->m_uAF_Current_HF0 * (2 - af->hfWeight)) >> 1;

  const uint32_t st = af->afStatus.load();
  if ((st & AF_SEEK) && (st & AF_COARSE) && !af->pilotActive && !af->m_bPostOptCheck) {
    if (af->avgCount == 1) {
      af->avgSum0 = af->m_uAF_Current_HF0;
      af->avgSum1 = af->m_uAF_Current_HF1;
      af->avgCount = 2;
      return;
    }
    af->m_uAF_Current_HF0 = (af->avgSum0 + af->m_uAF_Current_HF0) / 2;
    af->m_uAF_Current_HF1 = (af->avgSum1 + af->m_uAF_Current_HF1) / 2;
    af->avgSum0 = af->avgSum1 = 0;
    af->avgCount = 1;
  }
  std::copy(af->h1History + 1, af->h1History + kAfHistory, af->h1History);
  af->h1History[kAfHistory - 1] = af->origH1;
  if (g_isp.lensLink.irisControl.load(std::memory_order_relaxed) == 0) {
    af->m_uAF_Current_HF0 *= 2;
    af->m_uAF_Current_HF1 *= 2;
  }

  if (st & AF_HOLD) {
    // only remember
  } else if (st & AF_SEEK) {
    if (af->pilotActive)
      processAF_PilotSeeking(af);
    else
      processAF_Seeking(af);
    return;  // the search states remember the values themselves
  } else if (st & AF_PRESEEK) {
    processAF_PreSeeking(af);
  } else if (af->postPending) {
    processAF_PostSeeking(af);
  } else {
    processAF_NoSeeking(af);
  }
  af->m_uAF_Last_HF0 = af->m_uAF_Current_HF0;
  af->m_uAF_Last_HF1 = af->m_uAF_Current_HF1;
}

// ---- states around the search -------------------------------------------------------------------------

namespace {

constexpr uint32_t kResetPreSeek = 1, kResetRefocus = 2;

void applyResets(CAFControl* af, uint32_t resets) {
  if (resets & kResetPreSeek) {
    af->lastDirection = 0;
    clearBest(af);
  }
  if (resets & kResetRefocus) {
    af->pilotActive = 1;
    af->postPending = 0;
    af->trackPending = 0;
  }
}

// On the AF step's own thread at once; from any other, left for the step's next start.
void resetSearch(CAFControl* af, uint32_t resets) {
  if (af->stepThread.load(std::memory_order_acquire) == std::this_thread::get_id())
    applyResets(af, resets);
  else
    af->pendingResets.fetch_or(resets, std::memory_order_acq_rel);
}

}  // namespace

int triggerRefocus(CAFControl* af) {
  // One exchange: the AF step's own bits (a move in flight) set meanwhile are kept.
  uint32_t s = af->afStatus.load();
  while (!af->afStatus.compare_exchange_weak(s, (s & ~uint32_t(AF_PRESEEK | AF_SEEK | 0x40000)) | AF_REFOCUS)) {
  }
  resetSearch(af, kResetRefocus);
  return 1;
}

void goBacktoPreSeek(CAFControl* af) {
  debugPrintf(0, "[goBacktoPreSeek]\n");
  af->afStatus.store(AF_PRESEEK);
  resetSearch(af, kResetPreSeek);
}

void takeAfStep(CAFControl* af) {
  af->stepThread.store(std::this_thread::get_id(), std::memory_order_release);
  if (const uint32_t resets = af->pendingResets.exchange(0, std::memory_order_acq_rel)) applyResets(af, resets);
}

void processAF_PreSeeking(CAFControl* af) {
  debugPrintf(0, "[processAF_PreSeeking]\r\n");
  const uint32_t v = af->previousOrigH1;
  af->preSeekThreshold = (v <= 9999 ? 6 : 8) * (v >> 7);
  const uint32_t h = af->m_uAF_Current_HF1, last = af->m_uAF_Last_HF1;
  const uint32_t d = absDiff(h, last);
  af->direction = d <= af->preSeekThreshold ? 0 : (h > last ? 1 : -1);
  if (af->direction != 0 || !af->luminanceSteady) {
    af->stableFrames = 0;
    return;
  }
  ++af->stableFrames;
  debugPrintf(0, "processAF_PreSeeking-- stable frame=%x, HF1 = %d\n", af->stableFrames, int(h));
  if (af->stableFrames > 4) {
    af->m_iFocusStatus.store(1);
    startSearch(af);
    preSeekSetAFDir(af);
  }
}

void processAF_PostSeeking(CAFControl* af) {
  af->postPending = 0;
  af->trackPending = 1;
  const uint32_t h0 = af->m_uAF_Current_HF0, last = af->m_uAF_Last_HF0;
  const uint32_t d = absDiff(h0, last);
  if (d >= last / 4 && af->postMoved.load() == 0) {
    debugPrintf(0, "[PostSeeking]m_iCurrFocusPosition =%d,m_uAF_Current_HF0=%d (m_uAF_Last_HF0>>2)=%d --goBacktoPreSeek\n",
                int(af->m_iCurrFocusPosition.load()), int(h0), int(last >> 2));
    debugPrintf(0, "[PostSeeking]lHF0_Diff=%d m_uAF_Last_HF0=%d --goBacktoPreSeek\n", int(d), int(last));
    goBacktoPreSeek(af);
    return;
  }
  if (!zoomLens() || af->postMoved.load()) {
    debugPrintf(0, "POSTSEEK:origH1=%d\r\n", int(af->origH1));
  } else if (af->m_bPostOptCheck) {
    debugPrintf(0, "[m_bPostOptCheck](m_uAF_Current_HF0,THRESHOLD)=(%d,%d)\n", int(h0), 9000);
    if (h0 > 9000) {
      af->m_bPostOptCheck = 0;
      debugPrintf(0, "###post-reseek2###\r\n");
    } else {
      debugPrintf(0, "[PostSeeking]<VERY_BLUR_AF_VALUE_THRESHOLD(m_uAF_Current_HF0,THRESHOLD)=(%d,%d), so AF again(PostReseekCnt= %d)\r\n",
                  int(h0), 9000, af->PostReseekCnt);
      restartSearch(af, false);
      if (af->m_uAF_Current_HF1 > 9999)
        af->seekStartHF0 = h0;
      else
        ++af->PostReseekCnt;
    }
  }
  af->m_lastOrigOptHF1 = af->origH1;
  af->lastAF = af->origH1;
  if (af->postMoved.load() == 0 && af->origH1 > 3500) af->m_iFocusStatus.store(2);
  debugPrintf(0, "m_iFocusStatus =%d m_lastOrigOptHF1=%d\n", af->m_iFocusStatus.load(), int(af->m_lastOrigOptHF1));
}

int restartFromPostSeeking(CAFControl* af) {
  restartSearch(af, false);
  if (ATFControl* t = atfControl()) {
    t->lockRequest = 1;
    t->lockReference = static_cast<int32_t>(af->m_iCurrFocusPosition.load());
    t->lockFrames = 0;
  }
  ++af->PostReseekCnt;
  return 1;
}

bool lockSettled(CAFControl* af) {
  ATFControl* t = atfControl();
  if (t == nullptr) return true;
  const int32_t d = static_cast<int32_t>(af->m_iCurrFocusPosition.load()) - t->lockReference;
  const bool sharp = af->origH1 >= 4200 && !af->m_bPostOptCheck;
  if (t->lockRequest && sharp && std::abs(d) <= 4 * af->coarseStep) return true;
  return ++t->lockFrames >= 150;
}

void processAF_NoSeeking(CAFControl* af) {
  LensMotionFlags& f = flags();
  const int32_t frames = af->noSeekFrames.fetch_add(1) + 1;
  ++af->meanFrames;
  af->m_uAbortCounter = 0;
  af->coarseAbortCount = 0;
  if (frames > 20) {
    f.G_ZoomTrigArmed.store(0);
    f.G_PushTrigger.store(0);
    if (af->postMoved.load() == 0) g_isp.lensLink.focusedWithoutMove.store(1);
    if (f.G_PushPending.load() && f.G_PushMode.load()) {
      f.G_PushPending.store(0);
      f.G_ManualFocusMode.store(1);
      f.G_AutoFocusMode.store(0);
      f.G_PushMode.store(0);
      f.G_ZoomTrigMode.store(0);
      af->afMode.store(MANUAL_MODE);
    }
    af->atfStatus.fetch_and(~uint32_t(AF_PRESEEK | AF_SEEK));
    af->atfPostPending = 0;
    af->noSeekFrames.store(0);
  }
  const uint32_t st = af->afStatus.load();
  if (af->m_lastOrigOptHF1 < 8500) {
    af->meanAF = af->origH1;
    af->lastAF = af->previousOrigH1;
  } else if (af->meanFrames >= kAfHistory) {
    uint32_t sum = 0;
    for (uint32_t v : af->h1History) sum += v;
    af->meanAF = (af->meanAF + sum) / kAfHistory;
    af->meanFrames = 0;
  } else if (!((st & AF_REFOCUS) && !(st & AF_HOLD))) {
    return;
  }
  af->m_uAF_SeekThreshold = seekThresholdOf(af->lastAF);
  if (af->trackPending) {
    if (++af->trackCounter < 2) {
      af->lastAF = af->meanAF;
      return;
    }
    af->trackCounter = 0;
    af->trackPending = 0;
    if (zoomLens()) sendTrackingCurveAF(af);
  }
  af->weightBaseline = af->origH1;
  af->weightStarted = 0;
  int dir = 0;
  const uint32_t d = absDiff(af->meanAF, af->lastAF);
  if (d > af->m_uAF_SeekThreshold) {
    dir = af->meanAF > af->lastAF ? 1 : -1;
    debugPrintf(0, "[isCrossAFThreshold_NoSeek]uHF1_Diff(%d)  > m_uAF_SeekThreshold(%d)\n", int(d),
                int(af->m_uAF_SeekThreshold));
  }
  dir = isCrossAccuAFThreshold_NoSeek(af, dir, af->meanAF);
  const uint32_t now = af->afStatus.load();
  if ((dir != 0 || (now & AF_REFOCUS)) && !(now & AF_HOLD)) {
    af->afStatus.fetch_and(~uint32_t(AF_REFOCUS));
    goBacktoPreSeek(af);
    af->stableFrames = 0;
  } else {
    clearBest(af);
  }
  af->lastAF = af->meanAF;
}

// ---- focus range, steps and moves --------------------------------------------------------------------

void updateMinMaxFocusFromTrackingCurve(CAFControl* af, int32_t* maxOut, int32_t* minOut) {
  const int32_t lens = lensId();
  const LensCurves* c = lensCurves(lens);
  if (!zoomLens() || c == nullptr) {
    ISP_LOG(kSource, 6, 0, "[updateMinMaxFocusFromTrackingCurve]err_code=%d.\n", int(lens));
    *maxOut = *minOut = 0;
    return;
  }
  const int32_t z = af->m_iCurrZoomPosition.load();
  const int32_t bias = zoomFocusBias(lens, z, g_isp.lensLink.focus_bias.load(), g_isp.lensLink.focus_Telebias.load());
  int32_t index = z;
  int32_t hi, lo;
  if (lens == 3) {
    if (z > 1179 || z < 0) index = 0;
    hi = std::min(bias + c->upper[index], 900);
    lo = bias + c->lower[index];
  } else {
    if (z > 607 || z < 0) index = 0;
    hi = bias + c->upper[index];
    if (lens == 0 && z < 250) hi += 22;
    hi = std::min(hi, 1888);
    lo = bias + c->lower[index];
  }
  if (af->wideRange.load() > 0) {
    hi += 60;
    lo -= 100;
  }
  *maxOut = std::max(hi, 0);
  *minOut = std::max(lo, 0);
}

void refreshFocusRange(CAFControl* af) {
  int32_t hi = 0, lo = 0;
  updateMinMaxFocusFromTrackingCurve(af, &hi, &lo);
  af->m_eMaxAFFocus.store(hi);
  af->m_eMinAFFocus.store(lo);
}

void retrieveAFSteps(CAFControl* af) {
  if (!zoomLens()) {
    ISP_LOG(kSource, 6, 0, "[retrieveAFSteps]err_code=%d.\n", int(lensId()));
    return;
  }
  switch (lensId()) {
    case 1: af->coarseStep = 4; break;
    case 0: af->coarseStep = 2; break;
    case 3: af->coarseStep = 1; break;
    default: break;
  }
}

namespace {

// The move every step makes: the MCU gets the target, the callback info says what to expect.
int sendFocusMove(CAFControl* af, bool towardsMax, int32_t steps, int32_t target) {
  af->m_lmAF_FocusCallbackUpdateInfo.store(0);
  if (!af->lensPort().setFocus(static_cast<uint32_t>(target))) return 0;
  flags().G_AF_NotDataLock.store(0);
  af->expectedFocus.store(target);
  af->m_lmAF_FocusCallbackUpdateInfo.store(
      static_cast<uint16_t>(0x4000 | (towardsMax ? 0x8000 : 0) | (steps & 0x3FFF)));
  af->afStatus.fetch_or(AF_MOVING);
  af->movePending.store(1);
  return steps;
}

}  // namespace

// The focus target of a step; false for a lens without a limit.
bool stepTarget(CAFControl* af, bool towardsMax, int32_t steps, int32_t* target) {
  const int32_t pos = af->m_iCurrFocusPosition.load();
  const LensCurves* c = lensCurves(lensId());
  if (c == nullptr) return false;
  *target = towardsMax ? std::min(pos + steps, c->focusLimit) : std::max(pos - steps, 0);
  return true;
}

int moveFocusBy(CAFControl* af, bool towardsMax, int32_t steps) {
  int32_t target = 0;
  if (steps <= 0) return 0;
  if (!stepTarget(af, towardsMax, steps, &target)) return 0;
  return sendFocusMove(af, towardsMax, steps, target);
}

int focusStep(CAFControl* af, bool towardsMax, int32_t steps) {
  debugPrintf(0, "focusStep\r\n");
  if (steps == 0) return 1;
  const int32_t pos = af->m_iCurrFocusPosition.load();
  steps = towardsMax ? std::max(0, std::min(steps, af->m_eMaxAFFocus.load() - pos))
                     : std::max(0, std::min(steps, pos - af->m_eMinAFFocus.load()));
  int32_t target = 0;
  if (!stepTarget(af, towardsMax, steps, &target)) return 0;
  return sendFocusMove(af, towardsMax, steps, target) > 0 || steps == 0 ? 1 : 0;
}

void updateZFposition(CAFControl* af) {
  AfLens& lens = af->lensPort();
  if (!lens.ready()) {
    ISP_LOG(kSource, 7, 0, "wait mcu ready\n");
    return;
  }
  lens.focusStop();
  usleep(1000);
  uint32_t v = 0;
  if (lens.getZoom(&v)) af->m_iCurrZoomPosition.store(static_cast<int32_t>(v));
  usleep(1000);
  if (lens.getFocus(&v)) af->m_iCurrFocusPosition.store(static_cast<int32_t>(v));
}

// ---- modes ------------------------------------------------------------------------------------------

namespace {

// The four mode flags and the zoom-trigger arm word (kLeave: untouched) of one focus mode. Flags that
// go off are cleared before those that go on, so no reader sees two modes at once.
constexpr int kLeave = -1;
void setModeFlags(LensMotionFlags& f, int autoFocus, int manual, int push, int zoomTrig, int armed) {
  const std::pair<std::atomic<uint8_t>*, int> words[] = {{&f.G_AutoFocusMode, autoFocus},
                                                         {&f.G_ManualFocusMode, manual},
                                                         {&f.G_PushMode, push},
                                                         {&f.G_ZoomTrigMode, zoomTrig},
                                                         {&f.G_ZoomTrigArmed, armed}};
  for (int on = 0; on <= 1; ++on)
    for (const auto& w : words)
      if (w.second == on) w.first->store(static_cast<uint8_t>(on));
}

}  // namespace

int processAFModeSwitching(CAFControl* af, int32_t mode) {
  if (mode == af->afMode.load()) return 0;
  if (af->afMode.load() != AF_MODE_UNSET) updateZFposition(af);
  af->wideRange.store(0);
  LensMotionFlags& f = flags();
  switch (mode) {
    case AUTO_FOCUS_MODE:
      setModeFlags(f, 1, 0, 0, 0, 0);
      triggerRefocus(af);
      debugPrintf(0, "[processAFModeSwitching]AUTO_FOCUS_MODE\n");
      break;
    case MANUAL_MODE:
      setModeFlags(f, 0, 1, 0, 0, 0);
      debugPrintf(0, "[processAFModeSwitching]MANUAL_MODE\n");
      break;
    case ZOOM_TRIG_MODE:
      setModeFlags(f, 0, 0, 0, 1, 1);
      af->noSeekFrames.store(0);
      goBacktoPreSeek(af);
      debugPrintf(0, "[processAFModeSwitching]ZOOM_TRIG_MODE\n");
      break;
    case PUSH_MODE:
      f.G_PushTrigger.store(1);
      f.G_PushPending.store(1);
      setModeFlags(f, 0, 0, 1, 0, kLeave);
      af->noSeekFrames.store(0);
      goBacktoPreSeek(af);
      triggerRefocus(af);
      debugPrintf(0, "[processAFModeSwitching]PUSH_MODE\n");
      break;
    default:
      break;
  }
  af->afMode.store(mode);
  return 1;
}

// ---- the bias file --------------------------------------------------------------------------------

namespace {

const char* const kBiasKeys[5] = {"zoom_bias=%d\n", "focus_bias=%d\n", "focus_Telebias=%d\n", "iris_bias=%d\n",
                                  "iris_status=%d\n"};

bool writeBiasFile(const std::string& file, const int32_t v[5]) {
  FILE* fp = std::fopen(file.c_str(), "w+");
  if (fp == nullptr) return false;
  for (int i = 0; i < 5; ++i) std::fprintf(fp, kBiasKeys[i], int(v[i]));
  std::fclose(fp);
  return true;
}

}  // namespace

int setZFBias2Mcu(CAFControl*) {
  int32_t v[5] = {0, 0, 0, 0, 0};
  const std::string file = os::path(kBiasFile);
  FILE* fp = std::fopen(file.c_str(), "r");
  if (fp == nullptr) {
    ISP_LOG(kSource, 4, 0, "[setZFBias2Mcu]err_code=-1.\n");
    if (!writeBiasFile(file, v)) {
      ISP_LOG(kSource, 4, 0, "[setZFBias2Mcu]err_code=-2.\n");
      return 0;
    }
    ISP_LOG(kSource, 6, 0, "zoom_bias=%d\nfocus_bias=%d\nfocus_Telebias=%d\niris_bias=%d\niris_status=%d\n", 0, 0, 0, 0, 0);
  } else {
    const int first = std::fgetc(fp);
    if (first == EOF) {
      std::fclose(fp);
      return 0;
    }
    std::ungetc(first, fp);
    char line[256];
    for (int i = 0; i < 5; ++i) {
      if (std::fgets(line, 255, fp) == nullptr) break;
      int x = 0;
      if (std::sscanf(line, kBiasKeys[i], &x) == 1) v[i] = x;
      debugPrintf(0, kBiasKeys[i], x);
    }
    std::fclose(fp);
  }
  if (lensId() == 3) {
    const int32_t fixed[5] = {0, -9, 59, 2, 128};
    std::copy(fixed, fixed + 5, v);
  }
  LensLinkState& l = g_isp.lensLink;
  l.zoom_bias.store(v[0]);
  l.focus_bias.store(v[1]);
  l.focus_Telebias.store(v[2]);
  // The iris bias is a calibration's result (status 2, good): the exposure control takes it as its
  // iris target and drives from it, with the status when it is one of its own, and saves both.
  const int32_t iris = v[4] == IRIS_GOOD ? v[3] : 128;
  if (AEControl* ae = aeControl()) {
    ae->irisTarget.store(iris, std::memory_order_relaxed);
    if (v[4] >= IRIS_GOING && v[4] <= IRIS_NG) {
      ae->irisStatus = v[4];
      ae->irisAdjustStatus.store(static_cast<uint8_t>(v[4]), std::memory_order_relaxed);
    }
    ae->restore_iris_index();
  }
  if (SubCPU* s = subCpu()) {
    s->setFocusWideBias(biasByte(v[1]));
    s->setFocusTeleBias(biasByte(v[2]));
    s->setZoomBias(static_cast<uint32_t>(v[0]));
    s->setIrisBias(static_cast<uint32_t>(iris));
  }
  return 1;
}

int SaveZFBias(CAFControl*) {
  const LensLinkState& l = g_isp.lensLink;
  const AEControl* ae = aeControl();
  const int32_t v[5] = {l.zoom_bias.load(), l.focus_bias.load(), l.focus_Telebias.load(),
                        ae ? ae->irisTarget.load(std::memory_order_relaxed) : 128,
                        ae ? ae->irisAdjustStatus.load(std::memory_order_relaxed) : 0};
  if (!writeBiasFile(os::path(kSavedBiasFile), v)) {
    ISP_LOG(kSource, 4, 0, "[SaveZFBias]err_code=-1.\n");
    return 0;
  }
  ISP_LOG(kSource, 6, 0,
          "[SaveZFBias]zoom_bias=%d\n[SaveZFBias]focus_bias=%d\n[SaveZFBias]focus_Telebias=%d\n[SaveIrisBias]iris_bias=%d\n[SaveIrisStatus]iris_status=%d\n",
          int(v[0]), int(v[1]), int(v[2]), int(v[3]), int(v[4]));
  return 1;
}

}  // namespace isp
}  // namespace kavo
