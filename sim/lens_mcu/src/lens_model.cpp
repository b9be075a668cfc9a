#include "lens_model.h"

#include <algorithm>
#include <cmath>

#include "algo_af/lens_tables.h"
#include "algo_af/tracking_curves.h"

namespace kavo {
namespace sim {
namespace lens {

LensGeometry geometryOf(int lensId) {
  if (lensId == 3) return LensGeometry{1179, 900, 10, 3.0, 3};
  if (lensId == 1) return LensGeometry{607, 1888, 25, 30.0, 1};
  return LensGeometry{607, 1888, 25, 3.0, 0};
}

namespace {

// A table entry at a fractional zoom stop. Past the ends (a lens unit whose optics sit off the zoom
// count) the curve goes on as the last few stops run.
double at(const int32_t* table, const LensGeometry& g, double z) {
  constexpr int32_t kRun = 4;
  if (z < 0) return table[0] + (table[kRun] - table[0]) / double(kRun) * z;
  if (z >= g.zoomMax) return table[g.zoomMax] + (table[g.zoomMax] - table[g.zoomMax - kRun]) / double(kRun) * (z - g.zoomMax);
  const int32_t i = static_cast<int32_t>(z);
  return table[i] + (table[i + 1] - table[i]) * (z - i);
}

}  // namespace

double focusInfinity(const LensGeometry& g, double z) { return at(isp::lensCurves(g.lensId)->lower, g, z); }

double focusPerDioptre(const LensGeometry& g, double z) {
  return at(isp::lensCurves(g.lensId)->focus, g, z) - focusInfinity(g, z);
}

double curveFocus(const LensGeometry& g, int32_t curve, double z, int32_t biasWide, int32_t biasTele) {
  const int32_t c = std::clamp(curve, 0, g.curveMax);
  const double x = std::clamp(z, 0.0, double(g.zoomMax));
  const int32_t i = static_cast<int32_t>(x);
  auto on = [&](int32_t stop) {
    int32_t f = 0;
    isp::curveNumberFocus(g.lensId, c, stop, &f);
    return f + isp::zoomFocusBias(g.lensId, stop, biasWide, biasTele);
  };
  const double a = on(i), f = i >= g.zoomMax ? a : a + (on(i + 1) - a) * (x - i);
  return std::clamp(f, 0.0, double(g.focusMax));
}

// Narrower towards tele, but never near one motor step: the focus search's fine moves of one step
// presume that a step costs well under a quarter of the contrast (at 2 steps per pixel one step
// cost 27 %, and the fine search restarted on every step at tele).
double depthOfField(const LensGeometry& g, double z) { return 8.0 - 4.0 * std::clamp(z / g.zoomMax, 0.0, 1.0); }

double magnification(const LensGeometry& g, double z) {
  return 100.0 + 100.0 * (g.zoomRatio - 1.0) * std::clamp(z / g.zoomMax, 0.0, 1.0);
}

void lensReset(LensMotion& m, const LensGeometry& g, uint64_t now, double zoom, double focus) {
  m.zoom = Motor{std::clamp(zoom, 0.0, double(g.zoomMax)), 0, 0, 0};
  m.focus = Motor{std::clamp(focus, 0.0, double(g.focusMax)), 0, 0, 0};
  m.curve = -1;
  m.onCurve = 0;
  m.focusHeld = 0;
  m.biasWide = m.biasTele = 0;
  m.t0 = now;
}

namespace {

void step(Motor& a, double speed, double dt, double lo, double hi) {
  if (a.toTarget) {
    const double d = a.target - a.pos;
    if (std::fabs(d) <= speed * dt) {
      a.pos = a.target;
      a.toTarget = 0;
    } else {
      a.pos += d > 0 ? speed * dt : -speed * dt;
    }
  } else if (a.drive != 0) {
    a.pos = std::clamp(a.pos + a.drive * speed * dt, lo, hi);
    if (a.pos == lo || a.pos == hi) a.drive = 0;
  }
}

}  // namespace

void lensAdvance(LensMotion& m, const LensGeometry& g, uint64_t now) {
  if (now <= m.t0) return;
  const double dt = static_cast<double>(now - m.t0) / 1e9;
  m.t0 = now;
  const double zoomBefore = m.zoom.pos;
  step(m.zoom, m.zoomSpeed, dt, 0.0, g.zoomMax);
  // While the zoom moves the MCU keeps the focus on the curve in force (unless the focus has a
  // target of its own, also after it has arrived there); a focus on its way to a curve moves with it.
  if (m.curve >= 0 && !m.focusHeld && m.zoom.pos != zoomBefore && m.focus.drive == 0) {
    const double f = curveFocus(g, m.curve, m.zoom.pos, m.biasWide, m.biasTele);
    if (!m.focus.toTarget) {
      m.focus.pos = f;
    } else if (m.onCurve) {
      // The MCU drives the focus along the curve and closes the remaining distance on top of that.
      m.focus.pos = std::clamp(m.focus.pos + f - curveFocus(g, m.curve, zoomBefore, m.biasWide, m.biasTele), 0.0,
                               double(g.focusMax));
      m.focus.target = f;
    }
  }
  step(m.focus, m.focusSpeed, dt, 0.0, g.focusMax);
}

bool lensMoving(const LensMotion& m) {
  return m.zoom.toTarget || m.zoom.drive != 0 || m.focus.toTarget || m.focus.drive != 0;
}

uint64_t lensArrival(const LensMotion& m) {
  if (m.zoom.drive != 0 || m.focus.drive != 0) return 0;
  double s = 0;
  if (m.zoom.toTarget) s = std::max(s, std::fabs(m.zoom.target - m.zoom.pos) / m.zoomSpeed);
  if (m.focus.toTarget) s = std::max(s, std::fabs(m.focus.target - m.focus.pos) / m.focusSpeed);
  if (s == 0) return 0;
  return m.t0 + static_cast<uint64_t>(std::ceil(s * 1e9));
}

}  // namespace lens
}  // namespace sim
}  // namespace kavo
