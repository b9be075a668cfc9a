// Lens positions and IR-cut filter: see CIsp_Motor.h.
#include "thread_proc/CIsp_Motor.h"

#include <unistd.h>

#include <algorithm>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_af/lens_tables.h"
#include "algo_af/tracking_curves.h"
#include "fe_subcpu/subcpu.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

namespace {

const char kSource[] = "CIsp_Motor";

LensMotionFlags& flags() { return g_isp.lensLink.flags; }

// Polls `flag` until it equals `value`, at most `polls` times `us` apart; true when it did.
bool pollFor(const std::atomic<uint8_t>& flag, uint8_t value, int polls, unsigned us) {
  for (int i = 0; i < polls; ++i) {
    if (flag.load() == value) return true;
    if (us >= 1000)
      utils::sleepMs(us / 1000);
    else
      usleep(us);
  }
  return flag.load() == value;
}

// Claims the lens for one move: false when a move already runs.
bool claim(CIsp* isp) {
  uint8_t expected = 0;
  if (isp->zoomMoving.load() != 0 || !isp->focusMoving.compare_exchange_strong(expected, 1)) return false;
  expected = 0;
  if (!isp->zoomMoving.compare_exchange_strong(expected, 1)) {
    isp->focusMoving.store(0);
    return false;
  }
  return true;
}

void release(CIsp* isp) {
  isp->zoomMoving.store(0);
  isp->focusMoving.store(0);
}

void readBack(SubCPU* s, CAFControl* af, bool zoom) {
  uint32_t v = 0;
  if (zoom) {
    if (s->getZoom(&v) && af) af->m_iCurrZoomPosition.store(static_cast<int32_t>(v));
  } else if (s->getFocus(&v) && af) {
    af->m_iCurrFocusPosition.store(static_cast<int32_t>(v));
  }
}

}  // namespace

int32_t zoomFocusTarget(int32_t lensId, int32_t stop) {
  const LensCurves* c = lensCurves(lensId);
  if (c == nullptr) return -1;
  const int32_t bias = zoomFocusBias(lensId, stop, g_isp.lensLink.focus_bias.load(), g_isp.lensLink.focus_Telebias.load());
  // A negative sum would wrap to the far end as a 16-bit position: it stops at 0 instead.
  return std::clamp(bias + c->focus[stop], 0, c->focusLimit);
}

int set_zoom_abs_normalize(CIsp* isp, int percent) {
  if (!claim(isp)) {
    ISP_LOG(kSource, 6, 0, "Zoom or Focus is moving.");
    return -1;
  }
  percent = std::clamp(percent, 0, 100);
  const int32_t lens = g_isp.sys.lens;
  const LensCurves* c = lensCurves(lens);
  if (c == nullptr) {
    ISP_LOG(kSource, 4, 0, "no lens support for zoom.");
    release(isp);
    return -1;
  }
  const int32_t stop = std::min(static_cast<int32_t>((c->lastStop * percent / 100) & 0xFFFF), c->lastStop);
  const int32_t focus = zoomFocusTarget(lens, stop);
  LensMotionFlags& f = flags();
  CAFControl* af = afControl();
  SubCPU* s = subCpu();
  f.G_ATF_On.store(0);
  f.G_AutoFocusMode.store(0);
  usleep(100);
  f.G_AutoFocusMode.store(0);
  f.G_ZoomAccept.store(1);
  if (f.G_PushPending.load()) f.G_PushTrigger.store(0);
  if (f.G_ZoomTrigMode.load()) f.G_ZoomTrigArmed.store(0);
  if (!pollFor(f.G_Wait_AF_Off, 0, 400, 1000)) ISP_LOG(kSource, 6, 0, "Wait_AF_Off_count[400]\n");
  if (f.G_AF_NotDataLock.load() == 0 && !pollFor(f.G_AF_NotDataLock, 1, 5000, 1000)) {
    ISP_LOG(kSource, 6, 0, "AF_CONTI_counter[5000]\n");
    if (s) {
      s->zoomStop();
      s->focusStop();
      utils::sleepMs(100);
      readBack(s, af, true);
      usleep(10);
      readBack(s, af, false);
    }
    f.G_AF_NotDataLock.store(1);
    if (af) af->movePending.store(0);
  }
  f.G_WaitCmd_Done.store(0);
  if (s) {
    s->syncAbsZoomFocus_WaitCompletion(static_cast<uint32_t>(stop), static_cast<uint32_t>(focus));
    utils::sleepMs(300);
    uint32_t z = 0, fo = 0;
    bool same = s->getZoom(&z) && s->getFocus(&fo) && int32_t(z) == stop && int32_t(fo) == focus;
    if (!same) {
      utils::sleepMs(1000);
      same = s->getZoom(&z) && s->getFocus(&fo) && int32_t(z) == stop && int32_t(fo) == focus;
      if (!same) s->syncAbsZoomFocus_WaitCompletion(static_cast<uint32_t>(stop), static_cast<uint32_t>(focus));
    }
  }
  if (af) {
    af->m_iCurrFocusPosition.store(focus);
    af->m_iCurrZoomPosition.store(stop);
  }
  if (f.G_PushMode.load() == 0) {
    if (f.G_ZoomTrigMode.load()) {
      if (af) af->noSeekFrames.store(0);
      f.G_ZoomTrigArmed.store(1);
      if (af) goBacktoPreSeek(af);
    } else if (f.G_ManualFocusMode.load() == 0) {
      f.G_AutoFocusMode.store(1);
      if (af) triggerRefocus(af);
    }
  }
  if (f.G_PushPending.load()) f.G_PushTrigger.store(1);
  release(isp);
  return 0;
}

int set_focus_abs_normalize(CIsp* isp, int percent) {
  percent = std::clamp(percent, 0, 100);
  if (!claim(isp)) {
    ISP_LOG(kSource, 6, 0, "[SetFocusABS]err:Zoom or Focus is moving.\n");
    return -1;
  }
  LensMotionFlags& f = flags();
  if (f.G_AutoFocusMode.load() || f.G_ZoomTrigMode.load()) {
    release(isp);
    return -1;
  }
  CAFControl* af = afControl();
  SubCPU* s = subCpu();
  if (s) s->focusStop();
  utils::sleepMs(100);
  int32_t hi = 0, lo = 0;
  if (af) updateMinMaxFocusFromTrackingCurve(af, &hi, &lo);
  const LensCurves* c = lensCurves(g_isp.sys.lens);
  const int32_t limit = c ? c->focusLimit : 0;
  // The range can lie partly outside 0..limit with large biases: the target stays inside.
  const int32_t target = std::clamp((hi - lo) * percent / 100 + lo, 0, limit);
  const int32_t zoom = af ? af->m_iCurrZoomPosition.load() : 0;
  if (s) {
    s->syncAbsZoomFocus_WaitCompletion(static_cast<uint32_t>(zoom), static_cast<uint32_t>(target));
    uint32_t fo = 0;
    if (!(s->getFocus(&fo) && int32_t(fo) == target)) {
      utils::sleepMs(1000);
      const bool same = s->getFocus(&fo) && int32_t(fo) == target;
      debugPrintf(0, "[AbsFocus]iFocusStop=%x, Target wFStop=%x AbsZoomFocus_WaitCompletion Fail!! \n", unsigned(fo),
                  unsigned(target));
      if (!same) s->syncAbsZoomFocus_WaitCompletion(static_cast<uint32_t>(zoom), static_cast<uint32_t>(target));
    }
  }
  if (af) af->m_iCurrFocusPosition.store(target);
  debugPrintf(0, "New m_iCurrFocusPosition=%x\n", unsigned(target));
  release(isp);
  return 1;
}

void set_zoom_stop(CIsp* isp) {
  LensMotionFlags& f = flags();
  f.G_ZoomStopping.store(1);
  f.G_ATF_On.store(0);
  f.G_ZoomTrigArmed.store(0);
  f.G_ZoomAccept.store(0);
  const bool zoomLens = isp->system().systemType == ZOOMLENS;
  CAFControl* af = afControl();
  SubCPU* s = subCpu();
  if (zoomLens) {
    if (!pollFor(f.G_Wait_ATF_Off, 0, 400, 1))
      debugPrintf(0, ".............G_Wait_ATF_Off in zoom stop timeout!!!!!........\n");
    if (!pollFor(f.G_ATF_NotDataLock, 1, 400, 1)) {
      debugPrintf(0, ".............G_ATF_NotDataLock in zoom stop timeout!!!!!........\n");
      f.G_ATF_NotDataLock.store(1);
    }
  }
  f.G_WaitCmd_Done.store(0);
  if (s) s->zoomStop();
  if (zoomLens) {
    if (!pollFor(f.G_WaitCmd_Done, 1, 20, 1))
      debugPrintf(0, ".............G_WaitCmd_Done in zoom stop timeout!!!!!........\n");
    if (af) {
      triggerRefocus(af);
      f.G_ZoomTrigArmed.store(1);
      af->noSeekFrames.store(0);
      goBacktoPreSeek(af);
      if (s) {
        readBack(s, af, true);
        usleep(10);
        readBack(s, af, false);
      }
    }
  }
  usleep(10);
  f.G_ZoomStopping.store(0);
  f.G_ZoomDriving.store(0);
  if (f.G_PushMode.load() == 0) {
    if (f.G_ZoomTrigMode.load()) {
      f.G_ZoomTrigArmed.store(1);
      if (af) {
        af->noSeekFrames.store(0);
        goBacktoPreSeek(af);
      }
    } else if (f.G_ManualFocusMode.load() == 0) {
      f.G_AutoFocusMode.store(1);
    }
  }
  f.G_ZoomAccept.store(1);
}

void set_icr_mode(CIsp* isp, unsigned mode) {
  LensLinkState& l = g_isp.lensLink;
  switch (mode) {
    case 0:
      l.icrAuto.store(1);
      break;
    case 1:
      l.icrAuto.store(0);
      l.icrOn.store(1);
      debugPrintf(0, "manual ICR ON(ICR filter install).\n");
      break;
    case 2:
      l.icrAuto.store(0);
      l.icrOn.store(0);
      debugPrintf(0, "manual ICR OFF(ICR filter remove).\n");
      break;
    default:
      ISP_LOG(kSource, 4, 0, "mode is not supported");
      return;
  }
  if (AEControl* ae = aeControl()) ae->set_icr_manual(static_cast<int>(l.icrAuto.load() & 0xFF));
  if (l.icrAuto.load() != 0) return;
  const uint32_t led = l.icrOn.load() ? 0 : 1;
  if (SubCPU* s = subCpu()) {
    const int32_t model = isp->system().model;
    if (model == TORVEX_BRISK || model == TORVEX_TARROW)
      s->setICR(static_cast<int>(led));
    else
      s->setIrLedon_xBrisk(led);
  }
  g_isp.irOn.store(led);
}

void set_ir_led_auto(CIsp*, unsigned on) { g_isp.irLedAuto.store(on ? 1 : 0); }

void set_ir_led_level(CIsp*, unsigned level) {
  if (g_isp.irLedAuto.load() != 0) return;
  if (SubCPU* s = subCpu()) s->setIrLedLevel(level);
}

}  // namespace isp
}  // namespace kavo
