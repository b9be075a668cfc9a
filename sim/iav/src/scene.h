#pragma once
// The scene in front of the simulated camera: a fixed test chart (reflectances) lit by light whose
// level, colour temperature and IR, and whose distance from the lens, follow a script in time
// (README.md, "The camera").
#include <cstdint>
#include <string>

namespace kavo {
namespace sim {
namespace iav {

// One quantity of the script as a function of time t (s since the script was taken).
struct ScriptValue {
  enum Kind : uint32_t { Constant, Step, Ramp, Dusk };
  Kind kind = Constant;
  double from = 0;      // Constant: the value
  double to = 0;
  double start = 0;     // Step: the instant of the step; Ramp, Dusk: when the change starts
  double duration = 0;  // Ramp, Dusk
  double at(double t) const;
};

struct SceneScript {
  ScriptValue lux{ScriptValue::Constant, 400};
  ScriptValue kelvin{ScriptValue::Constant, 5500};
  ScriptValue distance{ScriptValue::Constant, 5};  // m
  ScriptValue ir{ScriptValue::Constant, 0};        // ambient IR, lux equivalent
  // The object's fine detail as the focus values see it (1: the chart, 0: a flat wall), and how
  // much the detail the lens gets changes from frame to frame (haze, vibration; relative).
  ScriptValue texture{ScriptValue::Constant, 1};
  ScriptValue shimmer{ScriptValue::Constant, 0.01};
  // Mains flicker of the light: level x (1 + depth x sin(2 pi hz t)); hz 0: none.
  double flickerHz = 0;
  double flickerDepth = 0;
};
// Parses the script file; blank text is the default scene. False with `error` for a malformed one
// (`out` keeps the defaults).
bool parseSceneScript(const std::string& text, SceneScript& out, std::string& error);

struct SceneSample {
  double lux;
  double kelvin;
  double distance;
  double irLux;
  double texture;
  double shimmer;
};
SceneSample sceneAt(const SceneScript& s, double seconds);
// The mean flicker factor of the light over an exposure of `exposure` s ending at `seconds`.
double flickerFactor(const SceneScript& s, double seconds, double exposure);

// The chart, on the sensor's view (u right, v down, 0..1): reflectances 0..1 of red, green, blue
// and of IR light.
struct Reflectance {
  float r, g, b, ir;
};

// Layout. The top quarter is a plain wall (the picture-number band covers it in the pictures).
constexpr double kBandTop = 0.25, kBandBottom = 0.45;   // the moving texture band
constexpr double kPatchTop = 0.45, kPatchBottom = 0.70; // colour patches (left), gratings (right)
constexpr double kLowTop = 0.70;                          // grey steps, circles, the noise screen
constexpr double kStepsRight = 0.14, kCirclesRight = 0.56;
constexpr int kPatchCols = 6, kPatchRows = 2;
constexpr int kGreySteps = 6;
constexpr int kCircles = 2;
constexpr double kWallReflectance = 0.18;
// How far the band moves per picture: 3/640 of the picture's width.
constexpr double kBandSpeed = 3.0 / 640.0;

Reflectance patchReflectance(int col, int row);
double greyStep(int i);
// Centre (u, v) and radius (in picture heights) of the calibration circles; the view is 16:9.
void circle(int i, double* u, double* v, double* radius);

// The chart at (u, v) with the band at rest and the noise screen at its mean; `bandShift` moves the
// band (in widths). The noise screen is `noiseScreen`: the renderer and the statistics draw its
// noise themselves.
Reflectance chartAt(double u, double v, double bandShift = 0.0);
bool inNoiseScreen(double u, double v);
constexpr float kNoiseMean = 0.4f, kNoiseSpread = 0.3f;  // uniform in mean +- spread

}  // namespace iav
}  // namespace sim
}  // namespace kavo
