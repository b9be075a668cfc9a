// Bad-pixel correction, local exposure, black level, vignette and the RGB, white-balance and digital
// gains.
#include <algorithm>

#include "state.h"
#include "tables.h"

using namespace imgdsp;

namespace {

const uint8_t kZeroHalf[kBadPixelHalf] = {};

// Half-table of a strength: row n - 1 of the selected set; a strength of 0 has no row and gets zeros.
const uint8_t* badPixelHalf(int strength, bool dark) {
  if (strength == 0) return kZeroHalf;
  return kBadPixelRows[g.p.tableSelect ? 1 : 0][strength - 1] + (dark ? kBadPixelHalf : 0);
}

// Which level and which reference fill each offset of the record, per Bayer order.
constexpr int kBayerLevel[4][4] = {{0, 1, 2, 3}, {3, 2, 1, 0}, {1, 0, 3, 2}, {2, 3, 0, 1}};
constexpr int kLevelReference[4] = {0, 1, 1, 2};

uint32_t roundedRatio(uint32_t v, uint32_t g) {
  return static_cast<uint32_t>((uint64_t{v} * 1024 + g / 2) / g);
}

}  // namespace

extern "C" {

int img_dsp_set_dynamic_bad_pixel_correction(int fd, const img_dsp_bad_pixel_info* info) {
  if (!hooksReady() || !info) return -1;
  if (info->hot_strength > 10 || info->dark_strength > 10) {
    say("Error: invalid hot/dark pixel strength in img_dsp_set_dynamic_bad_pixel_correction\n");
    return -1;
  }
  Params& p = g.p;
  img_dsp_bad_pixel_info kept = *info;
  bool bothZero = info->hot_strength == 0 && info->dark_strength == 0;
  if (bothZero) kept.enable = 0;
  bool off = bothZero || info->enable == 0;
  img_dsp_bad_pixel_record& r = p.badPixel;
  r.enable = off ? 0 : info->enable;
  r.mode = off ? 1 : 3;
  copyIn(p.badPixelHot, badPixelHalf(off ? 1 : info->hot_strength, false), kBadPixelHalf);
  copyIn(p.badPixelDark, badPixelHalf(info->dark_strength, true), kBadPixelHalf);
  r.hot_table = p.badPixelHot;
  r.dark_table = p.badPixelDark;
  r.fixed0 = 13449;
  r.fixed1 = 4;
  p.badPixelInfo = kept;
  return apply(fd, IMG_DSP_REQ_BAD_PIXEL, &r, "error: IAV_IOC_IMG_BAD_PIXEL_CORRECTION\n") < 0 ? -1 : 0;
}

int img_dsp_get_dynamic_bad_pixel_correction(img_dsp_bad_pixel_info* out) {
  if (!out) return -1;
  *out = g.p.badPixelInfo;
  return 0;
}

int img_dsp_set_local_exposure(int fd, const img_dsp_local_exposure_info* info) {
  if (!hooksReady() || !info) return -1;
  Params& p = g.p;
  img_dsp_local_exposure_record& r = p.localExposure;
  clear(&r, sizeof r);
  r.enable = info->enable;
  r.radius = info->radius;
  copyIn(r.weight, info->weight, sizeof r.weight);
  r.weight_shift = info->weight_shift;
  copyIn(r.gain_curve, info->gain_curve, sizeof r.gain_curve);
  copyIn(r.black_reference, p.blackReference, sizeof r.black_reference);
  int64_t side = 2 * (int64_t{info->radius} + 2);
  r.offset = static_cast<int32_t>(side * side * p.blackReference[1] >> std::min<int>(info->weight_shift, 31));
  p.localExposureInfo = *info;
  return apply(fd, IMG_DSP_REQ_LOCAL_EXPOSURE, &r, "error: IAV_IOC_IMG_LOCAL_EXPOSURE\n") < 0 ? -1 : 0;
}

int img_dsp_get_local_exposure(img_dsp_local_exposure_info* out) {
  if (!out) return -1;
  *out = g.p.localExposureInfo;
  return 0;
}

int img_dsp_set_black_level_offset(int fd, const img_dsp_black_level_info* levels, uint32_t bayer_order) {
  if (!hooksReady() || !levels) return -1;
  Params& p = g.p;
  img_dsp_black_level_record& r = p.blackLevel;
  if (bayer_order >= 4) {
    clear(&r, sizeof r);
    return -1;
  }
  for (int i = 0; i < 4; i++) {
    int level = kBayerLevel[bayer_order][i];
    int64_t v = int64_t{levels->level[level]} - p.blackReference[kLevelReference[level]];
    r.offset[i] = static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
  }
  copyIn(r.reference, p.blackReference, sizeof r.reference);
  r.reserved = 0;
  p.blackLevelInfo = *levels;
  return apply(fd, IMG_DSP_REQ_BLACK_LEVEL, &r, "error: IAV_IOC_IMG_BLACK_LEVEL_GLOBAL_OFFSET\n") < 0 ? -1 : 0;
}

int img_dsp_get_black_level_offset(img_dsp_black_level_info* out) {
  if (!out) return -1;
  *out = g.p.blackLevelInfo;
  return 0;
}

int img_dsp_set_vignette(int fd, const img_dsp_vignette_info* info) {
  if (!hooksReady() || !info) return -1;
  img_dsp_vignette_record& r = g.p.vignette;
  r.enable = info->enable;
  r.gain_shift = info->gain_shift;
  r.zero = 0;
  for (int i = 0; i < 4; i++) r.table[i] = info->table[i];
  return apply(fd, IMG_DSP_REQ_VIGNETTE, &r, "error: IAV_IOC_IMG_VIGNETTE_COMPENSATION") < 0 ? -1 : 0;
}

int img_dsp_set_rgb_gain(int fd, const img_dsp_rgb_gain_info* gains, uint32_t digital_gain) {
  if (!hooksReady() || !gains) return -1;
  if (gains->r == 0 || gains->g == 0 || gains->b == 0 || digital_gain == 0) return -1;
  Params& p = g.p;
  img_dsp_rgb_gain_record& r = p.rgbGain;
  r.r_gain = gains->r * 64;
  r.g_gain_r = r.g_gain_b = gains->g * 64;
  r.b_gain = gains->b * 64;
  p.rgbInfo = *gains;
  p.wbInfo = gains->g == 1024 ? *gains
                              : img_dsp_rgb_gain_info{roundedRatio(gains->r, gains->g), 1024, roundedRatio(gains->b, gains->g)};
  p.digitalGain = digital_gain;
  return apply(fd, IMG_DSP_REQ_RGB_GAIN, &r, "error: IAV_IOC_IMG_RGB_GAIN_ADJUST\n") < 0 ? -1 : 0;
}

int img_dsp_set_wb_gain(int fd, const img_dsp_rgb_gain_info* gains) {
  if (!hooksReady() || !gains) return -1;
  if (gains->r == 0 || gains->g == 0 || gains->b == 0) {
    say("set wb_gain:  invalide value.\n");
    return -1;
  }
  if (img_dsp_set_rgb_gain(fd, gains, g.p.digitalGain) < 0) {
    say("error img_dsp_set_rgb_gain\n");
    return -1;
  }
  return 0;
}

int img_dsp_set_dgain(int fd, uint16_t digital_gain) {
  if (!hooksReady()) return -1;
  if (digital_gain == 0) {
    say("set dgain:  invalide value.\n");
    return -1;
  }
  img_dsp_rgb_gain_info wb = g.p.wbInfo;
  if (img_dsp_set_rgb_gain(fd, &wb, digital_gain) < 0) {
    say("error img_dsp_set_rgb_gain\n");
    return -1;
  }
  return 0;
}

}  // extern "C"
