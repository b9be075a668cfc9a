#pragma once
// The continuous zoom of the VISCA camera (07 02 tele, 07 03 wide): the lens MCU drives the zoom
// while the focus tracking follows it, until the tracking or a zoom stop (07 00) ends it.
#include <cstdint>

namespace kavo {
namespace isp {

class DVisca;
class CAFControl;

// Starts the zoom towards tele (true) or wide; on a zoom-lens board it first waits for the AF step
// to leave and lets go of a focus move the search still holds.
void continuousZoom(DVisca* visca, bool tele);
// A focus move the search holds past 50 polls is given up: positions read back, the data lock set,
// the move no longer pending (the absolute and relative moves' step 4).
void releaseAfDataLock(CAFControl* af);

}  // namespace isp
}  // namespace kavo
