// The VISCA inquiries' reads through the sub-CPU object: see visca_lens.h.
#include "if_visca/visca_lens.h"

namespace kavo {
namespace isp {

bool lensZoom(uint32_t*) { return false; }
bool lensFocus(uint32_t*) { return false; }
bool lensZoomBias(uint32_t*) { return false; }
bool lensFocusBias(int, int32_t*) { return false; }
void lensFocusTrackingBias(int32_t*, int32_t*) {}
uint32_t lensSensor(uint8_t) { return 0; }
uint32_t boardVportInput(int) { return 0; }
uint32_t boardResetButton() { return 0; }
void panTiltMode(uint16_t*) {}
void panTiltMaxSpeed(uint8_t*, uint8_t*) {}
void panTiltPosition(int32_t*, int32_t*) {}

}  // namespace isp
}  // namespace kavo
