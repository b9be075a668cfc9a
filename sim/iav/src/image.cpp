// The image side of the DSP, as the ISP server drives it: sensor controls (taken by the sensor a
// frame or two later), white balance, colour, digital zoom, QP limits, image kernels, the 3A tiles
// and statistics, privacy masks and the sensor registers on "/dev/ambad".
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/mman.h>

#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

namespace {

void setShutter(SensorSettings& s, uint32_t v) { s.shutter = v; }
void setAgc(SensorSettings& s, uint32_t v) { s.agcDb = static_cast<int32_t>(v); }
void setWbR(SensorSettings& s, uint32_t v) { s.wb[0] = v; }
void setWbG(SensorSettings& s, uint32_t v) { s.wb[1] = v; }
void setWbB(SensorSettings& s, uint32_t v) { s.wb[2] = v; }
void setMirror(SensorSettings& s, uint32_t v) { s.mirror = v; }

bool runs(uint32_t state) { return state == IAV_STATE_PREVIEW || state == IAV_STATE_ENCODING; }

}  // namespace

uint64_t Sim::captureFrame() const { return st_->vinRate ? vinIndexAt(now()) : 0; }

// ---- sensor controls ----------------------------------------------------------------------------

int Sim::sensorValue(Call& c) {
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  uint32_t* slot = nullptr;
  switch (c.code) {
    case IAV_IOC_VIN_SRC_SET_SHUTTER_TIME:
    case IAV_IOC_VIN_SRC_GET_SHUTTER_TIME:
      slot = &st_->shutter;
      break;
    case IAV_IOC_VIN_SRC_SET_AGC_INDEX:
    case IAV_IOC_VIN_SRC_GET_AGC_INDEX:
      slot = &st_->agcIndex;
      break;
    case IAV_IOC_VIN_SRC_SET_TRIGGER_MODE:
      slot = &st_->triggerMode;
      break;
    default:
      slot = &st_->antiFlicker;
      break;
  }
  if (iavIocDir(c.code) == IAV_IOC_DIR_READ) {
    *argPtr<uint32_t>(c) = *slot;
  } else if (c.code == IAV_IOC_VIN_SRC_SET_ANTI_FLICKER && c.arg > 0xffff) {
    *slot = *argPtr<uint32_t>(c);  // callers pass either the value or a pointer to it
  } else {
    *slot = static_cast<uint32_t>(c.arg);
  }
  c.line.object("arg").unum("value", *slot);
  // The sensor takes a new exposure two frames on, a new gain one frame on.
  const uint64_t frame = captureFrame();
  if (c.code == IAV_IOC_VIN_SRC_SET_SHUTTER_TIME) {
    queueChange(st_->camera.sensor, frame, frame + kShutterDelay, setShutter, *slot);
    c.line.unum("fromFrame", frame + kShutterDelay);
  } else if (c.code == IAV_IOC_VIN_SRC_SET_AGC_INDEX) {
    queueChange(st_->camera.sensor, frame, frame + kGainDelay, setAgc, *slot);
    c.line.unum("fromFrame", frame + kGainDelay);
  }
  c.line.close();
  return 0;
}

int Sim::mirrorMode(Call& c) {
  auto* m = argPtr<iav_vin_mirror_mode_t>(c);
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  c.line.object("arg");
  if (c.code == IAV_IOC_VIN_SRC_GET_MIRROR_MODE) {
    *m = st_->mirror;
  } else {
    st_->mirror = *m;
    const uint64_t frame = captureFrame();
    queueChange(st_->camera.sensor, frame, frame + kGainDelay, setMirror, m->pattern & 3u);
    c.line.unum("fromFrame", frame + kGainDelay);
  }
  c.line.unum("pattern", st_->mirror.pattern).unum("bayer", st_->mirror.bayer_pattern).close();
  return 0;
}

int Sim::blackLevel(Call& c) {
  const auto& b = *argPtr<iav_vin_black_level_t>(c);
  c.line.object("arg").num("l0", b.level[0]).num("l1", b.level[1]).num("l2", b.level[2]).num("l3", b.level[3]).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  st_->blackLevel = b;
  st_->camera.dsp.black = b;
  return 0;
}

int Sim::wbGain(Call& c) {
  const auto& g = *argPtr<iav_vin_wb_gain_t>(c);
  const uint64_t frame = captureFrame();
  c.line.object("arg").unum("r", g.r_gain).unum("g", g.g_gain_r).unum("b", g.b_gain).unum("fromFrame", frame + kGainDelay);
  c.line.close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (g.r_gain == 0 || g.g_gain_r == 0 || g.g_gain_b == 0 || g.b_gain == 0) return -EINVAL;
  st_->wbGain = g;
  queueChange(st_->camera.sensor, frame, frame + kGainDelay, setWbR, g.r_gain);
  queueChange(st_->camera.sensor, frame, frame + kGainDelay, setWbG, (g.g_gain_r + g.g_gain_b) / 2);
  queueChange(st_->camera.sensor, frame, frame + kGainDelay, setWbB, g.b_gain);
  return 0;
}

int Sim::sensorInfo(Call& c) {
  if (c.code == IAV_IOC_VIN_SRC_GET_AGC_INFO) {
    auto* a = argPtr<iav_agc_info_t>(c);
    *a = iav_agc_info_t{static_cast<int32_t>(42 * IAV_AGC_DB_ONE), 0, kAgcStep, 0};
    c.line.object("arg").num("dbMax", a->db_max).num("dbMin", a->db_min).num("dbStep", a->db_step).close();
  } else {
    auto* s = argPtr<iav_shutter_info_t>(c);
    *s = iav_shutter_info_t{IAV_FRAME_RATE_CLOCK, IAV_FRAME_RATE_CLOCK / 100000, st_->vinRate, 0};
    c.line.object("arg").unum("max", s->max_shutter).unum("min", s->min_shutter).unum("framePeriod", s->frame_period).close();
  }
  return st_->dspState == IAV_STATE_INIT ? -EPERM : 0;
}

// ---- encoder-side -------------------------------------------------------------------------------

int Sim::qpLimit(Call& c) {
  auto* q = argPtr<iav_qp_limit_ex_t>(c);
  c.line.object("arg").unum("id", q->id);
  if (c.code == IAV_IOC_GET_QP_LIMIT_EX) {
    const int k = streamOrdinal(q->id);
    if (k < 0) {
      c.line.close();
      return -EINVAL;
    }
    *q = st_->qp[k];
  } else {
    if (q->id == 0 || q->id > 0xf || q->qp_min_on_I > q->qp_max_on_I || q->qp_max_on_I > 51 ||
        q->qp_min_on_P > q->qp_max_on_P || q->qp_max_on_P > 51) {
      c.line.close();
      return -EINVAL;
    }
    for (int k = 0; k < kStreams; ++k)
      if (q->id & (1u << k)) {
        st_->qp[k] = *q;
        st_->qp[k].id = 1u << k;
      }
  }
  c.line.unum("minI", q->qp_min_on_I).unum("maxI", q->qp_max_on_I).unum("minP", q->qp_min_on_P);
  c.line.unum("maxP", q->qp_max_on_P).close();
  return 0;
}

int Sim::digitalZoom(Call& c) {
  const auto& z = *argPtr<iav_digital_zoom_ex_t>(c);
  c.line.object("arg").unum("zoomX", z.zoom_factor_x).unum("zoomY", z.zoom_factor_y).num("x", z.center_offset_x);
  c.line.num("y", z.center_offset_y).close();
  if (!runs(st_->dspState)) return -EPERM;
  if (z.zoom_factor_x == 0 || z.zoom_factor_y == 0) return -EINVAL;
  st_->zoom = z;
  st_->camera.dsp.dzoom = z;
  return 0;
}

// ---- image kernels ------------------------------------------------------------------------------

int Sim::imageKernel(Call& c) {
  if (!runs(st_->dspState)) return -EPERM;
  ++st_->imageRequests;
  if (isLibraryKernel(c.code)) return libraryKernel(c);
  switch (c.code) {
    case IAV_IOC_IMG_RGB_TO_YUV_SETUP: {
      const auto& m = *argPtr<iav_rgb_to_yuv_t>(c);
      c.line.object("arg").num("y0", m.matrix_values[0]).num("y1", m.matrix_values[1]).num("y2", m.matrix_values[2]);
      c.line.num("u0", m.matrix_values[3]).num("v0", m.matrix_values[6]).num("yOffset", m.y_offset).close();
      st_->camera.dsp.yuv = m;
      break;
    }
    case IAV_IOC_IMG_DSP_CANCEL:
      c.line.object("arg").unum("value", c.arg).close();
      break;
    default:
      break;
  }
  return 0;
}

int Sim::aaaSetup(Call& c) {
  const auto& t = *argPtr<iav_aaa_tile_info_t>(c);
  c.line.object("arg").unum("aeAwb", t.ae_awb_tile_changed).unum("af", t.af_tile_changed);
  c.line.unum("awbCols", t.awb_tile_num_col).unum("awbRows", t.awb_tile_num_row);
  c.line.unum("afCols", t.af_tile_num_col).unum("afRows", t.af_tile_num_row).close();
  if (!runs(st_->dspState)) return -EPERM;
  iav_aaa_tile_info_t next = st_->camera.tiles;
  if (t.ae_awb_tile_changed)
    std::memcpy(&next.awb_tile_num_col, &t.awb_tile_num_col,
                offsetof(iav_aaa_tile_info_t, af_tile_num_col) - offsetof(iav_aaa_tile_info_t, awb_tile_num_col));
  if (t.af_tile_changed)
    std::memcpy(&next.af_tile_num_col, &t.af_tile_num_col, sizeof t - offsetof(iav_aaa_tile_info_t, af_tile_num_col));
  if (!tilesValid(next)) return -EINVAL;
  st_->camera.tiles = next;
  st_->camera.tilesSet = 1;
  return 0;
}

// ---- 3A statistics ------------------------------------------------------------------------------

int Sim::getStatistics(Call& c) {
  auto* req = argPtr<iav_aaa_stats_request_t>(c);
  c.buffered = true;
  // Without a running input there is no frame to wait for: a driver's wait times out.
  const uint64_t giveUp = monoNs() + 1000000000ull;
  while (!runs(st_->dspState) || st_->vinRate == 0 || !st_->vinRateSet) {
    if (monoNs() >= giveUp) return -ETIMEDOUT;
    unlockState();
    sleepUntilNs(monoNs() + 20000000ull);
    lockState();
  }
  // The frame after the last one this descriptor was given (the first read waits for the next).
  uint64_t want = c.file.statsNext;
  const uint64_t current = vinIndexAt(now());
  if (want == 0 || want > current + 2) want = current + 1;  // first read, or the input started again
  uint64_t input = st_->vinStartNs;
  for (;;) {
    const uint64_t t = now();
    // The input started again while this read waited (a streamer's restart between two of its
    // sleeps): the new input's frames all come after those the read was given.
    if (st_->vinStartNs != input) {
      input = st_->vinStartNs;
      want = 1;
    }
    if (vinTime(want) <= t) break;
    if (st_->virtualClock) {
      if (st_->autoAdvance) {
        st_->virtualNow = std::max(st_->virtualNow, vinTime(want));
        continue;
      }
      if (monoNs() >= giveUp) return -ETIMEDOUT;
      unlockState();
      sleepUntilNs(monoNs() + 1000000ull);  // a test moves the clock
      lockState();
      continue;
    }
    unlockState();
    sleepUntilNs(monoNs() + std::min<uint64_t>(vinTime(want) - t, 100000000ull));
    lockState();
    if (!runs(st_->dspState) || st_->vinRate == 0) return -EAGAIN;
  }
  // A reader that fell behind gets the latest frame and learns how many it missed.
  const uint64_t latest = vinIndexAt(now());
  const uint64_t missed = latest > want ? latest - want : 0;
  const uint64_t frame = want + missed;
  refreshCamera();
  const iav_aaa_tile_info_t tiles = st_->camera.tiles;
  ++st_->camera.statsReads;
  FrameView view;
  camera_.view(*st_, frame, vinTime(frame), view);
  unlockState();
  {
    // Computed outside the DSP's lock: other processes and threads go on meanwhile.
    std::lock_guard<std::mutex> lock(statsMutex_);
    stats_.compute(view, tiles, camera_.sensorConfig(), statsOut_);
    statsOut_.frame.missed = static_cast<uint32_t>(std::min<uint64_t>(missed, UINT32_MAX));
    if (req->awb) std::memcpy(req->awb, statsOut_.awb, sizeof statsOut_.awb);
    if (req->ae) std::memcpy(req->ae, statsOut_.ae, sizeof statsOut_.ae);
    if (req->af) std::memcpy(req->af, statsOut_.af, sizeof statsOut_.af);
    if (req->histogram) *req->histogram = statsOut_.histogram;
    if (req->luma) *req->luma = statsOut_.luma;
    if (req->frame) *req->frame = statsOut_.frame;
  }
  c.line.object("arg").unum("frame", frame).unum("missed", missed).unum("shutter", view.sensor.shutter);
  c.line.num("agcDb", view.sensor.agcDb).real("lux", view.scene.lux).close();
  lockState();
  c.file.statsNext = frame + 1;
  return 0;
}

// ---- privacy masks ------------------------------------------------------------------------------

int Sim::privacyMask(Call& c) {
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  CameraShared& cam = st_->camera;
  switch (c.code) {
    case IAV_IOC_GET_PRIVACY_MASK_INFO_EX:
      return mapForCaller(c, pmFile(), cam.maskBufferSize * IAV_PRIVACY_MASK_BUFFERS, PROT_READ | PROT_WRITE,
                          &c.file.pm, &c.file.pmLen);
    case IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX: {
      auto* rec = argPtr<iav_privacy_mask_buffer_id_t>(c);
      *rec = iav_privacy_mask_buffer_id_t{static_cast<uint8_t>(cam.maskNext),
                                          static_cast<uint8_t>(IAV_PRIVACY_MASK_BUFFERS), 0};
      c.line.object("arg").unum("bufferId", rec->buffer_id).unum("buffers", rec->buffer_count).close();
      return 0;
    }
    default: {
      const auto& m = *argPtr<iav_privacy_mask_setup_ex_t>(c);
      c.line.object("arg").unum("enable", m.enable).unum("y", m.y).unum("u", m.u).unum("v", m.v);
      c.line.unum("blocksX", m.block_count_x).unum("blocksY", m.block_count_y).unum("bufferId", m.buffer_id).close();
      const uint32_t pitch = (m.block_count_x * 4u + 31u) / 32u * 32u;
      if (m.buffer_id >= IAV_PRIVACY_MASK_BUFFERS || static_cast<uint64_t>(pitch) * m.block_count_y > cam.maskBufferSize)
        return -EINVAL;
      cam.mask = m;
      cam.maskNext = (m.buffer_id + 1u) % IAV_PRIVACY_MASK_BUFFERS;
      return 0;
    }
  }
}

MaskView Sim::maskView(uint32_t width, uint32_t height) const {
  MaskView v;
  const auto& m = st_->camera.mask;
  if (!m.enable || pm_ == nullptr) return v;
  v.bitmap = pm_ + static_cast<size_t>(m.buffer_id) * st_->camera.maskBufferSize;
  v.blocksX = m.block_count_x;
  v.blocksY = m.block_count_y;
  v.mainWidth = st_->bufferFormats.main_width ? st_->bufferFormats.main_width : width;
  v.mainHeight = st_->bufferFormats.main_height ? st_->bufferFormats.main_height : height;
  v.y = m.y;
  v.u = m.u;
  v.v = m.v;
  return v;
}

// ---- sensor registers ---------------------------------------------------------------------------

int Sim::sensorReg(Call& c) {
  if (c.code == IAV_IOC_GET_SENSOR_REG) {
    auto* r = argPtr<iav_sensor_reg_t>(c);
    r->data = 0;
    for (uint32_t i = 0; i < st_->sensorRegCount; ++i)
      if (st_->sensorRegs[i].reg == r->reg) r->data = st_->sensorRegs[i].data;
    c.line.object("arg").hex("reg", r->reg).hex("data", r->data).close();
    return 0;
  }
  const auto& w = *argPtr<iav_sensor_reg_write_t>(c);
  c.line.object("arg").hex("reg", w.reg).hex("data", w.data).close();
  for (uint32_t i = 0; i < st_->sensorRegCount; ++i)
    if (st_->sensorRegs[i].reg == w.reg) {
      st_->sensorRegs[i].data = w.data;
      return 0;
    }
  if (st_->sensorRegCount >= static_cast<uint32_t>(kSensorRegs)) return -ENOSPC;
  st_->sensorRegs[st_->sensorRegCount++] = iav_sensor_reg_t{w.reg, w.data};
  return 0;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
