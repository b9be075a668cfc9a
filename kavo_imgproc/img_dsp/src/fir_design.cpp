// Sharpening FIR design into a mode's FIR1/FIR2 blocks, the identity FIR, the level-control defaults
// and the pass-through set-up. Writes library state only; the setters send it.
#include <algorithm>
#include <cstring>

#include "design.h"
#include "state.h"

using namespace imgdsp;

namespace {

// The kernel of case B of the design: the coefficient list (strength -1) or the isotropic high-pass
// table kernel of the strength.
void baseKernel(const img_dsp_fir_info* fir, int* shift, img_dsp_half_kernel_q8 half) {
  if (fir->fir_strength < 0) {
    img_dsp_expand_coeffs(fir->coeff, shift, half);
    img_dsp_quantize_kernel(shift, half, 0);
  } else {
    img_dsp_make_kernel(fir->fir_strength, 1, IMG_DSP_KIND_HIGH_PASS, 0, shift, half);
  }
}

// Nine directions of `kind` filtered by the smoothing kernel of each direction (direction 0 at the
// isotropic strength, 1 to 8 at the directional one).
void designDirections(uint8_t* block, const img_dsp_fir_info* fir, const img_dsp_spatial_filter_info* filter, int kind,
                      int complement) {
  img_dsp_half_kernel_q8 list, out;
  int shift = 4;
  if (fir->fir_strength < 0) img_dsp_expand_coeffs_complement(fir->coeff, list, complement);
  for (int d = 0; d <= 8; d++) {
    int strength = d == 0 ? filter->isotropic_strength : filter->directional_strength;
    if (fir->fir_strength < 0)
      img_dsp_convolve_with_lowpass(list, strength, 1, kind, d, &shift, out);
    else
      img_dsp_make_filtered_kernel(fir->fir_strength, strength, 1, kind, 0, d, &shift, out);
    img_dsp_write_fir_dir(block, d, shift, out);
  }
}

}  // namespace

void img_dsp_design_sharpen_fir(int mode, const img_dsp_fir_info* fir, const img_dsp_spatial_filter_info* filter) {
  if (mode < 0 || mode > IMG_DSP_MODE_LOW_ISO) return;
  SharpenMode& s = g.p.mode[mode];
  bool lowIso = mode == IMG_DSP_MODE_LOW_ISO;
  bool filterOn = filter->isotropic_strength != 0 || filter->directional_strength != 0;
  img_dsp_half_kernel_q8 base;
  int shift = 4;
  if (!g.p.sharpen7x7 && filterOn) {
    img_dsp_design_directional_fir(mode, fir, filter, IMG_DSP_KIND_HIGH_PASS);
    if (!lowIso) {
      img_dsp_design_directional_lowpass_fir(mode, fir, filter);
      s.firConfig.fir2_enable = 1;
    } else {
      baseKernel(fir, &shift, base);
      writeAllDirections(s.fir2, shift, base);
    }
    return;
  }
  baseKernel(fir, &shift, base);
  writeAllDirections(s.fir1, shift, base);
  if (lowIso) {
    writeAllDirections(s.fir2, shift, base);
  } else if (g.p.sharpen7x7) {
    s.firConfig.fir2_enable = 1;
    img_dsp_half_kernel_q8 k;
    for (int d = 0; d <= 8; d++) {
      img_dsp_make_kernel(d == 0 ? filter->isotropic_strength : filter->directional_strength, 1,
                          IMG_DSP_KIND_NEG_HIGH_PASS, d, &shift, k);
      img_dsp_write_fir_dir(s.fir2, d, shift, k);
    }
  } else {
    s.firConfig.fir2_enable = 0;
  }
}

void img_dsp_design_directional_fir(int mode, const img_dsp_fir_info* fir, const img_dsp_spatial_filter_info* filter,
                                    int kind) {
  if (mode < 0 || mode > IMG_DSP_MODE_LOW_ISO) return;
  int complement = kind == IMG_DSP_KIND_SMOOTH || kind == IMG_DSP_KIND_HIGH_PASS ? 1 - kind : 0;
  designDirections(g.p.mode[mode].fir1, fir, filter, kind, complement);
}

void img_dsp_design_directional_lowpass_fir(int mode, const img_dsp_fir_info* fir,
                                            const img_dsp_spatial_filter_info* filter) {
  if (mode < 0 || mode > IMG_DSP_MODE_LOW_ISO) return;
  designDirections(g.p.mode[mode].fir2, fir, filter, IMG_DSP_KIND_SMOOTH, 1);
}

void img_dsp_set_identity_fir(int mode) {
  if (mode < 0 || mode > IMG_DSP_MODE_LOW_ISO) return;
  SharpenMode& s = g.p.mode[mode];
  s.firConfig.config = 3;
  s.firConfig.fir2_enable = 0;
  img_dsp_half_kernel_q8 identity = {};
  identity[24] = 255;
  if (mode == IMG_DSP_MODE_LOW_ISO) {
    writeAllDirections(s.fir2, g.p.passthroughShift, identity);
    std::memcpy(s.fir1, s.fir2, sizeof s.fir1);
  } else {
    writeAllDirections(s.fir1, g.p.passthroughShift, identity);
  }
}

void img_dsp_reset_level_min(int mode) {
  if (mode < 0 || mode >= IMG_DSP_MODE_COUNT) return;
  img_dsp_level_control_record& l = levelRecord(mode, kLevelMin);
  l.low = 10, l.low_0 = 12, l.low_delta = 1, l.low_val = 0;
  l.high = 20, l.high_0 = 22, l.high_delta = 1, l.high_val = 0, l.base_val = 0;
  if (mode != IMG_DSP_MODE_LOW_ISO) l.area = 6;
}

void img_dsp_reset_level_overall(int mode) {
  if (mode < 0 || mode >= IMG_DSP_MODE_COUNT) return;
  img_dsp_level_control_record& l = levelRecord(mode, kLevelOverall);
  l.low = 10, l.low_0 = 12, l.low_delta = 1, l.low_val = 16;
  l.high = 20, l.high_0 = 22, l.high_delta = 1, l.high_val = 16, l.base_val = 16;
}

void img_dsp_clear_second_fir(int mode) {
  if (mode >= 0 && mode <= IMG_DSP_MODE_LOW_ISO) g.p.mode[mode].firConfig.fir2_enable = 0;
}

void img_dsp_set_passthrough_sharpen(uint32_t gain) {
  if (gain == 0) return;
  SharpenMode& m0 = g.p.mode[0];
  m0.luma.alpha[0] = m0.luma.alpha[1] = 255;
  for (int i : {kLevelMin, kLevelOverall}) {
    img_dsp_level_control_record& l = m0.level[i];
    l.low = 10, l.low_0 = 12, l.low_delta = 1, l.high = 20, l.high_0 = 22, l.high_delta = 1, l.area = 6;
    l.clip_low = l.clip_low2 = kClipLow;
    l.clip_high = l.clip_high2 = kClipHigh;
  }
  m0.firConfig.config = 3;
  m0.firConfig.fir2_enable = 0;

  uint64_t x = uint64_t{256} * gain;
  int shift = x < 512 ? 4 : x < 1024 ? 3 : x < 2048 ? 2 : x / 8 <= 511 ? 1 : 0;
  uint64_t y = x >> (4 - shift);
  img_dsp_half_kernel_q8 identity = {};
  identity[24] = 255;
  writeAllDirections(m0.fir1, shift, identity);
  g.p.passthroughShift = static_cast<uint8_t>(shift);

  uint8_t c = static_cast<uint8_t>(std::min<uint64_t>(y / 32, 31));  // y >= 256, so c >= 8
  uint8_t coring[256];
  std::memset(coring, c, sizeof coring);
  img_dsp_pack_coring_table(coring, m0.coringBlock);
  uint8_t alpha = static_cast<uint8_t>(std::min<uint64_t>((8 * y / c) / 8, 255));
  for (int e = 0; e < 128; e++) m0.lumaTable[4 * e] = alpha;
  std::memcpy(g.p.mode[1].lumaTable, m0.lumaTable, IMG_DSP_LUMA_TABLE_BYTES);
  std::memcpy(g.p.mode[2].lumaTable, m0.lumaTable, IMG_DSP_LUMA_TABLE_BYTES);
  std::memcpy(g.p.lowIsoAlpha2, m0.lumaTable, IMG_DSP_LUMA_TABLE_BYTES);
  g.p.passthroughCoring = c;
  g.p.passthroughAlpha = alpha;
}

void img_dsp_rebuild_luma_sharpen_tables(void) {
  for (int m = 0; m < 2; m++) {
    SharpenMode& s = g.p.mode[m];
    img_dsp_build_luma_sharpen_table(s.lumaTable, s.lumaBaseA, s.lumaBaseB, s.lumaColumnLevel, s.lumaPositionLevel);
  }
  uint8_t* t = g.p.mode[2].lumaTable;
  for (int e = 0; e < 128; e++) t[4 * e] = static_cast<uint8_t>(g.p.lowIsoAlpha);
  std::memcpy(g.p.lowIsoAlpha2, t, IMG_DSP_LUMA_TABLE_BYTES);
}
