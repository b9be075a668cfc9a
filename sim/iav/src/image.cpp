// The image side of the DSP, as the ISP server drives it: sensor controls, white balance, QP limits,
// digital zoom, image kernels and the sensor registers on "/dev/ambad".
#include <cerrno>

#include "sim.h"

namespace kavo {
namespace sim {
namespace iav {

// ---- image side ---------------------------------------------------------------------------------

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
  c.line.object("arg").unum("value", *slot).close();
  return 0;
}

int Sim::mirrorMode(Call& c) {
  auto* m = argPtr<iav_vin_mirror_mode_t>(c);
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (c.code == IAV_IOC_VIN_SRC_GET_MIRROR_MODE)
    *m = st_->mirror;
  else
    st_->mirror = *m;
  c.line.object("arg").unum("pattern", st_->mirror.pattern).unum("bayer", st_->mirror.bayer_pattern).close();
  return 0;
}

int Sim::blackLevel(Call& c) {
  st_->blackLevel = *argPtr<iav_vin_black_level_t>(c);
  c.line.object("arg")
      .num("l0", st_->blackLevel.level[0])
      .num("l1", st_->blackLevel.level[1])
      .num("l2", st_->blackLevel.level[2])
      .num("l3", st_->blackLevel.level[3])
      .close();
  return st_->dspState == IAV_STATE_INIT ? -EPERM : 0;
}
int Sim::wbGain(Call& c) {
  const auto& g = *argPtr<iav_vin_wb_gain_t>(c);
  c.line.object("arg").unum("r", g.r_gain).unum("g", g.g_gain_r).unum("b", g.b_gain).close();
  if (st_->dspState == IAV_STATE_INIT) return -EPERM;
  if (g.r_gain == 0 || g.g_gain_r == 0 || g.g_gain_b == 0 || g.b_gain == 0) return -EINVAL;
  st_->wbGain = g;
  return 0;
}
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
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  if (z.zoom_factor_x == 0 || z.zoom_factor_y == 0) return -EINVAL;
  st_->zoom = z;
  return 0;
}
int Sim::imageKernel(Call& c) {
  (void)c;
  if (st_->dspState != IAV_STATE_PREVIEW && st_->dspState != IAV_STATE_ENCODING) return -EPERM;
  ++st_->imageRequests;
  return 0;
}
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
