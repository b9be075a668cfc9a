#pragma once
// The records the image-DSP library hands to the video-DSP driver, one per image-kernel request, and
// the request codes. Little-endian; offsets in bytes. Records that carry pointers use the host's
// pointer width (their size is asserted only on a 32-bit host, the camera); pointer-free records
// have their size asserted everywhere. The driver copies a record, and what its pointers designate,
// at the time of the request: the library rewrites its records afterwards.
//
// The value types carry their fixed-point scale in the name: q8 = 1/256, q10 = 1/1024, q16 = 1/65536.
#include <cstddef>
#include <cstdint>

#include "kavo/os/iav.h"

typedef int32_t img_dsp_tap_q8_t;     // kernel tap (full scale; a block's shift word scales it)
typedef int16_t img_dsp_coeff_q8_t;   // coefficient-list entry
typedef uint32_t img_dsp_gain_q10_t;  // channel gain of the caller's records, 1024 = 1.0
typedef uint32_t img_dsp_gain_q16_t;  // channel gain of the driver's records, 65536 = 1.0

// ---- request codes ('p' image kernels, each with one pointer to its record; cancel takes 0): the
// ---- driver's (kavo/os/iav.h), as are the RGB-gain and colour-correction records ----------------

enum : uint32_t {
  IMG_DSP_REQ_BLACK_LEVEL        = IAV_IOC_IMG_BLACK_LEVEL_GLOBAL_OFFSET,   // img_dsp_black_level_record
  IMG_DSP_REQ_BAD_PIXEL          = IAV_IOC_IMG_BAD_PIXEL_CORRECTION,        // img_dsp_bad_pixel_record
  IMG_DSP_REQ_RGB_GAIN           = IAV_IOC_IMG_RGB_GAIN_ADJUST,             // img_dsp_rgb_gain_record
  IMG_DSP_REQ_VIGNETTE           = IAV_IOC_IMG_VIGNETTE_COMPENSATION,       // img_dsp_vignette_record
  IMG_DSP_REQ_LOCAL_EXPOSURE     = IAV_IOC_IMG_LOCAL_EXPOSURE,              // img_dsp_local_exposure_record
  IMG_DSP_REQ_COLOR_CORRECTION   = IAV_IOC_IMG_COLOR_CORRECTION,            // img_dsp_color_correction_record
  IMG_DSP_REQ_CHROMA_SCALE       = IAV_IOC_IMG_CHROMA_SCALE,                // img_dsp_chroma_scale_record
  IMG_DSP_REQ_CHROMA_MEDIAN      = IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP,  // img_dsp_chroma_median_record
  IMG_DSP_REQ_LUMA_SHARPENING    = IAV_IOC_IMG_LUMA_SHARPENING,             // img_dsp_luma_sharpening_record
  IMG_DSP_REQ_SHARPEN_FIR_CONFIG = IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG,  // img_dsp_fir_config_record
  IMG_DSP_REQ_SHARPEN_EDGE       = IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL, // img_dsp_edge_control_record
  IMG_DSP_REQ_SHARPEN_LEVEL      = IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL, // img_dsp_level_control_record
  IMG_DSP_REQ_SHARPEN_MISC       = IAV_IOC_IMG_LUMA_SHARPENING_MISC,        // img_dsp_misc_record
  IMG_DSP_REQ_MCTF               = IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP,    // img_dsp_mctf_record
  IMG_DSP_REQ_CANCEL             = IAV_IOC_IMG_DSP_CANCEL,                  // value 0
};

// ---- blocks the records point to --------------------------------------------------------------------

constexpr size_t IMG_DSP_FIR_BLOCK_BYTES = 256;       // nine 28-byte direction records and a shift word
constexpr size_t IMG_DSP_CORING_BLOCK_WORDS = 64;     // four 5-bit coring values per word
constexpr size_t IMG_DSP_LUMA_TABLE_BYTES = 512;      // 128 entries, 4 bytes apart
constexpr size_t IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES = 48;
constexpr size_t IMG_DSP_BAD_PIXEL_TABLE_BYTES = 768;
constexpr size_t IMG_DSP_CC_INPUT_TABLE_BYTES = 2304;
constexpr size_t IMG_DSP_CC_3D_TABLE_BYTES = 16384;   // 16x16x16 words of three 10-bit values
constexpr size_t IMG_DSP_TONE_CURVE_WORDS = 256;      // three 10-bit values per word
constexpr size_t IMG_DSP_VIGNETTE_TABLE_BYTES = 2178; // 33 x 33 16-bit gains

// Temporal-filter configuration block (528 bytes).
struct img_dsp_mctf_config {
  uint16_t curve[4][64];  // strength per motion level; single-curve mode fills curve[0]
  uint32_t edges;         // four 6-bit edge values at bits 0, 6, 12, 18 (all ones in single-curve mode)
  uint32_t reserved0;
  uint8_t level[3];       // bytes 30 to 32 of the curve description
  uint8_t flags;          // bit 0 set, bit 4 clear
  uint32_t reserved1;
};
static_assert(sizeof(img_dsp_mctf_config) == 528, "mctf block");
static_assert(offsetof(img_dsp_mctf_config, edges) == 512 && offsetof(img_dsp_mctf_config, level) == 520 &&
                  offsetof(img_dsp_mctf_config, flags) == 523,
              "mctf block layout");

// ---- records ------------------------------------------------------------------------------------------

struct img_dsp_black_level_record {
  int32_t offset[4];     // level minus reference, in the order of the Bayer pattern
  int16_t reference[3];  // the library's black-level references r0, r1, r2
  uint16_t reserved;
};
static_assert(sizeof(img_dsp_black_level_record) == 24, "black level record");

struct img_dsp_bad_pixel_record {
  uint32_t enable;
  uint32_t mode;  // 1 off, 3 dynamic correction
  uint8_t* hot_table;   // IMG_DSP_BAD_PIXEL_TABLE_BYTES
  uint8_t* dark_table;  // IMG_DSP_BAD_PIXEL_TABLE_BYTES
  uint16_t fixed0;      // 13449
  uint16_t fixed1;      // 4
};

// The RGB-gain record is the driver's own: R, Gr, Gb, B in 16.16.
typedef iav_rgb_gain_t img_dsp_rgb_gain_record;

struct img_dsp_vignette_record {
  uint8_t enable;
  uint8_t gain_shift;
  uint16_t zero;
  uint16_t* table[4];  // IMG_DSP_VIGNETTE_TABLE_BYTES each, in the caller's order
};

struct img_dsp_local_exposure_record {
  uint16_t enable;
  uint16_t zero0;
  uint32_t radius;
  uint8_t weight[3];
  uint8_t weight_shift;
  uint16_t gain_curve[256];   // 1024 = 1.0
  int16_t black_reference[3];
  uint16_t reserved0;
  int32_t offset;             // ((2 (radius + 2))^2 * r1) >> weight_shift
  uint16_t zero1;
  uint16_t reserved1;
};
static_assert(sizeof(img_dsp_local_exposure_record) == 540, "local exposure record");
static_assert(offsetof(img_dsp_local_exposure_record, black_reference) == 524 &&
                  offsetof(img_dsp_local_exposure_record, offset) == 532,
              "local exposure layout");

// The colour-correction record is the driver's own: enable, three 16.16 gains, the input table
// (IMG_DSP_CC_INPUT_TABLE_BYTES), the 3D lookup (IMG_DSP_CC_3D_TABLE_BYTES), the tone-update word and
// the tone curve (IMG_DSP_TONE_CURVE_WORDS), a zero word.
typedef iav_color_correction_t img_dsp_color_correction_record;

struct img_dsp_chroma_scale_record {
  uint32_t enable;
  uint32_t one;
  int16_t matrix[6];
  uint32_t reserved;
  uint32_t zero;
  uint16_t gain[128];  // 1024 = 1.0
};
static_assert(sizeof(img_dsp_chroma_scale_record) == 284, "chroma scale record");
static_assert(offsetof(img_dsp_chroma_scale_record, zero) == 24 && offsetof(img_dsp_chroma_scale_record, gain) == 28,
              "chroma scale layout");

struct img_dsp_chroma_median_record {
  uint32_t mode;  // 2 on, 0 off
  uint32_t zero;
  uint16_t* table;  // IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES: 24 words of three 5-bit coefficients
  uint16_t threshold[8];
};

struct img_dsp_luma_sharpening_record {
  uint8_t alpha[2];
  uint16_t edge_threshold;
  uint8_t* alpha_table;  // IMG_DSP_LUMA_TABLE_BYTES
};

struct img_dsp_fir_config_record {
  uint8_t config;       // 3 once set up
  uint8_t fir2_enable;
  uint8_t reserved0[2];
  uint8_t* fir1;        // IMG_DSP_FIR_BLOCK_BYTES
  uint8_t* fir2;        // IMG_DSP_FIR_BLOCK_BYTES
  uint32_t* coring;     // IMG_DSP_CORING_BLOCK_WORDS
  uint32_t reserved1[8];
};

struct img_dsp_edge_control_record {
  uint16_t edge_threshold;  // 2047: no edge limit
  uint16_t reserved;
};
static_assert(sizeof(img_dsp_edge_control_record) == 4, "edge control record");

struct img_dsp_level_control_record {
  uint32_t cmd_code;     // 0x2132
  uint32_t group_index;  // image mode
  uint32_t select;       // which of the mode's level controls
  uint8_t low, low_0, low_delta, low_val, high, high_0, high_delta, high_val, base_val, area;
  int16_t clip_low, clip_low2, clip_high, clip_high2;
  uint16_t reserved;
};
static_assert(sizeof(img_dsp_level_control_record) == 32, "level control record");
static_assert(offsetof(img_dsp_level_control_record, low) == 12 &&
                  offsetof(img_dsp_level_control_record, clip_low) == 22,
              "level control layout");

struct img_dsp_misc_record {
  uint32_t group_index;  // image mode
  uint8_t sharpen_kind;  // 1 7x7, 2 standard
  uint8_t bypass;        // 1 when the spatial filter is off (always 1 in 7x7 sharpening)
  uint16_t reserved;
};
static_assert(sizeof(img_dsp_misc_record) == 8, "misc record");

struct img_dsp_mctf_record {
  uint8_t enable;
  uint8_t reserved[3];
  img_dsp_mctf_config* config;
};

#if UINTPTR_MAX == 0xffffffffu
static_assert(sizeof(img_dsp_bad_pixel_record) == 20, "bad pixel record");
static_assert(sizeof(img_dsp_vignette_record) == 20, "vignette record");
static_assert(sizeof(img_dsp_chroma_median_record) == 28, "chroma median record");
static_assert(sizeof(img_dsp_luma_sharpening_record) == 8, "luma sharpening record");
static_assert(sizeof(img_dsp_fir_config_record) == 48, "fir configuration record");
static_assert(sizeof(img_dsp_mctf_record) == 8, "mctf record");
#endif

// ---- low-ISO mode (image mode 2): one record with the areas it points to -------------------------------
// Not sent by a request: a caller fetches the record (img_dsp_low_iso_start) and hands it to the DSP
// as a whole. Addresses are the host's (uintptr_t); on the camera they are 32-bit words.

constexpr size_t IMG_DSP_LOW_ISO_AREA_COUNT = 12;
// Sizes of the record's twelve areas, in record order (cc_reg_A .. zero).
constexpr uint32_t IMG_DSP_LOW_ISO_AREA_BYTES[IMG_DSP_LOW_ISO_AREA_COUNT] = {
    IMG_DSP_CC_INPUT_TABLE_BYTES, IMG_DSP_CC_3D_TABLE_BYTES, IMG_DSP_CC_INPUT_TABLE_BYTES, IMG_DSP_CC_3D_TABLE_BYTES,
    IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES, IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES, IMG_DSP_CORING_BLOCK_WORDS * 4,
    IMG_DSP_FIR_BLOCK_BYTES, IMG_DSP_FIR_BLOCK_BYTES, IMG_DSP_LUMA_TABLE_BYTES, sizeof(img_dsp_mctf_config), 512};
constexpr size_t IMG_DSP_LOW_ISO_DEBUG_SLOTS = 3;

struct img_dsp_low_iso_record {
  uint16_t width, height;
  uint8_t bayer_patten, debug_mode;
  uint8_t max_up, max_down;  // 255 after set-up
  uint8_t use_CC_output_table_A, use_CC_output_table_C;
  uint16_t edge_thresh_A;  // the low-ISO mode's edge threshold (2047: no limit)
  uint16_t smooth_chroma_width, smooth_chroma_height;
  uint16_t main_phase_inc_chroma_x_A, main_phase_inc_chroma_y_A;
  uint16_t prevB_phase_inc_chroma_x_A, prevB_phase_inc_chroma_y_A;
  // The twelve areas (sizes in IMG_DSP_LOW_ISO_AREA_BYTES). fir1_A and fir1_C are the mode's FIR1
  // and FIR2 blocks, coring_A its coring block, alpha_A its luma-sharpening table, mctf_C the
  // temporal-filter block, cc_reg_C and cc_3d_C the colour-correction input table and 3D buffer.
  uintptr_t cc_reg_A, cc_3d_A, cc_reg_C, cc_3d_C;
  uintptr_t chroma_median_table_A, chroma_median_table_C;
  uintptr_t coring_A, fir1_A, fir1_C, alpha_A, mctf_C, zero;
  img_dsp_level_control_record level_0;  // the mode's level-min record (select 8)
  img_dsp_level_control_record level_1;  // its level-overall record (select 10)
  int16_t blo_ee, blo_eo, blo_oe, blo_oo;
  uint8_t use_CFA_noise_filter, use_leakage_filter, use_static_bad_pixel_correction, use_dynamic_bad_pixel_correction;
  uintptr_t spare_A;   // 256 bytes
  uintptr_t alpha_C;   // 512 bytes: the second alpha table
  int16_t sharpen_values[12];  // mode 0's sharpening values while high-ISO sharpening holds
  uint8_t high_iso_sharpen;
  uint8_t reserved[3];
  uintptr_t low_iso_data_addr;  // the record itself
  uint32_t idsp_cfg_addr[IMG_DSP_LOW_ISO_DEBUG_SLOTS];  // DSP addresses of the microcode's debug data
  uint32_t debug_addr[IMG_DSP_LOW_ISO_DEBUG_SLOTS];
  uint32_t debug_pitch[IMG_DSP_LOW_ISO_DEBUG_SLOTS];
  uint32_t debug_width[IMG_DSP_LOW_ISO_DEBUG_SLOTS];
  uint32_t debug_height[IMG_DSP_LOW_ISO_DEBUG_SLOTS];
};

// Where a caller's contiguous copy of the low-ISO areas puts each of them (the two set-C colour areas
// live elsewhere and are given separately).
enum : uint32_t {
  IMG_DSP_LOW_ISO_AT_CC_REG_A = 0,
  IMG_DSP_LOW_ISO_AT_CC_3D_A = 2304,
  IMG_DSP_LOW_ISO_AT_CHROMA_MEDIAN_A = 18688,
  IMG_DSP_LOW_ISO_AT_CHROMA_MEDIAN_C = 18736,
  IMG_DSP_LOW_ISO_AT_CORING_A = 18784,
  IMG_DSP_LOW_ISO_AT_FIR1_A = 19040,
  IMG_DSP_LOW_ISO_AT_FIR1_C = 19296,
  IMG_DSP_LOW_ISO_AT_ALPHA_A = 19552,
  IMG_DSP_LOW_ISO_AT_MCTF_C = 20064,
  IMG_DSP_LOW_ISO_AT_ZERO = 20592,
  IMG_DSP_LOW_ISO_AT_SPARE_A = 21104,
  IMG_DSP_LOW_ISO_AT_ALPHA_C = 21360,
  IMG_DSP_LOW_ISO_BUFFER_BYTES = 21872,
};

// Address table of such a copy: the record's twelve areas in record order, then the 256-byte area
// and the second alpha table, then one word the caller chooses.
struct img_dsp_low_iso_address_table {
  uintptr_t area[14];
  uint32_t word;
};

// What the microcode's debugger needs to find the low-ISO data.
struct img_dsp_low_iso_debug_desc {
  uint32_t area_count;  // 12
  uint32_t area_bytes[IMG_DSP_LOW_ISO_AREA_COUNT];
  uintptr_t area[IMG_DSP_LOW_ISO_AREA_COUNT];
  uint32_t debug_count;  // 3 when the record names debug data, else 0
  uint32_t debug_kind[IMG_DSP_LOW_ISO_DEBUG_SLOTS];   // 3 (configuration), 2, 2 (luma and chroma frames)
  uint32_t debug_bytes[IMG_DSP_LOW_ISO_DEBUG_SLOTS];  // 40,960 each
  uint32_t debug_address[IMG_DSP_LOW_ISO_DEBUG_SLOTS];  // DSP addresses, bits 30 and 31 set
  uint32_t frame_bytes[2];  // pitch x height of the two frames
};

// ---- high-ISO mode (image mode 3): the parameter record and its 44 work areas ---------------------------

constexpr size_t IMG_HIGH_ISO_AREA_COUNT = 44;
constexpr size_t IMG_HIGH_ISO_WORK_BYTES = 71680;
constexpr size_t IMG_HIGH_ISO_PATH_COUNT = 5;   // Normal, CB_first, CD_first, Level_based, Low_freq
constexpr size_t IMG_HIGH_ISO_LEVEL_COUNT = 8;  // the five paths, Index_mul_high_noise,
                                                // Multiplier_mul_high_noise, Multiplier_mul_fine_detail
constexpr size_t IMG_HIGH_ISO_PHASE_PAIRS = 17;
constexpr size_t IMG_HIGH_ISO_ALPHA_TABLES = 4;
constexpr size_t IMG_HIGH_ISO_CONFIG_HEADER_WORDS = 40;

struct img_high_iso_blend_control {
  uint32_t cmd_code;
  uint32_t group_index;
  uint8_t enable, edge_threshold_multiplier, iso_threshold_multiplier, reserved;
  uint16_t edge_threshold0, edge_threshold1, dir_threshold0, dir_threshold1, iso_threshold0, iso_threshold1;
};
static_assert(sizeof(img_high_iso_blend_control) == 24, "blend control");

// Addresses of the 44 work areas (in work-area order) and of the parameter record itself.
struct img_high_iso_address_table {
  uintptr_t area[IMG_HIGH_ISO_AREA_COUNT];
  uintptr_t record;
};

// Bits of img_high_iso_params::switches.
enum : uint8_t {
  IMG_HIGH_ISO_SWITCH_SHARPEN = 1,       // high-ISO sharpening: mode 0's blocks are copied in
  IMG_HIGH_ISO_SWITCH_TONE_CURVE = 2,    // the input's use_color_correction_tone_curve
  IMG_HIGH_ISO_SWITCH_COLOUR_MATRIX = 4, // rgb2yuv from the library's colour matrix
};

struct img_high_iso_params {
  uint16_t width, height, width_reduced, height_reduced, width_level_based, height_level_based;
  uint8_t chroma_strength_bright_1, chroma_strength_bright_2, chroma_strength_dark_1, chroma_strength_dark_2;
  uint8_t max_change_up_low, max_change_down_low, max_change_up_mid, max_change_down_mid;
  uint8_t max_change_up_high, max_change_down_high, max_change_up_fine_detail, max_change_down_fine_detail;
  uint8_t max_change_down_alpha;
  uint8_t debug_mode;  // debug_mode_major_step_id in bits 0-4, debug_mode_minor_step_id in bits 5-7
  uint16_t edge_thresh_normal, edge_thresh_CB_first, edge_thresh_CD_first, edge_thresh_level_based,
      edge_thresh_low_freq;  // 0..2047
  uint8_t use_leakage_filter, use_static_bad_pixel_correction, use_color_correction_tone_curve, use_chroma_scale,
      use_dynamic_bad_pixel_correction, use_cfa_noise_filter;
  uint8_t switches;  // IMG_HIGH_ISO_SWITCH_*
  uint8_t reserved0;
  int16_t blo_ee, blo_eo, blo_oe, blo_oo;
  int16_t rgb2yuv[12];  // 3x3 matrix (1024 = 1.0), then the Y, U and V offsets
  uint16_t chroma_median_act_thresh[8];  // CB_second U, V, CD_second U, V, for thresholds 0 and 1
  img_high_iso_blend_control blend[IMG_HIGH_ISO_PATH_COUNT];
  img_dsp_level_control_record level[IMG_HIGH_ISO_LEVEL_COUNT];
  uint32_t phase_inc[IMG_HIGH_ISO_PHASE_PAIRS][2];  // x, y; pairs in the order of the dump
  uint32_t debug_idsp_config_addr, debug_y_addr, debug_uv_addr;
  img_high_iso_address_table address;
};
static_assert(offsetof(img_high_iso_params, blend) == 92 && offsetof(img_high_iso_params, phase_inc) == 468 &&
                  offsetof(img_high_iso_params, address) == 616,
              "high-ISO record layout");

// The DSP's high-ISO command: a constant header, then the parameter record.
struct img_high_iso_config {
  uint32_t count;  // IMG_HIGH_ISO_CONFIG_HEADER_WORDS
  uint32_t header[IMG_HIGH_ISO_CONFIG_HEADER_WORDS];
  img_high_iso_params params;
};

// ---- what a request carries (for a driver stand-in that copies the records deeply) ------------------

struct img_dsp_request_pointer {
  uint32_t offset;  // of the pointer within the record
  uint32_t bytes;   // of the block it designates
};

struct img_dsp_request_layout {
  uint32_t code;
  const char* name;        // the request's name, as the library's failure messages spell it
  uint32_t record_bytes;   // 0: the argument is a value, not a record
  uint32_t pointer_count;
  img_dsp_request_pointer pointer[4];
};

// The layout of a request the library sends, or nullptr for any other code.
extern "C" const img_dsp_request_layout* img_dsp_request_layout_of(uint32_t code);
