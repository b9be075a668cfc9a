// The handlers the VISCA dispatcher reaches (see visca_handlers.h): for now each keeps the camera
// state that the acceptance rules and the inquiries read, and replies where the protocol says so.
#include "if_visca/visca_handlers.h"

#include <algorithm>

#include "algo_af/CAFControl.h"
#include "if_visca/visca_channel.h"
#include "if_visca/visca_zoom_drive.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;

uint32_t currentZoom() {
  CAFControl* af = afControl();
  return af != nullptr ? af->m_iCurrZoomPosition.load(kRelaxed) : 0;
}

uint32_t currentFocus() {
  CAFControl* af = afControl();
  return af != nullptr ? af->m_iCurrFocusPosition.load(kRelaxed) : 0;
}

// A 0..100 picture value stepped by byte 4 (0 reset to `reset`, 2 up, 3 down) or set directly.
void stepPercent(std::atomic<uint32_t>& field, uint8_t op, uint32_t reset) {
  const uint32_t v = field.load(kRelaxed);
  if (op == 0) field.store(reset, kRelaxed);
  if (op == 2 && v < 100) field.store(v + 1, kRelaxed);
  if (op == 3 && v > 0) field.store(v - 1, kRelaxed);
}
}  // namespace

// ---- lens ----------------------------------------------------------------------------------------

int GeneralZoom(DVisca* visca, uint8_t* p) {
  if (p[3] == 0x07 && (p[4] == 0x02 || p[4] == 0x03)) continuousZoom(visca, p[4] == 0x02);
  if (p[3] == 0x47) return viscaValueReply(p, static_cast<uint16_t>(currentZoom()));
  return 0;
}

int GeneralFocusGroup(DVisca*, uint8_t* p) {
  if (p[3] == 0x48) return viscaValueReply(p, static_cast<uint16_t>(currentFocus()));
  if (p[3] == 0x38) {
    const uint8_t mode = p[4];
    if (mode >= 2 && mode <= 4) g_isp.viscaCamera.afMode.store(mode, kRelaxed);
    if (mode == 6) return viscaShortReply(p, 0);  // no calibration ran: failed
  }
  return 0;
}

int GeneralCamInit(DVisca*, uint8_t*) { return 0; }

// ---- exposure ------------------------------------------------------------------------------------

int GeneralAEGroup(DVisca*, uint8_t* p) {
  // byte 4 -> VISCA AE mode, settings AE mode (-1: unchanged).
  struct Row {
    uint8_t code;
    int visca;
    int settings;
  };
  static constexpr Row kModes[] = {{0, 0, 1}, {3, 3, 0}, {6, 6, 4}, {7, 7, 5}, {10, 10, 2}, {14, 14, 3}, {15, 15, -1}};
  for (const Row& row : kModes) {
    if (row.code != p[4]) continue;
    g_isp.viscaAeMode.store(static_cast<uint32_t>(row.visca), kRelaxed);
    if (row.settings >= 0) g_isp.settingsAeMode.store(static_cast<uint32_t>(row.settings), kRelaxed);
  }
  if (p[4] == 1) g_isp.aeTarget.store(g_isp.aeLimits.targetBase, kRelaxed);
  return 0;
}

int GeneralAEtarget(DVisca*, uint8_t*) { return 0; }

int GeneralShutter(DVisca*, uint8_t* p) {
  if (p[3] != 0x0A) return 0;
  const uint32_t index = g_isp.manualShutterIndex.load(kRelaxed);
  const uint32_t fastest = g_isp.aeLimits.shutterFastest;
  if (p[4] == 0) g_isp.manualShutterIndex.store(g_isp.aeLimits.shutterSlowest, kRelaxed);
  if (p[4] == 2 && index < fastest) g_isp.manualShutterIndex.store(index + 1, kRelaxed);
  if (p[4] == 3 && index > 1) g_isp.manualShutterIndex.store(index - 1, kRelaxed);
  return 0;
}

int GeneralGain(DVisca*, uint8_t* p) {
  if (p[3] != 0x0C) return 0;
  const uint32_t index = g_isp.manualAgcIndex.load(kRelaxed);
  const uint32_t minimum = g_isp.aeLimits.agcMinIndex;
  if (p[4] == 0) g_isp.manualAgcIndex.store(minimum, kRelaxed);
  if (p[4] == 2 && index + 5 < g_isp.aeLimits.agcMaxIndex) g_isp.manualAgcIndex.store(index + 5, kRelaxed);
  if (p[4] == 3 && index > minimum + 5) g_isp.manualAgcIndex.store(index - 5, kRelaxed);
  return 0;
}

int GeneralExpComp(DVisca*, uint8_t* p) {
  ViscaCameraState& c = g_isp.viscaCamera;
  switch (p[3]) {
    case 0x0E:
      if (p[4] == 0) c.expCompLevel.store(7, kRelaxed);
      if (p[4] == 2) c.expCompLevel.fetch_add(1, kRelaxed);
      if (p[4] == 3) c.expCompLevel.fetch_sub(1, kRelaxed);
      break;
    case 0x3E:
      if (p[4] == 2) c.expCompOn.store(1, kRelaxed);
      if (p[4] == 3) c.expCompOn.store(0, kRelaxed);
      break;
    case 0x4E:
      c.expCompLevel.store(static_cast<int32_t>(viscaNibbles(p, 6, 2)), kRelaxed);
      break;
    default:
      break;
  }
  return 0;
}

int GeneralBLC(DVisca*, uint8_t* p) {
  if (p[4] == 2 || p[4] == 3) g_isp.image.backlight.store(p[4] == 2 ? 1 : 0, kRelaxed);
  return 0;
}

int GeneralIris(DVisca*, uint8_t*) { return 0; }

// ---- white balance and picture ---------------------------------------------------------------------

int GeneralAperture(DVisca*, uint8_t* p) {
  if (p[3] == 0x02) stepPercent(g_isp.image.sharpness, p[4], 0);
  if (p[3] == 0x42) g_isp.image.sharpness.store(std::min<uint32_t>(viscaNibbles(p, 4, 4), 100), kRelaxed);
  return 0;
}

int GeneralRGain(DVisca*, uint8_t*) { return 0; }
int GeneralBGain(DVisca*, uint8_t*) { return 0; }

int GeneralUserColorTemp(DVisca*, uint8_t* p) {
  g_isp.awbMode.store(5, kRelaxed);
  g_isp.colourTemperature.store(std::min<uint32_t>(std::max<uint32_t>(viscaNibbles(p, 4, 4), 2300), 8000), kRelaxed);
  return 0;
}

int GeneralWhiteBalance(DVisca*, uint8_t* p) {
  // byte 4 -> AWB mode code
  static constexpr int kModes[7] = {1, 3, 4, -1, 2, 0, 1};
  if (p[4] < 7 && kModes[p[4]] >= 0) g_isp.awbMode.store(static_cast<uint32_t>(kModes[p[4]]), kRelaxed);
  return 0;
}

int GeneralWDR(DVisca*, uint8_t* p) {
  static constexpr int kLevels[7] = {-1, -1, 1, 0, 3, 2, 1};
  if (p[4] < 7 && kLevels[p[4]] >= 0) g_isp.image.wdrLevel.store(static_cast<uint32_t>(kLevels[p[4]]), kRelaxed);
  return 0;
}

int GeneralDZoom(DVisca*, uint8_t*) { return 0; }
int GeneralDPTZ(DVisca*, uint8_t*) { return 0; }

int GeneralGmUserIAV(DVisca*, uint8_t* p) {
  std::atomic<uint32_t>* fields[4] = {&g_isp.image.brightness, &g_isp.image.contrast, &g_isp.image.saturation,
                                      &g_isp.image.hue};
  if (p[3] >= 0xC0 && p[3] <= 0xC3)
    fields[p[3] - 0xC0]->store(std::min<uint32_t>(viscaNibbles(p, 6, 2), 100), kRelaxed);
  return 0;
}

int GeneralLensShade(DVisca*, uint8_t*) { return 0; }

// ---- devices ---------------------------------------------------------------------------------------

int GeneralICR(DVisca*, uint8_t* p) {
  if (p[4] == 2 || p[4] == 3) g_isp.viscaCamera.irCutInstalled.store(p[4] == 2 ? 1 : 0, kRelaxed);
  return 0;
}

int GeneralIrLedMode(DVisca*, uint8_t* p) {
  if (p[4] == 4) g_isp.irLedAuto.store(1, kRelaxed);
  if (p[4] == 5) g_isp.irLedAuto.store(0, kRelaxed);
  return 0;
}

int GeneralIrLedLvl(DVisca*, uint8_t* p) {
  g_isp.irLedManualLevel.store(std::min<uint32_t>(viscaNibbles(p, 6, 2), 255), kRelaxed);
  return 0;
}

int GeneralPowerLedTime(DVisca*, uint8_t* p) {
  g_isp.image.powerLedInterval.store(static_cast<uint16_t>(viscaNibbles(p, 4, 4)), kRelaxed);
  return 0;
}

int GeneralRemoteUpgrade(DVisca*, uint8_t*) { return 0; }

int VportOut(DVisca*, uint8_t* p) {
  g_isp.image.vportOutput[p[6] != 0 ? 1 : 0].store(p[7] != 0 ? 1 : 0, kRelaxed);
  return 0;
}

int GeneralHeater(DVisca*, uint8_t* p) {
  g_isp.viscaCamera.heaterChannel.store(p[6] != 0 ? 1 : 0, kRelaxed);
  g_isp.viscaCamera.heaterOn.store(p[7] != 0 ? 1 : 0, kRelaxed);
  return 0;
}

int GeneralMask(DVisca*, uint8_t*) { return 0; }
int GeneralPanTilt(DVisca*, uint8_t*) { return 0; }

// ---- the checks behind inquiries F4 and F5 -----------------------------------------------------------

uint8_t ZFCorrectionCheck(DVisca*) { return 0; }
uint8_t ICR_IRLEDStatusCheck(DVisca*) { return 0; }

}  // namespace isp
}  // namespace kavo
