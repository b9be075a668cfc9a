// The VISCA exposure handlers: AE modes, manual shutter and gain, the automatic-exposure bounds, the
// AE target, exposure compensation, backlight compensation and the iris (see visca_handlers.h).
#include <algorithm>
#include <cerrno>

#include "algo_ae/AEControl.h"
#include "be_iav/iav_driver.h"
#include "fe_subcpu/subcpu.h"
#include "if_visca/visca_channel.h"
#include "if_visca/visca_handlers.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "DVisca_CAM";
constexpr auto kRelaxed = std::memory_order_relaxed;
constexpr int32_t kExpCompNeutral = 7;
constexpr int32_t kExpCompTop = 14;

LensMotionFlags& lensFlags() { return g_isp.lensLink.flags; }

bool zoomLensSystem() { return g_isp.sys.systemType == ZOOMLENS; }

// The AF step leaves the lens before an exposure change: false when it stayed busy.
bool waitAfIdle(int polls, bool pause) {
  for (int i = 0; i < polls; ++i) {
    if (g_isp.lensLink.afIdle.load(kRelaxed) != 0) return true;
    if (pause) kavo::utils::sleepMs(1);
  }
  return g_isp.lensLink.afIdle.load(kRelaxed) != 0;
}

void resumeAutoFocus() {
  if (lensFlags().G_ManualFocusMode.load(kRelaxed) == 0) lensFlags().G_AutoFocusMode.store(1, kRelaxed);
}

// The common frame of every SetAE_* operation around its mode codes and extra steps.
struct AeModeRow {
  const char* name;
  int32_t visca;     // -1: unchanged
  int32_t settings;  // -1: unchanged
  int32_t controller;
  int32_t flicker = -1;  // the controller's fastest flicker step; -1: unchanged
};

void setAeMode(const AeModeRow& row) {
  lensFlags().G_AutoFocusMode.store(0, kRelaxed);
  if (zoomLensSystem() && !waitAfIdle(100, true)) ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[%s]err_code=-9.\n", row.name);
  AEControl* ae = aeControl();
  if (ae != nullptr) ae->set_ae_enable(controller(), 1);
  if (row.visca >= 0) g_isp.viscaAeMode.store(static_cast<uint32_t>(row.visca), kRelaxed);
  if (row.settings >= 0) g_isp.settingsAeMode.store(static_cast<uint32_t>(row.settings), kRelaxed);
  if (ae != nullptr) {
    ae->set_ae_mode(row.controller);
    if (row.flicker >= 0) ae->fastestFlickerStep.store(static_cast<uint32_t>(row.flicker), kRelaxed);
  }
  if (row.controller == AE_MANUAL) {
    kavo::utils::sleepMs(20);
    if (ae != nullptr) ae->set_ae_manual();
    kavo::utils::sleepMs(50);
  }
  resumeAutoFocus();
}

constexpr AeModeRow kFullAuto{"SetAE_fullauto", 0, 1, AE_FULL_AUTO};

uint32_t shutterIndexOfTime(uint32_t time) {
  if (time == 0) time = 30;
  const AEControl* ae = aeControl();
  return ae != nullptr ? ae->get_shutter_index(1000000 / time) : ~0u;
}

// Index 8 and below are slow-shutter indexes: only while DSS is on.
void applyManualShutter(uint32_t index) {
  if (index <= 8 && g_isp.image.dssOn.load(kRelaxed) == 0) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralShutter]err_code=DSS.\n");
  } else if (CIsp* isp = controller()) {
    set_shutter_index(isp, index);
  }
  resumeAutoFocus();
}

void applyExpComp(int32_t y) {
  if (CIsp* isp = controller()) setRGB2YUVScale(isp, y, kExpCompNeutral, kExpCompNeutral);
}

void applyManualGain(uint32_t index) {
  g_isp.manualAgcIndex.store(index, kRelaxed);
  CIsp* isp = controller();
  IAVDriver* iav = iavDriver();
  if (isp == nullptr || iav == nullptr || index >= static_cast<uint32_t>(kAgcEntries)) return;
  iav->set_agc_index(isp->agcTable.get(static_cast<int>(index)));
  // The controller's index is what FB reports, as the manual shutter's is what FC reports; in manual
  // mode no loop steps it.
  if (AEControl* ae = aeControl()) ae->agcIndex.store(static_cast<uint16_t>(index), kRelaxed);
}

}  // namespace

void SetAE_fullauto(DVisca*) { setAeMode(kFullAuto); }
void SetAE_manual(DVisca*) { setAeMode({"SetAE_manual", 3, 0, AE_MANUAL}); }
void SetAE_flick60(DVisca*, uint32_t flicker) {
  setAeMode({"SetAE_flick60", 6, 4, AE_FLICKER_60, static_cast<int32_t>(flicker)});
}
void SetAE_flick50(DVisca*, uint32_t flicker) {
  setAeMode({"SetAE_flick50", 7, 5, AE_FLICKER_50, static_cast<int32_t>(flicker)});
}
void SetAE_sht_priority(DVisca*) { setAeMode({"SetAE_sht_priority", 10, 2, AE_SHUTTER_PRIORITY}); }
void SetAE_iris_priority(DVisca*) { setAeMode({"SetAE_iris_priority", 14, 3, AE_IRIS_PRIORITY}); }
void SetAE_iris_adj(DVisca*) { setAeMode({"SetAE_iris_adj", 15, -1, AE_IRIS_ADJUST}); }

void AEReset(DVisca*) {
  const uint32_t base = g_isp.aeLimits.targetBase;
  g_isp.aeTarget.store(base, kRelaxed);
  if (AEControl* ae = aeControl()) {
    ae->set_ae_mode(AE_MANUAL);
    ae->reset_ae_params();
    kavo::utils::sleepMs(50);
    ae->set_ae_mode(AE_FULL_AUTO);
  }
}

int GeneralAEGroup(DVisca* visca, uint8_t* p) {
  switch (p[4]) {
    case 0: SetAE_fullauto(visca); break;
    case 1: AEReset(visca); break;
    case 3: SetAE_manual(visca); break;
    case 6: SetAE_flick60(visca, 110); break;
    case 7: SetAE_flick50(visca, 115); break;
    case 10: SetAE_sht_priority(visca); break;
    case 14: SetAE_iris_priority(visca); break;
    case 15: SetAE_iris_adj(visca); break;
    default: break;
  }
  return 0;
}

uint32_t viscaAeTargetOf(uint32_t level) {
  return g_isp.aeLimits.targetBase - 7500 + 150 * std::min(level, 100u);
}

int GeneralAEtarget(DVisca*, uint8_t* p) {
  const uint32_t mode = g_isp.settingsAeMode.load(kRelaxed);
  if (mode != 1 && mode != 4 && mode != 5) return 0;
  viscaSetAeTarget(viscaAeTargetOf(viscaNibbles(p, 6, 2)));
  return 0;
}

void viscaSetAeTarget(uint32_t target) {
  g_isp.aeTarget.store(target, kRelaxed);
  if (AEControl* ae = aeControl()) ae->set_ae_target(target);
}

int GeneralShutter(DVisca* visca, uint8_t* p) {
  switch (p[3]) {
    case 0x0A:
    case 0x4A: {
      ISP_LOG(kSource, LOG_LEVEL_ERROR, errno, "GeneralShutter....................................................................");
      uint32_t index = g_isp.manualShutterIndex.load(kRelaxed);
      if (p[3] == 0x4A) {
        index = shutterIndexOfTime(viscaNibbles(p, 4, 5));
        if (index == ~0u) return 0;
      } else {
        const uint32_t fastest = g_isp.aeLimits.shutterFastest;
        if (p[4] == 0) {
          index = 9;
        } else if (p[4] == 2 && index < fastest) {
          ++index;
        } else if (p[4] == 3 && index > 1) {
          --index;
        } else {
          ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralShutter]err_code=%d_%d.\n", int(fastest), int(index));
        }
      }
      g_isp.manualShutterIndex.store(index, kRelaxed);
      applyManualShutter(index);
      return 0;
    }
    case 0x2A:
      SetShutterSpdMax(visca, viscaNibbles(p, 4, 5));
      return 0;
    case 0x2B:
      SetShutterSpdMin(visca, viscaNibbles(p, 4, 5));
      return 0;
    default:
      return 0;
  }
}

void SetManualShutterTime(DVisca*, uint32_t time) {
  const uint32_t mode = g_isp.viscaAeMode.load(kRelaxed);
  if (mode != 3 && mode != 10) {
    debugPrintf(0, "reject by AEmode\n");
    return;
  }
  const uint32_t index = shutterIndexOfTime(std::max(time, 30u));
  if (index == ~0u) return;
  g_isp.manualShutterIndex.store(index, kRelaxed);
  if (CIsp* isp = controller()) set_shutter_index(isp, index);
}

void SetShutterSpdMax(DVisca*, uint32_t time) {
  const uint32_t index = shutterIndexOfTime(time);
  ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "[SetShutterSpdMax]%d", int(index));
  const uint32_t slowest = g_isp.shutterSlowestBound.load(kRelaxed);
  if (index == ~0u || index <= slowest) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralShutter]iShtIndex(%d) <= g_AeAuto_sht_minIdx(%d)\n", int(index),
            int(slowest));
    return;
  }
  g_isp.shutterFastestBound.store(index, kRelaxed);
  if (AEControl* ae = aeControl()) ae->set_shutter_high_speed_bound(static_cast<int>(index));
}

void SetShutterSpdMin(DVisca*, uint32_t time) {
  const uint32_t index = shutterIndexOfTime(time);
  const uint32_t fastest = g_isp.shutterFastestBound.load(kRelaxed);
  if (index == ~0u || index >= fastest) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "[GeneralShutter]iShtIndex(%d) >= g_AeAuto_sht_maxIdx(%d)\n", int(index),
            int(fastest));
    return;
  }
  g_isp.shutterSlowestBound.store(index, kRelaxed);
  if (AEControl* ae = aeControl()) ae->set_shutter_low_speed_bound(static_cast<int>(index));
}

int GeneralGain(DVisca*, uint8_t* p) {
  const AELimits& board = g_isp.aeLimits;
  switch (p[3]) {
    case 0x0C: {
      const AEControl* ae = aeControl();
      const uint32_t minimum = ae != nullptr ? ae->agcMin.load(kRelaxed) : board.agcMinIndex;
      const uint32_t maximum = ae != nullptr ? ae->agcMax.load(kRelaxed) : board.agcMaxIndex;
      uint32_t index = g_isp.manualAgcIndex.load(kRelaxed);
      if (p[4] == 0) index = minimum;
      if (p[4] == 2 && index + 5 < maximum) index += 5;
      if (p[4] == 3 && index > minimum + 5) index -= 5;
      applyManualGain(index);
      return 0;
    }
    case 0x4C: {
      const uint32_t percent = std::min(viscaNibbles(p, 6, 2), 100u);
      applyManualGain(std::clamp(board.agcMaxIndex * percent / 100, board.agcMinIndex, board.agcMaxIndex));
      return 0;
    }
    case 0x2C: {
      const uint32_t percent = std::min(viscaNibbles(p, 6, 2), 100u);
      uint32_t index = std::min(board.agcMaxIndex * percent / 100, board.agcMaxIndex);
      const uint32_t minimum = g_isp.agcMinimumBound.load(kRelaxed);
      if (index <= minimum) index = minimum + 1;
      g_isp.agcMaximumBound.store(index, kRelaxed);
      if (AEControl* ae = aeControl()) ae->set_Agc_maxIdx_bound(static_cast<int>(index));
      return 0;
    }
    default:
      return 0;
  }
}

int GeneralExpComp(DVisca*, uint8_t* p) {
  ViscaCameraState& c = g_isp.viscaCamera;
  // The level stays within 0..14: the luma scale 1 + (level - 7) / 8 reaches zero at -1 and turns
  // negative below, so neither a run of steps nor a direct value may leave the range.
  switch (p[3]) {
    case 0x0E: {
      int32_t level = c.expCompLevel.load(kRelaxed);
      if (p[4] == 0) level = kExpCompNeutral;
      if (p[4] == 2) level = std::min(level + 1, kExpCompTop);
      if (p[4] == 3) level = std::max(level - 1, 0);
      c.expCompLevel.store(level, kRelaxed);
      applyExpComp(level);
      break;
    }
    case 0x3E:
      if (p[4] == 2) {
        c.expCompOn.store(1, kRelaxed);
        applyExpComp(c.expCompLevel.load(kRelaxed));
      } else if (p[4] == 3) {
        c.expCompOn.store(0, kRelaxed);
        applyExpComp(kExpCompNeutral);
      }
      break;
    case 0x4E: {
      const int32_t level = std::min(static_cast<int32_t>(viscaNibbles(p, 6, 2)), kExpCompTop);
      c.expCompLevel.store(level, kRelaxed);
      applyExpComp(level);
      break;
    }
    default:
      break;
  }
  return 0;
}

int GeneralBLC(DVisca*, uint8_t* p) {
  if (p[4] != 2 && p[4] != 3) return 0;
  g_isp.image.backlight.store(p[4] == 2 ? 1 : 0, kRelaxed);
  lensFlags().G_AutoFocusMode.store(0, kRelaxed);
  if (zoomLensSystem()) waitAfIdle(100, false);
  viscaWaitMs(1000);
  resumeAutoFocus();
  return 0;
}

int GeneralIris(DVisca*, uint8_t* p) {
  SubCPU* s = subCpu();
  if (s == nullptr) return 0;
  const uint32_t value = viscaNibbles(p, 4, 4);
  if (p[3] == 0x4B) s->setIrisDirect(value);
  if (p[3] == 0xD2) s->setIrisBalance(value);
  if (p[3] == 0xD3) s->setDCIrisDriver(value);
  return 0;
}

}  // namespace isp
}  // namespace kavo
