// The AE loops of each mode, the mode switch, the DC-iris calibration and the day/night pass
// counter: see AEControl.h. All on the 3A thread.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "algo_ae/AEControl.h"
#include "be_i2c/i2c_driver.h"
#include "be_iav/iav_driver.h"
#include "kavo/os/path.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "AE_Process";
constexpr auto R = std::memory_order_relaxed;

int model() {
  const CIsp* isp = controller();
  return isp ? isp->system().model : g_isp.sys.model;
}
bool briskGroup(int m) { return m == TORVEX_BRISK || m == TORVEX_TARROW || m == TORVEX_WREN; }
bool zoomLens() {
  const CIsp* isp = controller();
  return (isp ? isp->system().systemType : g_isp.sys.systemType) == ZOOMLENS;
}

// A mode switch asked for by the saturation rule keeps the shutter in force (the gain still drops to
// its minimum): re-running the full switch would put back the slowest shutter every second pass,
// and a saturated scene would never settle.
bool g_keepShutterOnSwitch = false;

void irisDrive(AEControl* ae, int value) {
  value = std::clamp(value, 0, 255);
  ae->irisIndex.store(static_cast<uint16_t>(value), R);
  aeOutside().setDCIrisDriver(value);
}

void trace(AEControl* ae, const char* fmt, int a, int b = 0, int c = 0, int d = 0) {
  if (ae->traceFlag && g_isp.irisLog) {
    std::fprintf(g_isp.irisLog, fmt, a, b, c, d);
    std::fflush(g_isp.irisLog);
  }
}

void closeTrace(AEControl* ae) {
  if (g_isp.irisLog) std::fclose(g_isp.irisLog);
  g_isp.irisLog = nullptr;
  ae->traceFlag = 0;
}

struct Window {
  int64_t y, t, hi, lo, half, fine, high, low;
};

Window window(AEControl* ae, int fast) {
  Window w{};
  w.y = ae->luminance.load(R);
  w.t = ae->aeTarget.load(R);
  w.hi = ae->zone[0].load(R);
  w.lo = ae->zone[1].load(R);
  w.half = ae->halfTarget.load(R);
  w.fine = ae->zone[6].load(R) >> fast;
  w.high = w.t + (w.hi >> fast);
  w.low = w.t - (w.lo >> fast);
  return w;
}

// The saturation rule of models 2 to 4.
void saturationRule(AEControl* ae) {
  if (briskGroup(model()) && ae->luminance.load(R) > kAeSaturatedY) {
    ae->previousMode.store(10, R);
    g_keepShutterOnSwitch = true;
  }
}

// The fast flag (models 2-4 with WDR on): set far from the target, cleared inside the window.
void updateFast(AEControl* ae) {
  const int m = model();
  if (!briskGroup(m) || g_isp.image.wdrLevel.load(R) == 0) {
    ae->fast = 0;
    return;
  }
  const Window w = window(ae, ae->fast);
  if (2 * w.y > 3 * w.t || 2 * w.y < w.t) ae->fast = 1;
  else if (w.y >= w.low && w.y <= w.high) ae->fast = 0;
}

// The iris opening of the AE_IRIS state, shared by the full-auto and iris-priority loops.
void irisOpen(AEControl* ae, const Window& w, int baseBack, int leaveState, const char* leaveText) {
  const int64_t d = w.lo > 0 ? (w.t - w.y) / w.lo : 0;
  int64_t step = w.y < w.low / 4 ? 6 * d : w.y < w.low / 2 ? 4 * d : 2 * d;
  if (step < 4) step = 3;
  const int index = ae->irisIndex.load(R);
  const int base = step <= 4 ? index - baseBack : index;
  debugPrintf(0, "[IRISmode_iris_open]ori  diff=%d.\n", static_cast<int>(step));
  irisDrive(ae, base - static_cast<int>(step));
  debugPrintf(0, "[dc_iris_open1]ae_iris_index =%d diff=%d.\n", ae->irisIndex.load(R), static_cast<int>(step));
  if (step == 3) {
    ae->irisOpenPasses = 0;
  } else if (++ae->irisOpenPasses >= 91) {
    debugPrintf(0, leaveText, 50);
    ae->aeState = leaveState;
    irisDrive(ae, ae->irisIndex.load(R) - 50);
    ae->irisOpenPasses = 0;
  }
}

enum class Loop { FullAuto, ShutterPriority, IrisPriority };

void exposureLoop(AEControl* ae, Loop loop) {
  const int m = model();
  if (loop != Loop::IrisPriority) saturationRule(ae);
  updateFast(ae);
  Window w = window(ae, ae->fast);
  if (w.y >= w.low && w.y <= w.high) {
    ae->fast = 0;
    if (loop == Loop::IrisPriority && ae->aeState == AE_IRIS) irisDrive(ae, ae->irisIndex.load(R));
    return;
  }
  // The counter is held at 0 while the fast flag is set, and the every-3rd-pass gates let such
  // passes through: gated, a fast loop near its narrowed window never acted, so Y never reached it
  // and the flag never cleared.
  const bool third = (++ae->pass3 % 3) == 0 || ae->fast;
  const bool second = (++ae->pass2 % 2) == 0;
  const bool fourth = (++ae->pass4 % 4) == 0;
  if (ae->fast) ae->pass3 = 0;
  if (loop != Loop::IrisPriority && briskGroup(m) && g_isp.image.wdrLevel.load(R) == 0 && !third) return;
  const int sht = ae->shutterIndex.load(R);
  if (ae->aeState == AE_SHUTTER && sht > 157) {
    if (!third) return;
    w.high = w.t + ((4 * w.hi) >> ae->fast);
    w.low = w.t - ((2 * w.lo) >> ae->fast);
    if (w.y >= w.low && w.y <= w.high) return;
  }
  if (ae->aeState == AE_SHUTTER) ae->applyStepGain(sht);
  const int slowest = ae->slowestBound.load(R), fastest = ae->fastestBound.load(R);

  if (w.y > w.high) {
    if (loop == Loop::FullAuto) {
      if (w.y <= w.high + w.high / 16 && !third) return;
    } else if (w.y <= w.high + w.high / 8 && !second) {
      return;
    }
    switch (ae->aeState) {
      case AE_SHUTTER_SEARCH:
        if (!fourth) return;
        if (loop == Loop::IrisPriority) {
          if (sht < slowest && w.y > w.t + w.half) ae->upShutterOneStop();
          else ae->aeState = AE_GAIN;
        } else if (sht >= slowest) {
          ae->aeState = AE_GAIN;
        } else if (w.y > w.t + w.half) {
          ae->upShutterOneStop();
        }
        break;
      case AE_GAIN:
        if (w.y > w.t + 16 * w.hi) ae->downGain_ISO(8);
        else if (w.y > w.t + 4 * w.hi) ae->downGain_ISO(3);
        else if (w.y > w.t + w.fine) ae->downGain_ISO(1);
        if (ae->agcIndex.load(R) <= ae->agcMinBound.load(R)) {
          if (loop == Loop::FullAuto) ae->aeState = AE_SHUTTER;
          else if (zoomLens()) ae->aeState = AE_IRIS;
        }
        break;
      case AE_SHUTTER:
        if (sht < fastest) ae->upShutterOneStop();
        break;
      case AE_IRIS: {
        const int64_t step = std::clamp<int64_t>(w.hi > 0 ? 2 * (w.y - w.t) / w.hi : 20, 3, 20);
        if (loop == Loop::ShutterPriority) {
          debugPrintf(0, "[dc_iris_Close]ae_iris_index =%d diff=%d.\n", ae->irisIndex.load(R), static_cast<int>(step));
        } else {
          irisDrive(ae, ae->irisIndex.load(R) + static_cast<int>(step));
          debugPrintf(0, "[dc_iris_close]ae_iris_index =%d diff=%d.\n", ae->irisIndex.load(R), static_cast<int>(step));
        }
        break;
      }
      default:
        break;
    }
    return;
  }

  // Below the window.
  if (w.y >= w.low - w.low / 16 && !third) return;
  switch (ae->aeState) {
    case AE_SHUTTER_SEARCH:
      if (!fourth) return;
      if (w.y < w.t - w.half) ae->downShutterOneStop();
      break;
    case AE_GAIN:
      if (loop == Loop::ShutterPriority) {
        if (ae->agcIndex.load(R) >= ae->agcMaxBound.load(R)) break;
        if (w.y < w.t - 2 * w.lo) ae->upGain_ISO(2);
        else if (w.y < w.t - w.fine) ae->upGain_ISO(1);
      } else if (w.y < w.t - 4 * w.lo) {
        ae->upGain_ISO(loop == Loop::IrisPriority ? 2 : 3);
      } else if (w.y < w.t - w.fine) {
        ae->upGain_ISO(1);
      }
      break;
    case AE_SHUTTER:
      if (sht <= slowest) ae->aeState = AE_GAIN;
      else ae->downShutterOneStop();
      break;
    case AE_IRIS:
      if (loop == Loop::ShutterPriority) {
        debugPrintf(0, "[SHTPRI_iris_open1]ori  diff=%d.\n", 0);
        debugPrintf(0, "[dc_iris_open]ae_iris_index =%d diff=%d.\n", ae->irisIndex.load(R), 0);
        if (++ae->irisOpenPasses >= 91) {
          debugPrintf(0, "ShtPrio:[AE]%d goto AE_GAIN state.\n", 91);
          ae->aeState = AE_GAIN;
          ae->irisOpenPasses = 0;
        }
      } else if (loop == Loop::IrisPriority) {
        irisOpen(ae, w, 5, AE_GAIN, "AutoIRIS:[AE]%d goto AE_GAIN state.\n");
      } else {
        irisOpen(ae, w, 4, AE_SHUTTER, "AutoIRIS:[AE]%d goto AE_SHUTTER state.\n");
      }
      break;
    default:
      break;
  }
}

}  // namespace

void processAE_FullAuto(AEControl* ae) { exposureLoop(ae, Loop::FullAuto); }
void processAE_ShutterPriority(AEControl* ae) { exposureLoop(ae, Loop::ShutterPriority); }
void processAE_IrisPriority(AEControl* ae) { exposureLoop(ae, Loop::IrisPriority); }

void processAE_Flicker(AEControl* ae) {
  const int m = model();
  const int floor = m == TORVEX_BRISK ? 19 : 9;
  ae->fast = 0;
  if (briskGroup(m)) g_isp.image.wdrLevel.store(0, R);
  saturationRule(ae);
  Window w = window(ae, 0);
  w.high = w.t + 2 * w.hi;
  w.low = w.t - w.lo;
  if (w.y >= w.low && w.y <= w.high) return;
  const bool third = (++ae->pass3 % 3) == 0;
  const bool fourth = (++ae->pass4 % 4) == 0;
  const int step = ae->shutterIndex.load(R);
  if (ae->aeState == AE_SHUTTER) ae->applyFlickerStepGain(step);
  if (w.y < w.low) {
    if (w.y >= w.low - w.low / 16 && !third) return;
    if (ae->aeState == AE_GAIN) {
      if (w.y < w.t - 4 * w.lo) ae->upGain_ISO(3);
      else if (w.y < w.t - w.fine) ae->upGain_ISO(1);
    } else if (ae->aeState == AE_SHUTTER) {
      if (!fourth) return;
      if (step > floor) ae->downShutterOneStop_flick();
      else ae->aeState = AE_GAIN;
    }
    return;
  }
  if (ae->aeState == AE_GAIN) {
    if (w.y > w.t + 32 * w.hi) ae->downGain_ISO(8);
    else if (w.y > w.t + 8 * w.hi) ae->downGain_ISO(3);
    else if (w.y > w.t + w.fine) ae->downGain_ISO(1);
    if (ae->agcIndex.load(R) <= ae->agcMinBound.load(R)) ae->aeState = AE_SHUTTER;
  } else if (ae->aeState == AE_SHUTTER) {
    if (!fourth) return;
    if (step < static_cast<int>(ae->fastestFlickerStep.load(R))) ae->upShutterOneStop_flick();
  }
}

int processAEModeSwitching(AEControl* ae) {
  const int mode = ae->mode.load(R);
  const bool keep = g_keepShutterOnSwitch;
  g_keepShutterOnSwitch = false;
  AeOutside& out = aeOutside();
  if (mode != AE_MANUAL) {
    out.setDCIrisMode(1);
    usleep(200);
  }
  // The auto focus reads whether the iris is under the exposure loop: in manual it is set by hand.
  g_isp.lensLink.irisControl.store(mode != AE_MANUAL ? 1 : 0, R);
  const int slowest = ae->slowestBound.load(R), minimum = ae->agcMinBound.load(R);
  switch (mode) {
    case AE_FULL_AUTO:
      ae->aeState = AE_SHUTTER;
      ae->applyAgcIndex(minimum);
      if (keep) break;
      ae->applyShutterIndex(slowest);
      debugPrintf(0, "[processAEModeSwitching]FA shutter_index = %d table_value=%d\n", slowest, 0);
      debugPrintf(0, "[processAEModeSwitching]FA agc_index = %d table_value=%d\n", minimum, 0);
      break;
    case AE_FLICKER_60:
    case AE_FLICKER_50: {
      const bool f60 = mode == AE_FLICKER_60;
      ae->flick60.store(f60 ? 1 : 0, R);
      // The fastest step is the one the mode's caller set (the settings and VISCA set their own).
      ae->aeState = AE_SHUTTER;
      ae->applyAgcIndex(minimum);
      if (keep) break;
      ae->shutterIndex.store(19, R);
      ae->stepGainFlag.store(0, R);
      if (IAVDriver* d = iavDriver()) d->set_eshutter_time(ae->flickerTime(19));
      debugPrintf(0, f60 ? "[processAEModeSwitching1]FA shutter_index = %d table_value=%d\n"
                         : "[processAEModeSwitching2]FA shutter_index = %d table_value=%d\n",
                  19, ae->flickerTime(19));
      debugPrintf(0, f60 ? "[processAEModeSwitching1]FA agc_index = %d table_value=%d\n"
                         : "[processAEModeSwitching2]FA agc_index = %d table_value=%d\n",
                  minimum, 0);
      break;
    }
    case AE_SHUTTER_PRIORITY:
      ae->aeState = AE_GAIN;
      ae->applyAgcIndex(minimum);
      break;
    case AE_IRIS_PRIORITY:
      ae->aeState = AE_GAIN;
      ae->applyAgcIndex(minimum);
      ae->applyShutterIndex(slowest);
      break;
    case AE_IRIS_ADJUST:
      ae->irisHigh = 180;
      ae->irisLow = 65;
      ae->irisStatus = IRIS_GOING;
      ae->irisAdjustStatus.store(IRIS_GOING, R);
      ae->adjustCount = 0;
      ae->traceFlag = 0;
      ae->openTraceRequest = 1;
      ae->aeState = AE_IRIS;
      ae->applyAgcIndex(minimum);
      ae->applyShutterIndex(slowest);
      break;
    case AE_MANUAL:
      out.setDCIrisMode(0);
      out.setIrisDirect(255);
      ae->applyAgcIndex(minimum);
      // The manual gain steps from the gain now in force, not from what the settings left in the
      // word (manual gain 0 % leaves the top index there: the first "gain up" would go to 29.6 dB).
      g_isp.manualAgcIndex.store(static_cast<uint32_t>(minimum), R);
      break;
    default:
      ae->aeState = AE_SHUTTER;
      break;
  }
  return 0;
}

namespace {
void irisAdjustStep(AEControl* ae);
}  // namespace

void processAE_IRISAdjust(AEControl* ae) {
  irisAdjustStep(ae);
  ae->irisAdjustStatus.store(static_cast<uint8_t>(ae->irisStatus), R);
}

namespace {
void irisAdjustStep(AEControl* ae) {
  if (ae->openTraceRequest) {
    ae->openTraceRequest = 0;
    if (g_isp.irisLog == nullptr) g_isp.irisLog = std::fopen(kavo::os::path("/tmp/iris.log").c_str(), "w+");
    if (g_isp.irisLog == nullptr) {
      ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "[processAE_IRISAdjust]Open iris.log fail.\n");
    } else {
      ae->traceFlag = 1;
    }
  }
  if (ae->irisStatus == IRIS_GOOD || ae->irisStatus == IRIS_NG) {
    closeTrace(ae);
    return;
  }
  if ((++ae->pass3 % 3) != 0) return;
  const int n = ++ae->adjustCount;
  const uint32_t y = ae->luminance.load(R);
  AeOutside& out = aeOutside();
  if (n <= 60) {
    out.setDCIrisDriver(n <= 15 || n > 45 ? 20 : 250);
    if (n == 15) ae->yOpen = y;
    if (n == 45) {
      ae->yClosed = y;
      const int diff = ae->yOpen > ae->yClosed ? static_cast<int>(ae->yOpen - ae->yClosed) : 0;
      if (diff < 2001) ae->irisStatus = IRIS_CHECK;
      debugPrintf(0, "IrisAdjCNT=%d, IrisOpenClose_Diff=%d(%d,%d)\n", n, diff, ae->yOpen, ae->yClosed);
      trace(ae, "IrisAdjCNT=%d, IrisOpenClose_Diff=%d\n", n, diff);
    }
    return;
  }
  if (ae->irisStatus == IRIS_GOING) {
    if (n == 600) ae->irisStatus = IRIS_CHECK;
    const int mid = (ae->irisHigh + ae->irisLow) / 2;
    ae->irisIndex.store(static_cast<uint16_t>(mid), R);
    out.setDCIrisDriver(mid);
    if (ae->irisHigh - ae->irisLow < 2) {
      if (mid < 69 || mid > 187) {
        out.setDCIrisDriver(250);
        ae->irisTarget.store(128, R);
        ae->irisStatus = IRIS_NG;
        debugPrintf(0, "[processAE_IRISAdjust]IRIS_STATUS_GOING:NG.\n");
        trace(ae, "[processAE_IRISAdjust]IRIS_STATUS_GOING:NG.\n", 0);
      } else {
        out.setDCIrisDriver(20);
        ae->irisTarget.store(mid, R);
        out.setIrisBias(mid);
        ae->irisStatus = IRIS_GOOD;
        debugPrintf(0, "[processAE_IRISAdjust]IRIS_STATUS_GOING:GOOD.\n");
        trace(ae, "[processAE_IRISAdjust]IRIS_STATUS_GOING:GOOD.\n", 0);
      }
      return;
    }
    debugPrintf(0, "Hibound=%d, Lowbound=%d\n", ae->irisHigh, ae->irisLow);
    trace(ae, "Hibound=%d, Lowbound=%d\n", ae->irisHigh, ae->irisLow);
    if (ae->irisOpenCount > 19) {
      ae->irisHigh = mid;
      ae->irisOpenCount = ae->irisCloseCount = 0;
    } else if (ae->irisCloseCount > 19) {
      ae->irisLow = mid;
      ae->irisOpenCount = ae->irisCloseCount = 0;
    }
    const uint32_t lower = ae->yClosed + 250;
    if (y > lower) {
      ++ae->irisCloseCount;
      debugPrintf(0, "[dc_iris_close]ae_iris_index =%d diff=%d(Y/YLower=%d/%d).\n", mid, 0, y, lower);
      trace(ae, "[dc_iris_close]ae_iris_index =%d diff=%d(Y/YLower=%d/%d).\n", mid, 0, static_cast<int>(y),
            static_cast<int>(lower));
    } else if (y < lower) {
      ++ae->irisOpenCount;
      debugPrintf(0, "[dc_iris_open]ae_iris_index =%d diff=%d(Y/YLower=%d/%d).\n", mid, 0, y, lower);
      trace(ae, "[dc_iris_open]ae_iris_index =%d diff=%d(Y/YLower=%d/%d).\n", mid, 0, static_cast<int>(y),
            static_cast<int>(lower));
    }
    return;
  }
  if (ae->irisStatus == IRIS_CHECK) {
    if (ae->irisHigh - ae->irisLow < 11) {
      ae->irisTarget.store((ae->irisHigh + ae->irisLow) / 2, R);
      out.setIrisBias(ae->irisTarget.load(R));
      ae->irisStatus = IRIS_GOOD;
      debugPrintf(0, "[processAE_IRISAdjust]IRIS_STATUS_CHECK:IRIS_STATUS_GOOD(%d,%d).\n", ae->irisHigh, ae->irisLow);
      trace(ae, "[processAE_IRISAdjust]IRIS_STATUS_CHECK:IRIS_STATUS_GOOD(%d,%d).\n", ae->irisHigh, ae->irisLow);
    } else {
      ae->irisTarget.store(128, R);
      ae->irisStatus = IRIS_NG;
      debugPrintf(0, "[processAE_IRISAdjust]IRIS_STATUS_CHECK:IRIS_STATUS_NG.\n");
      trace(ae, "[processAE_IRISAdjust]IRIS_STATUS_CHECK:IRIS_STATUS_NG.\n", 0);
    }
  }
}

}  // namespace

int processAE_byMode(AEControl* ae, int hold) {
  if (hold == 1) return 0;
  const int mode = ae->mode.load(R);
  switch (mode) {
    case AE_FULL_AUTO: processAE_FullAuto(ae); break;
    case AE_FLICKER_60:
    case AE_FLICKER_50: processAE_Flicker(ae); break;
    case AE_SHUTTER_PRIORITY: processAE_ShutterPriority(ae); break;
    case AE_IRIS_PRIORITY: processAE_IrisPriority(ae); break;
    case AE_IRIS_ADJUST: processAE_IRISAdjust(ae); break;
    case AE_MANUAL: break;
    default:
      ae->aeState = AE_SHUTTER;
      processAE_FullAuto(ae);
      break;
  }
  if (mode == AE_IRIS_ADJUST || mode == AE_MANUAL) return 0;
  if (ae->dnAuto.load(R) != 1 || g_isp.dayNightHold.load(R) != 0) return 0;
  const int m = model();
  const int n = ++g_isp.dayNightPasses;
  if (m == FINCH_IR && n % 7 == 0)
    if (I2CDriver* i2c = i2cDriver()) i2c->updatelightSensorState();
  if (n >= 30) {
    g_isp.dayNightPasses = 0;
    if (m == TORVEX_BRISK || m == TORVEX_TARROW || m == FINCH_IR) ae->DN_status_update_Brisk();
    else ae->DN_status_update_byIndex();
  }
  return 0;
}

int processAE(AEControl* ae) {
  const int mode = ae->mode.load(R);
  if (mode == ae->previousMode.load(R)) {
    processAE_byMode(ae, 0);
    return 0;
  }
  // A calibration cut short by another mode leaves the iris wherever its sweep was, shut for half
  // of it, and no other automatic mode drives it again: it opens as at a calibration's end.
  if (ae->previousMode.load(R) == AE_IRIS_ADJUST && mode != AE_IRIS_ADJUST && mode != AE_MANUAL &&
      (ae->irisStatus == IRIS_GOING || ae->irisStatus == IRIS_CHECK)) {
    aeOutside().setDCIrisDriver(20);
    ae->irisStatus = IRIS_GOING;
    ae->irisAdjustStatus.store(IRIS_GOING, R);
    closeTrace(ae);
  }
  processAEModeSwitching(ae);
  ae->previousMode.store(mode, R);
  return 1;
}

}  // namespace isp
}  // namespace kavo
