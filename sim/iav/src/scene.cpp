#include "scene.h"

#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace kavo {
namespace sim {
namespace iav {

using nlohmann::json;

double ScriptValue::at(double t) const {
  switch (kind) {
    case Step:
      return t < start ? from : to;
    case Ramp:
      if (t <= start || duration <= 0) return t < start ? from : to;
      if (t >= start + duration) return to;
      return from + (to - from) * (t - start) / duration;
    case Dusk:
      // Light fades by a constant factor per second: even steps on a log scale.
      if (t <= start) return from;
      if (t >= start + duration || duration <= 0) return to;
      return from * std::pow(to / from, (t - start) / duration);
    case Constant:
    default:
      return from;
  }
}

namespace {

std::string range(double lo, double hi) {
  char t[64];
  std::snprintf(t, sizeof t, "a number from %g to %g", lo, hi);
  return t;
}

bool inRange(const json& v, double lo, double hi) {
  return v.is_number() && v.get<double>() >= lo && v.get<double>() <= hi;
}

bool number(const json& j, const char* key, double lo, double hi, double& out, std::string& error) {
  auto it = j.find(key);
  if (it == j.end()) {
    error = std::string("\"") + key + "\" is missing";
    return false;
  }
  if (!inRange(*it, lo, hi)) {
    error = std::string("\"") + key + "\" must be " + range(lo, hi);
    return false;
  }
  out = it->get<double>();
  return true;
}

// A quantity: a number, or {"step": {...}}, {"ramp": {...}}, {"dusk": {...}}.
bool value(const json& doc, const char* name, double lo, double hi, ScriptValue& out, std::string& error) {
  auto it = doc.find(name);
  if (it == doc.end()) return true;
  std::string inner;
  ScriptValue v;
  if (it->is_number()) {
    if (!inRange(*it, lo, hi)) {
      error = std::string("\"") + name + "\" must be " + range(lo, hi);
      return false;
    }
    v.from = it->get<double>();
    out = v;
    return true;
  }
  if (!it->is_object() || it->size() != 1) {
    error = std::string("\"") + name + "\" must be a number or one of {\"step\": ...}, {\"ramp\": ...}, {\"dusk\": ...}";
    return false;
  }
  const std::string kind = it->begin().key();
  const json& p = it->begin().value();
  bool ok = p.is_object();
  if (ok && kind == "step") {
    v.kind = ScriptValue::Step;
    ok = number(p, "at", 0, 1e9, v.start, inner) && number(p, "from", lo, hi, v.from, inner) &&
         number(p, "to", lo, hi, v.to, inner);
  } else if (ok && (kind == "ramp" || kind == "dusk")) {
    v.kind = kind == "ramp" ? ScriptValue::Ramp : ScriptValue::Dusk;
    v.start = 0;
    ok = (p.find("start") == p.end() || number(p, "start", 0, 1e9, v.start, inner)) &&
         number(p, "duration", 0, 1e9, v.duration, inner) && number(p, "from", lo, hi, v.from, inner) &&
         number(p, "to", lo, hi, v.to, inner);
    if (ok && v.kind == ScriptValue::Dusk && (v.from <= 0 || v.to <= 0)) {
      ok = false;
      inner = "a dusk runs between two levels above 0";
    }
  } else if (ok) {
    ok = false;
    inner = "unknown kind \"" + kind + "\"";
  } else {
    inner = "expected an object";
  }
  if (!ok) {
    error = std::string("\"") + name + "\": " + inner;
    return false;
  }
  out = v;
  return true;
}

}  // namespace

bool parseSceneScript(const std::string& text, SceneScript& out, std::string& error) {
  out = SceneScript();
  if (text.find_first_not_of(" \t\r\n") == std::string::npos) return true;
  json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    error = "not a JSON object";
    return false;
  }
  for (auto it = doc.begin(); it != doc.end(); ++it) {
    const std::string& k = it.key();
    if (k != "lux" && k != "kelvin" && k != "distance" && k != "ir" && k != "flicker" && k != "texture" &&
        k != "shimmer") {
      error = "\"" + k + "\" is not a key of the scene (lux, kelvin, distance, ir, flicker, texture, shimmer)";
      return false;
    }
  }
  SceneScript s;
  if (doc.contains("flicker")) {
    const json& f = doc["flicker"];
    const bool ok = f.is_object() && f.contains("hz") && f["hz"].is_number() && f.value("depth", 0.5) >= 0 &&
                    f["hz"].get<double>() >= 1 && f["hz"].get<double>() <= 1000 && f.value("depth", 0.5) <= 1;
    if (!ok) {
      error = "\"flicker\": expected {\"hz\": 1..1000, \"depth\": 0..1}";
      return false;
    }
    s.flickerHz = f["hz"].get<double>();
    s.flickerDepth = f.value("depth", 0.5);
  }
  if (!value(doc, "lux", 0, 200000, s.lux, error) || !value(doc, "kelvin", 1500, 15000, s.kelvin, error) ||
      !value(doc, "distance", 0.05, 10000, s.distance, error) || !value(doc, "ir", 0, 200000, s.ir, error) ||
      !value(doc, "texture", 0, 2, s.texture, error) || !value(doc, "shimmer", 0, 0.5, s.shimmer, error))
    return false;
  out = s;
  return true;
}

SceneSample sceneAt(const SceneScript& s, double t) {
  return SceneSample{s.lux.at(t), s.kelvin.at(t), s.distance.at(t), s.ir.at(t), s.texture.at(t), s.shimmer.at(t)};
}

double flickerFactor(const SceneScript& s, double t, double exposure) {
  if (s.flickerHz <= 0 || s.flickerDepth <= 0) return 1.0;
  const double w = 2 * M_PI * s.flickerHz;
  // Mean of sin(w x) over [t - exposure, t].
  const double mean = exposure > 1e-9 ? (std::cos(w * (t - exposure)) - std::cos(w * t)) / (w * exposure) : std::sin(w * t);
  return 1.0 + s.flickerDepth * mean;
}

namespace {

// Reflectances of the colour patches (linear, sRGB-like primaries and a few natural colours).
const Reflectance kPatches[kPatchRows][kPatchCols] = {
    {{0.60f, 0.08f, 0.06f, 0.25f},
     {0.10f, 0.45f, 0.12f, 0.30f},
     {0.06f, 0.10f, 0.55f, 0.15f},
     {0.70f, 0.62f, 0.08f, 0.55f},
     {0.55f, 0.10f, 0.50f, 0.35f},
     {0.08f, 0.50f, 0.58f, 0.35f}},
    {{0.45f, 0.30f, 0.22f, 0.50f},
     {0.12f, 0.20f, 0.06f, 0.60f},  // foliage: bright in IR
     {0.20f, 0.30f, 0.50f, 0.25f},
     {0.70f, 0.30f, 0.05f, 0.45f},
     {0.25f, 0.10f, 0.40f, 0.20f},
     {0.90f, 0.90f, 0.90f, 0.90f}},
};

const double kGrey[kGreySteps] = {0.03, 0.09, 0.18, 0.36, 0.60, 0.90};

constexpr double kAspect = 16.0 / 9.0;

Reflectance grey(double r) {
  const float f = static_cast<float>(r);
  return Reflectance{f, f, f, f};
}

// The band's texture: blocks of 1/160 of the width and 1/90 of the height, each a fixed
// pseudo-random grey between 0.12 and 0.75; periodic across the width.
Reflectance bandAt(double u, double v) {
  const uint32_t bx = static_cast<uint32_t>(std::floor(u * 160.0)) % 160u;
  const uint32_t by = static_cast<uint32_t>(std::floor(v * 90.0));
  uint32_t s = bx * 2654435761u ^ (by * 40503u + 0x9e3779b9u);
  s ^= s >> 15;
  s *= 0x2c1b3c6du;
  s ^= s >> 12;
  return grey(0.12 + 0.63 * static_cast<double>(s & 0xffff) / 65535.0);
}

// Square-wave gratings of four spatial frequencies (periods of 1/16 to 1/128 of the width).
Reflectance gratingAt(double u) {
  const double x = (u - 0.5) * 2.0;  // 0..1 across the right half
  const int strip = x < 0.25 ? 0 : x < 0.5 ? 1 : x < 0.75 ? 2 : 3;
  const double period = 1.0 / (16 << strip);
  const double phase = std::fmod(u, period) / period;
  return grey(phase < 0.5 ? 0.1 : 0.7);
}

}  // namespace

Reflectance patchReflectance(int col, int row) { return kPatches[row][col]; }
double greyStep(int i) { return kGrey[i]; }

void circle(int i, double* u, double* v, double* radius) {
  // Two black discs on a white ground, large and far apart: the OSD calibration looks for them in
  // the DSP's half-size luma pictures, where small or close discs gather too few votes against the
  // chart's textures.
  *radius = 0.1;
  *v = (kLowTop + 1.0) / 2.0;
  *u = (kStepsRight + kCirclesRight) / 2.0 + (i - 0.5) * 0.32 / kAspect;
}

bool inNoiseScreen(double u, double v) { return v >= kLowTop && u >= kCirclesRight; }

Reflectance chartAt(double u, double v, double bandShift) {
  if (v < kBandTop) return grey(kWallReflectance);
  if (v < kBandBottom) {
    double x = u + bandShift;
    x -= std::floor(x);
    return bandAt(x, v);
  }
  if (v < kPatchBottom) {
    if (u >= 0.5) return gratingAt(u);
    const int col = static_cast<int>(u * 2.0 * kPatchCols);
    const int row = static_cast<int>((v - kPatchTop) / (kPatchBottom - kPatchTop) * kPatchRows);
    // A thin dark frame around each patch keeps them apart in the picture.
    const double fu = u * 2.0 * kPatchCols - col, fv = (v - kPatchTop) / (kPatchBottom - kPatchTop) * kPatchRows - row;
    if (fu < 0.06 || fu > 0.94 || fv < 0.06 || fv > 0.94) return grey(0.05);
    return kPatches[row < kPatchRows ? row : kPatchRows - 1][col < kPatchCols ? col : kPatchCols - 1];
  }
  if (u < kStepsRight) {
    const int i = static_cast<int>(u / kStepsRight * kGreySteps);
    return grey(kGrey[i < kGreySteps ? i : kGreySteps - 1]);
  }
  if (u < kCirclesRight) {
    for (int i = 0; i < kCircles; ++i) {
      double cu, cv, r;
      circle(i, &cu, &cv, &r);
      const double du = (u - cu) * kAspect, dv = v - cv;
      if (du * du + dv * dv <= r * r) return grey(0.02);
    }
    return grey(0.90);
  }
  return grey(kNoiseMean);
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
