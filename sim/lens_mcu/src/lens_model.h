#pragma once
// The zoom lens behind the lens MCU, as pure functions of time: zoom and focus motors that travel at
// a fixed speed to a target or drive until stopped, the focus-tracking curves the MCU holds, and what
// the camera's sensor sees of them (in-focus position, depth of field, magnification).
#include <cstdint>

namespace kavo {
namespace sim {
namespace lens {

struct LensGeometry {
  int32_t zoomMax;        // last zoom stop
  int32_t focusMax;       // last focus position
  int32_t curveMax;       // tracking-curve numbers 0..curveMax (isp/algo_af/tracking_curves.h)
  double zoomRatio;       // optical zoom at the tele end
  int32_t lensId;         // whose focus tables (the server's, algo_af/lens_tables.h) the lens follows
};
// Lens ids 0 (3x) and 1 (30x): 608 zoom stops, focus 0..1888; lens id 3: 1180 stops, focus 0..900.
LensGeometry geometryOf(int lensId);

// The in-focus position for an object at infinity at zoom `z`: the lower end of the server's focus
// range.
double focusInfinity(const LensGeometry& g, double z);
// How far the in-focus position moves per 1/m at zoom `z`: an object at 1 m is in focus on the
// server's focus table (tracking curve 0).
double focusPerDioptre(const LensGeometry& g, double z);
// The focus that tracking-curve number `curve` (0..curveMax) holds at zoom `z`, with the focus
// biases at the wide and tele ends the server sent: the server's own curve families.
double curveFocus(const LensGeometry& g, int32_t curve, double z, int32_t biasWide = 0, int32_t biasTele = 0);
// Defocus steps per pixel of blur radius at zoom `z` (the depth of field narrows towards tele).
double depthOfField(const LensGeometry& g, double z);
// Optical zoom at `z`, 100 = widest.
double magnification(const LensGeometry& g, double z);

struct Motor {
  double pos;
  double target;
  int32_t drive;      // -1, 0, 1: driven until stopped (continuous zoom or focus)
  uint32_t toTarget;  // travels to `target`
};

struct LensMotion {
  Motor zoom;
  Motor focus;
  int32_t curve;      // tracking curve in force, -1 none: focus follows it while the zoom moves
  uint32_t onCurve;   // the focus travels to the curve in force (its target moves with the zoom)
  uint32_t focusHeld; // the zoom move carries a focus target of its own: the curve does not take the focus
  int32_t biasWide;   // focus biases the curves are shifted by
  int32_t biasTele;
  double zoomSpeed;   // steps per second
  double focusSpeed;
  uint64_t t0;        // ns of `pos`
};

void lensReset(LensMotion& m, const LensGeometry& g, uint64_t now, double zoom, double focus);
// Brings both motors up to `now`.
void lensAdvance(LensMotion& m, const LensGeometry& g, uint64_t now);
bool lensMoving(const LensMotion& m);
// When the motion under way ends (ns), or 0 while a motor is driven or nothing moves.
uint64_t lensArrival(const LensMotion& m);

}  // namespace lens
}  // namespace sim
}  // namespace kavo
