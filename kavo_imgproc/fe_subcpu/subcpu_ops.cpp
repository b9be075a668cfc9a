// The sub-CPU device operations: each picks its link, sends one row of the builder table and turns
// 0x00/0xFF into the result its callers expect (commands 1/0, sensors 0/1, pan/tilt unchanged);
// the GPIO operations talk to "/dev/gpiodev".
#include <fcntl.h>

#include <cerrno>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_link.h"
#include "kavo/os/board_io.h"
#include "kavo/os/device.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "subcpu";
constexpr int kDebug = 0;
constexpr int kPositionAttempts = 3;
constexpr int kCompletionPolls = 15000;  // 1 ms apart

LensLinkState& lens() { return g_isp.lensLink; }

uint32_t u(int32_t v) { return static_cast<uint32_t>(v); }

}  // namespace

int SubCPU::command(ViscaOp op, const uint32_t* args, size_t count) {
  return viscaSend(m_serial, m_serialPeer, viscaBuilder(op), args, count) == kViscaOk ? 1 : 0;
}

int SubCPU::sensor(ViscaOp op, uint32_t* value) {
  ViscaAnswerOut out{};
  if (viscaSend(m_serial, m_serialPeer, viscaBuilder(op), nullptr, 0, &out) != kViscaOk) return 1;
  if (value != nullptr) *value = static_cast<uint16_t>(out.v[0]);
  return 0;
}

uint8_t SubCPU::panTilt(ViscaOp op, const uint32_t* args, size_t count) {
  return viscaSend(m_spi, m_spiPeer, viscaBuilder(op), args, count);
}

// ---- commands -----------------------------------------------------------------------------------

int SubCPU::setICR(int flag) {
  const uint32_t a[] = {u(flag)};
  return command(ViscaOp::SetIcr, a, 1);
}

int SubCPU::lensInit() {
  const uint32_t a[] = {1};
  return command(ViscaOp::LensInit, a, 1);
}

int SubCPU::isMcuReady() { return 1; }

#define KAVO_SUBCPU_VALUE_COMMAND(function, op) \
  int SubCPU::function(uint32_t value) {        \
    const uint32_t a[] = {value};               \
    return command(ViscaOp::op, a, 1);          \
  }
KAVO_SUBCPU_VALUE_COMMAND(setIrisBias, IrisBias)
KAVO_SUBCPU_VALUE_COMMAND(setIrisDirect, IrisDirect)
KAVO_SUBCPU_VALUE_COMMAND(setIrisBalance, IrisBalance)
KAVO_SUBCPU_VALUE_COMMAND(setDCIrisDriver, DcIrisDriver)
KAVO_SUBCPU_VALUE_COMMAND(setPowerLedTime, PowerLedTime)
KAVO_SUBCPU_VALUE_COMMAND(setZoomBias, ZoomBias)
KAVO_SUBCPU_VALUE_COMMAND(setFocusWideBias, FocusWideBias)
KAVO_SUBCPU_VALUE_COMMAND(setFocusTeleBias, FocusTeleBias)
KAVO_SUBCPU_VALUE_COMMAND(setTrackingCurve, TrackingCurve)
KAVO_SUBCPU_VALUE_COMMAND(setTrackingCurveAF, TrackingCurve)
KAVO_SUBCPU_VALUE_COMMAND(setZoom, ZoomPosition)
KAVO_SUBCPU_VALUE_COMMAND(setFocus, FocusPosition)
#undef KAVO_SUBCPU_VALUE_COMMAND

int SubCPU::setDCIrisMode(int flag) {
  const uint32_t a[] = {u(flag)};
  return command(ViscaOp::DcIrisMode, a, 1);
}

int SubCPU::setIrLedLevel(uint32_t level) {
  const uint32_t a[] = {level / 2};
  return command(ViscaOp::IrLedLevel, a, 1);
}

int SubCPU::setHeater(uint32_t channel, uint32_t on) {
  const uint32_t a[] = {(channel << 4) | on};
  return command(ViscaOp::Heater, a, 1);
}

int SubCPU::zoomStop() { return command(ViscaOp::ZoomStop); }
int SubCPU::zoomTele() { return command(ViscaOp::ZoomTele); }
int SubCPU::zoomWide() { return command(ViscaOp::ZoomWide); }
int SubCPU::focusStop() { return command(ViscaOp::FocusStop); }
int SubCPU::focusNear() { return command(ViscaOp::FocusNear); }
int SubCPU::focusFar() { return command(ViscaOp::FocusFar); }

int SubCPU::focusStopUnlessAF() {
  const LensMotionFlags& f = lens().flags;
  if (f.G_AutoFocusMode.load(std::memory_order_relaxed) != 0 || f.G_ZoomTrigMode.load(std::memory_order_relaxed) != 0) {
    debugPrintf(kDebug, "AutoFocus is On");
    return 1;
  }
  return focusStop();
}

int SubCPU::waitCompletion(const char* who) {
  for (int i = 0; i < kCompletionPolls; ++i) {
    kavo::utils::sleepMs(1);
    if (m_bZFisMoving2AbsAddr.load(std::memory_order_acquire) == 0) return 1;
  }
  debugPrintf(kDebug, "[%s].............m_bZFisMoving2AbsAddr==true timeout!!!!!........", who);
  return 1;
}

int SubCPU::syncAbsZoom_WaitCompletion(uint32_t zoom) {
  // Armed before the send, so that an end reported at once is not missed.
  m_bZFisMoving2AbsAddr.store(1, std::memory_order_release);
  const uint32_t a[] = {zoom};
  if (command(ViscaOp::ZoomPosition, a, 1) == 0) {
    m_bZFisMoving2AbsAddr.store(0, std::memory_order_release);
    return 0;
  }
  return waitCompletion("syncAbsZoom_WaitCompletion");
}

int SubCPU::syncAbsZoomFocus_WaitCompletion(uint32_t zoom, uint32_t focus) {
  m_bZFisMoving2AbsAddr.store(1, std::memory_order_release);
  const uint32_t a[] = {zoom, focus};
  if (command(ViscaOp::ZoomFocusPosition, a, 2) == 0) {
    m_bZFisMoving2AbsAddr.store(0, std::memory_order_release);
    return 0;
  }
  return waitCompletion("syncAbsZoomFocus_WaitCompletion");
}

// ---- inquiries ----------------------------------------------------------------------------------

int SubCPU::positionWithRetries(ViscaOp op, uint32_t* out, const char* fallbackMessage) {
  const int32_t lensId = g_isp.sys.lens;
  const bool zoom = op == ViscaOp::ZoomPositionInq;
  for (int attempt = 0; attempt < kPositionAttempts; ++attempt) {
    uint32_t v = 0;
    if (sensor(op, &v) == 0) {
      debugPrintf(kDebug, zoom ? "[getZoom] iStop =%d." : "[getFocus] iStop =%d.", static_cast<int>(v));
      bool ok = false;
      if (lensId == TAMRON_X3 || lensId == TAMRON_X30)
        ok = zoom ? v < 608 : v <= 1888;
      else if (lensId == T5289_X3)
        ok = zoom ? v < 1180 : v <= 900;
      if (ok) {
        if (out != nullptr) *out = v;
        return 1;
      }
    }
    kavo::utils::sleepMs(30);
  }
  if (out != nullptr) *out = 0;
  ISP_LOG(kSource, LOG_LEVEL_INFO, 0, "%s", fallbackMessage);
  return 0;
}

int SubCPU::getZoom(uint32_t* zoom) { return positionWithRetries(ViscaOp::ZoomPositionInq, zoom, "Zoom updated to default"); }

int SubCPU::getFocus(uint32_t* focus) {
  return positionWithRetries(ViscaOp::FocusPositionInq, focus, "Focus updated to default");
}

int SubCPU::getZoomBias(uint32_t* value) { return sensor(ViscaOp::ZoomBiasInq, value) == 0 ? 1 : 0; }

int SubCPU::signedInquiry(ViscaOp op, int32_t* value) {
  uint32_t v = 0;
  if (sensor(op, &v) != 0) return 0;
  if (value != nullptr) *value = static_cast<int16_t>(v);
  return 1;
}

int SubCPU::getFocusWideBias(int32_t* value) { return signedInquiry(ViscaOp::FocusWideBiasInq, value); }
int SubCPU::getFocusMidBias(int32_t* value) { return signedInquiry(ViscaOp::FocusMidBiasInq, value); }
int SubCPU::getFocusTeleBias(int32_t* value) { return signedInquiry(ViscaOp::FocusTeleBiasInq, value); }

int SubCPU::getZFCorrectionStatus() {
  if (m_zfCorrectionLatch.load(std::memory_order_acquire) != 0) return 1;
  uint32_t v = 0;
  if (sensor(ViscaOp::ZfCorrectionStatus, &v) != 0) return 0;
  if (v != 0) m_zfCorrectionLatch.store(1, std::memory_order_release);
  return m_zfCorrectionLatch.load(std::memory_order_acquire);
}

int SubCPU::getFocusTrackingBiasTele(int32_t* value) {
  const int32_t v = lens().focus_Telebias.load(std::memory_order_relaxed);
  if (value != nullptr) *value = v;
  debugPrintf(kDebug, "[getFocusTrackingBiasTele]%d", v);
  return 1;
}

int SubCPU::getFocusTrackingBias(int32_t* value) {
  const int32_t v = lens().focus_bias.load(std::memory_order_relaxed);
  if (value != nullptr) *value = v;
  debugPrintf(kDebug, "[getFocusTrackingBias]%d ", v);
  return 1;
}

int SubCPU::inqLightSensor(uint32_t* value) { return sensor(ViscaOp::LightSensor, value); }
int SubCPU::inqTemperatureE1(uint32_t* value) { return sensor(ViscaOp::TemperatureE1, value); }
int SubCPU::inqTemperatureE2(uint32_t* value) { return sensor(ViscaOp::TemperatureE2, value); }
int SubCPU::inqTemperatureE3(uint32_t* value) { return sensor(ViscaOp::TemperatureE3, value); }
int SubCPU::inqTemperatureE5(uint32_t* value) { return sensor(ViscaOp::TemperatureE5, value); }
int SubCPU::inqTemperatureE7(uint32_t* value) { return sensor(ViscaOp::TemperatureE7, value); }
int SubCPU::inqTemperatureE8(uint32_t* value) { return sensor(ViscaOp::TemperatureE8, value); }
int SubCPU::inqHumidity(uint32_t* value) { return sensor(ViscaOp::Humidity, value); }
int SubCPU::inqLensHallSensor(uint32_t* value) { return sensor(ViscaOp::LensHallSensor, value); }

// ---- pan/tilt -----------------------------------------------------------------------------------

#define KAVO_SUBCPU_PT_DRIVE(function, op)                        \
  uint8_t SubCPU::function(uint8_t panSpeed, uint8_t tiltSpeed) { \
    const uint32_t a[] = {panSpeed, tiltSpeed};                   \
    return panTilt(ViscaOp::op, a, 2);                            \
  }
KAVO_SUBCPU_PT_DRIVE(ptUp, PtUp)
KAVO_SUBCPU_PT_DRIVE(ptDown, PtDown)
KAVO_SUBCPU_PT_DRIVE(ptLeft, PtLeft)
KAVO_SUBCPU_PT_DRIVE(ptRight, PtRight)
KAVO_SUBCPU_PT_DRIVE(ptUpLeft, PtUpLeft)
KAVO_SUBCPU_PT_DRIVE(ptUpRight, PtUpRight)
KAVO_SUBCPU_PT_DRIVE(ptDownLeft, PtDownLeft)
KAVO_SUBCPU_PT_DRIVE(ptDownRight, PtDownRight)
KAVO_SUBCPU_PT_DRIVE(ptStop, PtStop)
#undef KAVO_SUBCPU_PT_DRIVE

uint8_t SubCPU::ptAbsolute(uint8_t panSpeed, uint8_t tiltSpeed, int32_t pan, int32_t tilt) {
  const uint32_t a[] = {panSpeed, tiltSpeed, u(pan), u(tilt)};
  return panTilt(ViscaOp::PtAbsolute, a, 4);
}

uint8_t SubCPU::ptRelative(uint8_t panSpeed, uint8_t tiltSpeed, int32_t pan, int32_t tilt) {
  const uint32_t a[] = {panSpeed, tiltSpeed, u(pan), u(tilt)};
  return panTilt(ViscaOp::PtRelative, a, 4);
}

uint8_t SubCPU::ptHome() { return panTilt(ViscaOp::PtHome); }
uint8_t SubCPU::ptReset() { return panTilt(ViscaOp::PtReset); }

uint8_t SubCPU::ptLimitSetUpRight(int32_t pan, int32_t tilt) {
  const uint32_t a[] = {u(pan), u(tilt)};
  return panTilt(ViscaOp::PtLimitSetUpRight, a, 2);
}

uint8_t SubCPU::ptLimitSetDownLeft(int32_t pan, int32_t tilt) {
  const uint32_t a[] = {u(pan), u(tilt)};
  return panTilt(ViscaOp::PtLimitSetDownLeft, a, 2);
}

uint8_t SubCPU::ptLimitClearUpRight() { return panTilt(ViscaOp::PtLimitClearUpRight); }
uint8_t SubCPU::ptLimitClearDownLeft() { return panTilt(ViscaOp::PtLimitClearDownLeft); }

uint8_t SubCPU::inqPtMode(uint16_t* mode) {
  ViscaAnswerOut out{};
  if (viscaSend(m_serial, m_serialPeer, viscaBuilder(ViscaOp::PtModeInq), nullptr, 0, &out) != kViscaOk) return kViscaFail;
  if (mode != nullptr) *mode = static_cast<uint16_t>(out.v[0]);
  return kViscaOk;
}

uint8_t SubCPU::inqPtMaxSpeed(uint8_t* panSpeed, uint8_t* tiltSpeed) {
  ViscaAnswerOut out{};
  if (viscaSend(m_serial, m_serialPeer, viscaBuilder(ViscaOp::PtMaxSpeedInq), nullptr, 0, &out) != kViscaOk)
    return kViscaFail;
  if (panSpeed != nullptr) *panSpeed = static_cast<uint8_t>(out.v[0]);
  if (tiltSpeed != nullptr) *tiltSpeed = static_cast<uint8_t>(out.v[1]);
  return kViscaOk;
}

uint8_t SubCPU::inqPtPosition(int32_t* pan, int32_t* tilt) {
  ViscaAnswerOut out{};
  if (viscaSend(m_serial, m_serialPeer, viscaBuilder(ViscaOp::PtPositionInq), nullptr, 0, &out) != kViscaOk)
    return kViscaFail;
  if (pan != nullptr) *pan = out.v[0];
  if (tilt != nullptr) *tilt = out.v[1];
  return kViscaOk;
}

// ---- GPIO -----------------------------------------------------------------------------------------

int SubCPU::getVportInput(int channel, uint32_t* value) {
  uint32_t v = 0;
  const unsigned long request = channel == 1 ? GPIO_REQUEST_VPORT_IN1 : GPIO_REQUEST_VPORT_IN0;
  if (kavo::os::devIoctl(m_gpio.load(std::memory_order_acquire), request, &v) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, channel == 1 ? "[getVportInput]err_code=-2." : "[getVportInput]err_code=-1.");
  } else if (value != nullptr) {
    *value = v;
  }
  debugPrintf(kDebug, "Get Vport ch=%d bVportInput=%d", channel, static_cast<int>(v));
  return 1;
}

int SubCPU::setVportOutput(int channel, uint32_t value) {
  uint32_t v = value;
  const unsigned long request = channel != 0 ? GPIO_REQUEST_VPORT_OUT1 : GPIO_REQUEST_VPORT_OUT0;
  if (kavo::os::devIoctl(m_gpio.load(std::memory_order_acquire), request, &v) < 0)
    ISP_LOG(kSource, LOG_LEVEL_INFO, errno, channel != 0 ? "[setVportOutput]err_code=-2." : "[setVportOutput]err_code=-1.");
  return 1;
}

int SubCPU::getResetButton_xBrisk() {
  uint32_t v = 0;
  if (kavo::os::devIoctl(m_gpio.load(std::memory_order_acquire), GPIO_REQUEST_RESET_BUTTON, &v) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_INFO, errno, "[getResetButton_xBrisk]err_code=-1.");
    v = 0;
  }
  debugPrintf(kDebug, "Get factory reset button=%d.", static_cast<int>(v));
  return static_cast<int>(v);
}

int SubCPU::setIrLedon_xBrisk(uint32_t on) {
  uint32_t v = on > 1 ? 1 : on;
  const int gpio = m_gpio.load(std::memory_order_acquire);
  if (g_isp.sys.model == FINCH_IR) {
    debugPrintf(kDebug, "[setIrLedon_xBrisk]TORVEX_FINCH_IR value=%d", static_cast<int>(v));
    if (m_irLedFirstUse.exchange(0, std::memory_order_acq_rel) != 0) {
      // The backlight that feeds the LEDs is powered once per process.
      const int fd = kavo::os::devOpen(kIrLedBacklightPower, O_WRONLY);
      const bool ok = fd >= 0 && kavo::os::devWrite(fd, "1\n", 2) == 2;
      if (fd >= 0) kavo::os::devClose(fd);
      if (!ok) ISP_LOG(kSource, LOG_LEVEL_WARNING, errno, "[setIrLedon_xBrisk]cannot power %s.", kIrLedBacklightPower);
    }
    if (kavo::os::devIoctl(gpio, GPIO_REQUEST_IR_LED2, &v) < 0)
      ISP_LOG(kSource, LOG_LEVEL_INFO, errno, "[setIrLedon_xBrisk]err_code=-1.");
  }
  if (kavo::os::devIoctl(gpio, GPIO_REQUEST_IR_LED, &v) < 0)
    ISP_LOG(kSource, LOG_LEVEL_INFO, errno, "[setIrLedon_xBrisk]err_code=-1.");
  return 1;
}

}  // namespace isp
}  // namespace kavo
