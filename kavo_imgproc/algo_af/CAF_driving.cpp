// The focus search of the contrast auto focus: its start, the pilot probe, coarse and fine seeking
// with their thresholds, steps, aborts and stop rules, and the accumulated-change test of NoSeeking.
// All of it runs inside the AF step on the 3A thread.
#include <algorithm>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

int moveFocusBy(CAFControl* af, bool towardsMax, int32_t steps);

namespace {

bool zoomLens() { return g_isp.sys.systemType == ZOOMLENS; }
bool towardsMax(const CAFControl* af) { return (af->afStatus.load() & AF_NEAR) != 0; }
void setTowardsMax(CAFControl* af, bool up) {
  if (up)
    af->afStatus.fetch_or(AF_NEAR);
  else
    af->afStatus.fetch_and(~uint32_t(AF_NEAR));
}
void reverse(CAFControl* af) { af->afStatus.fetch_xor(AF_NEAR); }
int32_t position(const CAFControl* af) { return af->m_iCurrFocusPosition.load(); }
void refreshRange(CAFControl* af) { refreshFocusRange(af); }
void remember(CAFControl* af) {
  af->m_uAF_Last_HF0 = af->m_uAF_Current_HF0;
  af->m_uAF_Last_HF1 = af->m_uAF_Current_HF1;
}
void setBestToCurrent(CAFControl* af) {
  af->bestHF1 = af->m_uAF_Current_HF1;
  af->bestHF0 = af->m_uAF_Current_HF0;
  af->bestHF0Quarter = af->m_uAF_Current_HF0 / 4;
  af->bestPosition = af->lastFocusPosition;
  af->bestCoarseHF0 = af->m_uAF_Current_HF0;
  af->bestCoarsePosition = af->lastFocusPosition;
}
bool coarseMode(const CAFControl* af) { return (af->afStatus.load() & AF_COARSE) != 0; }
void clearFlat(CAFControl* af) {
  af->flatState = 0;
  af->flatCount = 0;
}
// The coarse window around focus position c.
void setCoarseWindow(CAFControl* af, int32_t c) {
  int32_t h;
  if (zoomLens()) {
    h = std::max<int32_t>(af->coarseStep, 8);
    if (af->m_uAF_Current_HF1 <= 9999) h = h * 3 / 4;
  } else {
    h = 2 * af->coarseStep;
  }
  af->coarseUpper = std::min(c + h, af->m_eMaxAFFocus.load());
  af->coarseLower = c >= af->m_eMinAFFocus.load() + h ? c - h : af->m_eMinAFFocus.load();
}
// A move straight to `target` (the end of a search).
void moveTo(CAFControl* af, int32_t target) {
  const int32_t pos = position(af);
  if (target != pos) focusStep(af, target > pos, target > pos ? target - pos : pos - target);
}

}  // namespace

uint32_t seekThresholdOf(uint32_t v) {
  const uint32_t q = v >> 7;
  return v < 8500 ? 3 * q : v < 15000 ? 8 * q : 12 * q;
}

void computeSeekThresholds(CAFControl* af) {
  const uint32_t v = af->m_uAF_Last_HF1;
  uint32_t t;
  if (!zoomLens()) {
    t = 10;
  } else {
    const uint32_t k = v < 4000 ? 25 : v < 7500 ? 10 : v < 9000 ? 6 : v < 18000 ? 5 : v < 32000 ? 6 : 7;
    t = (k * v) >> 7;
  }
  t = std::max<uint32_t>(t, 32);
  if (af->PostReseekCnt == 1)
    t = t * 3 / 4;
  else if (af->PostReseekCnt > 1)
    t /= 2;
  const AEControl* ae = aeControl();
  if (ae != nullptr && ae->agcIndex.load(std::memory_order_relaxed) > 149) t += 2 * t / 4;
  af->coarseThreshold = t;
  const uint32_t h0 = af->m_uAF_Last_HF0;
  af->fineThreshold = !zoomLens() ? 10 : h0 >= 1200 ? (10 * h0) >> 9 : h0 >> 9;
  af->fineAbortBase = h0 < 7000 ? (8 * h0) >> 7 : h0 < 10000 ? (20 * h0) >> 7 : h0 < 28000 ? (30 * h0) >> 7 : 25 * (h0 >> 7);
}

void computeAFSteps(CAFControl* af) {
  retrieveAFSteps(af);
  if (af->m_uAF_Current_HF0 < 13501) af->coarseStep = static_cast<uint8_t>(af->coarseStep * 2);
  if (af->coarseStep < 4) {
    af->fineStep = 1;
  } else if (zoomLens()) {
    if (af->direction == 1 && af->lastDirection == 1) af->coarseStep /= 2;
    af->fineStep = af->coarseStep > 11 ? 4 : 1;
  } else {
    af->fineStep = af->coarseStep / 2;
  }
  if (af->wideRange.load() > 0) af->coarseStep = 4;
}

int seekStep(CAFControl* af, int shift) {
  refreshRange(af);
  computeAFSteps(af);
  const int32_t pos = position(af), hi = af->m_eMaxAFFocus.load(), lo = af->m_eMinAFFocus.load();
  const bool up = towardsMax(af);
  int32_t s;
  if (coarseMode(af)) {
    s = af->coarseStep;
    if (up) {
      if (pos > hi)
        s = 0;
      else if (pos + s >= hi)
        s = hi - pos;
      else if (pos < lo)
        s = lo - pos;
    } else {
      if (pos < lo)
        s = 0;
      else if (pos - s <= lo)
        s = pos - lo;
      else if (pos > hi)
        s = pos - hi;
    }
    if ((s >> shift) > 0) s >>= shift;
  } else {
    s = af->fineStep;
    if (up) {
      if (pos > hi)
        s = 0;
      else if (pos + s >= hi)
        s = hi - pos;
    } else {
      if (pos < lo)
        s = 0;
      else if (pos - s <= lo)
        s = pos - lo;
    }
    if (s > 0) s = std::max(s >> shift, 1);
  }
  if (s <= 0) return 0;
  return moveFocusBy(af, up, s);
}

// ---- starting a search ------------------------------------------------------------------------------

void restartSearch(CAFControl* af, bool withPostCheck) {
  uint32_t s = af->afStatus.load();
  s &= ~uint32_t(AF_PRESEEK | AF_IMPROVED | AF_AT_MAX | AF_AT_MIN);
  af->afStatus.store(s | AF_SEEK | AF_COARSE);
  af->trackPending = 0;
  clearFlat(af);
  af->postMoved.store(0);
  af->accuPhase = 0;
  af->accuCount = 0;
  af->lastDirection = 0;
  setBestToCurrent(af);
  af->m_bPostOptCheck = withPostCheck ? 1 : 0;
  retrieveAFSteps(af);
  af->pilotPhase = 0;
  af->pilotCount = 0;
  af->pilotActive = 1;
  af->m_iPilotSeekStep = af->coarseStep >= 20 ? 3 : af->coarseStep < 8 ? 1 : 2;
  if (af->m_uAF_Current_HF0 < 700)
    af->m_iPilotSeekStep *= 4;
  else if (af->m_uAF_Current_HF0 < 900)
    af->m_iPilotSeekStep *= 2;
}

void startSearch(CAFControl* af) {
  af->oscillationHits = 0;
  af->bothStopHits = 0;
  restartSearch(af, true);
  af->postPending = 0;
  refreshRange(af);
  af->stableFrames = 0;
  af->hfWeight = 2;
  af->avgCount = 1;
  af->fineStepLimit = 12;
  af->seekStartHF0 = af->m_uAF_Current_HF0;
  af->firstCoarse = 0;
}

void preSeekSetAFDir(CAFControl* af) {
  const int32_t pos = position(af), hi = af->m_eMaxAFFocus.load(), lo = af->m_eMinAFFocus.load();
  if (pos >= lo && pos <= hi) {
    setTowardsMax(af, !(pos > lo + (hi - lo) / 2));
    return;
  }
  debugPrintf(0, "[preSeekSetAFDir]m_iCurrFocusPosition = %d out of range (MaxAFFocus,MinAFFocus)= (%d,%d)...\n", pos, hi, lo);
  setTowardsMax(af, pos < lo);
  seekStep(af, 0);
}

// ---- pilot probe ------------------------------------------------------------------------------------

namespace {

void gotoCoarseSeek(CAFControl* af, bool up) {
  debugPrintf(0, "[gotoCoarseSeek]from Pilot to Coarse with Near=%d\n", up ? 1 : 0);
  setCoarseWindow(af, af->pilotBestPosition);
  setTowardsMax(af, up);
  seekStep(af, 0);
  setBestToCurrent(af);
  af->pilotPhase = 0;
  af->pilotActive = 0;
}

void pilotDifferences(CAFControl* af) {
  const uint32_t best = af->pilotBestHF0;
  af->pilotDiffNear = best > af->pilotNearHF0 ? best - af->pilotNearHF0 : 0;
  af->pilotDiffFar = best > af->pilotFarHF0 ? best - af->pilotFarHF0 : 0;
}

}  // namespace

void processAF_PilotSeeking(CAFControl* af) {
  refreshRange(af);
  const int32_t pos = position(af);
  debugPrintf(0, "[PilotSeeking]FocusPos=%d HF1=%d step=%d\n", pos, int(af->m_uAF_Current_HF1), af->m_iPilotSeekStep);
  switch (af->pilotPhase) {
    case 0:
      af->pilotMidHF1 = af->m_uAF_Current_HF1;
      af->pilotMidHF0 = af->m_uAF_Current_HF0;
      af->pilotMidPosition = pos;
      af->pilotBestHF0 = af->pilotMidHF0;
      af->pilotBestPosition = pos;
      af->pilotPhase = 1;
      if (pos - af->m_iPilotSeekStep < af->m_eMinAFFocus.load()) {
        gotoCoarseSeek(af, true);
      } else {
        setTowardsMax(af, false);
        moveFocusBy(af, false, af->m_iPilotSeekStep);
      }
      break;
    case 1:
      af->pilotFarHF0 = af->m_uAF_Current_HF0;
      af->pilotFarPosition = pos;
      pilotDifferences(af);
      af->pilotPhase = 2;
      af->m_iPilotSeekStep *= 2;
      if (pos + af->m_iPilotSeekStep > af->m_eMaxAFFocus.load()) {
        gotoCoarseSeek(af, false);
      } else {
        setTowardsMax(af, true);
        moveFocusBy(af, true, af->m_iPilotSeekStep);
      }
      break;
    default: {
      af->pilotNearHF0 = af->m_uAF_Current_HF0;
      af->pilotNearPosition = pos;
      pilotDifferences(af);
      const uint32_t t = (100 * af->pilotBestHF0) >> 7;
      if (af->pilotDiffNear > 10000 && af->pilotDiffFar > 10000 && af->pilotDiffNear > t && af->pilotDiffFar > t) {
        debugPrintf(0, "[gotoFineSeek]from Pilot to fine with Near=%d\n", 1);
        setTowardsMax(af, true);
        af->pilotActive = 0;
        af->afStatus.fetch_and(~uint32_t(AF_COARSE));
        // Fine seeking starts afresh here as it does from coarse: an earlier search's fraction
        // beyond 1/16 made no step, and its step count sent the search back to coarse at once.
        af->fineDivisor = 0;
        af->fineSteps = 0;
      }
      ++af->pilotCount;
      gotoCoarseSeek(af, af->pilotNearHF0 > af->pilotFarHF0);
      break;
    }
  }
  remember(af);
}

// ---- seeking ----------------------------------------------------------------------------------------

namespace {

// The end of a search at the best coarse position (both-stop and oscillation rules).
void endAtBestCoarse(CAFControl* af, int32_t status, bool bothStop) {
  af->savedBestHF0 = af->bestHF0;
  af->savedBestHF1 = af->bestHF1;
  af->afStatus.fetch_and(~uint32_t(AF_SEEK));
  af->postPending = 1;
  const int32_t target = af->bestCoarsePosition;
  debugPrintf(0, "m_uAF_BothHit_OptimalLensStop=%d\n", target);
  af->lastDirection = 0;
  if (bothStop) {
    af->m_bPostOptCheck = 0;
    af->bothStopHits = 0;
  }
  if (target != position(af)) {
    moveTo(af, target);
    if (bothStop) af->postMoved.store(1);
  }
  af->m_iFocusStatus.store(status);
  af->m_uAF_Current_HF0 = af->bestCoarseHF0;
  af->m_uAF_Current_HF1 = af->bestHF1;
  remember(af);
  af->m_uAF_SeekThreshold = seekThresholdOf(af->m_uAF_Current_HF1);
}

bool AFSeekStop_BothStopHit(CAFControl* af) {
  debugPrintf(0, "AFSeekStop_BothStopHit1\n");
  ++af->bothStopHits;
  af->afStatus.fetch_and(~uint32_t(AF_AT_MAX | AF_AT_MIN));
  if (af->bothStopHits < 2) return false;
  endAtBestCoarse(af, 3, true);
  return true;
}

bool AFSeekStop_OscillationStopHit(CAFControl* af) {
  debugPrintf(0, "AFSeekStop_OscillationStopHit\n");
  af->limitHits.store(0);
  ++af->oscillationHits;
  if (af->oscillationHits < 3) return false;
  endAtBestCoarse(af, 4, false);
  return true;
}

int decideDirection(CAFControl* af) {
  int d;
  if (coarseMode(af)) {
    const uint32_t diff = absDiff(af->m_uAF_Current_HF1, af->m_uAF_Last_HF1);
    d = diff <= af->coarseThreshold ? 0 : (af->m_uAF_Current_HF1 > af->m_uAF_Last_HF1 ? 1 : -1);
  } else {
    const uint32_t diff = absDiff(af->m_uAF_Current_HF0, af->m_uAF_Last_HF0);
    d = diff <= af->fineThreshold ? 0 : (af->m_uAF_Current_HF0 > af->m_uAF_Last_HF0 ? 1 : -1);
  }
  if (d != 0 || !coarseMode(af)) {
    clearFlat(af);
    return d;
  }
  const uint32_t h = af->m_uAF_Current_HF1;
  if (af->flatState == 0) {
    af->flatHF1[0] = af->m_uAF_Last_HF1;
    af->flatHF1[1] = h;
    af->flatCount = 2;
    af->flatState = 1;
    return 0;
  }
  if (af->flatState == 1) {
    af->flatHF1[af->flatCount++] = h;
    if (af->flatCount > kFlatEntries - 1) af->flatState = 2;
  } else {
    std::copy(af->flatHF1 + 1, af->flatHF1 + af->flatCount, af->flatHF1);
    af->flatHF1[af->flatCount - 1] = h;
  }
  int far = 0;
  for (int i = 1; i < af->flatCount; ++i)
    if (absDiff(af->flatHF1[i], h) > absDiff(af->flatHF1[far], h)) far = i;
  if (absDiff(af->flatHF1[far], h) >= af->coarseThreshold) {
    clearFlat(af);
    return h > af->flatHF1[far] ? 1 : -1;
  }
  return 0;
}

bool AbortFromFine(CAFControl* af, uint32_t diff) {
  uint32_t t = 2 * af->fineAbortBase;
  if (af->m_uAbortCounter >= 10) t = 4 * af->fineAbortBase;
  debugPrintf(0, "[AbortFromFine]diff=%d thd=%d. HF0=%d\n", int(diff), int(t), int(af->m_uAF_Current_HF0));
  if (diff <= t) return false;
  ++af->m_uAbortCounter;
  goBacktoPreSeek(af);
  return true;
}

int NegFineSeek(CAFControl* af) {
  if (af->fineDivisor > 4) return 0;
  return seekStep(af, af->fineDivisor);
}

void gotoPostFromFine(CAFControl* af) {
  af->postPending = 1;
  af->afStatus.fetch_and(~uint32_t(AF_SEEK));
  af->lastDirection = 0;
  moveTo(af, af->bestPosition);
  af->m_uAF_Current_HF1 = af->bestHF1;
  af->m_uAF_Current_HF0 = af->bestHF0;
  debugPrintf(0, "[gotoPostFromFine]m_iCurrFocusPosition =%d m_uAF_Current_HF0=%d m_uAF_Last_HF0=%d\n", position(af),
              int(af->m_uAF_Current_HF0), int(af->m_uAF_Last_HF0));
  remember(af);
  af->m_uAF_SeekThreshold = seekThresholdOf(af->m_uAF_Current_HF1);
}

void towardsBest(CAFControl* af) { setTowardsMax(af, !(af->bestPosition < position(af))); }

// True when the frame's values were already remembered (the search ended).
bool AFSeekFine(CAFControl* af, uint32_t diff, int dir) {
  debugPrintf(0, "SeekFine.\n");
  bool zero = false, ended = false;
  if (af->fineReverse) {
    af->fineReverse = 0;
    dir = -1;
  }
  if (dir == 0) {
    zero = true;
  } else if (dir == 1) {
    if (!af->firstCoarse && AbortFromFine(af, diff)) {
      af->firstCoarse = 0;
      return false;
    }
    af->lastDirection = 1;
    if (NegFineSeek(af) == 0) zero = true;
  } else if (dir == -1) {
    towardsBest(af);
    if (!AbortFromFine(af, diff)) {
      if (af->lastDirection == 1) ++af->fineDivisor;
      NegFineSeek(af);
      af->lastDirection = -1;
    }
  }
  if (zero) {
    if (af->fineDivisor == 0) {
      towardsBest(af);
      debugPrintf(0, "Zero.FineSeek.sF 1/1\n");
      seekStep(af, 0);
      af->lastDirection = 0;
      af->fineDivisor = 1;
    } else if (af->PostReseekCnt < 2 && af->m_uAF_Current_HF0 + af->bestHF0 / 4 < af->bestHF0) {
      debugPrintf(0, "[AFSeekFine]abort and start over\n");
      goBacktoPreSeek(af);
    } else {
      debugPrintf(0, "[AFSeekFine]Best Result (Fp,m_uAF_Current_HF0)=(%d,%d)\n", position(af), int(af->m_uAF_Current_HF0));
      gotoPostFromFine(af);
      ended = true;
    }
  }
  af->firstCoarse = 0;
  return ended;
}

void AFSeekCoarse(CAFControl* af, uint32_t diff, int dir) {
  if (!af->firstCoarse) af->firstCoarse = 1;
  const uint32_t base = af->fineAbortBase;
  const uint32_t t1 = 2 * base + base / 2, t2 = 2 * base;
  debugPrintf(0, "[AbortFromCoarse_notAbort]diff=%d thd=%d. HF0=%d\n", int(diff), int(t1), int(af->m_uAF_Current_HF0));
  bool abort = false;
  if (diff > t1)
    abort = af->coarseAbortCount <= 1;
  else if (diff > t2)
    abort = (af->m_uAF_Current_HF1 <= 11999 || af->direction == -1) && af->coarseAbortCount == 0;
  if (abort) {
    ++af->coarseAbortCount;
    goBacktoPreSeek(af);
    return;
  }
  computeAFSteps(af);
  if (dir == 0) {
    af->fineDivisor = 0;
    if (seekStep(af, 0) == 0) reverse(af);
    af->lastDirection = 0;
  } else if (dir == 1) {
    af->afStatus.fetch_or(AF_IMPROVED);
    if (seekStep(af, 0) != 0)
      af->lastDirection = 1;
    else
      reverse(af);
  } else if (dir == -1) {
    if (af->afStatus.load() & AF_IMPROVED) {
      af->savedBestHF0 = af->bestHF0;
      af->savedBestHF1 = af->bestHF1;
      af->afStatus.fetch_and(~uint32_t(AF_COARSE));
      af->fineDivisor = 0;
      af->fineSteps = 0;
      debugPrintf(0, "***coarse-neg HF1 = %d, HF0 = %d\n", int(af->m_uAF_Current_HF1), int(af->m_uAF_Current_HF0));
      if (af->bestPosition == position(af)) {
        reverse(af);
        seekStep(af, 0);
      } else {
        moveTo(af, af->bestPosition);
      }
    } else {
      af->limitHits.fetch_or(towardsMax(af) ? 1u : 2u);
      reverse(af);
      seekStep(af, 0);
    }
    af->lastDirection = -1;
  }
}

}  // namespace

void processAF_Seeking(CAFControl* af) {
  debugPrintf(0, "processAF_Seeking\n");
  computeSeekThresholds(af);
  const int32_t pos = af->lastFocusPosition;
  if (coarseMode(af)) {
    if (af->m_uAF_Current_HF1 >= af->bestHF1 || pos == af->bestPosition) {
      af->bestHF1 = af->m_uAF_Current_HF1;
      af->bestPosition = pos;
    }
    if (af->m_uAF_Current_HF0 >= af->bestCoarseHF0 || pos == af->bestCoarsePosition) {
      af->bestCoarseHF0 = af->m_uAF_Current_HF0;
      af->bestCoarsePosition = pos;
    }
  } else if (af->m_uAF_Current_HF0 >= af->bestHF0) {
    // The best HF1 follows the fine best too: it is the value the search ends with, and an HF1 from
    // elsewhere sent the ended search hunting.
    af->bestHF0 = af->m_uAF_Current_HF0;
    af->bestHF0Quarter = af->m_uAF_Current_HF0 / 4;
    af->bestHF1 = af->m_uAF_Current_HF1;
    af->bestPosition = pos;
  }
  const uint32_t st = af->afStatus.load();
  if ((st & (AF_AT_MAX | AF_AT_MIN)) == (AF_AT_MAX | AF_AT_MIN) && AFSeekStop_BothStopHit(af)) return;
  if (af->limitHits.load() == 3 && AFSeekStop_OscillationStopHit(af)) return;
  if (!(af->afStatus.load() & AF_NODECIDE)) {
    af->direction = decideDirection(af);
    if (!coarseMode(af)) {
      if (zoomLens() && ++af->fineSteps >= af->fineStepLimit) {
        debugPrintf(0, "SeekFine too long, go to coarse seek.\n");
        af->afStatus.fetch_or(AF_COARSE);
        setCoarseWindow(af, position(af));
        return;
      }
      if (AFSeekFine(af, absDiff(af->m_uAF_Current_HF0, af->m_uAF_Last_HF0), af->direction)) return;
    } else {
      AFSeekCoarse(af, absDiff(af->m_uAF_Current_HF1, af->m_uAF_Last_HF1), af->direction);
    }
  }
  remember(af);
}

int isCrossAccuAFThreshold_NoSeek(CAFControl* af, int dir, uint32_t m) {
  if (dir != 0) {
    af->accuPhase = 0;
    return dir;
  }
  switch (af->accuPhase) {
    case 0:
      af->accuCount = 0;
      af->m_uAccuAF_Lowest_HF1 = af->m_uAccuAF_Highest_HF1 = m;
      af->accuPhase = 1;
      break;
    case 1:
      ++af->accuCount;
      af->m_uAccuAF_Lowest_HF1 = af->m_uAccuAF_Highest_HF1 = m;
      if (af->accuCount > 1) af->accuPhase = 2;
      break;
    case 2:
      af->accuCount = 0;
      af->m_uAccuAF_Lowest_HF1 = af->m_uAccuAF_Highest_HF1 = m;
      af->accuPhase = 3;
      break;
    case 3:
      ++af->accuCount;
      af->m_uAccuAF_Highest_HF1 = std::max(af->m_uAccuAF_Highest_HF1, m);
      af->m_uAccuAF_Lowest_HF1 = std::min(af->m_uAccuAF_Lowest_HF1, m);
      if (af->accuCount > 2) af->accuPhase = 2;
      break;
    default:
      af->accuPhase = 0;
      break;
  }
  const uint32_t hi = absDiff(af->m_uAccuAF_Highest_HF1, m), lo = absDiff(m, af->m_uAccuAF_Lowest_HF1);
  const uint32_t d = absDiff(hi, lo);
  if (d > 2 * af->m_uAF_SeekThreshold) {
    debugPrintf(0, "[isCrossAccuAFThreshold_NoSeek]uHF1_Diff(%d)  > 2*m_uAF_SeekThreshold(%d)\n", int(d),
                int(af->m_uAF_SeekThreshold));
    return 1;
  }
  return 0;
}

}  // namespace isp
}  // namespace kavo
