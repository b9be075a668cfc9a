#include "sensor.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kavo {
namespace sim {
namespace iav {

void queueReset(SettingsQueue& q, const SensorSettings& s) {
  std::memset(&q, 0, sizeof q);
  q.count = 1;
  q.e[0].from = 0;
  q.e[0].s = s;
}

const SensorSettings& settingsAt(const SettingsQueue& q, uint64_t frame) {
  uint32_t i = 0;
  while (i + 1 < q.count && q.e[i + 1].from <= frame) ++i;
  return q.e[i].s;
}

void queueChange(SettingsQueue& q, uint64_t now, uint64_t from, void (*change)(SensorSettings&, uint32_t),
                 uint32_t value) {
  if (q.count == 0) queueReset(q, SensorSettings{});
  // Entries that no frame from now on uses go.
  while (q.count >= 2 && (q.e[1].from <= now || q.count == kSettingsQueue)) {
    std::memmove(&q.e[0], &q.e[1], sizeof q.e[0] * (q.count - 1));
    --q.count;
  }
  uint32_t p = 0;
  while (p < q.count && q.e[p].from < from) ++p;
  if (p == q.count || q.e[p].from != from) {
    const SensorSettings base = settingsAt(q, from);
    std::memmove(&q.e[p + 1], &q.e[p], sizeof q.e[0] * (q.count - p));
    q.e[p].from = from;
    q.e[p].s = base;
    ++q.count;
  }
  for (uint32_t i = p; i < q.count; ++i) change(q.e[i].s, value);
}

void dspDefaults(DspSettings& d, uint32_t pedestal) {
  std::memset(&d, 0, sizeof d);
  d.rgbGain = iav_rgb_gain_t{65536, 65536, 65536, 65536};
  d.yuv = iav_rgb_to_yuv_t{{306, 601, 117, -173, -339, 512, 512, -429, -83}, 0, 128, 128};
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 256; ++i) d.tone[c][i] = static_cast<uint16_t>((i * 1023 + 127) / 255);
  for (auto& l : d.black.level) l = static_cast<int16_t>(pedestal);
  d.dzoom = iav_digital_zoom_ex_t{0x10000, 0x10000, 0, 0};
}

void lensDefaults(LensInputs& l) {
  std::memset(&l, 0, sizeof l);
  l.irCutIn = 1;
  l.iris = 1024;
  l.depthOfField = 8;
  l.magnification = 100;
}

namespace {

// Black-body radiance at wavelength `nm` (arbitrary scale).
double planck(double nm, double kelvin) {
  const double l = nm * 1e-9;
  return 1.0 / (l * l * l * l * l * (std::exp(1.4388e-2 / (l * kelvin)) - 1.0));
}

// The channels as single wavelengths, weighted so that a grey under 6384 K needs gains of 1505
// (red) and 984 (blue) per 1024 of green, as the sensor's colour-temperature table has it.
constexpr double kRedNm = 580, kGreenNm = 540, kBlueNm = 480;
constexpr double kCalKelvin = 6384, kCalRedGain = 1505, kCalBlueGain = 984;

}  // namespace

Rgb illuminantRgb(double kelvin) {
  static const double kr = (1024.0 / kCalRedGain) * planck(kGreenNm, kCalKelvin) / planck(kRedNm, kCalKelvin);
  static const double kb = (1024.0 / kCalBlueGain) * planck(kGreenNm, kCalKelvin) / planck(kBlueNm, kCalKelvin);
  const double g = planck(kGreenNm, kelvin);
  return Rgb{kr * planck(kRedNm, kelvin) / g, 1.0, kb * planck(kBlueNm, kelvin) / g};
}

void idealWbGains(double kelvin, uint32_t gains[3]) {
  const Rgb w = illuminantRgb(kelvin);
  gains[0] = static_cast<uint32_t>(std::lround(1024.0 / w.r));
  gains[1] = 1024;
  gains[2] = static_cast<uint32_t>(std::lround(1024.0 / w.b));
}

double agcGain(int32_t agcDb) { return std::pow(10.0, static_cast<double>(agcDb) / IAV_AGC_DB_ONE / 20.0); }

SensorSignal signal(const SceneSample& scene, const SensorSettings& s, const DspSettings& d, const LensInputs& lens,
                    const SensorConfig& cfg) {
  SensorSignal g{};
  g.exposure = static_cast<double>(s.shutter) / IAV_FRAME_RATE_CLOCK;
  g.gain = agcGain(s.agcDb);
  const double iris = std::min(1024u, lens.iris) / 1024.0;
  const double common = cfg.sensitivity * g.exposure * g.gain * iris;
  const Rgb w = illuminantRgb(scene.kelvin);
  const double illum[3] = {w.r, w.g, w.b};
  // The IR LEDs light the scene as 1/distance^2; the IR-cut filter keeps all IR off the sensor.
  const double dist = std::max(0.5, scene.distance);
  const double irLux = scene.irLux + cfg.irLedLux * std::min(255u, lens.irLed) / 255.0 * (25.0 / (dist * dist));
  for (int c = 0; c < 3; ++c) {
    g.visible[c] = common * scene.lux * illum[c];
    g.ir[c] = lens.irCutIn ? 0.0 : common * irLux * cfg.irResponse[c];
  }
  g.dnPerElectron = kFullScale / cfg.fullWell * g.gain;
  g.readNoiseDn = cfg.readNoise * g.dnPerElectron;
  g.pedestal = cfg.pedestal;
  g.black = (d.black.level[0] + d.black.level[1] + d.black.level[2] + d.black.level[3]) / 4.0;
  const double dspG = (d.rgbGain.g_gain_r + d.rgbGain.g_gain_b) / 2.0 / 65536.0;
  g.wb[0] = s.wb[0] / 1024.0 * d.rgbGain.r_gain / 65536.0;
  g.wb[1] = (s.wb[1] ? s.wb[1] : 1024) / 1024.0 * dspG;
  g.wb[2] = s.wb[2] / 1024.0 * d.rgbGain.b_gain / 65536.0;
  return g;
}

double noiseDn(const SensorSignal& sig, double raw) {
  // Shot noise (Poisson in electrons) and read noise, independent.
  return std::sqrt(std::max(0.0, raw) * sig.dnPerElectron + sig.readNoiseDn * sig.readNoiseDn);
}

void lightSensorChannels(const SceneSample& scene, const LensInputs& lens, const LightSensorConfig& cfg,
                         double* ch0, double* ch1) {
  // IR in counts: the ambient IR as light, and the LEDs' leak; channel 1 holds half of what
  // channel 0 gets, so the difference rises with IR as well as with light.
  const double ir = scene.irLux * cfg.countsPerLux + cfg.irLeak * std::min(255u, lens.irLed) / 255.0;
  *ch0 = scene.lux * cfg.countsPerLux + 2.0 * ir;
  *ch1 = ir;
}

double blurRadius(const LensInputs& lens, double distance) {
  const double inFocus = lens.focusInfinity + lens.focusPerDioptre / std::max(0.05, distance);
  return std::fabs(lens.focus - inFocus) / std::max(1u, lens.depthOfField);
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
