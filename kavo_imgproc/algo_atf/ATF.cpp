// Focus tracking during zoom: the curve choice the contrast search hands over to the lens MCU, and
// the per-frame step that, while a continuous zoom runs, moves the MCU's curve number by contrast and
// stops the zoom once its position stands. It runs inside the AF step (3A thread) on the tracking
// fields of CAFControl; onCurveDone comes on the sub-CPU thread.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "algo_af/CAFControl.h"
#include "algo_af/tracking_curves.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

const char kSource[] = "ATF";
constexpr int kCurveWaitFrames = 50;
constexpr uint32_t kStartSearchHF1 = 12000;
constexpr uint16_t kInfoValid = 0x4000, kInfoUpper = 0x8000;

LensMotionFlags& flags() { return g_isp.lensLink.flags; }
int32_t lensId() { return g_isp.sys.lens; }
int32_t sign(uint32_t now, uint32_t last) { return now > last ? 1 : -1; }

bool towardsUpper(const CAFControl* af) { return (af->atfStatus.load() & AF_NEAR) != 0; }
void setTowardsUpper(CAFControl* af, bool up) {
  if (up)
    af->atfStatus.fetch_or(AF_NEAR);
  else
    af->atfStatus.fetch_and(~uint32_t(AF_NEAR));
}
void reverse(CAFControl* af) { af->atfStatus.fetch_xor(AF_NEAR); }
bool coarse(const CAFControl* af) { return (af->atfStatus.load() & AF_COARSE) != 0; }
int32_t number(const CAFControl* af) { return af->ATF_m_iCurrFocusPosition.load(); }

// The tracking's lock mirrors into the global flag a zoom stop waits for.
void setLocked(CAFControl* af, uint8_t locked) {
  af->atfLocked.store(locked);
  flags().G_ATF_NotDataLock.store(locked);
}

void clearBest(CAFControl* af) {
  af->atfBestHF1 = af->atfBestHF0 = af->atfBestHF0Quarter = 0;
  af->atfBestPosition = 0;
}
void setBestToCurrent(CAFControl* af) {
  af->atfBestHF1 = af->m_uAF_Current_HF1;
  af->atfBestHF0 = af->m_uAF_Current_HF0;
  af->atfBestHF0Quarter = af->m_uAF_Current_HF0 / 4;
  af->atfBestPosition = number(af);
}
void remember(CAFControl* af) {
  af->m_uAF_Last_HF0 = af->m_uAF_Current_HF0;
  af->m_uAF_Last_HF1 = af->m_uAF_Current_HF1;
}
void clearFlat(CAFControl* af) {
  af->atfFlatState = 0;
  af->atfFlatCount = 0;
}

void setCurveBounds(CAFControl* af) {
  const int32_t n = number(af);
  af->curveLower.store(0);
  if (lensId() == 3)
    af->curveUpper.store(n < 11 ? 8 : 10);
  else
    af->curveUpper.store(n <= 10 ? 15 : 20);
}

void setCurveSteps(CAFControl* af) {
  const int32_t z = af->m_iCurrZoomPosition.load();
  af->curveCoarseStep = (lensId() == 1 && z >= 540 && z <= 607) ? 1 : 2;
  af->curveFineStep = static_cast<uint8_t>(std::max(af->curveCoarseStep / 2, 1));
}

uint32_t preThresholdOf(uint32_t v) { return (v > 6999 ? 6 : 3) * (v >> 7); }

// One curve step at a shift of the step size; the step made (0: none).
int curveStep(CAFControl* af, int shift) {
  setCurveBounds(af);
  setCurveSteps(af);
  const int32_t n = number(af), lo = af->curveLower.load(), hi = af->curveUpper.load();
  const bool up = towardsUpper(af);
  int32_t s;
  const char* line;
  if (coarse(af)) {
    s = af->curveCoarseStep;
    if (up) {
      s = n < lo ? lo - n : n > hi ? 0 : std::min(s, hi - n);
      line = "TsF.C.N- Sp=%2u Fp=%4u H1=%5d H0=%5d CT=%4d CD=%4d D=%2d\n";
    } else {
      s = n > hi ? n - hi : n < lo ? 0 : std::min(s, n - lo);
      line = "TsF.C.F- Sp=%2u Fp=%4u H1=%5d H0=%5d CT=%4d CD=%4d D=%2d\n";
    }
    s >>= shift;
  } else {
    s = af->curveFineStep;
    if (up) {
      s = n > hi ? 0 : std::min(s, hi - n);
      line = "TspF.F.N- Sp=%2u Fp=%4u H1=%5d H0=%5d CT=%4d CD=%4d D=%d\n";
    } else {
      s = n < lo ? 0 : std::min(s, n - lo);
      line = "TspF.F.F- Sp=%2u Fp=%4u H1=%5d H0=%5d CT=%4d CD=%4d D=%d\n";
    }
    // At the bound there is nothing to cut to: no move (the shift alone never stops a step).
    if (s > 0) s = std::max(s >> shift, 1);
  }
  if (s <= 0) return 0;
  debugPrintf(0, line, unsigned(s), unsigned(n), int(af->m_uAF_Current_HF1), int(af->m_uAF_Current_HF0),
              int(af->atfCoarseThreshold), af->atfDiffHF1, af->atfDirection);
  af->movePending.store(1);
  af->curveMovePending.store(1);
  af->atfStatus.fetch_or(AF_MOVING);
  setLocked(af, 0);
  af->curveCallbackInfo.store(static_cast<uint16_t>(kInfoValid | (up ? kInfoUpper : 0) | (s & 0x3FFF)));
  af->expectedCurve.store(up ? n + s : n - s);
  if (up)
    setCurveNear(af, s);
  else
    setCurveFar(af, s);
  return s;
}

// The tracking's flat tracker on a zero decision in coarse mode: a direction once HF1 has moved
// far enough from one of the last three values.
int32_t flatDecision(CAFControl* af) {
  const uint32_t h1 = af->m_uAF_Current_HF1;
  if (af->atfFlatState == 0) {
    af->atfFlatHF1[0] = af->m_uAF_Last_HF1;
    af->atfFlatHF1[1] = h1;
    af->atfFlatCount = 2;
    af->atfFlatState = 1;
    return 0;
  }
  if (af->atfFlatState == 1) {
    af->atfFlatHF1[af->atfFlatCount++] = h1;
    if (af->atfFlatCount > 2) af->atfFlatState = 2;
  } else {
    af->atfFlatHF1[0] = af->atfFlatHF1[1];
    af->atfFlatHF1[1] = af->atfFlatHF1[2];
    af->atfFlatHF1[2] = h1;
  }
  int32_t far = 0;
  uint32_t farDist = 0;
  for (int32_t i = 0; i < af->atfFlatCount; ++i) {
    const uint32_t d = absDiff(h1, af->atfFlatHF1[i]);
    if (d > farDist) {
      farDist = d;
      far = i;
    }
  }
  if (farDist == 0 || farDist < af->atfCoarseThreshold) return 0;
  const int32_t d = h1 > af->atfFlatHF1[far] ? 1 : -1;
  clearFlat(af);
  return d;
}

void seekThresholds(CAFControl* af) {
  const uint32_t v1 = af->m_uAF_Last_HF1, v0 = af->m_uAF_Last_HF0;
  const uint32_t q1 = v1 >> 7, q0 = v0 >> 7;
  af->atfCoarseThreshold = std::max<uint32_t>(v1 < 5000 ? 30 * q1 : v1 < 10000 ? 20 * q1 : 3 * q1, 32);
  af->atfFineThreshold = std::max<uint32_t>(10 * q0, 32);
  // Every stop inside the family's range gives 0; the tracking only runs inside it.
  const CurveFamily* f = curveFamily(lensId());
  const int32_t z = af->m_iCurrZoomPosition.load();
  af->atfFineThreshold0 = (f != nullptr && z >= 0 && z <= f->lastStop) ? 0 : std::max<uint32_t>(q0, 64);
  af->atfAbortThreshold = (v0 < 2000 ? 19 : v0 < 10000 ? 32 : v0 < 100000 ? 45 : 51) * q0;
}

// ---- the tracking states -------------------------------------------------------------------------------

void atfNoSeeking(CAFControl* af) {
  af->atfPreThreshold = preThresholdOf(af->m_uAF_Last_HF1);
  debugPrintf(0, "ATF_processAF_NoSeeking-HF1=%d\r\n", int(af->m_uAF_Current_HF1));
  if (af->m_uAF_Current_HF1 < kStartSearchHF1) {
    af->atfStatus.store((af->atfStatus.load() & ~uint32_t(AF_REFOCUS)) | AF_PRESEEK);
    af->atfLastDirection = 0;
    clearBest(af);
    af->atfPreSeekCount = 0;
  }
}

void atfPreSeeking(CAFControl* af) {
  af->probeActive = 1;
  af->probePhase = 0;
  clearFlat(af);
  af->atfPostPending = 0;
  af->atfPreThreshold = preThresholdOf(af->m_uAF_Current_HF1);
  const uint32_t d = absDiff(af->m_uAF_Current_HF1, af->m_uAF_Last_HF1);
  af->atfDirection = d <= af->atfPreThreshold ? 0 : sign(af->m_uAF_Current_HF1, af->m_uAF_Last_HF1);
  debugPrintf(0, "ATF_processAF_PreSeeking 1.1\n");
  setCurveBounds(af);
  af->atfStatus.store((af->atfStatus.load() & ~uint32_t(AF_PRESEEK | AF_IMPROVED | AF_AT_MAX | AF_AT_MIN)) | AF_SEEK |
                      AF_COARSE);
  af->atfLastDirection = 0;
  const int32_t n = number(af), lo = af->curveLower.load(), hi = af->curveUpper.load();
  if (n > hi) {
    setTowardsUpper(af, false);
    curveStep(af, 0);
  } else if (n < lo) {
    setTowardsUpper(af, true);
    curveStep(af, 0);
  } else {
    setTowardsUpper(af, !(n > lo + (hi - lo) / 2));
  }
  setBestToCurrent(af);
}

void atfProbe(CAFControl* af) {
  setCurveSteps(af);
  af->coarseToFineThreshold = 7000;
  auto phase0 = [&]() {
    setTowardsUpper(af, false);
    af->probeActive = 0;
    if (af->m_uAF_Current_HF0 >= af->coarseToFineThreshold) {
      af->atfStatus.fetch_and(~uint32_t(AF_COARSE));
      curveStep(af, 4);
    } else {
      curveStep(af, 0);
    }
    setBestToCurrent(af);
  };
  switch (af->probePhase) {
    case 1: {
      af->probeFarHF0 = af->m_uAF_Current_HF0;
      af->probePhase = 2;
      setTowardsUpper(af, true);
      const int32_t s = number(af) == 0 ? 1 : 2 * af->curveCoarseStep;
      const uint8_t keep = af->curveCoarseStep;
      af->curveCoarseStep = static_cast<uint8_t>(s);
      const uint32_t st = af->atfStatus.fetch_or(AF_COARSE);
      curveStep(af, 0);
      af->curveCoarseStep = keep;
      if (!(st & AF_COARSE)) af->atfStatus.fetch_and(~uint32_t(AF_COARSE));
      return;
    }
    case 2: {
      const uint32_t nearHF0 = af->m_uAF_Current_HF0;
      af->probePhase = 0;
      af->probeActive = 0;
      const bool up = nearHF0 > af->probeFarHF0;
      setTowardsUpper(af, up);
      if (af->m_uAF_Current_HF0 >= af->coarseToFineThreshold) {
        af->atfStatus.fetch_and(~uint32_t(AF_COARSE));
        curveStep(af, 4);
      } else {
        curveStep(af, 0);
      }
      setBestToCurrent(af);
      return;
    }
    default:
      phase0();
  }
}

void atfSeeking(CAFControl* af) {
  debugPrintf(0, "ATF_processAF_Seeking\n");
  seekThresholds(af);
  const uint32_t h0 = af->m_uAF_Current_HF0, h1 = af->m_uAF_Current_HF1;
  if (h0 > af->atfBestHF0 + 4 * (af->atfBestHF0 >> 7)) setBestToCurrent(af);
  const uint32_t both = AF_AT_MAX | AF_AT_MIN;
  if ((af->atfStatus.load() & both) == both) af->atfStatus.fetch_and(~both);
  const uint32_t d1 = absDiff(h1, af->m_uAF_Last_HF1), d0 = absDiff(h0, af->m_uAF_Last_HF0);
  af->atfDiffHF1 = static_cast<int32_t>(d1);
  af->atfDiffHF0 = static_cast<int32_t>(d0);
  if (!(af->atfStatus.load() & AF_NODECIDE)) {
    int32_t d;
    if (coarse(af))
      d = d1 <= af->atfCoarseThreshold ? 0 : sign(h1, af->m_uAF_Last_HF1);
    else
      d = d0 <= af->atfFineThreshold0 ? 0 : sign(h0, af->m_uAF_Last_HF0);
    if (d0 > af->atfAbortThreshold) {
      debugPrintf(0, "Abort to IDLE\n");
      clearFlat(af);
    } else {
      d = 0;
    }
    if (d == 0 && coarse(af)) {
      d = flatDecision(af);
      if (d == 0 && d0 > af->atfFineThreshold)
        debugPrintf(0, "H1 Dir m_e=%d e=%d\n", sign(h0, af->m_uAF_Last_HF0), af->atfLastDirection);
    }
    af->atfDirection = d;
    if (d == 1) setBestToCurrent(af);
  }
  setCurveSteps(af);
  if (!coarse(af) && h0 < af->coarseToFineThreshold) {
    af->atfStatus.fetch_or(AF_COARSE);
    debugPrintf(0, "fine to coarse seek=%d\n", int(h0));
  } else if (coarse(af) && h0 >= af->coarseToFineThreshold) {
    af->atfStatus.fetch_and(~uint32_t(AF_COARSE));
    af->atfDirection = af->m_uAF_Last_HF0 > h0 ? -1 : 1;
    debugPrintf(0, "coarse to fine seek: Dir=%d,HF0=%d,C2F_Thd=%d\n", af->atfDirection, int(h0),
                int(af->coarseToFineThreshold));
  }
  if (coarse(af))
    ATF_AFSeekCoarse(af, af->atfDirection);
  else
    debugPrintf(0, "Do nothing because of good HF1 value (CurrLensStop=%d HF1=%d)\r\n",
                int(af->m_iCurrZoomPosition.load()), int(h1));
}

void atfPostSeeking(CAFControl* af) {
  debugPrintf(0, "ATF_processAF_PostSeeking\n");
  af->atfPostPending = 0;
  if (af->m_uAF_Current_HF1 + af->m_uAF_Current_HF1 / 32 <= af->atfPostReference) {
    af->atfStatus.store(AF_PRESEEK);
    af->atfLastDirection = 0;
    clearBest(af);
  }
}

void trackingStep(CAFControl* af) {
  if (!readAfValues(af)) {
    af->atfStatus.store(AF_PRESEEK);
    af->atfLastDirection = 0;
    clearBest(af);
    return;
  }
  const uint32_t st = af->atfStatus.load();
  if (st & AF_HOLD) {
    remember(af);
    return;
  }
  debugPrintf(0, "z=%d, ATF_m_iCurrFocusPosition = %d, ", int(af->m_iCurrZoomPosition.load()), number(af));
  if (st & AF_SEEK) {
    if (af->probeActive)
      atfProbe(af);
    else
      atfSeeking(af);
  } else if (st & AF_PRESEEK) {
    atfPreSeeking(af);
  } else if (af->atfPostPending) {
    atfPostSeeking(af);
  } else {
    atfNoSeeking(af);
  }
  remember(af);
}

}  // namespace

// ---- curve choice ----------------------------------------------------------------------------------------

int32_t chooseTrackingCurve(CAFControl* af, int32_t z, int32_t f) {
  const int32_t lens = lensId();
  const CurveFamily* fam = curveFamily(lens);
  if (fam == nullptr) return -1;
  z = std::clamp(z, 0, fam->lastStop);
  const int32_t b = zoomFocusBias(lens, z, g_isp.lensLink.focus_bias.load(), g_isp.lensLink.focus_Telebias.load());
  auto distance = [&](int32_t onCurve) { return std::abs(f - std::max(0, b + onCurve)); };
  int32_t best = 0, bestDist = distance(fam->curve(0)[z]);
  for (int32_t i = 1; i < fam->curves; ++i) {
    const int32_t d = distance(fam->curve(i)[z]);
    if (d < bestDist) {
      bestDist = d;
      best = i;
    }
  }
  const int32_t c = fam->curve(best)[z];
  int32_t k = 0, kDist = distance(c + fam->subCurve(0)[z]);
  for (int32_t j = 1; j <= fam->subCount[best]; ++j) {
    const int32_t d = distance(c + fam->subCurve(j)[z]);
    if (d < kDist) {
      kDist = d;
      k = j;
    }
  }
  af->curveFamilyIndex.store(static_cast<uint8_t>(best));
  af->curveSubIndex.store(static_cast<uint8_t>(k));
  return fam->base[best] + k;
}

int sendTrackingCurveAF(CAFControl* af) {
  const int32_t lens = lensId();
  const int32_t z = static_cast<int32_t>(af->m_iCurrZoomPosition.load());
  const int32_t f = static_cast<int32_t>(af->m_iCurrFocusPosition.load());
  const bool lens3 = lens == 3;
  if (lens != 0 && lens != 1 && !lens3) return 0;
  if (z < 0 || z > (lens3 ? 1179 : 607) || f > (lens3 ? 900 : 1888)) return 0;
  const int32_t n = chooseTrackingCurve(af, z, f);
  // The MCU reports the end of this move too. Awaited as a curve move (whose report carries no
  // number to take), it cannot pass for the end of the next focus move.
  af->curveCallbackInfo.store(0);
  af->curveMovePending.store(1);
  if (!af->lensPort().setTrackingCurveAF(static_cast<uint32_t>(n))) af->curveMovePending.store(0);
  af->ATF_m_iCurrFocusPosition.store(n);
  return 1;
}

bool curveHandOverPending(CAFControl* af) {
  if (af->curveMovePending.load() == 0) {
    af->curveWaitFrames = 0;
    return false;
  }
  if (++af->curveWaitFrames > kCurveWaitFrames - 1) {
    ISP_LOG(kSource, 6, 0, "[ATF_Lock]err_code=%d.\n", af->curveWaitFrames);
    af->curveWaitFrames = 0;
    af->curveMovePending.store(0);
    return false;
  }
  return true;
}

int setCurveNear(CAFControl* af, int32_t s) {
  const int32_t lens = lensId();
  if (lens != 0 && lens != 1 && lens != 3) return 0;
  const int32_t n = std::min(number(af) + s, lens == 3 ? 10 : 20);
  debugPrintf(0, "setCurveNear = %d\n", n);
  return af->lensPort().setTrackingCurve(static_cast<uint32_t>(n));
}

int setCurveFar(CAFControl* af, int32_t s) {
  const int32_t lens = lensId();
  if (lens != 0 && lens != 1 && lens != 3) return 0;
  const int32_t n = std::max(number(af) - s, 0);
  debugPrintf(0, "setCurveFar = %d\n", n);
  return af->lensPort().setTrackingCurve(static_cast<uint32_t>(n));
}

// ---- the per-frame step and the end of a curve move ---------------------------------------------------------

void ATF_onAFdone(CAFControl* af) {
  takeAfStep(af);
  ++af->afDoneCount;
  usleep(10);
  af->lastFocusPosition = number(af);
  AfLens& lens = af->lensPort();
  if (af->curveMovePending.load() == 1 && ++af->curveWaitFrames > kCurveWaitFrames - 1) {
    uint32_t v = 0;
    if (lens.getFocus(&v)) af->m_iCurrFocusPosition.store(v);
    if (lens.getZoom(&v)) af->m_iCurrZoomPosition.store(v);
    usleep(10);
    debugPrintf(0, "[ATF_onAFdone]ATF_DataLock\n!");
    ISP_LOG(kSource, 6, 0, "[ATF_Lock]err_code=%d.\n", af->curveWaitFrames);
    af->curveWaitFrames = 0;
    af->curveMovePending.store(0);
    // The move is given up as a whole: with its in-flight bit and movePending left set, the step
    // below would wait for a report that never comes, for the rest of the zoom.
    af->atfStatus.fetch_and(~uint32_t(AF_MOVING));
    af->movePending.store(0);
    setLocked(af, 1);
  }
  if (af->movePending.load() == 1 || af->curveMovePending.load() == 1) {
    if ((af->atfStatus.load() & (AF_MOVING | AF_MOVING2)) == 0) {
      af->movePending.store(0);
      af->curveMovePending.store(0);
    }
    return;
  }
  af->curveWaitFrames = 0;
  bool skipped = false;
  uint32_t z = 0;
  if (lens.getZoom(&z)) {
    const uint32_t before = af->m_iCurrZoomPosition.load();
    if (z == before) {
      ++af->zoomSettleCount;
    } else {
      af->zoomSettleCount = 0;
      skipped = z < before;
    }
    af->m_iCurrZoomPosition.store(z);
  } else {
    af->zoomSettleCount = 0;
  }
  usleep(10);
  if (af->zoomSettleCount >= 5) {
    af->zoomSettleCount = 0;
    // This step is over: the zoom stop must not wait for it to leave.
    flags().G_Wait_ATF_Off.store(0);
    lens.stopZoom();
    debugPrintf(0, "[ATF_onAFdone]zoomstop by ATF\n");
    return;
  }
  if (!skipped) trackingStep(af);
}

void onCurveDone(CAFControl* af, bool ok) {
  debugPrintf(0, "onCurveDone\n");
  af->atfStatus.fetch_and(~uint32_t(AF_MOVING));
  af->curveMovePending.store(0);
  af->movePending.store(0);
  setLocked(af, 1);
  if (!ok) {
    debugPrintf(0, "onCurveDone - Fail\n");
    return;
  }
  if ((af->curveCallbackInfo.load() & kInfoValid) == 0) return;
  const int32_t n = af->expectedCurve.load();
  af->ATF_m_iCurrFocusPosition.store(n);
  debugPrintf(0, "onCurveDone ATF_m_iCurrFocusPosition =%d\n", n);
  if (n <= af->curveLower.load()) {
    af->atfStatus.fetch_or(AF_AT_MIN);
    af->atfLimitHits.fetch_or(2);
  }
  if (n >= af->curveUpper.load()) {
    af->atfStatus.fetch_or(AF_AT_MAX);
    af->atfLimitHits.fetch_or(1);
  }
}

int ATF_AFSeekCoarse(CAFControl* af, int32_t d) {
  debugPrintf(0, "ATF_AFSeekCoarse\n");
  return ATF_AFSeekCoarse2(af, d);
}

int ATF_AFSeekCoarse2(CAFControl* af, int32_t d) {
  int made = 0;
  if (d == 1) {
    af->atfLastDirection = 1;
    af->atfStatus.fetch_or(AF_IMPROVED);
    made = curveStep(af, 0);
    if (!made) reverse(af);
  } else if (d == -1) {
    af->atfLimitHits.fetch_or(towardsUpper(af) ? 1 : 2);
    reverse(af);
    made = curveStep(af, 0);
    af->atfLastDirection = -1;
  } else {
    made = curveStep(af, 0);
    if (!made) reverse(af);
    af->atfLastDirection = 0;
  }
  return made;
}

}  // namespace isp
}  // namespace kavo
