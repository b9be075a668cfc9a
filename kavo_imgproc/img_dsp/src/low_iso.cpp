// Low-ISO mode (image mode 2): the record and its areas, their set-up, the start operations, the colour
// recombination (3x3 inversion and 3D-table merge) with the preparation, and the chroma scaler.
#include <algorithm>

#include "design.h"
#include "iso.h"
#include "state.h"
#include "tables.h"

using namespace imgdsp;

namespace {

constexpr uint32_t kDebugBytes = 40960;
constexpr uint32_t kDspUncached = 0xc0000000u;  // bits 30 and 31 of a DSP address
constexpr int32_t kInverseLimit = 5000;

// Low-ISO level-control record: the library's level defaults with `value` as low_val, high_val and
// base_val.
void lowIsoLevel(img_dsp_level_control_record& l, uint32_t select, uint8_t value) {
  l = {};
  l.cmd_code = kLevelCmdCode;
  l.select = select;
  l.low = 10, l.low_0 = 12, l.low_delta = 1, l.low_val = value;
  l.high = 20, l.high_0 = 22, l.high_delta = 1, l.high_val = value, l.base_val = value;
  l.area = 6;
  l.clip_low = l.clip_low2 = kClipLow;
  l.clip_high = l.clip_high2 = kClipHigh;
}

// x / 64 rounded half away from zero.
int64_t divide64(int64_t x) { return x >= 0 ? (x + 32) >> 6 : -((32 - x) >> 6); }

// A 10-bit value through one of the three curves, with the fraction v mod 4 between entries.
int32_t throughCurve(const uint16_t* curve, int32_t v) {
  int32_t i = v / 4;
  if (i > 254) return curve[255];
  return curve[i] + (((curve[i + 1] - curve[i]) * (v % 4) + 2) >> 2);
}

int64_t row(const int16_t* m, int r, const int64_t v[3]) { return m[3 * r] * v[0] + m[3 * r + 1] * v[1] + m[3 * r + 2] * v[2]; }

// The start operations: `what` through `out` once the set-up has run.
template <class T>
int handOut(T** out, T* what) {
  if (!g.lowIsoInitialised) {
    say("Error: Start low ISO before init IMGDSP library!\n");
    return -1;
  }
  if (!out) return -1;
  *out = what;
  return 0;
}

uint16_t limit16(uint32_t v) { return static_cast<uint16_t>(std::min<uint32_t>(v, UINT16_MAX)); }

// Mode 0's sharpening values that the DSP takes over while high-ISO sharpening holds: its alpha pair,
// edge threshold, the pass-through shift, coring and alpha, the clamp record's four clips and the
// misc record's kind and flag.
void sharpenValues(int16_t out[12]) {
  const SharpenMode& m = g.p.mode[0];
  const img_dsp_level_control_record& clamp = m.level[kLevelClamp];
  const int16_t v[12] = {m.luma.alpha[0],         m.luma.alpha[1],          static_cast<int16_t>(m.edge.edge_threshold),
                         g.p.passthroughShift,    g.p.passthroughCoring,    g.p.passthroughAlpha,
                         clamp.clip_low,          clamp.clip_low2,          clamp.clip_high,
                         clamp.clip_high2,        m.misc.sharpen_kind,      m.misc.bypass};
  std::copy(v, v + 12, out);
}

}  // namespace

void img_dsp_low_iso_init(void) {
  Params& p = g.p;
  img_dsp_low_iso_record& r = p.lowIso;
  LowIsoAreas& a = p.lowIsoAreas;
  SharpenMode& m = p.mode[IMG_DSP_MODE_LOW_ISO];
  clear(&r, sizeof r);
  r.cc_reg_A = addressOf(a.ccReg);
  r.cc_3d_A = addressOf(a.cc3d);
  r.cc_reg_C = addressOf(g.ccInputTable);
  r.cc_3d_C = addressOf(g.cc3d);
  r.chroma_median_table_A = addressOf(a.chromaMedian);
  r.chroma_median_table_C = addressOf(p.chromaMedianTable2);
  r.coring_A = addressOf(m.coringBlock);
  r.fir1_A = addressOf(m.fir1);
  r.fir1_C = addressOf(m.fir2);
  r.alpha_A = addressOf(m.lumaTable);
  r.mctf_C = addressOf(&p.mctfConfig);
  r.zero = addressOf(a.zero);
  r.spare_A = addressOf(a.spare);
  r.alpha_C = addressOf(p.lowIsoAlpha2);

  for (int e = 0; e < 128; e++) m.lumaTable[4 * e] = 32;
  copyIn(p.lowIsoAlpha2, m.lumaTable, sizeof p.lowIsoAlpha2);
  g.mem.fill(a.chromaMedian, 255, sizeof a.chromaMedian);
  clear(a.zero, sizeof a.zero);
  clear(a.spare, sizeof a.spare);
  clear(p.lowIsoAlpha2, sizeof p.lowIsoAlpha2);

  r.max_up = r.max_down = 255;
  lowIsoLevel(r.level_0, 8, 0);
  lowIsoLevel(r.level_1, 10, 16);
  r.low_iso_data_addr = addressOf(&r);
  p.lowIsoColour = true;
  p.lowIsoAlpha = 32;
  g.lowIsoInitialised = true;
}

int img_dsp_invert_matrix3(const int16_t m[9], int32_t r[9]) {
  const int64_t a = m[0], b = m[1], c = m[2], d = m[3], e = m[4], f = m[5], g = m[6], h = m[7], i = m[8];
  // The adjugate, row-major: r[k] scales element k of it.
  const int64_t adj[9] = {e * i - f * h, h * c - i * b, f * b - e * c,  //
                          f * g - d * i, a * i - c * g, c * d - a * f,  //
                          d * h - e * g, b * g - a * h, a * e - b * d};
  const int64_t det = a * adj[0] + d * adj[1] + g * adj[2];
  if (det < (int64_t{1} << 20)) return 1;
  bool wide = false;
  for (int k = 0; k < 9; k++) {
    int64_t n = adj[k] * (int64_t{1} << 20);
    int64_t q = n >= 1 ? (n + det / 2) / det : (n - det / 2) / det;
    wide = wide || q > kInverseLimit || q < -kInverseLimit;
    r[k] = static_cast<int32_t>(std::clamp<int64_t>(q, INT32_MIN, INT32_MAX));
  }
  return wide ? 2 : 0;
}

int img_dsp_low_iso_merge_cc(const uint32_t luma[4096], const uint32_t chroma[4096], uint32_t out[4096],
                             const int16_t matrix[9], const uint16_t* curves) {
  int32_t inverse[9];
  int result = img_dsp_invert_matrix3(matrix, inverse);
  if (result != 0) return result;
  for (int n = 0; n < 4096; n++) {
    int64_t l[3], k[3];
    for (int ch = 0; ch < 3; ch++) {
      int32_t lv = static_cast<int32_t>(luma[n] >> (10 * ch) & 1023);
      int32_t kv = static_cast<int32_t>(chroma[n] >> (10 * ch) & 1023);
      l[ch] = curves ? throughCurve(curves + 256 * ch, lv) : lv;
      k[ch] = curves ? throughCurve(curves + 256 * ch, kv) : kv;
    }
    const int64_t p[3] = {divide64(row(matrix, 0, l)), divide64(row(matrix, 1, k)), divide64(row(matrix, 2, k))};
    uint32_t word = out[n] & 0xc0000000u;
    for (int j = 0; j < 3; j++) {
      int64_t v = (inverse[3 * j] * p[0] + inverse[3 * j + 1] * p[1] + inverse[3 * j + 2] * p[2] + 8192) >> 14;
      word |= static_cast<uint32_t>(std::clamp<int64_t>(v, 0, 1023)) << (10 * j);
    }
    out[n] = word;
  }
  return 0;
}

void img_dsp_low_iso_fill_addresses(img_dsp_low_iso_address_table* table, uintptr_t buffer, uintptr_t cc_reg_c,
                                    uintptr_t cc_3d_c, uint32_t word) {
  const uintptr_t area[14] = {buffer + IMG_DSP_LOW_ISO_AT_CC_REG_A,
                              buffer + IMG_DSP_LOW_ISO_AT_CC_3D_A,
                              cc_reg_c,
                              cc_3d_c,
                              buffer + IMG_DSP_LOW_ISO_AT_CHROMA_MEDIAN_A,
                              buffer + IMG_DSP_LOW_ISO_AT_CHROMA_MEDIAN_C,
                              buffer + IMG_DSP_LOW_ISO_AT_CORING_A,
                              buffer + IMG_DSP_LOW_ISO_AT_FIR1_A,
                              buffer + IMG_DSP_LOW_ISO_AT_FIR1_C,
                              buffer + IMG_DSP_LOW_ISO_AT_ALPHA_A,
                              buffer + IMG_DSP_LOW_ISO_AT_MCTF_C,
                              buffer + IMG_DSP_LOW_ISO_AT_ZERO,
                              buffer + IMG_DSP_LOW_ISO_AT_SPARE_A,
                              buffer + IMG_DSP_LOW_ISO_AT_ALPHA_C};
  std::copy(area, area + 14, table->area);
  table->word = word;
}

extern "C" {

int img_dsp_low_iso_start(img_dsp_low_iso_record** out) { return handOut(out, &g.p.lowIso); }

int img_dsp_low_iso_start_cc(uint8_t** out) { return handOut(out, g.p.lowIsoAreas.ccReg); }

int img_dsp_low_iso_prepare(img_dsp_low_iso_address_table* table, uintptr_t buffer, uintptr_t cc_reg_c,
                            uintptr_t cc_3d_c, uint32_t word) {
  if (!hooksReady() || !table) return -1;
  Params& p = g.p;
  img_dsp_low_iso_record& r = p.lowIso;
  LowIsoAreas& a = p.lowIsoAreas;
  r.high_iso_sharpen = p.highIsoSharpen;
  int16_t* blo[4] = {&r.blo_ee, &r.blo_eo, &r.blo_oe, &r.blo_oo};
  for (int i = 0; i < 4; i++) *blo[i] = saturate16(p.blackLevel.offset[i]);
  r.use_CFA_noise_filter = p.switches.cfaNoiseFilter;
  r.use_leakage_filter = p.switches.leakageFilter;
  r.use_static_bad_pixel_correction = p.switches.staticBadPixel != 0;
  r.use_dynamic_bad_pixel_correction = p.badPixel.mode == 3;
  if (p.highIsoSharpen) sharpenValues(r.sharpen_values);

  const int set = p.tableSelect ? 1 : 0;
  const uint8_t output = p.ccSourceFlag ? 0 : 1;
  bool merged = false;
  if (p.lowIsoColour) {
    img_dsp_build_3d_tone_table(a.cc3d, img_dsp_linear_tone_curve, kToneGrid);
    // The output curves take part once a tone curve is loaded (all zero they would blacken the table).
    const uint16_t* curves = !p.ccSourceFlag && p.toneLoaded ? &p.tone.channel[0][0] : nullptr;
    merged = img_dsp_low_iso_merge_cc(a.cc3d, reinterpret_cast<const uint32_t*>(g.cc3d), a.cc3d, p.colourMatrix,
                                      curves) == 0;
  }
  if (merged) {
    copyIn(a.ccReg, g.ccRegImage + kCcMergedOffset[set], sizeof a.ccReg);
    r.use_CC_output_table_C = output;
    r.use_CC_output_table_A = 0;
  } else {
    copyIn(a.ccReg, g.ccRegImage + kCcInputOffset[set], sizeof a.ccReg);
    copyIn(a.cc3d, g.cc3d, sizeof a.cc3d);
    r.use_CC_output_table_A = r.use_CC_output_table_C = output;
  }
  img_dsp_low_iso_fill_addresses(table, buffer, cc_reg_c, cc_3d_c, word);
  return 0;
}

int img_dsp_low_iso_set_chroma_scale(uint32_t width, uint32_t height, uint32_t divisor) {
  if (!hooksReady()) return -1;
  img_dsp_low_iso_record& r = g.p.lowIso;
  // Sizes of a 16-bit record; the divisor is a 1/32 ratio.
  int32_t w = std::min<uint32_t>(width, UINT16_MAX), h = std::min<uint32_t>(height, UINT16_MAX);
  int32_t q = static_cast<int32_t>(std::min<uint32_t>(divisor, INT32_MAX));
  int32_t sw = img_dsp_round_ratio8(w, q, (2 * w + 2) / 3);
  int32_t sh = img_dsp_round_ratio8(h, q, h);
  r.smooth_chroma_width = static_cast<uint16_t>(sw / 2);
  r.smooth_chroma_height = static_cast<uint16_t>(sh / 2);
  // The chooser leaves its outputs alone for a zero size: the fields keep their values.
  uint32_t phase[2] = {r.main_phase_inc_chroma_x_A, r.main_phase_inc_chroma_y_A};
  uint32_t inverse[2] = {r.prevB_phase_inc_chroma_x_A, r.prevB_phase_inc_chroma_y_A};
  img_dsp_choose_phase_inc(static_cast<uint32_t>(w / 2), static_cast<uint32_t>(sw / 2), &phase[0], &inverse[0], 0);
  img_dsp_choose_phase_inc(static_cast<uint32_t>(h / 2), static_cast<uint32_t>(sh / 2), &phase[1], &inverse[1], 0);
  r.main_phase_inc_chroma_x_A = limit16(phase[0]);
  r.main_phase_inc_chroma_y_A = limit16(phase[1]);
  r.prevB_phase_inc_chroma_x_A = limit16(inverse[0]);
  r.prevB_phase_inc_chroma_y_A = limit16(inverse[1]);
  return 0;
}

int img_dsp_low_iso_debug_info(const img_dsp_low_iso_record* record, img_dsp_low_iso_debug_desc* out) {
  if (!record || !out) return -1;
  *out = {};
  out->area_count = IMG_DSP_LOW_ISO_AREA_COUNT;
  const uintptr_t area[IMG_DSP_LOW_ISO_AREA_COUNT] = {
      record->cc_reg_A, record->cc_3d_A, record->cc_reg_C, record->cc_3d_C, record->chroma_median_table_A,
      record->chroma_median_table_C, record->coring_A, record->fir1_A, record->fir1_C, record->alpha_A,
      record->mctf_C, record->zero};
  std::copy(area, area + IMG_DSP_LOW_ISO_AREA_COUNT, out->area);
  std::copy(IMG_DSP_LOW_ISO_AREA_BYTES, IMG_DSP_LOW_ISO_AREA_BYTES + IMG_DSP_LOW_ISO_AREA_COUNT, out->area_bytes);
  if (record->debug_addr[0] == 0) {
    say("Ucode debug data not exist");
    return -1;
  }
  // The microcode's configuration dump (which starts 64 bytes before the address it reports), then
  // its luma and chroma frames.
  out->debug_count = IMG_DSP_LOW_ISO_DEBUG_SLOTS;
  const uint32_t kind[3] = {3, 2, 2};
  for (int i = 0; i < 3; i++) {
    out->debug_kind[i] = kind[i];
    out->debug_bytes[i] = kDebugBytes;
    out->debug_address[i] = (i == 0 ? record->debug_addr[0] - 64 : record->debug_addr[i]) | kDspUncached;
  }
  for (int i = 0; i < 2; i++) out->frame_bytes[i] = record->debug_pitch[i] * record->debug_height[i];
  return 0;
}

void img_dsp_low_iso_set_debug_mode(uint8_t mode) { g.p.lowIso.debug_mode = mode; }

int img_dsp_low_iso_dump_bins(int, uint32_t, uint32_t) {
  if (!hooksReady()) return -1;
  return g.print("error: IAV_IOC_IMG_DUMP_LOW_ISO_BINS\n");
}

}  // extern "C"
