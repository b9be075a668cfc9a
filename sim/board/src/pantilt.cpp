#include "pantilt.h"

#include <algorithm>
#include <cmath>

namespace kavo {
namespace sim {
namespace board {

namespace {

int32_t nibbleWord(const uint8_t* b) {
  const uint32_t v = ((b[0] & 0xFu) << 12) | ((b[1] & 0xFu) << 8) | ((b[2] & 0xFu) << 4) | (b[3] & 0xFu);
  return static_cast<int16_t>(v);
}

double speedOf(uint8_t speed, uint8_t max) {
  return kStepsPerSpeed * std::max<uint8_t>(1, std::min(speed, max));
}

// Moves `pos` towards `target` by at most `step`.
double approach(double pos, double target, double step) {
  if (std::fabs(target - pos) <= step) return target;
  return pos + (target > pos ? step : -step);
}

}  // namespace

void panTiltReset(PanTiltMotion& m, uint64_t now) {
  m = PanTiltMotion{};
  m.t0 = now;
  m.panMin = kPanMin;
  m.panMax = kPanMax;
  m.tiltMin = kTiltMin;
  m.tiltMax = kTiltMax;
}

bool panTiltMoving(const PanTiltMotion& m) { return m.vPan != 0.0 || m.vTilt != 0.0; }

void panTiltAdvance(PanTiltMotion& m, uint64_t now) {
  if (now <= m.t0) return;
  const double dt = static_cast<double>(now - m.t0) / 1e9;
  m.t0 = now;
  if (m.toTarget) {
    m.pan = approach(m.pan, m.targetPan, std::fabs(m.vPan) * dt);
    m.tilt = approach(m.tilt, m.targetTilt, std::fabs(m.vTilt) * dt);
    if (m.pan == m.targetPan) m.vPan = 0;
    if (m.tilt == m.targetTilt) m.vTilt = 0;
    if (!panTiltMoving(m)) m.toTarget = 0;
    return;
  }
  m.pan = std::clamp(m.pan + m.vPan * dt, double(m.panMin), double(m.panMax));
  m.tilt = std::clamp(m.tilt + m.vTilt * dt, double(m.tiltMin), double(m.tiltMax));
  if (m.pan == m.panMin || m.pan == m.panMax) m.vPan = 0;
  if (m.tilt == m.tiltMin || m.tilt == m.tiltMax) m.vTilt = 0;
}

bool panTiltTake(PanTiltMotion& m, const uint8_t* p, size_t n, uint64_t now, PanTiltCommand& out) {
  out = PanTiltCommand{};
  if (n < 5 || (p[0] & 0xF0) != 0x80 || p[n - 1] != 0xFF || p[1] != 0x01 || p[2] != 0x06) return false;
  panTiltAdvance(m, now);
  auto travel = [&](int32_t pan, int32_t tilt, uint8_t ps, uint8_t ts) {
    m.targetPan = std::clamp(pan, m.panMin, m.panMax);
    m.targetTilt = std::clamp(tilt, m.tiltMin, m.tiltMax);
    m.vPan = speedOf(ps, kMaxPanSpeed);
    m.vTilt = speedOf(ts, kMaxTiltSpeed);
    m.toTarget = 1;
    panTiltAdvance(m, now);  // already there: stops at once
  };
  const uint8_t code = p[3];
  if (code == 0x01 && n == 9) {
    out.what = "drive";
    out.panSpeed = p[4];
    out.tiltSpeed = p[5];
    out.x = p[6];
    out.y = p[7];
    if (out.x < 1 || out.x > 3 || out.y < 1 || out.y > 3) return false;
    m.toTarget = 0;
    m.vPan = out.x == 3 ? 0.0 : (out.x == 1 ? -1.0 : 1.0) * speedOf(out.panSpeed, kMaxPanSpeed);
    m.vTilt = out.y == 3 ? 0.0 : (out.y == 2 ? -1.0 : 1.0) * speedOf(out.tiltSpeed, kMaxTiltSpeed);
    return true;
  }
  if ((code == 0x02 || code == 0x03) && n == 15) {
    out.what = code == 0x02 ? "absolute" : "relative";
    out.panSpeed = p[4];
    out.tiltSpeed = p[5];
    out.pan = nibbleWord(p + 6);
    out.tilt = nibbleWord(p + 10);
    const int32_t basePan = code == 0x03 ? static_cast<int32_t>(std::lround(m.pan)) : 0;
    const int32_t baseTilt = code == 0x03 ? static_cast<int32_t>(std::lround(m.tilt)) : 0;
    travel(basePan + out.pan, baseTilt + out.tilt, out.panSpeed, out.tiltSpeed);
    return true;
  }
  if ((code == 0x04 || code == 0x05) && n == 5) {
    out.what = code == 0x04 ? "home" : "reset";
    travel(0, 0, kMaxPanSpeed, kMaxTiltSpeed);
    return true;
  }
  if (code == 0x07 && n == 15 && p[4] <= 1 && p[5] <= 1) {
    out.corner = p[5];
    if (p[4] == 0x00) {
      out.what = "limitSet";
      out.pan = nibbleWord(p + 6);
      out.tilt = nibbleWord(p + 10);
      (out.corner ? m.panMax : m.panMin) = out.pan;
      (out.corner ? m.tiltMax : m.tiltMin) = out.tilt;
    } else {
      out.what = "limitClear";
      (out.corner ? m.panMax : m.panMin) = out.corner ? kPanMax : kPanMin;
      (out.corner ? m.tiltMax : m.tiltMin) = out.corner ? kTiltMax : kTiltMin;
    }
    return true;
  }
  return false;
}

}  // namespace board
}  // namespace sim
}  // namespace kavo
