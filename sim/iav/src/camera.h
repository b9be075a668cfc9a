#pragma once
// The simulated camera of one process: the scene script it follows and the view of one input frame
// (scene, sensor and DSP settings in force, lens), taken from the shared state. The renderer of the
// streamer's process and the statistics of the ISP server's process work from the same view, so
// they agree without talking to each other.
#include <cstdint>
#include <string>

#include "kavo/sim/core/files.h"
#include "scene.h"
#include "sensor.h"
#include "state.h"

namespace kavo {
namespace sim {
namespace iav {

struct FrameView {
  uint64_t frame = 0;   // input frame
  uint64_t ptsNs = 0;   // its capture time (DSP clock)
  SceneSample scene{};
  SensorSettings sensor{};
  DspSettings dsp{};
  LensInputs lens{};
  SensorSignal signal{};
  uint32_t mirror = 0;  // effective readout pattern (bit 0 flip, bit 1 mirror)
  double bandShift = 0; // of the moving band, in picture widths
  double blur = 0;      // defocus blur radius in pixels of a 1920-pixel picture
  uint32_t vinWidth = 1920, vinHeight = 1080;
  iav_privacy_mask_setup_ex_t mask{};
  uint32_t maskBufferSize = 0;
};

// Where output point (u, v) of the picture (0..1, before any stream flip) looks at the chart: the
// digital zoom's window, the sensor's readout pattern, then the lens's optical zoom.
inline void chartPoint(const FrameView& f, double u, double v, double* cu, double* cv) {
  const double z = f.dsp.dzoom.zoom_factor_x ? f.dsp.dzoom.zoom_factor_x / 65536.0 : 1.0;
  const double zy = f.dsp.dzoom.zoom_factor_y ? f.dsp.dzoom.zoom_factor_y / 65536.0 : 1.0;
  double su = 0.5 + (u - 0.5) / z + f.dsp.dzoom.center_offset_x / 65536.0 / f.vinWidth;
  double sv = 0.5 + (v - 0.5) / zy + f.dsp.dzoom.center_offset_y / 65536.0 / f.vinHeight;
  if (f.mirror & 2u) su = 1.0 - su;
  if (f.mirror & 1u) sv = 1.0 - sv;
  const double m = f.lens.magnification >= 100 ? f.lens.magnification / 100.0 : 1.0;
  *cu = 0.5 + (su - 0.5) / m;
  *cv = 0.5 + (sv - 0.5) / m;
}

constexpr uint64_t kDefaultShutter = IAV_FRAME_RATE_CLOCK / 60;  // 1/60 s
constexpr uint32_t kMaskBufferSize = 65536;                      // bytes per privacy-mask buffer

// The shared state's image side as a new DSP has it.
void cameraDefaults(CameraShared& c, const SensorConfig& cfg);
// The tile grid of a DSP that was not told one: 12 x 8 AE/AWB tiles and 8 x 5 AF tiles.
void defaultTiles(iav_aaa_tile_info_t& t);

class Camera {
 public:
  void setConfig(const SensorConfig& sensor, const LightSensorConfig& light);
  void setScenePath(const std::string& file);
  const SensorConfig& sensorConfig() const { return sensor_; }
  const LightSensorConfig& lightConfig() const { return light_; }
  // Under the state lock: takes the scene script when it changed (here or in another process).
  // Returns the error of a malformed script when one was just taken (the default scene is used).
  bool refresh(CameraShared& c, uint64_t dspNowNs, std::string& error);
  // Under the state lock: the view of input frame `frame`, captured at `tNs`.
  void view(const SharedState& st, uint64_t frame, uint64_t tNs, FrameView& out) const;
  // The scene now (for the light sensor).
  SceneSample sceneAt(const CameraShared& c, uint64_t tNs) const;

 private:
  SensorConfig sensor_;
  LightSensorConfig light_;
  WatchedFile sceneFile_;
  SceneScript script_;
};

}  // namespace iav
}  // namespace sim
}  // namespace kavo
