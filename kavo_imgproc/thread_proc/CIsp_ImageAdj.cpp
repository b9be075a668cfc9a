// Picture adjustment and noise reduction (see CIsp_ImageAdj.h). The library is reached only through
// IAVDriver's locked entries.
#include "thread_proc/CIsp_ImageAdj.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "algo_ae/AEControl.h"
#include "be_iav/iav_driver.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "CIsp_ImageAdj";

// sin of k x 6 degrees in Q11, k = 0..15.
const int32_t kHueQ11[16] = {0, 214, 425, 632, 832, 1024, 1203, 1370, 1521, 1656, 1773, 1870, 1947, 2003, 2036, 2048};

// CFA noise-filter rows by level.
const uint16_t kCfaRows[10][14] = {
    {12, 18, 12, 100, 150, 100, 6, 9, 6, 300, 450, 300, 450, 270},
    {12, 18, 12, 100, 150, 100, 6, 9, 6, 300, 450, 300, 450, 270},
    {12, 18, 12, 150, 225, 150, 5, 7, 5, 450, 675, 450, 675, 310},
    {10, 15, 10, 500, 500, 500, 4, 6, 4, 600, 600, 600, 600, 320},
    {8, 12, 8, 800, 800, 800, 4, 6, 4, 800, 800, 800, 800, 340},
    {4, 6, 4, 800, 800, 800, 2, 3, 2, 1200, 1200, 1200, 1200, 355},
    {4, 6, 4, 800, 800, 800, 2, 3, 2, 1200, 1200, 1200, 1200, 360},
    {4, 6, 4, 1300, 1300, 1300, 2, 3, 2, 2000, 2000, 2000, 2000, 370},
    {4, 6, 4, 1800, 1800, 1800, 2, 3, 2, 2000, 2000, 2000, 2000, 370},
    {4, 6, 4, 1800, 1800, 1800, 2, 3, 2, 2000, 2000, 2000, 2000, 370},
};

// Spatial filter (isotropic, directional, edge threshold) and bad pixels (enable, hot, dark) by level.
const uint16_t kSpatialRows[10][3] = {{0, 20, 60},    {0, 20, 60},    {50, 35, 60},   {100, 50, 60},  {170, 80, 75},
                                      {220, 180, 90}, {220, 180, 90}, {255, 220, 150}, {255, 220, 150}, {255, 220, 150}};
const uint8_t kBadPixelRows[10][3] = {{2, 2, 2}, {2, 3, 3}, {3, 4, 4},   {3, 5, 5},   {3, 7, 7},
                                      {3, 8, 8}, {3, 8, 8}, {3, 10, 10}, {3, 10, 10}, {3, 10, 10}};

int32_t nrInForce() { return static_cast<int32_t>(g_isp.image.nrLevel.load(std::memory_order_relaxed)); }

void printCurve(const int32_t* v) {
  for (int r = 0; r < 256; r += 16) {
    char line[16 * 8 + 2];
    int n = 0;
    for (int i = 0; i < 16; ++i) n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), "%d ", v[r + i]);
    debugPrintf(0, "%s\n", line);
  }
}

int sendYuv(const int16_t set[12], bool blackAndWhite) {
  iav_rgb_to_yuv_t m{};
  for (int i = 0; i < 9; ++i) m.matrix_values[i] = (blackAndWhite && i >= 3) ? 0 : set[i];
  m.y_offset = set[9];
  m.u_offset = set[10];
  m.v_offset = set[11];
  IAVDriver* d = iavDriver();
  return d != nullptr ? d->set_rgb_to_yuv_matrix(&m) : -1;
}

void printSpatial(const char* prefix, const img_dsp_spatial_filter_info& f) {
  debugPrintf(0, "%sspatial_filter_info.isotropic_strength=%d\n", prefix, f.isotropic_strength);
  debugPrintf(0, "%sspatial_filter_info.directional_strength=%d\n", prefix, f.directional_strength);
  debugPrintf(0, "%sspatial_filter_info.edge_threshold=%d\n", prefix, f.edge_threshold);
  debugPrintf(0, "%sspatial_filter_info.max_change=%d\n", prefix, f.max_change);
}

void printBadPixels(const char* prefix, const img_dsp_bad_pixel_info& b) {
  debugPrintf(0, "%sdbpc_filter_info.enable=%d\n", prefix, b.enable);
  debugPrintf(0, "%sdbpc_filter_info.hot_pixel_strength=%d\n", prefix, b.hot_strength);
  debugPrintf(0, "%sdbpc_filter_info.dark_pixel_strength=%d\n", prefix, b.dark_strength);
}

int sendCoring(const uint8_t* row) {
  img_dsp_coring_info coring;
  std::memcpy(coring.coring, row, sizeof coring.coring);
  return iavDriver()->set_sharpen_coring(&coring, 0);
}

}  // namespace

int32_t hueCos(int h) {
  h = std::clamp(h, -15, 15);
  return kHueQ11[15 - (h < 0 ? -h : h)];
}

int32_t hueSin(int h) {
  h = std::clamp(h, -15, 15);
  return h < 0 ? -kHueQ11[-h] : kHueQ11[h];
}

// ---- conversion and colour ----------------------------------------------------------------------

int color_conversion(CIsp* isp) {
  const int32_t s = std::min(isp->saturation.load(std::memory_order_relaxed) * isp->colourGain.load() / 64, 255);
  const int32_t h = std::clamp(isp->hue.load(std::memory_order_relaxed), -15, 15);
  const int32_t c = std::min(isp->contrastGain.load(std::memory_order_relaxed), 255);
  const int32_t b = std::max(isp->brightness.load(std::memory_order_relaxed), -255);
  const int32_t cs = (hueCos(h) * s) >> 11;
  const int32_t sn = (hueSin(h) * s) >> 11;
  const int32_t nsn = (-hueSin(h) * s) >> 11;
  int32_t m[12];
  for (int i = 0; i < 12; ++i) m[i] = isp->modelYuv.get(i);
  int16_t out[12];
  for (int k = 0; k < 3; ++k) {
    out[k] = static_cast<int16_t>(m[k] * c >> 6);
    out[3 + k] = static_cast<int16_t>((m[6 + k] * sn + m[3 + k] * cs) >> 6);
    out[6 + k] = static_cast<int16_t>((m[6 + k] * cs + m[3 + k] * nsn) >> 6);
  }
  out[9] = static_cast<int16_t>(m[9] + std::min(b, 255));
  out[10] = static_cast<int16_t>(m[10]);
  out[11] = static_cast<int16_t>(m[11]);
  isp->savedYuv.load(out);
  if (sendYuv(out, isp->blackAndWhite.load(std::memory_order_relaxed) == 1) < 0)
    ISP_LOG_AS(kSource, __func__, LOG_LEVEL_INFO, 0, "[color_conversion]err_code=-1.\n");
  return 0;
}

int setBrightness(CIsp* isp, int b) {
  debugPrintf(0, "[setBrightness]pre-brightness = %d\n", isp->brightness.load());
  isp->brightness.store(b, std::memory_order_relaxed);
  debugPrintf(0, "[setBrightness]new-brightness = %d\n", b);
  return color_conversion(isp);
}

int setSaturation(CIsp* isp, int s) {
  debugPrintf(0, "[setSaturation]old saturation=%d.\n", isp->saturation.load());
  isp->saturation.store(s, std::memory_order_relaxed);
  debugPrintf(0, "[setSaturation]new saturation=%d.\n", s);
  return color_conversion(isp);
}

int setHue(CIsp* isp, int h) {
  isp->hue.store(h, std::memory_order_relaxed);
  return color_conversion(isp);
}

int setContrast(CIsp* isp, int c) {
  const int d = c - 64;
  int32_t o[256] = {};
  if (d < 0) {
    const int a = -d;
    for (int i = 0; i < 96; ++i) o[i] = std::min(a, 96 - i);
    for (int i = 97; i < 168; ++i) o[i] = -std::min(i - 96, a);
    for (int i = 168; i < 256 && i < 168 + a; ++i) o[i] = i - 168 - a;
  } else if (d > 0) {
    for (int i = 0; i < 96; ++i) o[i] = -std::min(96 - i, d);
    for (int i = 97; i < 168; ++i) o[i] = std::min(i - 96, d);
    for (int i = 168; i < 256 && i < 168 + d; ++i) o[i] = d + 168 - i;
  }
  int32_t t[256];
  img_dsp_tone_curve curve;
  for (int i = 0; i < 256; ++i) {
    t[i] = std::clamp(static_cast<int32_t>(isp->toneCurve.get(i)) + o[i], 0, 1024);
    g_isp.contrastCurve[i].store(o[i], std::memory_order_relaxed);
    g_isp.adjustedToneCurve[i].store(t[i], std::memory_order_relaxed);
    for (auto& channel : curve.channel) channel[i] = static_cast<uint16_t>(t[i]);
  }
  printCurve(o);
  printCurve(t);
  iavDriver()->dsp_load_tone_curve(&curve);
  return 0;
}

int setRGB2YUVScale(CIsp* isp, int y, int u, int v) {
  debugPrintf(0, "new YUV scal = %d, %d, %d\r\n", y - 7, u - 7, v - 7);
  int16_t out[12];
  const int scale[3] = {y - 7, u - 7, v - 7};
  for (int i = 0; i < 12; ++i) {
    const int32_t m = isp->modelYuv.get(i);
    out[i] = static_cast<int16_t>(i < 9 ? m + scale[i / 3] * m / 8 : m);
    if (i < 9) debugPrintf(0, "newRGB2YUV[%d]= %d\n", i, out[i]);
  }
  if (sendYuv(out, false) < 0) ISP_LOG_AS(kSource, __func__, LOG_LEVEL_INFO, 0, "[setRGB2YUVScale]err_code=-1.\n");
  return 0;
}

int set_yuv_BW(CIsp* isp, int on) {
  int16_t saved[12];
  isp->savedYuv.copyTo(saved);
  isp->blackAndWhite.store(on == 1 ? 1 : 0, std::memory_order_relaxed);
  if (sendYuv(saved, on == 1) < 0)
    ISP_LOG_AS(kSource, __func__, LOG_LEVEL_INFO, 0, on == 1 ? "[set_yuv_BW]serr_code=-1.\n" : "[set_yuv_BW]err_code=-2.\n");
  return 0;
}

int set_rgb_gain(CIsp* isp, uint32_t r, uint32_t g, uint32_t b) {
  const uint32_t gains[3] = {std::clamp(r, 256u, 4096u), std::clamp(g, 256u, 4096u), std::clamp(b, 256u, 4096u)};
  for (int i = 0; i < 3; ++i) isp->wbGain[i].store(gains[i], std::memory_order_relaxed);
  debugPrintf(0, "r_gain= %d b_gain= %d\n", gains[0], gains[2]);
  if (iavDriver()->set_wb_gain(gains) < 0)
    ISP_LOG_AS(kSource, __func__, LOG_LEVEL_INFO, 0, "[set_rgb_gain]err_code=-1.\n");
  return 0;
}

void get_rgb_gain(CIsp* isp, uint32_t gains[3]) {
  for (int i = 0; i < 3; ++i) gains[i] = isp->wbGain[i].load(std::memory_order_relaxed);
}

// ---- sharpness, dynamic range, zoom, shading ----------------------------------------------------

int setSharpness(CIsp* isp, int level) {
  const int32_t model = isp->system().model;
  const bool torvex = model == TORVEX_BRISK || model == TORVEX_TARROW;
  const int overall = torvex ? level : level / 2 + 142;
  const uint8_t factor = static_cast<uint8_t>(torvex ? level / 5 : level / 4);
  IAVDriver* d = iavDriver();
  const img_dsp_alpha_info alpha{{255, 255}};
  d->set_sharpen_alpha(&alpha);
  const img_dsp_level_info min{0, 1, 0, 0, 180, 5, 0};
  d->set_sharpen_level_min(&min);
  const img_dsp_level_info all{10, 5, factor, factor, 254, 0, factor};
  d->set_sharpen_level_overall(&all);
  img_dsp_fir_info fir{};
  fir.fir_strength = overall;
  d->set_sharpen_fir(&fir, 1);
  return 0;
}

int setWDR(CIsp*, int level) {
  const int rc = iavDriver()->set_wdr_level(level);
  if (AEControl* ae = aeControl()) ae->previousMode.store(10, std::memory_order_relaxed);
  return rc;
}

int setDZoom(CIsp*, int factor) { return iavDriver()->set_dPTZ(0, 0, factor); }

int setDPTZ(CIsp* isp, int pan, int tilt, int zoom) {
  if (zoom == 0) return 0;
  int w = 0, h = 0;
  if (isp->system().sensor == SENSOR_AR0331) {
    w = 960 - 960 / zoom;
    h = 540 - 540 / zoom;
  } else if (isp->system().sensor == SENSOR_OV9715) {
    w = 640 - 640 / zoom;
    h = 360 - 360 / zoom;
  }
  auto offset = [](int v, int range) { return v > 50 ? (v - 50) * range / 55 : v < 50 ? -((50 - v) * range / 55) : 0; };
  return iavDriver()->set_dPTZ(offset(pan, w), offset(tilt, h), zoom);
}

int setLensShadeCorrect(CIsp*, int level) {
  debugPrintf(0, "[setLensShadeCorrect]level=%d\n", level);
  iavDriver()->set_lens_shading_correct(level);
  return 1;
}

int setLensShadeByLuma(CIsp* isp, uint32_t luma) {
  const uint32_t base = g_isp.aeLimits.targetBase;
  const uint32_t state = isp->lensShadingState.load(std::memory_order_relaxed);
  if (luma < 2 * base / 8 && state != 0) {
    setLensShadeCorrect(isp, 0);
    isp->lensShadingState.store(0, std::memory_order_relaxed);
  } else if (luma > 7 * base / 8 && state != 1) {
    setLensShadeCorrect(isp, 1);
    isp->lensShadingState.store(1, std::memory_order_relaxed);
  }
  return 0;
}

int set_qp_limit_mode(CIsp* isp, int on) {
  if (on) {
    isp->qpLimit.store(1, std::memory_order_relaxed);
    return 0;
  }
  isp->qpLimit.store(0, std::memory_order_relaxed);
  const AEControl* ae = aeControl();
  return iavDriver()->change_qp_limit(0, ae != nullptr ? ae->luminance.load(std::memory_order_relaxed) : 0);
}

// ---- noise reduction ----------------------------------------------------------------------------

int UpdateNR(CIsp* isp, int level) {
  const uint16_t* row = kCfaRows[std::clamp(level, 0, 9)];
  CfaNoiseFilter f{};
  f.word[0] = 1;
  for (int i = 0; i < 7; ++i) f.word[1 + i] = row[6 + i];
  for (int i = 0; i < 6; ++i) f.word[11 + i] = row[i];
  f.word[20] = row[13];
  iavDriver()->set_cfa_noise_filter(&f);
  isp->nrMemory[0][1].store(isp->nrMemory[0][0].load());
  debugPrintf(0, "[UpdateNR]m_iCFA_Pre=%d, close=%d\n", isp->nrMemory[0][0].load(), isp->nrMemory[0][1].load());
  return 0;
}

int setNR_spatial(CIsp*, int value) {
  const uint16_t v = static_cast<uint16_t>(std::clamp(value, 0, 255));
  debugPrintf(0, "[setNR_spatial]value=%d\n", v);
  IAVDriver* d = iavDriver();
  img_dsp_spatial_filter_info f{};
  d->dsp_get_spatial_filter(&f);
  printSpatial("[setNR_spatial_get]", f);
  f.isotropic_strength = 255;
  f.directional_strength = 128;
  f.edge_threshold = v;
  f.max_change = v;
  d->set_spatial_filter(0, &f);
  printSpatial("[setNR_spatial_set]", f);
  return 0;
}

int setNR_spatial_manual(CIsp*, int level) {
  level = std::clamp(level, 0, 9);
  debugPrintf(0, "[setNR_spatial_manual]value=%d\n", level);
  IAVDriver* d = iavDriver();
  img_dsp_spatial_filter_info f{};
  d->dsp_get_spatial_filter(&f);
  printSpatial("[setNR_spatial_manual_get]", f);
  f.isotropic_strength = static_cast<uint8_t>(kSpatialRows[level][0]);
  f.directional_strength = static_cast<uint8_t>(kSpatialRows[level][1]);
  f.edge_threshold = kSpatialRows[level][2];
  d->set_spatial_filter(0, &f);
  printSpatial("[setNR_spatial_manual_set]", f);
  return 0;
}

int setNR_DynaBPC_manual(CIsp*, int level) {
  const uint8_t* row = kBadPixelRows[std::clamp(level, 0, 9)];
  IAVDriver* d = iavDriver();
  img_dsp_bad_pixel_info b{};
  d->dsp_get_dynamic_bad_pixel_correction(&b);
  printBadPixels("[setNR_DynaBPC_manual_get]", b);
  b = img_dsp_bad_pixel_info{row[0], row[1], row[2]};
  d->set_bad_pixel_correction(&b);
  printBadPixels("[setNR_DynaBPC_manual_set]", b);
  return 0;
}

int setCoring_manual(CIsp*, int level) {
  uint8_t row[256];
  if (level >= 0 && level < kCoringRowCount)
    std::memcpy(row, kCoringRows[level], sizeof row);
  else
    std::memset(row, level == 10 ? 8 : 4, sizeof row);
  return sendCoring(row);
}

int set3DNRLevel_manual(CIsp*, int value) {
  debugPrintf(0, "[set3DNRLevel_manual]3DNR_value=%d\n", value);
  return iavDriver()->set_3Dnr(value);
}

int setChromaScale(CIsp*, int level) {
  if (level < 1) level = 1;
  img_dsp_chroma_scale_info s{};
  s.enable = 1;
  for (int i = 0; i < 128; ++i) s.gain[i] = static_cast<uint16_t>(i < level ? i * 1024 / level : 1024);
  return iavDriver()->set_chroma_scale(&s);
}

int set_Chroma_Scale_inAGC(CIsp* isp, int agc) {
  const int32_t s = static_cast<int32_t>(g_isp.image.saturation.load(std::memory_order_relaxed) * 128 / 100);
  const int32_t value = agc < 134 ? s : std::max(s * (198 - agc) / 64, s / 2);
  setSaturation(isp, value);
  debugPrintf(0, "[set_Chroma_Scale_inAGC]iSaturationTmp = %d\n", value);
  return 0;
}

int set_smart_sharpCoring(CIsp* isp, int agc) {
  const int32_t n = nrInForce();
  int r;
  if (isp->system().model == FINCH_IR)
    r = agc > 190 ? 9 : agc > 175 ? 6 : agc > 150 ? 4 : agc > 120 ? 3 : agc > 30 ? 2 : agc > 20 ? 1 : 0;
  else
    r = agc > 55 ? 3 : agc > 30 ? 2 : agc > 20 ? 1 : 0;
  r = std::clamp(std::min(r, n / 4), 0, kCoringRowCount - 1);
  const int x = agc < 9 ? 0 : agc < 17 ? 16 : agc < 49 ? 32 : 36;
  setNR_spatial(isp, std::min(x, n));
  const uint8_t a = agc < 131 ? 235 : 0;
  const img_dsp_alpha_info alpha{{a, a}};
  iavDriver()->set_sharpen_alpha(&alpha);
  debugPrintf(0, "[set_smart_sharpCoring]coring_table.coring[127]=%d(gain=%d,value=%d)\n", kCoringRows[r][127], agc, r);
  return sendCoring(kCoringRows[r]);
}

int set3DNR_byAGC(CIsp* isp, int agc) {
  const int32_t n = nrInForce();
  const int32_t model = isp->system().model;
  const bool finch = model == FINCH_IR;
  const int low = finch ? 10 : 30, threshold = finch ? 60 : 90, cap = finch ? 180 : 140;
  int value = 0;
  if (n >= low && agc >= threshold) {
    const int base = (model == TORVEX_BRISK || model == TORVEX_TARROW) ? 240 - n : finch ? 190 - (n - 10) / 2 : 210 - n;
    value = base + threshold - std::min(cap, agc);
    if (value < 1) return 0;
  }
  return iavDriver()->set_3Dnr(value);
}

// ---- exposure, and sharpness given up for noise reduction ---------------------------------------

int set_shutter_agc(CIsp*, int32_t time, int32_t gain) {
  IAVDriver* d = iavDriver();
  d->set_eshutter_time(time);
  d->set_agc_index(gain);
  return 1;
}

int set_NR_by_Decrease_Sharp(CIsp* isp, int level) {
  // Sharpness taken off by level, in steps of 4; none for any level yet.
  static const uint8_t kSharpReduction[12] = {};
  const uint32_t reduction =
      std::min<uint32_t>(4u * kSharpReduction[std::clamp(level, 0, 11)], static_cast<uint32_t>(nrInForce()));
  const uint32_t sharpness = g_isp.image.sharpness.load(std::memory_order_relaxed);
  setSharpness(isp, static_cast<int>(sharpness > reduction ? sharpness - reduction : 0));
  for (auto& word : isp->nrMemory[1]) word.store(reduction, std::memory_order_relaxed);
  debugPrintf(0, "[set_NR_by_Decrease_Sharp]uTemp=%d\n", reduction);
  return 0;
}

}  // namespace isp
}  // namespace kavo
