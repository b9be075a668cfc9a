#pragma once
// The image-DSP library: turns picture intentions (sharpening, noise filters, colour correction,
// black level, gains, temporal filtering) into the records of the video DSP's image-kernel requests.
// All state is one process-wide block; memory, the driver and the console are reached only through
// the six hooks registered first. Not re-entrant: its one client serialises every call.
//
// Results are 0 or -1 unless said otherwise. Every entry that sends a request or touches working data
// returns -1 without a word while a hook is missing; getters check only their output pointer.
// Setters keep the last parameter record they accepted; the getters return it.
#include <cstddef>
#include <cstdint>

#include "img_dsp_records.h"

// ---- hooks --------------------------------------------------------------------------------------------

struct img_dsp_mem_ops {
  void* (*allocate)(size_t bytes);                           // like malloc
  void (*release)(void* block);                              // like free
  void* (*fill)(void* dst, int value, size_t bytes);         // like memset
  void* (*copy)(void* dst, const void* src, size_t bytes);   // like memcpy
};
// The driver request (like ioctl with its one argument word); a negative result is a failure.
typedef int (*img_dsp_request_fn)(int fd, unsigned long request, void* arg);
typedef int (*img_dsp_print_fn)(const char* format, ...);    // like printf

// ---- caller's parameter records ---------------------------------------------------------------------

struct img_dsp_lib_version {
  int32_t major, minor, patch;
  uint32_t date;  // 0xYYYYMMDD
  char description[64];
};
static_assert(sizeof(img_dsp_lib_version) == 80, "version block");

struct img_dsp_chroma_median_info {
  uint32_t enable;
  uint16_t cb_strength, cr_strength;  // 0..256
};
static_assert(sizeof(img_dsp_chroma_median_info) == 8, "chroma median info");

struct img_dsp_chroma_scale_info {
  uint8_t enable;  // 0 off, 1 and 2 on
  uint8_t spare;
  uint16_t gain[128];
};
static_assert(sizeof(img_dsp_chroma_scale_info) == 258, "chroma scale info");

// Colour-correction files (formats of the per-model configuration).
constexpr size_t IMG_DSP_CC_REG_FILE_BYTES = 18752;
constexpr size_t IMG_DSP_CC_3D_FILE_BYTES = 17536;
struct img_dsp_cc_reg_info {
  const uint8_t* reg_file;  // IMG_DSP_CC_REG_FILE_BYTES: major, minor, size, then the registers
};
struct img_dsp_cc_3d_info {
  const uint8_t* table;     // IMG_DSP_CC_3D_FILE_BYTES: 128-byte header, 3D lookup, 1,024-byte tail
};

struct img_dsp_tone_curve {
  uint16_t channel[3][256];  // 10-bit values
};
static_assert(sizeof(img_dsp_tone_curve) == 1536, "tone curve");

struct img_dsp_bad_pixel_info {
  uint8_t enable, hot_strength, dark_strength;  // strengths 0..10
};
static_assert(sizeof(img_dsp_bad_pixel_info) == 3, "bad pixel info");

struct img_dsp_local_exposure_info {
  uint8_t enable, radius, weight[3], weight_shift;
  uint16_t gain_curve[256];  // 1024 = 1.0
};
static_assert(sizeof(img_dsp_local_exposure_info) == 518, "local exposure info");

struct img_dsp_black_level_info {
  int32_t level[4];
};

struct img_dsp_vignette_info {
  uint8_t enable, gain_shift;
  uint16_t* table[4];
};

struct img_dsp_rgb_gain_info {
  img_dsp_gain_q10_t r, g, b;
};

struct img_dsp_fir_info {
  int32_t fir_strength;           // -1: use coeff; else 0..192 (0..256 in 7x7 sharpening)
  img_dsp_coeff_q8_t coeff[10];   // one tap per class (|dx|, |dy|): (3,3) (3,2) (3,1) (3,0) (2,2) (2,1) (2,0) (1,1) (1,0) centre
};
static_assert(sizeof(img_dsp_fir_info) == 24, "fir info");

struct img_dsp_level_info {
  uint8_t low, low_delta, low_val, base_val, high, high_delta, high_val;
};
static_assert(sizeof(img_dsp_level_info) == 7, "level info");

struct img_dsp_spatial_filter_info {
  uint8_t isotropic_strength, directional_strength;
  uint16_t edge_threshold;  // 0..2047
  uint16_t max_change;
};
static_assert(sizeof(img_dsp_spatial_filter_info) == 6, "spatial filter info");

struct img_dsp_alpha_info {
  uint8_t alpha[2];
};

struct img_dsp_coring_info {
  uint8_t coring[256];  // indexed by 128 + a signed value; 0..31
};

struct img_dsp_mctf_info {
  uint8_t enable, alpha;
  uint8_t threshold[8];  // middle level, t1, t2, t3, t4, then three level bytes
  uint8_t spare;
};
static_assert(sizeof(img_dsp_mctf_info) == 11, "mctf info");

// Curve description of the temporal filter; curve k of the four-curve modes uses entry k of each
// array, the single-curve mode (curve_mode 1) entry 0.
struct img_dsp_mctf_curve_desc {
  uint8_t enable, curve_mode;
  uint8_t start[4], middle[4], t1[4], t2[4], t3[4], t4[4];
  uint8_t edge[4];   // 0..63
  uint8_t level[3];
};
static_assert(sizeof(img_dsp_mctf_curve_desc) == 33, "mctf curve description");

// ---- high-ISO input parameters ------------------------------------------------------------------------
// Kernel strengths are 0..256 (larger values act as 256), weights 0..256 (weight of the isotropic
// kernel), saturations 1024 = 1.0.

struct img_high_iso_path {  // one filter path: Normal, CB_first, CD_first, Level_based, Low_freq
  uint16_t fir_strength_iso;  // high-pass strength of direction 0 of the path's FIR
  uint16_t fir_strength_dir;  // the same for directions 1 to 8
  uint16_t blend_strength_a, blend_strength_b, blend_strength_c;  // the path's blended FIR
  uint16_t blend_weight;
  uint8_t low, low_delta, high, high_delta;  // level control
  uint8_t mode;                              // 2: the level control's area is 1, else 6
  uint8_t retain_level;                      // coring of the first three paths: signal retain,
  uint8_t coring_value;                      // the level of the second ramp
  uint8_t reserved0;
  uint16_t coring_strength;                  // and the strength of its floor
  uint16_t edge_threshold;                   // 0..2047
  uint8_t blend_enable, edge_threshold_multiplier, iso_threshold_multiplier, reserved1;
  uint16_t edge_threshold0, edge_threshold1, dir_threshold0, dir_threshold1, iso_threshold0, iso_threshold1;
};
static_assert(sizeof(img_high_iso_path) == 40, "high-ISO path");

struct img_high_iso_alpha_setting {
  uint16_t strength;  // 0..256: where the alpha ramp rises
  uint8_t level;
  uint8_t reserved;
};

struct img_high_iso_input {
  struct {
    uint16_t reduce_cc_sat0_cb, reduce_cc_sat0_cr;  // chroma kept where it is faint (1024 = all)
    uint16_t reduce_cc_sat1_cb, reduce_cc_sat1_cr;  // chroma kept where it is strong
    uint16_t reduce_cc_strength_cb, reduce_cc_strength_cr;  // 0..256: how much of that applies in the dark
  } high_iso_color_correction;
  struct {
    uint16_t global_strength;  // 32 = 1.0: scales the alpha-table strengths
  } luma_control;
  struct {
    uint16_t strength;
  } luma_detail_preservation;
  struct {
    uint16_t high_band_max_change_down, high_band_max_change_up, high_band_noise_reduce,
        high_band_sharpen_strength_down, high_band_sharpen_strength_up;
    uint16_t low_band_max_change_down, low_band_max_change_up, low_band_noise_reduce, low_band_sharpen_strength_down,
        low_band_sharpen_strength_up;
    uint16_t medium_band_max_change_down, medium_band_max_change_up, medium_band_noise_reduce,
        medium_band_sharpen_strength_down, medium_band_sharpen_strength_up;
  } luma_freq_separation;
  struct {
    uint16_t strength;
  } luma_level_based_noise_reduction;
  struct {
    uint16_t adaptation, strength;
  } luma_very_low_freq_filter;
  struct {
    uint8_t cb_end, cb_start, cr_end, cr_start;  // luma levels over which chroma comes back
  } chroma_level_based_noise_reduction;
  struct {
    uint16_t adaptation_bright, adaptation_dark, max_change_bright, max_change_dark, strength_bright, strength_dark;
  } first_chroma_filter;
  struct {
    uint16_t adaptation_bright, adaptation_dark, edge_adapt_cb_bright, edge_adapt_cb_dark, edge_adapt_cr_bright,
        edge_adapt_cr_dark, max_change_bright, max_change_dark, strength_bright, strength_dark;
  } second_chroma_filter;
  img_high_iso_path path[5];
  img_high_iso_alpha_setting alpha[4];
  uint16_t chroma_median_act_thresh[8];
  uint8_t max_change_up_fine_detail, max_change_down_fine_detail, max_change_down_alpha;
  uint8_t debug_major_step, debug_minor_step;  // 0..31, 0..7
  uint8_t use_color_correction_tone_curve;
  uint8_t use_colour_matrix;  // rgb2yuv from the library's colour matrix while high-ISO sharpening holds
  uint8_t reserved0;
  uint8_t coring[4][256];  // four coring tables (0..31), packed as they are
  uint8_t reserved[948];
};
static_assert(sizeof(img_high_iso_input) == 2300, "high-ISO input");
static_assert(offsetof(img_high_iso_input, path) == 88 && offsetof(img_high_iso_input, coring) == 328,
              "high-ISO input layout");

// Sizes for the high-ISO scalers.
struct img_high_iso_scaler {
  uint16_t width, height;
  uint16_t reduction;  // 1/32: 32 none, 64 to half size (values below 32 act as 32)
  uint16_t reserved;
};

// Image modes of the sharpening setters: 0 and 1 are sent, 2 (low ISO) is only stored, 3 (high ISO)
// is refused.
enum : int { IMG_DSP_MODE_COUNT = 4, IMG_DSP_MODE_LOW_ISO = 2, IMG_DSP_MODE_HIGH_ISO = 3 };

extern "C" {

// ---- hooks, lifecycle --------------------------------------------------------------------------------
void img_dsp_set_mem_ops(const img_dsp_mem_ops* ops);
void img_dsp_set_ioctl_op(img_dsp_request_fn fn);
void img_dsp_set_print_op(img_dsp_print_fn fn);
int img_dsp_lib_init(void);
int img_dsp_lib_deinit(void);
int img_dsp_cancel(int fd);
void img_dsp_get_lib_version(img_dsp_lib_version* out);

// ---- colour and noise kernels --------------------------------------------------------------------------
int img_dsp_set_chroma_median_filter(int fd, const img_dsp_chroma_median_info* info);
int img_dsp_get_chroma_median_filter(img_dsp_chroma_median_info* out);
int img_dsp_set_chroma_scale(int fd, const img_dsp_chroma_scale_info* info);
int img_dsp_get_chroma_scale(img_dsp_chroma_scale_info* out);
int img_dsp_set_color_correction_reg(const img_dsp_cc_reg_info* info);
int img_dsp_set_color_correction(int fd, const img_dsp_cc_3d_info* info);
int img_dsp_load_tone_curve(int fd, const img_dsp_tone_curve* curve);
int img_dsp_get_tone_curve(img_dsp_tone_curve* out);
// The linear 10-bit tone curve (i x 1023 / 255 rounded): the ISO modes' own, and the one clients load
// where a model has no curve of its own.
extern const uint16_t img_dsp_linear_tone_curve[256];
int img_dsp_write_color_correction(int fd);
int img_dsp_set_dynamic_bad_pixel_correction(int fd, const img_dsp_bad_pixel_info* info);
int img_dsp_get_dynamic_bad_pixel_correction(img_dsp_bad_pixel_info* out);
int img_dsp_set_local_exposure(int fd, const img_dsp_local_exposure_info* info);
int img_dsp_get_local_exposure(img_dsp_local_exposure_info* out);
int img_dsp_set_black_level_offset(int fd, const img_dsp_black_level_info* levels, uint32_t bayer_order);
int img_dsp_get_black_level_offset(img_dsp_black_level_info* out);
int img_dsp_set_vignette(int fd, const img_dsp_vignette_info* info);
int img_dsp_set_rgb_gain(int fd, const img_dsp_rgb_gain_info* gains, uint32_t digital_gain);
int img_dsp_set_wb_gain(int fd, const img_dsp_rgb_gain_info* gains);
int img_dsp_set_dgain(int fd, uint16_t digital_gain);

// ---- sharpening (per image mode) and temporal filter -------------------------------------------------
int img_dsp_set_sharpen_coring(int fd, int mode, const img_dsp_coring_info* coring);
int img_dsp_get_sharpen_coring(int mode, img_dsp_coring_info* out);
int img_dsp_set_sharpen_signal_retain_level(int fd, int mode, uint8_t level);
int img_dsp_get_sharpen_signal_retain_level(int mode);  // the level, or 255 for a refused mode
int img_dsp_set_sharpen_fir(int fd, int mode, const img_dsp_fir_info* fir);
int img_dsp_get_sharpen_fir(int mode, img_dsp_fir_info* out);
int img_dsp_set_sharpen_level_min(int fd, int mode, const img_dsp_level_info* level);
int img_dsp_get_sharpen_level_min(int mode, img_dsp_level_info* out);
int img_dsp_set_sharpen_level_overall(int fd, int mode, const img_dsp_level_info* level);
int img_dsp_get_sharpen_level_overall(int mode, img_dsp_level_info* out);
int img_high_iso_set_sharpening_alpha(int fd, int mode, const img_dsp_alpha_info* alpha);
int img_dsp_get_sharpening_alpha(int mode, img_dsp_alpha_info* out);
int img_dsp_set_spatial_filter(int fd, int mode, const img_dsp_spatial_filter_info* filter);
int img_dsp_get_spatial_filter(int mode, img_dsp_spatial_filter_info* out);
int img_dsp_is_sharpen_7x7(void);
int img_dsp_switch_sharpen_mode(int fd, uint8_t on);
int img_dsp_set_mctf_info(int fd, const img_dsp_mctf_info* info);
int img_dsp_enable_mctf(int fd, uint8_t enable);
int img_dsp_get_mctf_info(img_dsp_mctf_info* out);
int img_dsp_set_video_mctf(int fd, const img_dsp_mctf_curve_desc* desc);


// ---- low-ISO mode (image mode 2) ---------------------------------------------------------------------------
// The record and its areas are the library's; the sharpening setters fill them for mode 2.
int img_dsp_low_iso_start(img_dsp_low_iso_record** out);  // -1 before the library's set-up
int img_dsp_low_iso_start_cc(uint8_t** out);               // the cc_reg_A area
// Derives the colour-correction areas and fills `table` with the addresses of a contiguous copy of
// the areas at `buffer` (IMG_DSP_LOW_ISO_BUFFER_BYTES); cc_reg_c and cc_3d_c are where the caller put
// the two set-C colour areas, `word` goes into the table as it is.
int img_dsp_low_iso_prepare(img_dsp_low_iso_address_table* table, uintptr_t buffer, uintptr_t cc_reg_c,
                            uintptr_t cc_3d_c, uint32_t word);
int img_dsp_low_iso_set_chroma_scale(uint32_t width, uint32_t height, uint32_t divisor);  // divisor 1/32
int img_dsp_low_iso_debug_info(const img_dsp_low_iso_record* record, img_dsp_low_iso_debug_desc* out);
void img_dsp_low_iso_set_debug_mode(uint8_t mode);
int img_dsp_low_iso_dump_bins(int fd, uint32_t first, uint32_t second);  // the print hook's result
int img_dsp_dump_low_iso(const img_dsp_low_iso_record* record);

// ---- high-ISO mode (image mode 3) --------------------------------------------------------------------------
// Computes the parameter record and the 44 work areas from `input` (kept by the library); the record
// is copied to `out` when given. -1 until a high-ISO colour-correction 3D table is loaded.
int img_high_iso_run(const img_high_iso_input* input, img_high_iso_params* out);
int img_high_iso_prepare_record(img_high_iso_params* record);
int img_high_iso_compute_sizes(const img_high_iso_scaler* scaler, img_high_iso_params* record);
int img_high_iso_fill_config(const img_high_iso_params* record, img_high_iso_config* out);
int img_high_iso_fill_words(img_high_iso_address_table* table, uintptr_t area_value, uintptr_t record_value);
// The RGB gains last given to img_dsp_set_rgb_gain and the digital gain (limited to 16 bits).
int img_high_iso_get_state(img_dsp_gain_q10_t* r, img_dsp_gain_q10_t* g, img_dsp_gain_q10_t* b,
                           uint16_t* digital_gain);
int img_high_iso_dump_input(const img_high_iso_input* input);
int img_high_iso_dump(const img_high_iso_params* record);

}  // extern "C"
