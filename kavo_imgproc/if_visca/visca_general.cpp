// The VISCA camera's defaults, its command dispatcher with the acceptance rules, the commands it
// carries out itself, and the reply templates.
#include <cstring>

#include "be_i2c/i2c_driver.h"
#include "be_iav/iav_driver.h"
#include "algo_ae/AEControl.h"
#include "algo_mask/MaskControl.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_handlers.h"
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

constexpr const char* kSource = "DVisca";

// ---- commands carried out here ----------------------------------------------------------------

int traceOnly(DVisca*, uint8_t*) { return 0; }

int GeneralTvSystem(DVisca*, uint8_t*) {
  debugPrintf(0, "[GeneralTvSystem]Please use 81 01 04 39 04/05 ff.\n");
  return 0;
}

int GeneralSlowShutter(DVisca*, uint8_t*) {
  debugPrintf(0, "GeneralSlowShutter: Not support on Torvex\n");
  return 0;
}

int GeneralAutoICRCnt(DVisca*, uint8_t* p) {
  const uint32_t count = p[4] < 15 ? p[4] : 15u;
  g_isp.irFilterThreshold[0].store(count, std::memory_order_relaxed);
  if (AEControl* ae = aeControl()) ae->set_ae_ir2day_cnt_bound(static_cast<int>(count));
  return 0;
}

int GeneralAutoICRThd(DVisca*, uint8_t* p) {
  if (p[4] > 2) return 0;
  if (AEControl* ae = aeControl()) ae->set_icr_sensitivity(p[4]);
  return 0;
}

int GeneralAutoICR(DVisca*, uint8_t* p) {
  if (p[4] < 2 || p[4] > 4) return 0;
  if (CIsp* isp = controller()) set_icr_mode(isp, p[4] - 2u);
  return 0;
}

int GeneralEraseMask(DVisca*, uint8_t*) {
  if (MaskControl* mask = maskControl()) mask->TestEraseMask();
  return 0;
}

// DE, F3, F4, F5, F6, F8: the two-nibble value of bytes 6-7 to a noise-reduction setter.
int NoiseReduction(DVisca*, uint8_t* p) {
  CIsp* isp = controller();
  if (isp == nullptr) return 0;
  const int v = static_cast<int>(viscaNibbles(p, 6, 2));
  switch (p[3]) {
    case 0xDE:
    case 0xF3: UpdateNR(isp, v); break;
    case 0xF4: setNR_spatial_manual(isp, v); break;
    case 0xF5: setNR_DynaBPC_manual(isp, v); break;
    case 0xF6: set3DNRLevel_manual(isp, v); break;
    case 0xF8: setCoring_manual(isp, v); break;
    default: break;
  }
  return 0;
}

// The level in force: the AGC-driven coring, spatial filter and temporal filter of the next 3A
// passes read it.
int GeneralNR(DVisca*, uint8_t* p) {
  g_isp.image.nrLevel.store(viscaNibbles(p, 6, 2), std::memory_order_relaxed);
  return 0;
}

int PauseAAA(DVisca*, uint8_t* p) {
  setPauseAAA(p[4] == 2 ? 1 : 0);
  return 0;
}

int ChromaScale(DVisca*, uint8_t* p) {
  const int level = static_cast<int>(viscaNibbles(p, 4, 4));
  ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "iLevel: %d\n", level);
  if (CIsp* isp = controller()) setChromaScale(isp, level);
  return 0;
}

// Off puts the encoder's QP range back for the light of the moment.
int QpLimitMode(DVisca*, uint8_t* p) {
  if (CIsp* isp = controller()) set_qp_limit_mode(isp, viscaNibbles(p, 6, 2) != 0 ? 1 : 0);
  return 0;
}

int SensorRegister(DVisca*, uint8_t* p) {
  if (IAVDriver* iav = iavDriver()) iav->set_sensor_RegData(viscaNibbles(p, 4, 4), viscaNibbles(p, 8, 4), 0);
  return 0;
}

int EncoderQpRange(DVisca*, uint8_t* p) {
  const int imin = static_cast<int>(viscaNibbles(p, 4, 2));
  const int imax = static_cast<int>(viscaNibbles(p, 6, 2));
  ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "imin~imax: %d~%d\n", imin, imax);
  if (IAVDriver* iav = iavDriver()) iav->change_qp_limit_manual(imax, imin);
  return 0;
}

int I2COpen(DVisca*, uint8_t*) {
  if (I2CDriver* i2c = i2cDriver()) i2c->open_i2c_device();
  return 0;
}

// ---- the category-04 table -----------------------------------------------------------------------

enum class Rule : uint8_t {
  None,
  AwbManual,            // AWB mode 0
  AeManualOrShutter,    // VISCA AE mode 3 or 10
  AeManual,             // VISCA AE mode 3
  AeFullAuto,           // VISCA AE mode 0
  ExpCompOn,            // G_uExpcomON set
  IrLedNotAuto,         // g_ir_led_auto not 1
};

struct CommandRow {
  uint8_t first, last;  // codes first..last
  Rule rule;
  ViscaHandler handler;
  const char* name;     // the dispatch trace
};

// Category 04: code(s), acceptance rule, handler, trace name. Codes not listed do nothing.
constexpr CommandRow kCameraCommands[] = {
    {0x01, 0x01, Rule::None, GeneralICR, "GeneralICR"},
    {0x02, 0x02, Rule::None, GeneralAperture, "GeneralAperture"},
    {0x42, 0x42, Rule::None, GeneralAperture, "GeneralAperture"},
    {0x03, 0x03, Rule::AwbManual, GeneralRGain, "GeneralRGain"},
    {0x43, 0x43, Rule::AwbManual, GeneralRGain, "GeneralRGain"},
    {0x04, 0x04, Rule::AwbManual, GeneralBGain, "GeneralBGain"},
    {0x44, 0x44, Rule::AwbManual, GeneralBGain, "GeneralBGain"},
    {0x05, 0x05, Rule::None, GeneralUserColorTemp, "GeneralUserColorTemp"},
    {0x35, 0x35, Rule::None, GeneralWhiteBalance, "GeneralWhiteBalance"},
    {0x07, 0x07, Rule::None, GeneralZoom, "GeneralZoom"},
    {0x45, 0x45, Rule::None, GeneralZoom, "GeneralZoom"},
    {0x47, 0x47, Rule::None, GeneralZoom, "GeneralZoom"},
    {0x08, 0x08, Rule::None, GeneralFocusGroup, "GeneralFocusGroup"},
    {0x38, 0x38, Rule::None, GeneralFocusGroup, "GeneralFocusGroup"},
    {0x48, 0x48, Rule::None, GeneralFocusGroup, "GeneralFocusGroup"},
    {0x09, 0x09, Rule::None, GeneralTvSystem, "GeneralTvSystem"},
    {0x0A, 0x0A, Rule::AeManualOrShutter, GeneralShutter, "GeneralShutter"},
    {0x4A, 0x4A, Rule::AeManualOrShutter, GeneralShutter, "GeneralShutter"},
    {0x0C, 0x0C, Rule::AeManual, GeneralGain, "GeneralGain"},
    {0x4C, 0x4C, Rule::AeManual, GeneralGain, "GeneralGain"},
    {0x0E, 0x0E, Rule::ExpCompOn, GeneralExpComp, "GeneralExpComp"},
    {0x3E, 0x3E, Rule::None, GeneralExpComp, "GeneralExpComp"},
    {0x4E, 0x4E, Rule::ExpCompOn, GeneralExpComp, "GeneralExpComp"},
    {0x19, 0x19, Rule::None, GeneralCamInit, "GeneralCamInit"},
    {0x21, 0x21, Rule::None, GeneralAutoICRThd, "GeneralAutoICRThd"},
    {0x22, 0x22, Rule::None, GeneralAutoICRCnt, "GeneralAutoICRCnt"},
    {0x2A, 0x2A, Rule::AeFullAuto, GeneralShutter, "GeneralShutter"},
    {0x2B, 0x2B, Rule::AeFullAuto, GeneralShutter, "GeneralShutter"},
    {0x2C, 0x2C, Rule::AeFullAuto, GeneralGain, "GeneralGain"},
    {0x33, 0x33, Rule::None, GeneralBLC, "GeneralBLC"},
    {0x39, 0x39, Rule::None, GeneralAEGroup, "GeneralAEGroup"},
    {0x3A, 0x3A, Rule::None, GeneralAEtarget, "GeneralAEtarget"},
    {0x3D, 0x3D, Rule::None, GeneralWDR, "GeneralWDR"},
    {0x46, 0x46, Rule::None, GeneralDZoom, "GeneralDZoom"},
    {0x4B, 0x4B, Rule::AeManual, GeneralIris, "GeneralIris"},
    {0x51, 0x51, Rule::None, GeneralAutoICR, "GeneralAutoICR"},
    {0x53, 0x53, Rule::None, GeneralNR, "GeneralNR"},
    {0x56, 0x56, Rule::None, GeneralDPTZ, "GeneralDPTZ"},
    {0x5A, 0x5A, Rule::None, GeneralSlowShutter, "GeneralSlowShutter"},
    {0x61, 0x61, Rule::None, traceOnly, "GeneralPictureMirror"},
    {0x66, 0x66, Rule::None, traceOnly, "GeneralPictureFlip"},
    {0x76, 0x76, Rule::None, GeneralMask, "GeneralMask"},
    {0x77, 0x77, Rule::None, GeneralEraseMask, "GeneralEraseMask"},
    {0xB0, 0xB0, Rule::None, GeneralIrLedMode, "GeneralICR"},
    {0xB1, 0xB1, Rule::IrLedNotAuto, GeneralIrLedLvl, "GeneralIrLedLvl"},
    {0xB2, 0xB2, Rule::None, GeneralPowerLedTime, "GeneralPowerLedTime"},
    {0xB3, 0xC7, Rule::None, GeneralGmUserIAV, "GeneralGmUserIAV"},
    {0xC8, 0xC8, Rule::None, GeneralRemoteUpgrade, "GeneralRemoteUpgrade"},
    {0xD0, 0xD0, Rule::None, VportOut, "VportOut"},
    {0xD1, 0xD1, Rule::None, GeneralHeater, "GeneralHeater"},
    {0xD2, 0xD3, Rule::None, GeneralIris, "GeneralIris"},
    {0xD4, 0xD4, Rule::None, traceOnly, "DC Iris Mode-unavailable\n"},
    {0xD6, 0xD6, Rule::None, traceOnly, "GeneralSetZoomBias-unavailable\n"},
    {0xDA, 0xDA, Rule::None, traceOnly, "GeneralSetFocusWideBias-unavailable\n"},
    {0xDB, 0xDB, Rule::None, traceOnly, "GeneralSetFocusMiddleBias-unavailable\n"},
    {0xDC, 0xDC, Rule::None, traceOnly, "GeneralSetFocusTeleBias-unavailable\n"},
    {0xDD, 0xDD, Rule::None, PauseAAA, "setPauseAAA"},
    {0xDE, 0xDE, Rule::None, NoiseReduction, "UpdateNR"},
    {0xF3, 0xF3, Rule::None, NoiseReduction, "UpdateNR"},
    {0xDF, 0xDF, Rule::None, ChromaScale, "setChromaScale"},
    {0xF4, 0xF6, Rule::None, NoiseReduction, "setNR_manual"},
    {0xF8, 0xF8, Rule::None, NoiseReduction, "setCoring_manual"},
    {0xF7, 0xF7, Rule::None, QpLimitMode, "set_qp_limit_mode"},
    {0xF9, 0xF9, Rule::None, SensorRegister, "set_sensor_RegData"},
    {0xFA, 0xFA, Rule::None, EncoderQpRange, "change_qp_limit_manual"},
    {0xFD, 0xFD, Rule::None, I2COpen, "open_i2c_device"},
    {0xFE, 0xFE, Rule::None, GeneralLensShade, "GeneralLensShade"},
    {0xF0, 0xF2, Rule::None, traceOnly, "preset, sequence"},
};

const CommandRow* findCameraCommand(uint8_t code) {
  for (const CommandRow& row : kCameraCommands)
    if (code >= row.first && code <= row.last) return &row;
  return nullptr;
}

// The rule's trace when it refuses, null when it accepts.
const char* refusal(Rule rule) {
  const uint32_t ae = g_isp.viscaAeMode.load(std::memory_order_relaxed);
  switch (rule) {
    case Rule::None:
      return nullptr;
    case Rule::AwbManual:
      return g_isp.awbMode.load(std::memory_order_relaxed) == 0 ? nullptr : "reject by AWBmode\n";
    case Rule::AeManualOrShutter:
      return ae == 3 || ae == 10 ? nullptr : "reject by AEmode\n";
    case Rule::AeManual:
      return ae == 3 ? nullptr : "reject by AEmode\n";
    case Rule::AeFullAuto:
      return ae == 0 ? nullptr : "ONLY accept by AE fullauto mode\n";
    case Rule::ExpCompOn:
      return g_isp.viscaCamera.expCompOn.load(std::memory_order_relaxed) != 0 ? nullptr : "reject by G_uExpcomON=OFF\n";
    case Rule::IrLedNotAuto:
      return g_isp.irLedAuto.load(std::memory_order_relaxed) != 1 ? nullptr : "reject by g_ir_led_auto =1\n";
  }
  return nullptr;
}

int fillReply(uint8_t* out, const uint8_t* body, size_t n) {
  out[0] = static_cast<uint8_t>(n + 1);
  std::memcpy(out + 1, body, n);
  return static_cast<int>(n + 1);
}

}  // namespace

// ---- the camera state ------------------------------------------------------------------------------

DVisca::DVisca() {
  constexpr auto r = std::memory_order_relaxed;
  IspGlobals& g = g_isp;
  g.dptzZoom.store(1, r);
  g.dptzPan.store(50, r);
  g.dptzTilt.store(50, r);
  g.viscaAeMode.store(0, r);
  g.shutterSlowestBound.store(g.aeLimits.shutterSlowest, r);
  g.shutterFastestBound.store(g.aeLimits.shutterFastest, r);
  g.agcMinimumBound.store(g.aeLimits.agcMinIndex, r);
  g.agcMaximumBound.store(g.aeLimits.agcMaxIndex, r);
  g.colourTemperature.store(6000, r);
  g.viscaCamera.expCompOn.store(1, r);
  g.viscaCamera.expCompLevel.store(7, r);
  g.irFilterThreshold[0].store(10, r);
  g.irFilterThreshold[1].store(500, r);
  g.irFilterThreshold[2].store(300, r);
  g.irLedAuto.store(1, r);
  g.irLedManualLevel.store(1, r);
  g.irLedDriveLevel.store(1, r);
  g.viscaCamera.irCutInstalled.store(1, r);
  g.viscaCamera.dayNightAuto.store(1, r);
  g.viscaCamera.calibrationExposure.store(0, r);
  for (auto* field : {&g.image.brightness, &g.image.contrast, &g.image.saturation, &g.image.hue, &g.image.sharpness})
    field->store(50, r);
  g.image.backlight.store(0, r);
  g.image.wdrLevel.store(1, r);
  g.image.vportOutput[0].store(0, r);
  g.image.vportOutput[1].store(0, r);
  g.image.manualIris.store(0, r);
  g.image.nrLevel.store(0, r);
  g.awbMode.store(1, r);
  g.manualShutterIndex.store(5, r);
  // The AE controller starts from the board's minimum AGC index.
  g.manualAgcIndex.store(g.aeLimits.agcMinIndex, r);
  g.aeTarget.store(g.aeLimits.targetBase, r);
  g.settingsAeMode.store(1, r);
  g.image.powerLedInterval.store(255, r);
  g.viscaCamera.heaterChannel.store(0, r);
  g.viscaCamera.heaterOn.store(0, r);
  g.focusExport.store(0, r);
}

DVisca::~DVisca() = default;

// ---- dispatch ----------------------------------------------------------------------------------------

bool viscaCommandAccepted(const uint8_t* packet) {
  if (packet[2] != 0x04) return true;
  const CommandRow* row = findCameraCommand(packet[3]);
  return row == nullptr || refusal(row->rule) == nullptr;
}

int processGeneralCmd(DVisca* visca, uint8_t* packet) {
  switch (packet[2]) {
    case 0x04: {
      const CommandRow* row = findCameraCommand(packet[3]);
      if (row == nullptr) return 0;
      if (const char* refused = refusal(row->rule)) {
        debugPrintf(0, "%s", refused);
        // The client learns of a refusal only by a later inquiry: the log says which rule it was.
        ISP_LOG(kSource, LOG_LEVEL_DEBUG, 0, "[processGeneralCmd] 04 %02X %02X refused: %.*s", packet[3], packet[4],
                static_cast<int>(std::strlen(refused) - 1), refused);
        return 0;
      }
      debugPrintf(0, "%s\n", row->name);
      return row->handler(visca, packet);
    }
    case 0x06:
      return GeneralPanTilt(visca, packet);
    default:
      return 0;
  }
}

// ---- replies -----------------------------------------------------------------------------------------

int viscaValueReply(uint8_t* out, uint16_t value) {
  const uint8_t body[] = {0x90, 0x50, static_cast<uint8_t>(value >> 12 & 0xF), static_cast<uint8_t>(value >> 8 & 0xF),
                          static_cast<uint8_t>(value >> 4 & 0xF), static_cast<uint8_t>(value & 0xF), 0xFF};
  return fillReply(out, body, sizeof body);
}

int viscaShortReply(uint8_t* out, uint8_t value) {
  const uint8_t body[] = {0x90, 0x50, value, 0xFF};
  return fillReply(out, body, sizeof body);
}

int viscaPairReply(uint8_t* out, uint8_t a, uint8_t b) {
  const uint8_t body[] = {0x90, 0x50, a, b, 0xFF};
  return fillReply(out, body, sizeof body);
}

int viscaPositionReply(uint8_t* out, uint16_t pan, uint16_t tilt) {
  uint8_t body[11] = {0x90, 0x50};
  for (int i = 0; i < 4; ++i) {
    body[2 + i] = static_cast<uint8_t>(pan >> (12 - 4 * i) & 0xF);
    body[6 + i] = static_cast<uint8_t>(tilt >> (12 - 4 * i) & 0xF);
  }
  body[10] = 0xFF;
  return fillReply(out, body, sizeof body);
}

int viscaBiasReply(uint8_t* out, uint8_t a, uint8_t b) {
  const uint8_t body[] = {0x90, 0x50, 0x00, 0x00, a, b, 0xFF};
  return fillReply(out, body, sizeof body);
}

}  // namespace isp
}  // namespace kavo
