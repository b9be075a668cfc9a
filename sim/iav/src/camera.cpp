#include "camera.h"

#include <cstring>

namespace kavo {
namespace sim {
namespace iav {

void defaultTiles(iav_aaa_tile_info_t& t) {
  std::memset(&t, 0, sizeof t);
  t.ae_awb_tile_changed = t.af_tile_changed = 1;
  t.awb_tile_num_col = t.ae_tile_num_col = 12;
  t.awb_tile_num_row = t.ae_tile_num_row = 8;
  t.awb_tile_row_start = t.ae_tile_row_start = 8;
  t.awb_tile_width = t.awb_tile_active_width = t.ae_tile_width = 340;
  t.awb_tile_height = t.awb_tile_active_height = t.ae_tile_height = 512;
  t.awb_pix_max_value = t.ae_pix_max_value = 16383;
  t.af_tile_num_col = 8;
  t.af_tile_num_row = 5;
  t.af_tile_col_start = 256;
  t.af_tile_row_start = 10;
  t.af_tile_width = t.af_tile_active_width = 448;
  t.af_tile_height = t.af_tile_active_height = 816;
}

void cameraDefaults(CameraShared& c, const SensorConfig& cfg) {
  SensorSettings s{};
  s.shutter = kDefaultShutter;
  // White balance for the default scene, so that a DSP nobody tunes shows natural colours.
  idealWbGains(SceneScript().kelvin.from, s.wb);
  queueReset(c.sensor, s);
  dspDefaults(c.dsp, cfg.pedestal);
  lensDefaults(c.lens);
  defaultTiles(c.tiles);
  c.maskBufferSize = kMaskBufferSize;
}

void Camera::setConfig(const SensorConfig& sensor, const LightSensorConfig& light) {
  sensor_ = sensor;
  light_ = light;
}

void Camera::setScenePath(const std::string& file) {
  sceneFile_.setPath(file);
  sceneFile_.reset();
  script_ = SceneScript();
}

bool Camera::refresh(CameraShared& c, uint64_t dspNowNs, std::string& error) {
  if (!sceneFile_.poll(monoNs(), c.sceneGen)) return true;
  const FileIdentity& id = sceneFile_.identity();
  const std::string text = id.exists ? readFile(sceneFile_.path()) : std::string();
  const bool ok = parseSceneScript(text, script_, error);
  // The first process to take this file starts the script's clock for all.
  if (!c.sceneTaken || c.sceneIno != id.ino || c.sceneSize != id.size || c.sceneMtimeNs != id.mtimeNs) {
    c.sceneTaken = 1;
    c.sceneIno = id.ino;
    c.sceneSize = id.size;
    c.sceneMtimeNs = id.mtimeNs;
    c.sceneEpochNs = dspNowNs;
  }
  return ok;
}

SceneSample Camera::sceneAt(const CameraShared& c, uint64_t tNs) const {
  const double t = (static_cast<double>(tNs) - static_cast<double>(c.sceneEpochNs)) / 1e9;
  return iav::sceneAt(script_, t);
}

void Camera::view(const SharedState& st, uint64_t frame, uint64_t tNs, FrameView& out) const {
  const CameraShared& c = st.camera;
  out.frame = frame;
  out.ptsNs = tNs;
  out.scene = sceneAt(c, tNs);
  out.sensor = settingsAt(c.sensor, frame);
  if (script_.flickerHz > 0) {
    const double t = (static_cast<double>(tNs) - static_cast<double>(c.sceneEpochNs)) / 1e9;
    out.scene.lux *= flickerFactor(script_, t, out.sensor.shutter / 512e6);
  }
  out.dsp = c.dsp;
  out.lens = c.lens;
  out.signal = signal(out.scene, out.sensor, out.dsp, out.lens, sensor_);
  out.mirror = effectiveMirror(out.sensor.mirror, sensor_.mount);
  out.bandShift = static_cast<double>(frame % 640u) * kBandSpeed;
  out.blur = blurRadius(out.lens, out.scene.distance);
  out.vinWidth = st.vinWidth ? st.vinWidth : 1920;
  out.vinHeight = st.vinHeight ? st.vinHeight : 1080;
  out.mask = c.mask;
  out.maskBufferSize = c.maskBufferSize;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
