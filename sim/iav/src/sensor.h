#pragma once
// The image sensor and the DSP's colour pipeline as pure functions: what one point of the scene
// becomes for the exposure, gain, iris, IR-cut filter, IR LEDs and white balance in force
// (README.md, "The camera"). Values are 14-bit sensor units (DN) in linear light until the tone
// curve.
#include <cstdint>

#include "kavo/os/iav.h"
#include "kavo/sim/iav_sim.h"
#include "scene.h"

namespace kavo {
namespace sim {
namespace iav {

constexpr double kFullScale = 16383.0;  // 14-bit sensor and DSP values

// The sensor's settings that the ISP server sends; the sensor takes each from a later frame
// (SettingsQueue).
struct SensorSettings {
  uint32_t shutter;  // 1/512,000,000 s
  int32_t agcDb;     // 1/IAV_AGC_DB_ONE dB
  uint32_t wb[3];    // sensor white balance (IAV_IOC_VIN_SRC_SET_WB_GAIN), 1/1024
  uint32_t mirror;   // pattern as sent: bit 0 flip, bit 1 mirror
};

// Frames after the request's frame from which a setting is in force.
constexpr uint64_t kShutterDelay = 2;
constexpr uint64_t kGainDelay = 1;

// Pending settings by the frame from which each applies: a sensor takes a new exposure one or two
// frames after it was written.
constexpr int kSettingsQueue = 8;
struct SettingsQueue {
  uint32_t count;
  uint32_t pad;
  struct Entry {
    uint64_t from;
    SensorSettings s;
  } e[kSettingsQueue];
};
void queueReset(SettingsQueue& q, const SensorSettings& s);
// The settings in force for input frame `frame`.
const SensorSettings& settingsAt(const SettingsQueue& q, uint64_t frame);
// Changes one field from frame `from` on (`now` is the frame being captured: older entries fold).
void queueChange(SettingsQueue& q, uint64_t now, uint64_t from, void (*change)(SensorSettings&, uint32_t),
                 uint32_t value);

// The DSP's settings: in force from the next frame.
struct DspSettings {
  iav_rgb_gain_t rgbGain;          // 65536 = 1.0
  iav_rgb_to_yuv_t yuv;
  uint16_t tone[3][256];           // 10-bit, indexed by the gamma-coded value
  iav_vin_black_level_t black;     // what the DSP subtracts
  iav_digital_zoom_ex_t dzoom;
};
void dspDefaults(DspSettings& d, uint32_t pedestal);

void lensDefaults(LensInputs& l);

struct SensorConfig {
  double sensitivity = 1700.0;  // DN per lux x second of a white chart, 0 dB, iris open, 5500 K green
  double fullWell = 6000.0;     // electrons at full scale at 0 dB
  double readNoise = 2.0;       // electrons
  uint32_t pedestal = 168;      // black level the sensor adds (DN)
  uint32_t mount = 0;           // bit 0: mounted upside down, bit 1: mirrored (the pattern that shows upright)
  double irLedLux = 40.0;       // IR LEDs at full drive on an object at 5 m, lux equivalent
  double irResponse[3] = {1.0, 0.85, 0.9};  // sensor response to IR light against green to daylight
};

// The ambient-light sensor on "/dev/i2c-0": channel 0 sees visible light and IR, channel 1 IR
// only; the IR LEDs leak into it.
struct LightSensorConfig {
  double countsPerLux = 1.0;  // of the difference channel 0 - channel 1
  double irLeak = 20.0;       // counts the IR LEDs add at full drive
  double noise = 0.02;        // relative standard deviation of a reading
  uint32_t readyMs = 100;     // a measurement is ready this long after its start
};
// The two channels of one reading (without noise) for the scene and the IR LEDs.
void lightSensorChannels(const SceneSample& scene, const LensInputs& lens, const LightSensorConfig& cfg,
                         double* ch0, double* ch1);

// The scene's illuminant as the sensor's channels see it: black-body light of `kelvin`, normalised
// to green (green = 1).
struct Rgb {
  double r, g, b;
};
Rgb illuminantRgb(double kelvin);
// The white-balance gains (1/1024) that make a grey under `kelvin` grey.
void idealWbGains(double kelvin, uint32_t gains[3]);
// The linear analogue gain of an AGC value.
double agcGain(int32_t agcDb);

// One frame's signal: what unit reflectance gives in each channel (DN after the analogue gain),
// the noise and the DSP's black level and white balance.
struct SensorSignal {
  double visible[3];  // DN per unit reflectance
  double ir[3];       // DN per unit IR reflectance (0 with the IR-cut filter in)
  double gain;        // analogue gain, linear
  double dnPerElectron;
  double readNoiseDn;
  double pedestal;    // DN the sensor adds
  double black;       // DN the DSP subtracts
  double wb[3];       // white balance of sensor and DSP together
  double exposure;    // s
};
SensorSignal signal(const SceneSample& scene, const SensorSettings& s, const DspSettings& d, const LensInputs& lens,
                    const SensorConfig& cfg);

// A point's value after black level and white balance, clipped as the sensor and the DSP clip it
// (0..kFullScale), for the signal `raw` in DN of each channel (expected value).
inline double dspValue(const SensorSignal& sig, int c, double raw) {
  double v = raw + sig.pedestal;
  if (v > kFullScale) v = kFullScale;  // the sensor saturates
  v -= sig.black;
  if (v < 0) v = 0;
  v *= sig.wb[c];
  return v > kFullScale ? kFullScale : v;
}
// Raw signal of one channel for a point of reflectance `refl` and IR reflectance `ir`.
inline double rawValue(const SensorSignal& sig, int c, double refl, double ir) {
  return sig.visible[c] * refl + sig.ir[c] * ir;
}
// The standard deviation of a raw signal (shot and read noise), DN.
double noiseDn(const SensorSignal& sig, double raw);

// The effective readout pattern (bit 0 flip, bit 1 mirror) of a mirror pattern sent to a sensor
// mounted as `mount`.
inline uint32_t effectiveMirror(uint32_t pattern, uint32_t mount) { return (pattern ^ mount) & 3u; }

// The blur radius in pixels of a 1920-pixel picture for the lens's focus and the scene's distance;
// the in-focus position is focusInfinity + focusPerDioptre / distance.
double blurRadius(const LensInputs& lens, double distance);

}  // namespace iav
}  // namespace sim
}  // namespace kavo
