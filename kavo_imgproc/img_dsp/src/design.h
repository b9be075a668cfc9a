#pragma once
// Filter design and fixed-point helpers of the image-DSP library: kernel tables and interpolation,
// convolution, quantisation to the DSP's tap widths, packing into the DSP's blocks, coring-table
// shaping and the numeric routines of the high- and low-ISO computations. Internal to the library;
// none of these sends a request.
//
// A half kernel is a point-symmetric 7x7 kernel as 25 taps: positions 0-6 row dy = -3 (dx = -3..3),
// 7-13 row dy = -2, 14-20 row dy = -1, 21-23 row dy = 0 with dx = -3, -2, -1, and 24 the centre; tap
// p of the full 49-tap raster equals tap 48 - p. Taps are in 1/256 at shift 4; each shift step down
// halves their scale once more.
#include <cstdint>

#include "img_dsp.h"

typedef img_dsp_tap_q8_t img_dsp_half_kernel_q8[25];

enum : int {
  IMG_DSP_KIND_SMOOTH = 0,         // smoothing tables, normalised to 256
  IMG_DSP_KIND_HIGH_PASS = 1,      // high-pass tables, normalised to 0
  IMG_DSP_KIND_NEG_HIGH_PASS = 2,  // high-pass tables negated, normalised to 0
};

// Tap class (coefficient-list entry) of each half-kernel position, and the largest tap of each
// position (the accepted range is -(limit + 1) to limit).
extern const uint8_t kImgDspTapClass[25];
extern const int16_t kImgDspTapLimit[25];

// ---- kernels --------------------------------------------------------------------------------------------
void img_dsp_interpolate_kernel(int strength, img_dsp_half_kernel_q8 half, const int16_t table[5][25]);
void img_dsp_quantize_kernel(int* shift, img_dsp_half_kernel_q8 half, int target);
void img_dsp_make_kernel(int strength, int normalise, int kind, int direction, int* shift, img_dsp_half_kernel_q8 half);
void img_dsp_convolve_with_lowpass(const img_dsp_half_kernel_q8 in, int strength, int normalise, int kind, int direction,
                                   int* shift, img_dsp_half_kernel_q8 out);
void img_dsp_make_filtered_kernel(int strength_a, int strength_b, int normalise, int kind, int direction_a,
                                  int direction_b, int* shift, img_dsp_half_kernel_q8 out);
void img_dsp_blend_kernels(int strength_a, int strength_b, int weight, int normalise, int kind, int direction,
                           int* shift, img_dsp_half_kernel_q8 out);
void img_dsp_expand_coeffs(const img_dsp_coeff_q8_t coeff[10], int* shift, img_dsp_half_kernel_q8 half);
void img_dsp_expand_coeffs_complement(const img_dsp_coeff_q8_t coeff[10], img_dsp_half_kernel_q8 half, int complement);
void img_dsp_write_fir_dir(uint8_t block[IMG_DSP_FIR_BLOCK_BYTES], int direction, int shift,
                           const img_dsp_half_kernel_q8 half);

namespace imgdsp {
// The same kernel into all nine directions of a FIR block.
void writeAllDirections(uint8_t* block, int shift, const img_dsp_half_kernel_q8 half);
}  // namespace imgdsp

// ---- coring and the luma-sharpening table ----------------------------------------------------------------
void img_dsp_pack_coring_table(const uint8_t table[256], uint32_t block[IMG_DSP_CORING_BLOCK_WORDS]);
void img_dsp_apply_signal_retain(uint8_t table[256], uint8_t level);
void img_dsp_build_luma_sharpen_table(uint8_t table[IMG_DSP_LUMA_TABLE_BYTES], uint8_t base_a, uint8_t base_b,
                                      int column_level, int position_level);

// ---- designs into the library state, per image mode (0, 1 and 2) -----------------------------------------
void img_dsp_design_sharpen_fir(int mode, const img_dsp_fir_info* fir, const img_dsp_spatial_filter_info* filter);
void img_dsp_design_directional_fir(int mode, const img_dsp_fir_info* fir, const img_dsp_spatial_filter_info* filter,
                                    int kind);
void img_dsp_design_directional_lowpass_fir(int mode, const img_dsp_fir_info* fir,
                                            const img_dsp_spatial_filter_info* filter);
void img_dsp_set_identity_fir(int mode);
void img_dsp_reset_level_min(int mode);
void img_dsp_reset_level_overall(int mode);
void img_dsp_clear_second_fir(int mode);
void img_dsp_set_passthrough_sharpen(uint32_t gain);
void img_dsp_rebuild_luma_sharpen_tables(void);

// ---- numeric helpers of the high- and low-ISO computations ------------------------------------------------
void img_dsp_curve_lookup3(const int32_t in[3], int32_t out[3], const int32_t curve[256]);
void img_dsp_curve_lookup3_u16(const int32_t in[3], int32_t out[3], const uint16_t curve[256]);
void img_dsp_build_3d_tone_table(uint32_t out[4096], const uint16_t curve[256], const int32_t grid[16]);
int32_t img_dsp_round_ratio8(int32_t numerator, int32_t denominator, int32_t cap);
void img_dsp_choose_phase_inc(uint32_t numerator, uint32_t denominator, uint32_t* phase, uint32_t* inverse,
                              uint32_t step);
