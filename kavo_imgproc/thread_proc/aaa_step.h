#pragma once
// The per-frame 3A step that the 3A thread runs back to back, paced by the blocking statistics read:
// the frame counter with the model-5 lens-shading check and the AGC-driven picture adjustments of
// every 61st pass, the statistics, then white balance, exposure and (zoom-lens boards) focus.
#include <cstdint>

namespace kavo {
namespace isp {

class CIsp;
class AEControl;
struct AeExchange;

// One pass; 0, or -1 when the statistics could not be read (the pass ran on with the old ones).
int process3A(CIsp* isp);
// The exposure step with the controller's exchange record: nothing unless AE is enabled on the
// controller.
int emulatedISR_AE(CIsp* isp, AEControl* ae, AeExchange* record);
// Lens shading by the scene's luma (model 5): none while the IR LEDs light the scene.
int updateLensShadingByLuma(CIsp* isp);

}  // namespace isp
}  // namespace kavo
