#pragma once
// What the VISCA inquiries read through the sub-CPU object: the lens MCU's positions, biases and
// sensors, the GPIO inputs and the pan/tilt unit. Without the link (a fixed-lens board, or the
// object gone) every read fails and leaves its output as it was.
#include <cstdint>

namespace kavo {
namespace isp {

// True with the value.
bool lensZoom(uint32_t* zoom);
bool lensFocus(uint32_t* focus);
bool lensZoomBias(uint32_t* bias);
// which: 0 wide, 1 middle, 2 tele.
bool lensFocusBias(int which, int32_t* bias);
// The focus tracking biases at the wide and tele ends; each left as it was when its read fails.
void lensFocusTrackingBias(int32_t* wide, int32_t* tele);
// The MCU's sensor inquiries E1..E9 by their code; 0 when the MCU does not answer.
uint32_t lensSensor(uint8_t code);
// Video-port input 0 or 1 and the reset button (GPIO); 0 when they cannot be read.
uint32_t boardVportInput(int channel);
uint32_t boardResetButton();
// Pan/tilt unit; outputs left as they were when it does not answer.
void panTiltMode(uint16_t* mode);
void panTiltMaxSpeed(uint8_t* pan, uint8_t* tilt);
void panTiltPosition(int32_t* pan, int32_t* tilt);

}  // namespace isp
}  // namespace kavo
