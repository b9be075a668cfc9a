// The VISCA inquiries' reads through the sub-CPU object: see visca_lens.h.
#include "if_visca/visca_lens.h"

#include "fe_subcpu/subcpu.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

bool lensZoom(uint32_t* zoom) {
  SubCPU* s = subCpu();
  return s != nullptr && s->getZoom(zoom) == 1;
}

bool lensFocus(uint32_t* focus) {
  SubCPU* s = subCpu();
  return s != nullptr && s->getFocus(focus) == 1;
}

bool lensZoomBias(uint32_t* bias) {
  SubCPU* s = subCpu();
  return s != nullptr && s->getZoomBias(bias) == 1;
}

bool lensFocusBias(int which, int32_t* bias) {
  SubCPU* s = subCpu();
  if (s == nullptr) return false;
  switch (which) {
    case 0:
      return s->getFocusWideBias(bias) == 1;
    case 1:
      return s->getFocusMidBias(bias) == 1;
    case 2:
      return s->getFocusTeleBias(bias) == 1;
    default:
      return false;
  }
}

void lensFocusTrackingBias(int32_t* wide, int32_t* tele) {
  if (SubCPU* s = subCpu()) {
    s->getFocusTrackingBias(wide);
    s->getFocusTrackingBiasTele(tele);
  }
}

uint32_t lensSensor(uint8_t code) {
  SubCPU* s = subCpu();
  uint32_t value = 0;
  if (s == nullptr) return value;
  switch (code) {
    case 0xE1: s->inqTemperatureE1(&value); break;
    case 0xE2: s->inqTemperatureE2(&value); break;
    case 0xE3: s->inqTemperatureE3(&value); break;
    case 0xE4: s->inqLightSensor(&value); break;
    case 0xE5: s->inqTemperatureE5(&value); break;
    case 0xE6: s->inqHumidity(&value); break;
    case 0xE7: s->inqTemperatureE7(&value); break;
    case 0xE8: s->inqTemperatureE8(&value); break;
    case 0xE9: s->inqLensHallSensor(&value); break;
    default: break;
  }
  return value;
}

uint32_t boardVportInput(int channel) {
  uint32_t value = 0;
  if (SubCPU* s = subCpu()) s->getVportInput(channel, &value);
  return value;
}

uint32_t boardResetButton() {
  SubCPU* s = subCpu();
  return s != nullptr ? static_cast<uint32_t>(s->getResetButton_xBrisk()) : 0;
}

void panTiltMode(uint16_t* mode) {
  if (SubCPU* s = subCpu()) s->inqPtMode(mode);
}

void panTiltMaxSpeed(uint8_t* pan, uint8_t* tilt) {
  if (SubCPU* s = subCpu()) s->inqPtMaxSpeed(pan, tilt);
}

void panTiltPosition(int32_t* pan, int32_t* tilt) {
  if (SubCPU* s = subCpu()) s->inqPtPosition(pan, tilt);
}

}  // namespace isp
}  // namespace kavo
