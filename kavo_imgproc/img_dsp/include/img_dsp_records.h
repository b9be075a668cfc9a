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

typedef int32_t img_dsp_tap_q8_t;     // kernel tap (full scale; a block's shift word scales it)
typedef int16_t img_dsp_coeff_q8_t;   // coefficient-list entry
typedef uint32_t img_dsp_gain_q10_t;  // channel gain of the caller's records, 1024 = 1.0
typedef uint32_t img_dsp_gain_q16_t;  // channel gain of the driver's records, 65536 = 1.0

// ---- request codes ('p' image kernels, each with one pointer to its record; cancel takes 0) -------

enum : uint32_t {
  IMG_DSP_REQ_BLACK_LEVEL = 0x40047003,         // img_dsp_black_level_record
  IMG_DSP_REQ_BAD_PIXEL = 0x40047004,           // img_dsp_bad_pixel_record
  IMG_DSP_REQ_RGB_GAIN = 0x40047007,            // img_dsp_rgb_gain_record
  IMG_DSP_REQ_VIGNETTE = 0x40047008,            // img_dsp_vignette_record
  IMG_DSP_REQ_LOCAL_EXPOSURE = 0x40047009,      // img_dsp_local_exposure_record
  IMG_DSP_REQ_COLOR_CORRECTION = 0x4004700a,    // img_dsp_color_correction_record
  IMG_DSP_REQ_CHROMA_SCALE = 0x4004700c,        // img_dsp_chroma_scale_record
  IMG_DSP_REQ_CHROMA_MEDIAN = 0x4004700d,       // img_dsp_chroma_median_record
  IMG_DSP_REQ_LUMA_SHARPENING = 0x4004700e,     // img_dsp_luma_sharpening_record
  IMG_DSP_REQ_SHARPEN_FIR_CONFIG = 0x4004700f,  // img_dsp_fir_config_record
  IMG_DSP_REQ_SHARPEN_EDGE = 0x40047010,        // img_dsp_edge_control_record
  IMG_DSP_REQ_SHARPEN_LEVEL = 0x40047012,       // img_dsp_level_control_record
  IMG_DSP_REQ_SHARPEN_MISC = 0x40047013,        // img_dsp_misc_record
  IMG_DSP_REQ_MCTF = 0x40047015,                // img_dsp_mctf_record
  IMG_DSP_REQ_CANCEL = 0x8004701e,              // value 0
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

struct img_dsp_rgb_gain_record {
  img_dsp_gain_q16_t gain[4];  // R, Gr, Gb, B
};
static_assert(sizeof(img_dsp_rgb_gain_record) == 16, "rgb gain record");

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

struct img_dsp_color_correction_record {
  uint8_t enable;
  uint8_t spare[3];
  img_dsp_gain_q16_t gain[3];
  uint8_t* input_table;   // IMG_DSP_CC_INPUT_TABLE_BYTES
  uint8_t* table_3d;      // IMG_DSP_CC_3D_TABLE_BYTES
  uint32_t tone_update;
  uint32_t* tone_curve;   // IMG_DSP_TONE_CURVE_WORDS
  uint32_t zero;
};

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
static_assert(sizeof(img_dsp_color_correction_record) == 36, "colour correction record");
static_assert(sizeof(img_dsp_chroma_median_record) == 28, "chroma median record");
static_assert(sizeof(img_dsp_luma_sharpening_record) == 8, "luma sharpening record");
static_assert(sizeof(img_dsp_fir_config_record) == 48, "fir configuration record");
static_assert(sizeof(img_dsp_mctf_record) == 8, "mctf record");
#endif

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
