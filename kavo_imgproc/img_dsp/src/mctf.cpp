// Temporal noise filter: the 64-entry strength curves and the configuration block.
#include <algorithm>

#include "state.h"

using namespace imgdsp;

namespace {

// Strength per motion level: `start` below t1, a ramp to `middle` up to t2, `middle` up to t3, a ramp
// to 255 up to t4, then 255. Without a middle level (or t3, t4) the first ramp goes to 255 and ends
// the curve at t2. Ranges stop at 64; a ramp whose end is not above its start is left out.
void buildCurve(uint16_t curve[64], int start, int middle, int t1, int t2, int t3, int t4) {
  std::fill(curve, curve + 64, 0);
  auto flat = [curve](int from, int to, int v) {
    for (int i = from; i < std::min(to, 64); i++) curve[i] = static_cast<uint16_t>(v);
  };
  auto ramp = [curve](int from, int to, int a, int b) {
    if (to <= from) return;
    for (int i = from; i < std::min(to, 64); i++) curve[i] = static_cast<uint16_t>(a + (b - a) * (i - from) / (to - from));
  };
  flat(0, t1, start);
  if (middle && t3 && t4) {
    ramp(t1, t2, start, middle);
    flat(t2, t3, middle);
    ramp(t3, t4, middle, 255);
    flat(t4, 64, 255);
  } else {
    ramp(t1, t2, start, 255);
    flat(t2, 64, 255);
  }
}

}  // namespace

extern "C" {

int img_dsp_set_video_mctf(int fd, const img_dsp_mctf_curve_desc* d) {
  if (!hooksReady() || !d) return -1;
  bool single = d->curve_mode == 1;
  if (!single && std::any_of(d->edge, d->edge + 4, [](uint8_t e) { return e >= 64; })) {
    say("Error: img_dsp_set_video_mctf edge[0-4] should < 64\n");
    return -1;
  }
  img_dsp_mctf_config& c = g.p.mctfConfig;
  if (single) {
    buildCurve(c.curve[0], d->start[0], d->middle[0], d->t1[0], d->t2[0], d->t3[0], d->t4[0]);
    c.edges = 0xffffffffu;
  } else {
    c.edges = 0;
    for (int k = 0; k < 4; k++) {
      buildCurve(c.curve[k], d->start[k], d->middle[k], d->t1[k], d->t2[k], d->t3[k], d->t4[k]);
      c.edges |= uint32_t{d->edge[k]} << (6 * k);
    }
  }
  copyIn(c.level, d->level, sizeof c.level);
  c.flags = static_cast<uint8_t>((c.flags | 0x01) & ~0x10);
  img_dsp_mctf_record& r = g.p.mctf;
  r.enable = d->enable != 0;
  r.config = &c;
  return apply(fd, IMG_DSP_REQ_MCTF, &r, "error: IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP\n") < 0 ? -1 : 0;
}

int img_dsp_set_mctf_info(int fd, const img_dsp_mctf_info* info) {
  if (!hooksReady() || !info) return -1;
  img_dsp_mctf_curve_desc d = {};
  d.enable = info->enable;
  d.curve_mode = 1;
  d.start[0] = info->alpha;
  d.middle[0] = info->threshold[0];
  d.t1[0] = info->threshold[1];
  d.t2[0] = info->threshold[2];
  d.t3[0] = info->threshold[3];
  d.t4[0] = info->threshold[4];
  copyIn(d.level, info->threshold + 5, sizeof d.level);
  g.p.mctfInfo = *info;
  return img_dsp_set_video_mctf(fd, &d);
}

int img_dsp_enable_mctf(int fd, uint8_t enable) {
  if (!hooksReady()) return -1;
  img_dsp_mctf_info info = g.p.mctfInfo;
  info.enable = enable;
  return img_dsp_set_mctf_info(fd, &info);
}

int img_dsp_get_mctf_info(img_dsp_mctf_info* out) {
  if (!out) return -1;
  *out = g.p.mctfInfo;
  return 0;
}

}  // extern "C"
