// The VISCA inquiry dispatcher: the answers read from the lens MCU, the exposure control, the
// drivers and the camera state, in the reply templates of DVisca.h.
#include <cstring>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "be_i2c/i2c_driver.h"
#include "be_iav/iav_driver.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_channel.h"
#include "if_visca/visca_handlers.h"
#include "if_visca/visca_lens.h"
#include "kavo/utils/clock.h"
#include "misc/misc.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

uint16_t low16(uint32_t v) { return static_cast<uint16_t>(v & 0xFFFF); }

// ---- category 04 ------------------------------------------------------------------------------------

// 47 and 48: the MCU's position, kept as the auto focus's own 1 ms later; when the read fails, the
// position the auto focus knows last.
int lensPosition(uint8_t* p, bool (*read)(uint32_t*), std::atomic<uint32_t> CAFControl::*kept) {
  uint32_t position = 0;
  CAFControl* af = afControl();
  if (read(&position)) {
    kavo::utils::sleepMs(1);
    if (af != nullptr) (af->*kept).store(position, kRelaxed);
  } else if (af != nullptr) {
    position = (af->*kept).load(kRelaxed);
  }
  return viscaValueReply(p, low16(position));
}

int InquiryZoom(DVisca*, uint8_t* p) {
  return lensPosition(p, lensZoom, &CAFControl::m_iCurrZoomPosition);
}

int InquiryFocusGroup(DVisca*, uint8_t* p) {
  return lensPosition(p, lensFocus, &CAFControl::m_iCurrFocusPosition);
}

int InquiryFocusBias(DVisca*, uint8_t* p) {
  int32_t wide = 0, tele = 0;
  lensFocusTrackingBias(&wide, &tele);
  return viscaBiasReply(p, static_cast<uint8_t>(wide), static_cast<uint8_t>(tele));
}

int InquiryIrisStatus(DVisca*, uint8_t* p) {
  AEControl* ae = aeControl();
  return viscaShortReply(p, ae != nullptr ? ae->irisAdjustStatus.load(kRelaxed) : 0);
}

int InquiryFocusMode(DVisca*, uint8_t* p) {
  return viscaShortReply(p, static_cast<uint8_t>(g_isp.focusMode.load(kRelaxed)));
}

int InquiryAEMode(DVisca*, uint8_t* p) {
  return viscaShortReply(p, static_cast<uint8_t>(g_isp.settingsAeMode.load(kRelaxed)));
}

int InqZoomBias(DVisca*, uint8_t* p) {
  uint32_t bias = 0;
  if (!lensZoomBias(&bias)) bias = 0;
  kavo::utils::sleepMs(1);
  return viscaValueReply(p, low16(bias));
}

int InqFocusBias(DVisca*, uint8_t* p) {
  int32_t bias = 0;
  if (!lensFocusBias(p[3] - 0xDA, &bias)) bias = 0;
  return viscaValueReply(p, low16(static_cast<uint32_t>(bias)));
}

int InqVportInput(DVisca*, uint8_t* p) {
  const uint32_t in0 = boardVportInput(0);
  kavo::utils::sleepMs(10);
  const uint32_t in1 = boardVportInput(1);
  return viscaValueReply(p, static_cast<uint16_t>((in0 & 1) | (in1 & 1) << 1));
}

int InqMcuSensor(DVisca*, uint8_t* p) { return viscaValueReply(p, low16(lensSensor(p[3]))); }

int InqLightSensor(DVisca*, uint8_t* p) {
  uint32_t value = 0;
  const int32_t model = g_isp.sys.model;
  if (model == TORVEX_BRISK || model == TORVEX_TARROW) {
    value = lensSensor(0xE4);
  } else if (model == FINCH_IR) {
    if (I2CDriver* i2c = i2cDriver()) i2c->getLightSensorValue(&value);
  }
  return viscaValueReply(p, low16(value));
}

int InquiryZFCorrectionStatus(DVisca* visca, uint8_t* p) { return viscaShortReply(p, ZFCorrectionCheck(visca)); }
int InquiryICRCheck(DVisca* visca, uint8_t* p) { return viscaShortReply(p, ICR_IRLEDStatusCheck(visca)); }

// F6: the exposure and metering that make the AF figures meaningful, and the figures exported in
// the focus segment from the next 3A pass on.
int InquiryFocusValueMode(DVisca*, uint8_t*) {
  const int32_t model = g_isp.sys.model;
  if (model == ALDER_IR || model == HALDEN_IR || model == FINCH_IR) {
    viscaSetAeTarget(model == HALDEN_IR ? 2000 : 6000);
    g_isp.image.backlight.store(2, kRelaxed);
    g_isp.image.sharpness.store(16, kRelaxed);
    if (CIsp* isp = controller()) setSharpness(isp, 16);
  } else {
    g_isp.image.backlight.store(3, kRelaxed);
  }
  if (g_isp.focusShm.addr != nullptr) g_isp.focusShm.addr[0] = 0;
  g_isp.focusExport.store(1, kRelaxed);
  return 0;
}

int InquiryResetButton(DVisca*, uint8_t* p) {
  kavo::utils::sleepMs(10);
  return viscaValueReply(p, static_cast<uint16_t>(boardResetButton() & 1));
}

int InquiryExposureValue(DVisca*, uint8_t* p) {
  AEControl* ae = aeControl();
  return viscaValueReply(p, low16(ae != nullptr ? ae->luminance.load(kRelaxed) : 0));
}

int InquirySensorReg(DVisca*, uint8_t* p) {
  IAVDriver* iav = iavDriver();
  return viscaValueReply(p, low16(iav != nullptr ? iav->get_sensor_RegData(viscaNibbles(p, 4, 4)) : 0));
}

int InquiryExposureISO(DVisca*, uint8_t* p) {
  AEControl* ae = aeControl();
  return viscaValueReply(p, ae != nullptr ? ae->agcIndex.load(kRelaxed) : 0);
}

int InquiryExposureShutter(DVisca*, uint8_t* p) {
  AEControl* ae = aeControl();
  return viscaValueReply(p, ae != nullptr ? ae->shutterIndex.load(kRelaxed) : 0);
}

// FD: one measuring cycle of the ambient-light sensor; a stop cuts its waits short.
int InquiryI2CRead(DVisca*, uint8_t*) {
  I2CDriver* i2c = i2cDriver();
  if (i2c == nullptr) return 0;
  i2c->lightSensorConfig();
  if (!viscaWaitMs(500)) return 0;
  i2c->lightSensorStart();
  if (!viscaWaitMs(500)) return 0;
  i2c->lightSensorReadStatus();
  if (!viscaWaitMs(500)) return 0;
  i2c->lightSensorReadValue();
  return 0;
}

struct InquiryRow {
  uint8_t first, last;
  ViscaHandler handler;  // null: recognised, no reply
  const char* name;      // the dispatch trace
};

// Category 04: code(s), handler, trace name. Codes not listed are not answered.
constexpr InquiryRow kCameraInquiries[] = {
    {0x01, 0x01, nullptr, "InquiryICRMode"},
    {0x06, 0x06, nullptr, "InquiryDZoomMode"},
    {0x07, 0x07, nullptr, "InquiryZoomBias"},
    {0x08, 0x08, InquiryFocusBias, "InquiryFocusBias"},
    {0x0B, 0x0B, InquiryIrisStatus, "InquiryFocusBias"},
    {0x28, 0x28, nullptr, "InquiryFocusNearLimit"},
    {0x33, 0x36, nullptr, "InquiryBackLightMode"},
    {0x38, 0x38, InquiryFocusMode, "InquiryFocusMode"},
    {0x39, 0x39, InquiryAEMode, "InquiryAEMode"},
    {0x3D, 0x3E, nullptr, "InquiryWD"},
    {0x42, 0x44, nullptr, "InquiryAperture"},
    {0x46, 0x46, nullptr, "InquiryDZoomPos"},
    {0x47, 0x47, InquiryZoom, "InquiryZoom"},
    {0x48, 0x48, InquiryFocusGroup, "InquiryFocusGroup"},
    {0x4A, 0x4E, nullptr, "InquiryShutterPos"},
    {0x51, 0x51, nullptr, "InquiryAutoICR"},
    {0x5A, 0x5A, nullptr, "InquirySlowShutterMode"},
    {0x62, 0x62, nullptr, "InquiryFreezeMode"},
    {0x66, 0x66, nullptr, "InquiryPictureFlipMode"},
    {0x77, 0x77, nullptr, "InquiryPrivacyDisplay"},
    {0xA1, 0xA6, nullptr, "InquiryAlarmStatus"},
    {0xB1, 0xB1, nullptr, "InquiryHitachiZoomMax"},
    {0xD6, 0xD6, InqZoomBias, "InqZoomBias"},
    {0xDA, 0xDC, InqFocusBias, "InqFocusBias"},
    {0xE0, 0xE0, InqVportInput, "InqVportInput"},
    {0xE1, 0xE3, InqMcuSensor, "InqTemperature"},
    {0xE4, 0xE4, InqLightSensor, "InqLightSensor"},
    {0xE5, 0xE9, InqMcuSensor, "InqTemperature"},
    {0xF4, 0xF4, InquiryZFCorrectionStatus, "InquiryZFCorrectionStatus"},
    {0xF5, 0xF5, InquiryICRCheck, "InquiryICRMode-ICR and IR LED check"},
    {0xF6, 0xF6, InquiryFocusValueMode, "InquiryFocusValueMode"},
    {0xF7, 0xF7, InquiryResetButton, "InquiryReserButton"},
    {0xF8, 0xF8, InquiryExposureValue, "InquiryExposureValue"},
    {0xF9, 0xF9, InquirySensorReg, "InquirySensorReg"},
    {0xFA, 0xFA, nullptr, "Inquiry System running flag"},
    {0xFB, 0xFB, InquiryExposureISO, "InquiryExposureISO"},
    {0xFC, 0xFC, InquiryExposureShutter, "InquiryExposureShutter"},
    {0xFD, 0xFD, InquiryI2CRead, "InquiryI2CRead"},
};

// ---- category 06 (pan/tilt) ---------------------------------------------------------------------------

int panTiltInquiry(uint8_t* p) {
  switch (p[3]) {
    case 0x10: {
      uint16_t mode = 0;
      panTiltMode(&mode);
      return viscaPairReply(p, static_cast<uint8_t>(mode >> 8), static_cast<uint8_t>(mode & 0xFF));
    }
    case 0x11: {
      uint8_t pan = 0, tilt = 0;
      panTiltMaxSpeed(&pan, &tilt);
      return viscaPairReply(p, pan, tilt);
    }
    case 0x12: {
      int32_t pan = 0, tilt = 0;
      panTiltPosition(&pan, &tilt);
      return viscaPositionReply(p, low16(static_cast<uint32_t>(pan)), low16(static_cast<uint32_t>(tilt)));
    }
    default:
      return 0;
  }
}

}  // namespace

int processInquiryCmd(DVisca* visca, uint8_t* packet, uint8_t*) {
  switch (packet[2]) {
    case 0x00:
      debugPrintf(0, "InquiryVersion\n");
      return 0;
    case 0x04:
      for (const InquiryRow& row : kCameraInquiries) {
        if (packet[3] < row.first || packet[3] > row.last) continue;
        debugPrintf(0, "%s\n", row.name);
        return row.handler != nullptr ? row.handler(visca, packet) : 0;
      }
      return 0;
    case 0x06:
      return panTiltInquiry(packet);
    default:
      return 0;
  }
}

}  // namespace isp
}  // namespace kavo
