#pragma once
// The low-ISO (image mode 2) and high-ISO (image mode 3) computations, internal to the library: their
// set-ups (run by every initialisation), the low-ISO colour recombination and the stages of the
// high-ISO computation. The public entries are in img_dsp.h.
#include <cstdint>

#include "img_dsp.h"

// ---- low ISO ------------------------------------------------------------------------------------------------
void img_dsp_low_iso_init(void);
// Inverse of a 3x3 matrix (row-major, 1024 = 1.0) in the same units: 0, 1 for a determinant below 2^20
// (r untouched), 2 when an element lies beyond +/-5,000 (r written, limited to 32 bits).
int img_dsp_invert_matrix3(const int16_t m[9], int32_t r[9]);
// Output entry := luma of `luma`'s entry and chroma of `chroma`'s, in the colour space of `matrix`,
// each value first through `curves` (three 256-entry curves) when given. `out` may be either input.
// Returns the inversion's result; `out` is unchanged unless it is 0.
int img_dsp_low_iso_merge_cc(const uint32_t luma[4096], const uint32_t chroma[4096], uint32_t out[4096],
                             const int16_t matrix[9], const uint16_t* curves);
void img_dsp_low_iso_fill_addresses(img_dsp_low_iso_address_table* table, uintptr_t buffer, uintptr_t cc_reg_c,
                                    uintptr_t cc_3d_c, uint32_t word);

// ---- high ISO -----------------------------------------------------------------------------------------------
void img_high_iso_init(void);
// Fills the library's record and work areas from `input` and copies the record to `out` when given.
void img_high_iso_compute(const img_high_iso_input* input, img_high_iso_params* out);
void img_high_iso_fill_level(const img_high_iso_path* path, img_dsp_level_control_record* out);
void img_high_iso_build_alpha_table(img_dsp_mctf_config* table, int strength, uint8_t level);
void img_high_iso_multiply_rgb2yuv(int16_t out[9], int32_t gain_q10);
void img_high_iso_write_iso_fir(uint8_t block[IMG_DSP_FIR_BLOCK_BYTES], int strength_x, int strength_y);
void img_high_iso_write_blend_fir(uint8_t block[IMG_DSP_FIR_BLOCK_BYTES], int a, int b, int c, int weight);
void img_high_iso_init_fir_once(const img_high_iso_input* input, img_high_iso_params* record);
void img_high_iso_init_fixed_fir_once(const img_high_iso_input* input, img_high_iso_params* record);
void img_high_iso_build_coring(const img_high_iso_path* path, uint32_t block[IMG_DSP_CORING_BLOCK_WORDS]);
void img_high_iso_coring_floor(uint8_t table[256], int strength);
// Phase increments of a scaler from `from` to `to` pixels in x and y: phase (down) and inverse (up).
void img_high_iso_plan_scaler(const uint32_t from[2], const uint32_t to[2], uint32_t down[2], uint32_t up[2]);
int img_high_iso_scale_strength(int strength, int weaker);
