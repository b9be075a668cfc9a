// Diagnostic dumps of the low-ISO record and of the high-ISO input and parameter record, one line per
// field through the print hook. Addresses print at the host's width (32 bits on the camera).
#include <cinttypes>

#include "state.h"

using namespace imgdsp;

namespace {

struct Line {
  const char* name;
  long long value;
};

template <size_t N>
void print(const char* format, const Line (&lines)[N]) {
  for (const Line& l : lines) say(format, l.name, l.value);
}

void printLevel(const char* prefix, const img_dsp_level_control_record& l, const char* codeFormat) {
  say(codeFormat, prefix, l.cmd_code);
  const Line lines[] = {{"group_index", l.group_index},
                        {"select", l.select},
                        {"low", l.low},
                        {"low_0", l.low_0},
                        {"low_delta", l.low_delta},
                        {"low_val", l.low_val},
                        {"high", l.high},
                        {"high_0", l.high_0},
                        {"high_delta", l.high_delta},
                        {"high_val", l.high_val},
                        {"base_val", l.base_val},
                        {"area", l.area},
                        {"level_control_clip_low", l.clip_low},
                        {"level_control_clip_low2", l.clip_low2},
                        {"level_control_clip_high", l.clip_high},
                        {"level_control_clip_high2", l.clip_high2}};
  for (const Line& x : lines) say("%s%s: %lld\n", prefix, x.name, x.value);
}

constexpr char kAddressFormat[] = "%s: 0x%" PRIxPTR "\n";
constexpr char kSectionEnd[] = "-------------------------------------\n\n";
const char* const kPathName[IMG_HIGH_ISO_PATH_COUNT] = {"Normal", "CB_first", "CD_first", "Level_based", "Low_freq"};
const char* const kLevelName[IMG_HIGH_ISO_LEVEL_COUNT] = {"Normal",       "CB_first",
                                                          "CD_first",     "Level_based",
                                                          "Low_freq",     "Index_mul_high_noise",
                                                          "Multiplier_mul_high_noise", "Multiplier_mul_fine_detail"};
const char* const kPhaseName[IMG_HIGH_ISO_PHASE_PAIRS] = {
    "reduced_down",  "reduced_up",     "CB_first_down",    "CB_first_up",      "CD_first_down", "CD_first_up",
    "CB_second_down", "CB_second_up",  "CD_second_down",   "CD_second_up",     "L4C_down",      "L4C_to_CD_second",
    "level_based_down", "1x_down",     "2x_down",          "4x_down",          "mix1x_low"};

}  // namespace

extern "C" {

int img_dsp_dump_low_iso(const img_dsp_low_iso_record* r) {
  if (!hooksReady() || !r) return -1;
  const Line head[] = {{"width", r->width},
                       {"height", r->height},
                       {"bayer_patten", r->bayer_patten},
                       {"debug_mode", r->debug_mode},
                       {"max_up", r->max_up},
                       {"max_down", r->max_down},
                       {"use_CC_output_table_A", r->use_CC_output_table_A},
                       {"use_CC_output_table_C", r->use_CC_output_table_C},
                       {"edge_thresh_A", r->edge_thresh_A},
                       {"smooth_chroma_width", r->smooth_chroma_width},
                       {"smooth_chroma_height", r->smooth_chroma_height},
                       {"main_phase_inc_chroma_x_A", r->main_phase_inc_chroma_x_A},
                       {"main_phase_inc_chroma_y_A", r->main_phase_inc_chroma_y_A},
                       {"prevB_phase_inc_chroma_x_A", r->prevB_phase_inc_chroma_x_A},
                       {"prevB_phase_inc_chroma_y_A", r->prevB_phase_inc_chroma_y_A}};
  print("%s: %lld\n", head);
  const struct {
    const char* name;
    uintptr_t address;
  } areas[] = {{"cc_reg_A", r->cc_reg_A},
               {"cc_3d_A", r->cc_3d_A},
               {"cc_reg_C", r->cc_reg_C},
               {"cc_3d_C", r->cc_3d_C},
               {"chroma_median_table_A", r->chroma_median_table_A},
               {"chroma_median_table_C", r->chroma_median_table_C},
               {"coring_A", r->coring_A},
               {"fir1_A", r->fir1_A},
               {"fir1_C", r->fir1_C},
               {"alpha_A", r->alpha_A},
               {"mctf_C", r->mctf_C},
               {"zero", r->zero}};
  for (const auto& a : areas) say(kAddressFormat, a.name, a.address);
  printLevel("level_0->", r->level_0, "%scmd_code: 0x%x\n");
  printLevel("level_1->", r->level_1, "%scmd_code: 0x%x\n");
  const Line tail[] = {{"blo_ee", r->blo_ee},
                       {"blo_eo", r->blo_eo},
                       {"blo_oe", r->blo_oe},
                       {"blo_oo", r->blo_oo},
                       {"use_CFA_noise_filter", r->use_CFA_noise_filter},
                       {"use_leakage_filter", r->use_leakage_filter},
                       {"use_static_bad_pixel_correction", r->use_static_bad_pixel_correction},
                       {"use_dynamic_bad_pixel_correction", r->use_dynamic_bad_pixel_correction}};
  print("%s: %lld\n", tail);
  say(kAddressFormat, "low_iso_data_addr", r->low_iso_data_addr);
  const struct {
    const char* name;
    const uint32_t* values;
  } debug[] = {{"idsp_cfg_addr", r->idsp_cfg_addr},
               {"debug_addr", r->debug_addr},
               {"debug_pitch", r->debug_pitch},
               {"debug_width", r->debug_width},
               {"debug_height", r->debug_height}};
  for (const auto& d : debug)
    for (size_t i = 0; i < IMG_DSP_LOW_ISO_DEBUG_SLOTS; i++) say("%s[%d]: 0x%x\n", d.name, static_cast<int>(i), d.values[i]);
  return 0;
}

int img_high_iso_dump_input(const img_high_iso_input* in) {
  if (!hooksReady() || !in) return -1;
  const auto& cc = in->high_iso_color_correction;
  const auto& f = in->luma_freq_separation;
  const auto& level = in->chroma_level_based_noise_reduction;
  const auto& c1 = in->first_chroma_filter;
  const auto& c2 = in->second_chroma_filter;
  const Line lines[] = {
      {"high_iso_color_correction.reduce_cc_sat0_cb", cc.reduce_cc_sat0_cb},
      {"high_iso_color_correction.reduce_cc_sat0_cr", cc.reduce_cc_sat0_cr},
      {"high_iso_color_correction.reduce_cc_sat1_cb", cc.reduce_cc_sat1_cb},
      {"high_iso_color_correction.reduce_cc_sat1_cr", cc.reduce_cc_sat1_cr},
      {"high_iso_color_correction.reduce_cc_strength_cb", cc.reduce_cc_strength_cb},
      {"high_iso_color_correction.reduce_cc_strength_cr", cc.reduce_cc_strength_cr},
      {"luma_control.global_strength", in->luma_control.global_strength},
      {"luma_detail_preservation.strength", in->luma_detail_preservation.strength},
      {"luma_freq_separation.high_band_max_change_down", f.high_band_max_change_down},
      {"luma_freq_separation.high_band_max_change_up", f.high_band_max_change_up},
      {"luma_freq_separation.high_band_noise_reduce", f.high_band_noise_reduce},
      {"luma_freq_separation.high_band_sharpen_strength_down", f.high_band_sharpen_strength_down},
      {"luma_freq_separation.high_band_sharpen_strength_up", f.high_band_sharpen_strength_up},
      {"luma_freq_separation.low_band_max_change_down", f.low_band_max_change_down},
      {"luma_freq_separation.low_band_max_change_up", f.low_band_max_change_up},
      {"luma_freq_separation.low_band_noise_reduce", f.low_band_noise_reduce},
      {"luma_freq_separation.low_band_sharpen_strength_down", f.low_band_sharpen_strength_down},
      {"luma_freq_separation.low_band_sharpen_strength_up", f.low_band_sharpen_strength_up},
      {"luma_freq_separation.medium_band_max_change_down", f.medium_band_max_change_down},
      {"luma_freq_separation.medium_band_max_change_up", f.medium_band_max_change_up},
      {"luma_freq_separation.medium_band_noise_reduce", f.medium_band_noise_reduce},
      {"luma_freq_separation.medium_band_sharpen_strength_down", f.medium_band_sharpen_strength_down},
      {"luma_freq_separation.medium_band_sharpen_strength_up", f.medium_band_sharpen_strength_up},
      {"luma_level_based_noise_reduction.strength", in->luma_level_based_noise_reduction.strength},
      {"luma_very_low_freq_filter.adaptation", in->luma_very_low_freq_filter.adaptation},
      {"luma_very_low_freq_filter.strength", in->luma_very_low_freq_filter.strength},
      {"chroma_level_based_noise_reduction.cb_end", level.cb_end},
      {"chroma_level_based_noise_reduction.cb_start", level.cb_start},
      {"chroma_level_based_noise_reduction.cr_end", level.cr_end},
      {"chroma_level_based_noise_reduction.cr_start", level.cr_start},
      {"first_chroma_filter.adaptation_bright", c1.adaptation_bright},
      {"first_chroma_filter.adaptation_dark", c1.adaptation_dark},
      {"first_chroma_filter.max_change_bright", c1.max_change_bright},
      {"first_chroma_filter.max_change_dark", c1.max_change_dark},
      {"first_chroma_filter.strength_bright", c1.strength_bright},
      {"first_chroma_filter.strength_dark", c1.strength_dark},
      {"second_chroma_filter.adaptation_bright", c2.adaptation_bright},
      {"second_chroma_filter.adaptation_dark", c2.adaptation_dark},
      {"second_chroma_filter.edge_adapt_cb_bright", c2.edge_adapt_cb_bright},
      {"second_chroma_filter.edge_adapt_cb_dark", c2.edge_adapt_cb_dark},
      {"second_chroma_filter.edge_adapt_cr_bright", c2.edge_adapt_cr_bright},
      {"second_chroma_filter.edge_adapt_cr_dark", c2.edge_adapt_cr_dark},
      {"second_chroma_filter.max_change_bright", c2.max_change_bright},
      {"second_chroma_filter.max_change_dark", c2.max_change_dark},
      {"second_chroma_filter.strength_bright", c2.strength_bright},
      {"second_chroma_filter.strength_dark", c2.strength_dark},
  };
  say("-----   Dumping HighISO Input Params Start  ------\n");
  print("%s %lld\n", lines);
  say("-----   Dumping HighISO Input Params End  ------\n");
  return 0;
}

int img_high_iso_dump(const img_high_iso_params* r) {
  if (!hooksReady() || !r) return -1;
  say("-----   Dumping HighISO Params Start  ------\n");
  const Line head[] = {{"width", r->width},
                       {"height", r->height},
                       {"width_reduced", r->width_reduced},
                       {"height_reduced", r->height_reduced},
                       {"width_level_based", r->width_level_based},
                       {"height_level_based", r->height_level_based},
                       {"chroma_strength_bright_1", r->chroma_strength_bright_1},
                       {"chroma_strength_bright_2", r->chroma_strength_bright_2},
                       {"chroma_strength_dark_1", r->chroma_strength_dark_1},
                       {"chroma_strength_dark_2", r->chroma_strength_dark_2},
                       {"max_change_up_low", r->max_change_up_low},
                       {"max_change_down_low", r->max_change_down_low},
                       {"max_change_up_mid", r->max_change_up_mid},
                       {"max_change_down_mid", r->max_change_down_mid},
                       {"max_change_up_high", r->max_change_up_high},
                       {"max_change_down_high", r->max_change_down_high},
                       {"max_change_up_fine_detail", r->max_change_up_fine_detail},
                       {"max_change_down_fine_detail", r->max_change_down_fine_detail},
                       {"max_change_down_alpha", r->max_change_down_alpha},
                       {"debug_mode_major_step_id", r->debug_mode & 0x1f},
                       {"debug_mode_minor_step_id", r->debug_mode >> 5},
                       {"edge_thresh_normal", r->edge_thresh_normal},
                       {"edge_thresh_CB_first", r->edge_thresh_CB_first},
                       {"edge_thresh_CD_first", r->edge_thresh_CD_first},
                       {"edge_thresh_level_based", r->edge_thresh_level_based},
                       {"edge_thresh_low_freq", r->edge_thresh_low_freq},
                       {"use_leakage_filter", r->use_leakage_filter},
                       {"use_static_bad_pixel_correction", r->use_static_bad_pixel_correction},
                       {"use_color_correction_tone_curve", r->use_color_correction_tone_curve},
                       {"use_chroma_scale", r->use_chroma_scale},
                       {"use_dynamic_bad_pixel_correction", r->use_dynamic_bad_pixel_correction},
                       {"use_cfa_noise_filter", r->use_cfa_noise_filter},
                       {"switches", r->switches},
                       {"blo_ee", r->blo_ee},
                       {"blo_eo", r->blo_eo},
                       {"blo_oe", r->blo_oe},
                       {"blo_oo", r->blo_oo}};
  print("%s: %lld\n", head);
  for (int i = 0; i < 12; i++) say("rgb2yuv[%d]: %d\n", i, r->rgb2yuv[i]);
  for (int i = 0; i < 8; i++) say("chroma_median_act_thresh[%d]: %d\n", i, r->chroma_median_act_thresh[i]);
  for (size_t k = 0; k < IMG_HIGH_ISO_PATH_COUNT; k++) {
    const img_high_iso_blend_control& b = r->blend[k];
    say("---- Dump blend control: %s ----\n", kPathName[k]);
    const Line lines[] = {{"cmd_code", b.cmd_code},
                          {"group_index", b.group_index},
                          {"enable", b.enable},
                          {"edge_threshold_multiplier", b.edge_threshold_multiplier},
                          {"iso_threshold_multiplier", b.iso_threshold_multiplier},
                          {"edge_threshold0", b.edge_threshold0},
                          {"edge_threshold1", b.edge_threshold1},
                          {"dir_threshold0", b.dir_threshold0},
                          {"dir_threshold1", b.dir_threshold1},
                          {"iso_threshold0", b.iso_threshold0},
                          {"iso_threshold1", b.iso_threshold1}};
    print("%s: %lld\n", lines);
    say(kSectionEnd);
  }
  for (size_t k = 0; k < IMG_HIGH_ISO_LEVEL_COUNT; k++) {
    say("---- Dump level control: %s ----\n", kLevelName[k]);
    printLevel("", r->level[k], "%scmd_code: %u\n");
    say(kSectionEnd);
  }
  for (size_t k = 0; k < IMG_HIGH_ISO_PHASE_PAIRS; k++) {
    say("phase_inc_x_%s: %u\n", kPhaseName[k], r->phase_inc[k][0]);
    say("phase_inc_y_%s: %u\n", kPhaseName[k], r->phase_inc[k][1]);
  }
  const Line debug[] = {{"debug_idsp_config_addr", r->debug_idsp_config_addr},
                        {"debug_y_addr", r->debug_y_addr},
                        {"debug_uv_addr", r->debug_uv_addr}};
  print("%s: %lld\n", debug);
  say("-----   Dumping HighISO Params End  ------\n");
  return 0;
}

}  // extern "C"
