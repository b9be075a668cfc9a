// High-ISO mode (image mode 3): the work area and parameter record, their set-up, the computation in
// its stages (FIR, level, coring and alpha/level tables, colour), the record preparation and the
// scaler sizes.
#include <algorithm>
#include <array>
#include <cstdlib>

#include "design.h"
#include "iso.h"
#include "state.h"
#include "tables.h"

using namespace imgdsp;

namespace {

constexpr uint32_t kBlendCmdCode = 0x2131;
constexpr uint8_t kLevelSelect = 2;
constexpr uint16_t kCoringLimit = 31;
// The command's header: layout version (3.5.0, as the library's), paths, level records, phase pairs,
// areas and work-area bytes; the rest reserved.
constexpr uint32_t kConfigHeader[IMG_HIGH_ISO_CONFIG_HEADER_WORDS] = {
    0x00030500, IMG_HIGH_ISO_PATH_COUNT, IMG_HIGH_ISO_LEVEL_COUNT, IMG_HIGH_ISO_PHASE_PAIRS, IMG_HIGH_ISO_AREA_COUNT,
    IMG_HIGH_ISO_WORK_BYTES};
// Level controls written once per set-up (Index_mul_high_noise, Multiplier_mul_high_noise and the
// fine-detail multiplier): the library's level defaults.
const img_high_iso_path kDefaultLevelPath = [] {
  img_high_iso_path p{};
  p.low = 10, p.low_delta = 1, p.high = 20, p.high_delta = 1;
  return p;
}();
// YCbCr to RGB in 1/4096 (rows R, G, B; columns Y, Cb, Cr).
constexpr int32_t kYccToRgbQ12[9] = {4096, -5, 5742, 4096, -1410, -2924, 4096, 7257, 4};
// The alpha ramp's rise from 0 to 255.
constexpr uint16_t kAlphaRise[6] = {32, 64, 128, 160, 192, 224};

uint8_t* bytesOf(uint32_t* block) { return reinterpret_cast<uint8_t*>(block); }
uint8_t byteOf(uint32_t v) { return static_cast<uint8_t>(std::min<uint32_t>(v, 255)); }

void setIdentityRgb2yuv(int16_t m[12]) {
  static const int16_t kIdentity[12] = {1024, 0, 0, 0, 1024, 0, 0, 0, 1024, 0, 128, 128};
  std::copy(kIdentity, kIdentity + 12, m);
}

void packLimited(const uint8_t table[256], uint32_t block[IMG_DSP_CORING_BLOCK_WORDS]) {
  uint8_t t[256];
  // A value beyond 5 bits would spill into the next field of its word.
  for (int i = 0; i < 256; i++) t[i] = static_cast<uint8_t>(std::min<uint16_t>(table[i], kCoringLimit));
  img_dsp_pack_coring_table(t, block);
}

void writeTableKernel(uint32_t* block, int strength) {
  img_dsp_half_kernel_q8 k;
  int shift;
  img_dsp_make_kernel(strength, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  writeAllDirections(bytesOf(block), shift, k);
}

// v / den rounded half away from zero.
int64_t roundedRatio(int64_t v, int64_t den) { return v >= 0 ? (v + den / 2) / den : -((den / 2 - v) / den); }

// One chroma channel of the high-ISO colour table: the luma levels over which chroma comes back
// (start..end, at least 2 apart) with its saturations and strength.
struct ChromaReduction {
  int start, q16, q10;  // round(65536 / r), round(1024 / r)
  int64_t sat0, sat1, strength;

  ChromaReduction(int startLevel, int endLevel, uint16_t s0, uint16_t s1, uint16_t st)
      : start(startLevel), sat0(s0), sat1(s1), strength(st) {
    int r = std::max(endLevel - startLevel, 2);
    q16 = (65536 + r / 2) / r;
    q10 = (1024 + r / 2) / r;
  }

  // The chroma u (centred) kept at luma y: the saturation runs from sat0 for faint chroma to sat1
  // for chroma r or more away from grey; `strength` of that applies fully below `start` and fades
  // out towards the end of the range.
  int64_t apply(int y, int u) const {
    int64_t level = std::clamp<int64_t>(int64_t{y - start} * q16, 0, 65536);
    int64_t faint = std::clamp<int64_t>(int64_t{std::abs(u)} * q10, 0, 1024);
    int64_t sat = sat0 + ((sat1 - sat0) * faint >> 10);
    int64_t kept = 1024 + (((sat - 1024) * strength >> 8) * (65536 - level) >> 16);
    return roundedRatio(u * kept, 1024);
  }
};

// YCbCr grid to RGB (10 bits each), with the input's level-based chroma reduction.
void colourTable(const img_high_iso_input& in, uint32_t table[4096]) {
  const auto& cc = in.high_iso_color_correction;
  const auto& lim = in.chroma_level_based_noise_reduction;
  const ChromaReduction cb(lim.cb_start, lim.cb_end, cc.reduce_cc_sat0_cb, cc.reduce_cc_sat1_cb, cc.reduce_cc_strength_cb);
  const ChromaReduction cr(lim.cr_start, lim.cr_end, cc.reduce_cc_sat0_cr, cc.reduce_cc_sat1_cr, cc.reduce_cc_strength_cr);
  auto channel = [](int64_t v) { return static_cast<uint32_t>(std::clamp<int64_t>(v, 0, 1023)); };
  for (int a = 0; a < 16; a++)
    for (int b = 0; b < 16; b++)
      for (int c = 0; c < 16; c++) {
        int y = kYccGrid[a];
        int64_t y10 = 4 * y, u10 = 4 * cb.apply(y, kYccGrid[b] - 128), v10 = 4 * cr.apply(y, kYccGrid[c] - 128);
        int64_t red = y10 + roundedRatio(1435 * v10, 1024);
        int64_t green = y10 - roundedRatio(352 * u10 + 731 * v10, 1024);
        int64_t blue = y10 + roundedRatio(1815 * u10, 1024);
        table[a * 256 + b * 16 + c] = channel(red) | channel(green) << 10 | channel(blue) << 20;
      }
}

uint32_t halve8(uint32_t v) { return (v / 2 + 7) & ~7u; }

}  // namespace

void img_high_iso_init(void) {
  HighIso& h = g.hiso;
  clear(&h.work, sizeof h.work);
  clear(&h.input, sizeof h.input);
  clear(&h.params, sizeof h.params);
  // The one-time blocks live in the area just cleared: the next run writes them again.
  h.onceFir = h.fixedFir = h.highPass256 = h.highPass192 = false;

  HighIsoWork& w = h.work;
  uintptr_t* area = h.params.address.area;
  size_t n = 0;
  auto put = [&](const void* at) { area[n++] = addressOf(at); };
  for (auto& t : w.medianTable) put(t);
  for (auto& t : w.badPixel) put(t);
  for (auto& c : w.colour) put(c.reg), put(c.table);
  for (auto& b : w.block) put(b);
  put(w.alpha);
  for (auto& t : w.alphaLevel) put(&t);
  for (const void* at : {static_cast<const void*>(w.zero), static_cast<const void*>(w.coring),
                         static_cast<const void*>(w.alpha2), static_cast<const void*>(w.fir),
                         static_cast<const void*>(w.last)})
    put(at);
  h.params.address.record = addressOf(&h.params);

  for (int e = 0; e < 128; e++) w.alpha[4 * e] = 32;
  setIdentityRgb2yuv(h.params.rgb2yuv);
  for (auto& a : h.input.alpha) a.strength = 32;
  h.input.luma_control.global_strength = 32;
}

void img_high_iso_write_iso_fir(uint8_t block[IMG_DSP_FIR_BLOCK_BYTES], int strength_x, int strength_y) {
  img_dsp_half_kernel_q8 k;
  int shift;
  img_dsp_make_kernel(strength_x, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  img_dsp_write_fir_dir(block, 0, shift, k);
  img_dsp_make_kernel(strength_y, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  for (int d = 1; d <= 8; d++) img_dsp_write_fir_dir(block, d, shift, k);
}

void img_high_iso_write_blend_fir(uint8_t block[IMG_DSP_FIR_BLOCK_BYTES], int a, int b, int c, int weight) {
  weight = std::clamp(weight, 0, 256);  // beyond it the mix would not be one of the two kernels
  img_dsp_half_kernel_q8 k;
  int shift;
  img_dsp_blend_kernels(b, a, weight, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  img_dsp_write_fir_dir(block, 0, shift, k);
  for (int d = 1; d <= 8; d++) {
    img_dsp_blend_kernels(b, c, weight, 1, IMG_DSP_KIND_HIGH_PASS, d, &shift, k);
    img_dsp_write_fir_dir(block, d, shift, k);
  }
}

void img_high_iso_fill_level(const img_high_iso_path* path, img_dsp_level_control_record* out) {
  img_dsp_level_control_record& l = *out;
  l = {};
  l.cmd_code = kLevelCmdCode;
  l.select = kLevelSelect;
  l.low = path->low;
  l.low_delta = path->low_delta;
  l.low_0 = static_cast<uint8_t>(path->low + pow2Byte(path->low_delta));
  l.high = path->high;
  l.high_delta = path->high_delta;
  l.high_0 = static_cast<uint8_t>(path->high + pow2Byte(path->high_delta));
  l.low_val = 0;
  l.high_val = 96;
  l.base_val = 32;
  l.area = path->mode == 2 ? 1 : 6;
  l.clip_low = l.clip_low2 = kClipLow;
  l.clip_high = l.clip_high2 = kClipHigh;
}

void img_high_iso_coring_floor(uint8_t table[256], int strength) {
  int s = strength;
  int t = ((s > 39 ? (7 * s - 280) / 27 + 200 : 5 * s) * 132 + 128) >> 8;
  int k = 129 - t;
  for (int j = 0; j <= 128; j++) {
    uint8_t floor = j < k ? 0 : j == k ? 1 : j == k + 1 ? 4 : j == k + 2 ? 6 : 8;
    if (j <= 127) table[128 + j] = std::max(table[128 + j], floor);
    table[128 - j] = std::max(table[128 - j], floor);
  }
}

void img_high_iso_build_coring(const img_high_iso_path* path, uint32_t block[IMG_DSP_CORING_BLOCK_WORDS]) {
  uint8_t t[256] = {};
  img_dsp_apply_signal_retain(t, path->retain_level);
  int m = path->coring_value;
  for (int d = 1; d <= 127; d++) {
    int num = 8 * d - 4 * m;
    int v = std::clamp(num >= 0 ? (num + d / 2) / d : (num - d / 2) / d, 0, 8);
    t[128 + d] = std::max(t[128 + d], static_cast<uint8_t>(v));
    t[128 - d] = std::max(t[128 - d], static_cast<uint8_t>(v));
  }
  t[0] = t[1];
  img_high_iso_coring_floor(t, path->coring_strength);
  img_dsp_pack_coring_table(t, block);
}

void img_high_iso_build_alpha_table(img_dsp_mctf_config* table, int strength, uint8_t level) {
  clear(table, sizeof *table);
  uint16_t* entry = &table->curve[0][0];
  int v = strength;
  if (v <= 192) {
    int zeros = 64 - v / 3;
    for (int i = 0; i < 64; i++) entry[i] = i < zeros ? 0 : i - zeros < 6 ? kAlphaRise[i - zeros] : 255;
  } else {
    int top = ((256 - v) * 6 + 32) / 64;  // entries that still rise (6 at 193, none at 256)
    for (int i = 0; i < 64; i++) entry[i] = i < top ? kAlphaRise[6 - top + i] : 255;
  }
  std::fill(entry + 64, entry + 160, 255);
  table->edges = 0xff000000u | 0x3ffffu;  // byte 515 and three 6-bit fields all ones
  table->level[0] = table->level[1] = 1;
  table->level[2] = level;
  table->flags = static_cast<uint8_t>((table->flags | 0x01) & ~0x10);
}

void img_high_iso_multiply_rgb2yuv(int16_t out[9], int32_t gain_q10) {
  const int16_t* m = g.p.colourMatrix;
  for (int i = 0; i < 3; i++)
    for (int j = 0; j < 3; j++) {
      int64_t sum = 0;
      for (int k = 0; k < 3; k++) sum += int64_t{kYccToRgbQ12[3 * i + k]} * m[3 * k + j];
      sum = sum * gain_q10 / 1024;
      out[3 * i + j] = saturate16(sum >= 0 ? (sum + 2048) >> 12 : -((2048 - sum) >> 12));
    }
}

void img_high_iso_init_fir_once(const img_high_iso_input* input, img_high_iso_params* record) {
  HighIso& h = g.hiso;
  if (h.onceFir) return;
  h.onceFir = true;
  writeTableKernel(h.work.block[kHisoOnceFir], 256);
  uint8_t fours[256];
  std::fill(fours, fours + 256, 4);
  img_dsp_pack_coring_table(fours, h.work.block[kHisoOnceCoring]);
  img_dsp_level_control_record& l = record->level[7];
  img_high_iso_fill_level(&kDefaultLevelPath, &l);
  l.low_val = l.high_val = l.base_val =
      static_cast<uint8_t>(std::clamp(32 - input->luma_detail_preservation.strength / 8, 0, 32));
}

void img_high_iso_init_fixed_fir_once(const img_high_iso_input*, img_high_iso_params*) {
  HighIso& h = g.hiso;
  if (h.fixedFir) return;
  h.fixedFir = true;
  static const img_dsp_coeff_q8_t kFixedHighPass[10] = {0, 0, 0, 0, 0, 0, 0, -27, -29, 224};
  img_dsp_half_kernel_q8 k;
  int shift;
  img_dsp_expand_coeffs(kFixedHighPass, &shift, k);
  img_dsp_quantize_kernel(&shift, k, 0);
  writeAllDirections(bytesOf(h.work.block[kHisoFixedFir]), shift, k);
  uint8_t eights[256];
  std::fill(eights, eights + 256, 8);
  img_dsp_pack_coring_table(eights, h.work.block[kHisoFixedCoring]);
}

void img_high_iso_compute(const img_high_iso_input* in, img_high_iso_params* out) {
  HighIso& h = g.hiso;
  HighIsoWork& w = h.work;
  img_high_iso_params& r = h.params;
  for (size_t k = 0; k < IMG_HIGH_ISO_PATH_COUNT; k++) {
    const img_high_iso_path& p = in->path[k];
    img_high_iso_write_iso_fir(bytesOf(w.block[kHisoIsoFir + k]), p.fir_strength_iso, p.fir_strength_dir);
    img_high_iso_write_blend_fir(bytesOf(w.block[kHisoBlendFir + k]), p.blend_strength_a, p.blend_strength_b,
                                 p.blend_strength_c, p.blend_weight);
    img_high_iso_fill_level(&p, &r.level[k]);
  }
  for (int k = 0; k < 3; k++) img_high_iso_build_coring(&in->path[k], w.block[kHisoPathCoring + k]);
  img_high_iso_init_fir_once(in, &r);
  img_high_iso_init_fixed_fir_once(in, &r);

  for (int k = 0; k < 4; k++) packLimited(in->coring[k], w.block[kHisoInputCoring + k]);
  if (!h.highPass256) {
    h.highPass256 = true;
    writeTableKernel(w.block[kHisoHighPass256], 256);
    img_high_iso_fill_level(&kDefaultLevelPath, &r.level[5]);
    img_high_iso_fill_level(&kDefaultLevelPath, &r.level[6]);
  }
  if (!h.highPass192) {
    h.highPass192 = true;
    writeTableKernel(w.block[kHisoHighPass192], 192);
  }
  const auto& f = in->luma_freq_separation;
  r.max_change_up_low = byteOf(f.low_band_max_change_up);
  r.max_change_down_low = byteOf(f.low_band_max_change_down);
  r.max_change_up_mid = byteOf(f.medium_band_max_change_up);
  r.max_change_down_mid = byteOf(f.medium_band_max_change_down);
  r.max_change_up_high = byteOf(f.high_band_max_change_up);
  r.max_change_down_high = byteOf(f.high_band_max_change_down);

  for (size_t k = 0; k < IMG_HIGH_ISO_ALPHA_TABLES; k++) {
    int64_t strength = std::min<int64_t>(int64_t{in->alpha[k].strength} * in->luma_control.global_strength / 32, 256);
    img_high_iso_build_alpha_table(&w.alphaLevel[k], static_cast<int>(strength), in->alpha[k].level);
  }

  colourTable(*in, w.colour[0].table);
  for (auto& c : w.colour) copyIn(c.reg, g.ccRegImage + kCcInputOffset[g.p.tableSelect ? 1 : 0], sizeof c.reg);
  img_dsp_build_3d_tone_table(w.colour[1].table, img_dsp_linear_tone_curve, kToneGrid);
  copyIn(w.colour[2].table, g.hisoTable + 128, sizeof w.colour[2].table);

  r.chroma_strength_bright_1 = byteOf(in->first_chroma_filter.strength_bright);
  r.chroma_strength_bright_2 = byteOf(in->second_chroma_filter.strength_bright);
  r.chroma_strength_dark_1 = byteOf(in->first_chroma_filter.strength_dark);
  r.chroma_strength_dark_2 = byteOf(in->second_chroma_filter.strength_dark);
  r.max_change_up_fine_detail = in->max_change_up_fine_detail;
  r.max_change_down_fine_detail = in->max_change_down_fine_detail;
  r.max_change_down_alpha = in->max_change_down_alpha;
  r.debug_mode = static_cast<uint8_t>((in->debug_major_step & 0x1f) | (in->debug_minor_step & 0x7) << 5);
  uint16_t* edge[5] = {&r.edge_thresh_normal, &r.edge_thresh_CB_first, &r.edge_thresh_CD_first,
                       &r.edge_thresh_level_based, &r.edge_thresh_low_freq};
  for (size_t k = 0; k < IMG_HIGH_ISO_PATH_COUNT; k++) {
    const img_high_iso_path& p = in->path[k];
    *edge[k] = std::min(p.edge_threshold, kNoEdgeLimit);
    img_high_iso_blend_control& b = r.blend[k];
    b.cmd_code = kBlendCmdCode;
    b.group_index = 0;
    b.enable = p.blend_enable != 0;
    b.edge_threshold_multiplier = p.edge_threshold_multiplier;
    b.iso_threshold_multiplier = p.iso_threshold_multiplier;
    b.edge_threshold0 = p.edge_threshold0, b.edge_threshold1 = p.edge_threshold1;
    b.dir_threshold0 = p.dir_threshold0, b.dir_threshold1 = p.dir_threshold1;
    b.iso_threshold0 = p.iso_threshold0, b.iso_threshold1 = p.iso_threshold1;
  }
  r.use_color_correction_tone_curve = in->use_color_correction_tone_curve != 0;
  std::copy(in->chroma_median_act_thresh, in->chroma_median_act_thresh + 8, r.chroma_median_act_thresh);
  if (out && out != &r) copyIn(out, &r, sizeof r);
}

void img_high_iso_plan_scaler(const uint32_t from[2], const uint32_t to[2], uint32_t down[2], uint32_t up[2]) {
  for (int k = 0; k < 2; k++) {
    down[k] = up[k] = 0;
    // Reductions beyond three search the candidates more coarsely.
    uint32_t step = uint64_t{from[k]} > uint64_t{3} * to[k] ? 1 : 0;
    img_dsp_choose_phase_inc(from[k], to[k], &down[k], &up[k], step);
  }
}

int img_high_iso_scale_strength(int strength, int weaker) {
  if (weaker == 0) return std::min((strength * 1161 + 512) / 1024, 256);
  return std::max((strength * 903 + 512) / 1024, 32);
}

extern "C" {

int img_high_iso_run(const img_high_iso_input* input, img_high_iso_params* out) {
  if (!hooksReady() || !input) return -1;
  if (!g.p.hisoLoaded) {
    say("Please input X5S highISO color correction 3D data before running highISO!!!\n");
    return -1;
  }
  if (input != &g.hiso.input) copyIn(&g.hiso.input, input, sizeof g.hiso.input);
  img_high_iso_compute(&g.hiso.input, out);
  return 0;
}

int img_high_iso_prepare_record(img_high_iso_params* record) {
  if (!hooksReady() || !record) return -1;
  Params& p = g.p;
  HighIsoWork& w = g.hiso.work;
  const img_high_iso_input& in = g.hiso.input;
  const uint8_t flag = p.highIsoSharpen;
  record->switches = static_cast<uint8_t>((flag ? IMG_HIGH_ISO_SWITCH_SHARPEN : 0) |
                                          (in.use_color_correction_tone_curve ? IMG_HIGH_ISO_SWITCH_TONE_CURVE : 0) |
                                          (in.use_colour_matrix ? IMG_HIGH_ISO_SWITCH_COLOUR_MATRIX : 0));
  setIdentityRgb2yuv(record->rgb2yuv);
  if (flag) {
    const SharpenMode& m0 = p.mode[0];
    copyIn(w.alpha, m0.lumaTable, sizeof w.alpha);
    copyIn(w.coring, m0.coringBlock, sizeof w.coring);
    copyIn(w.fir, m0.fir1, sizeof w.fir);
    int32_t gain = 1024 / flag;
    if (record->switches & IMG_HIGH_ISO_SWITCH_COLOUR_MATRIX)
      img_high_iso_multiply_rgb2yuv(record->rgb2yuv, gain);
    else
      record->rgb2yuv[0] = static_cast<int16_t>(gain);
  }
  int16_t* blo[4] = {&record->blo_ee, &record->blo_eo, &record->blo_oe, &record->blo_oo};
  for (int i = 0; i < 4; i++) *blo[i] = saturate16(p.blackLevel.offset[i]);
  record->edge_thresh_normal = p.mode[0].edge.edge_threshold;
  record->use_leakage_filter = p.switches.leakageFilter != 0;
  record->use_static_bad_pixel_correction = p.switches.staticBadPixel != 0;
  record->use_cfa_noise_filter = p.switches.cfaNoiseFilter != 0;
  record->use_chroma_scale = p.chromaScale.enable != 0;
  record->use_dynamic_bad_pixel_correction = p.badPixel.mode == 3;
  // The current chroma-median table and the bad-pixel tables of the stored strengths, from the set
  // the table-selection flag chose.
  copyIn(w.medianTable[0], p.chromaMedianTable, sizeof w.medianTable[0]);
  copyIn(w.badPixel[0], p.badPixelHot, sizeof w.badPixel[0]);
  copyIn(w.badPixel[1], p.badPixelDark, sizeof w.badPixel[1]);
  return 0;
}

int img_high_iso_compute_sizes(const img_high_iso_scaler* scaler, img_high_iso_params* record) {
  if (!scaler || !record) return -1;
  const uint32_t width = scaler->width, height = scaler->height;
  const int32_t reduction = std::max<int32_t>(scaler->reduction, 32);
  const uint32_t full[2] = {width, height};
  const uint32_t reduced[2] = {static_cast<uint32_t>(img_dsp_round_ratio8(static_cast<int32_t>(width), reduction,
                                                                          static_cast<int32_t>(width))),
                               static_cast<uint32_t>(img_dsp_round_ratio8(static_cast<int32_t>(height), reduction,
                                                                          static_cast<int32_t>(height)))};
  const uint32_t level[2] = {halve8(reduced[0]), halve8(reduced[1])};
  record->width = scaler->width;
  record->height = scaler->height;
  record->width_reduced = static_cast<uint16_t>(reduced[0]);
  record->height_reduced = static_cast<uint16_t>(reduced[1]);
  record->width_level_based = static_cast<uint16_t>(level[0]);
  record->height_level_based = static_cast<uint16_t>(level[1]);

  auto scaled = [](const uint32_t s[2], uint32_t by) { return std::array<uint32_t, 2>{s[0] / by, s[1] / by}; };
  const auto half = scaled(full, 2), quarter = scaled(full, 4), halfReduced = scaled(reduced, 2),
             halfLevel = scaled(level, 2), quarterLevel = scaled(level, 4);
  // Scalers in the order of the record's pairs; a "down" pair takes the phase, the "up" pair after it
  // the inverse of the same scaler.
  struct Scaler {
    const uint32_t* from;
    const uint32_t* to;
    bool withUp;
  } const scalers[] = {
      {full, reduced, true},                       // reduced_down, reduced_up
      {half.data(), halfReduced.data(), true},     // CB_first
      {half.data(), halfLevel.data(), true},       // CD_first
      {halfReduced.data(), halfLevel.data(), true},  // CB_second
      {halfLevel.data(), quarterLevel.data(), true},  // CD_second
      {full, quarter.data(), false},               // L4C_down
      {quarter.data(), halfLevel.data(), false},   // L4C_to_CD_second
      {reduced, level, false},                     // level_based_down
      {full, full, false},                         // 1x_down
      {full, half.data(), false},                  // 2x_down
      {full, quarter.data(), false},               // 4x_down
      {level, full, false},                        // mix1x_low
  };
  size_t pair = 0;
  for (const Scaler& s : scalers) {
    uint32_t down[2], up[2];
    img_high_iso_plan_scaler(s.from, s.to, down, up);
    std::copy(down, down + 2, record->phase_inc[pair++]);
    if (s.withUp) std::copy(up, up + 2, record->phase_inc[pair++]);
  }
  // The chroma filters work on the reduced picture: weaker there, stronger at full size.
  const img_high_iso_input& in = g.hiso.input;
  int weaker = reduction > 32 ? 1 : 0;
  auto chroma = [weaker](uint16_t s) { return byteOf(static_cast<uint32_t>(img_high_iso_scale_strength(s, weaker))); };
  record->chroma_strength_bright_1 = chroma(in.first_chroma_filter.strength_bright);
  record->chroma_strength_bright_2 = chroma(in.second_chroma_filter.strength_bright);
  record->chroma_strength_dark_1 = chroma(in.first_chroma_filter.strength_dark);
  record->chroma_strength_dark_2 = chroma(in.second_chroma_filter.strength_dark);
  return 0;
}

int img_high_iso_fill_config(const img_high_iso_params* record, img_high_iso_config* out) {
  if (!record || !out) return -1;
  out->count = IMG_HIGH_ISO_CONFIG_HEADER_WORDS;
  std::copy(kConfigHeader, kConfigHeader + IMG_HIGH_ISO_CONFIG_HEADER_WORDS, out->header);
  out->params = *record;
  return 0;
}

int img_high_iso_fill_words(img_high_iso_address_table* table, uintptr_t area_value, uintptr_t record_value) {
  if (!table) return -1;
  std::fill(table->area, table->area + IMG_HIGH_ISO_AREA_COUNT, area_value);
  table->record = record_value;
  return 0;
}

int img_high_iso_get_state(img_dsp_gain_q10_t* r, img_dsp_gain_q10_t* gr, img_dsp_gain_q10_t* b,
                           uint16_t* digital_gain) {
  if (!r || !gr || !b || !digital_gain) return -1;
  *r = g.p.rgbInfo.r;
  *gr = g.p.rgbInfo.g;
  *b = g.p.rgbInfo.b;
  *digital_gain = static_cast<uint16_t>(std::min<uint32_t>(g.p.digitalGain, UINT16_MAX));
  return 0;
}

}  // extern "C"
