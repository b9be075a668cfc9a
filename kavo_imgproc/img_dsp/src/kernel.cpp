// Kernel design: table interpolation, quantisation to the DSP's tap widths, convolution with a
// smoothing kernel, coefficient lists and the DSP's direction records. Pure integer arithmetic.
#include <algorithm>
#include <cstring>

#include "design.h"
#include "state.h"
#include "tables.h"

using namespace imgdsp;

const uint8_t kImgDspTapClass[25] = {0, 1, 2, 3, 2, 1, 0,  //
                                     1, 4, 5, 6, 5, 4, 1,  //
                                     2, 5, 7, 8, 7, 5, 2,  //
                                     3, 6, 8, 9};
const int16_t kImgDspTapLimit[25] = {15, 15, 15, 15, 15, 15, 15,  //
                                     15, 31, 31, 31, 31, 31, 15,  //
                                     15, 31, 63, 127, 63, 31, 15,  //
                                     15, 31, 127, 255};

namespace {

// Record byte (minus 4) of each off-centre half-kernel position in a direction record.
constexpr uint8_t kRecordPlace[24] = {12, 13, 14, 15, 16, 17, 18, 19, 4, 5, 6, 7,
                                      8,  20, 21, 9,  2,  0,  3,  10, 22, 23, 11, 1};
constexpr int kDirectionRecordBytes = 28;
constexpr int kShiftWordOffset = 252;

// x / 256 rounded half away from zero.
inline int32_t roundQ8(int64_t x) {
  return x >= 0 ? static_cast<int32_t>((x + 128) / 256) : -static_cast<int32_t>((128 - x) / 256);
}

inline bool fits(const img_dsp_half_kernel_q8 h) {
  for (int p = 0; p < 25; p++)
    if (h[p] > kImgDspTapLimit[p] || h[p] < -kImgDspTapLimit[p] - 1) return false;
  return true;
}

inline int64_t offCentreSum(const img_dsp_half_kernel_q8 h) {
  int64_t sum = 0;
  for (int p = 0; p < 24; p++) sum += h[p];
  return sum;
}

const int16_t (*tableOf(int kind, int direction))[25] {
  bool smooth = kind == IMG_DSP_KIND_SMOOTH;
  if (direction >= 1 && direction <= 8) return smooth ? kDirSmoothQ8[direction - 1] : kDirHighPassQ8[direction - 1];
  return smooth ? kIsoSmoothQ8 : kIsoHighPassQ8;
}

// Full 7x7 raster (row-major, dy then dx) from a half kernel.
void mirror(const img_dsp_half_kernel_q8 half, int32_t full[49]) {
  for (int p = 0; p < 25; p++) full[p] = full[48 - p] = half[p];
}

int targetOf(int kind) { return kind == IMG_DSP_KIND_SMOOTH ? 256 : 0; }

}  // namespace

void img_dsp_interpolate_kernel(int strength, img_dsp_half_kernel_q8 half, const int16_t table[5][25]) {
  strength = std::clamp(strength, 0, 256);  // the setters bound it; the tables end at 256
  int i = strength / 64;
  int f = (strength % 64) * 4;
  const int16_t* a = table[i];
  const int16_t* b = table[std::min(i + 1, 4)];
  for (int p = 0; p < 25; p++) half[p] = roundQ8(256 * a[p] + f * (b[p] - a[p]));
}

void img_dsp_quantize_kernel(int* shift, img_dsp_half_kernel_q8 half, int target) {
  img_dsp_half_kernel_q8 input;
  std::memcpy(input, half, sizeof input);
  for (int s = 4; s >= 0; s--) {
    // Taps as the previous pass left them (the input at s = 4, the input divided by 2^(4-s) later).
    half[24] = static_cast<int32_t>((target >> (4 - s)) - 2 * offCentreSum(half));
    if (fits(half)) {
      *shift = s;
      return;
    }
    if (s == 0) break;
    int n = 5 - s;
    for (int k = 0; k < 25; k++) {
      int64_t h = (int64_t{1} << (4 - s)) - (k % 2);
      int64_t v = input[k];
      half[k] = static_cast<int32_t>(v >= 0 ? (v + h) >> n : -((h - v) >> n));
    }
  }
  // Not even shift 0 fits (a coefficient list of large values): saturate the taps at shift 0 and
  // recompute the centre from what is left, so the kernel keeps its target as far as the centre can.
  for (int k = 0; k < 24; k++) half[k] = std::clamp<int32_t>(half[k], -kImgDspTapLimit[k] - 1, kImgDspTapLimit[k]);
  int64_t centre = (target >> 4) - 2 * offCentreSum(half);
  half[24] = static_cast<int32_t>(std::clamp<int64_t>(centre, -kImgDspTapLimit[24] - 1, kImgDspTapLimit[24]));
  *shift = 0;
}

void img_dsp_make_kernel(int strength, int normalise, int kind, int direction, int* shift, img_dsp_half_kernel_q8 half) {
  img_dsp_interpolate_kernel(strength, half, tableOf(kind, direction));
  if (kind == IMG_DSP_KIND_NEG_HIGH_PASS)
    for (int p = 0; p < 25; p++) half[p] = -half[p];
  *shift = 4;
  if (normalise) img_dsp_quantize_kernel(shift, half, targetOf(kind));
}

void img_dsp_convolve_with_lowpass(const img_dsp_half_kernel_q8 in, int strength, int normalise, int kind, int direction,
                                   int* shift, img_dsp_half_kernel_q8 out) {
  img_dsp_half_kernel_q8 lowHalf;
  img_dsp_make_kernel(strength, 0, IMG_DSP_KIND_SMOOTH, direction, shift, lowHalf);
  int32_t k[49], l[49];
  mirror(in, k);
  mirror(lowHalf, l);
  // Central 7x7 of the full convolution; the result is point-symmetric, so 25 outputs suffice.
  for (int o = 0; o < 25; o++) {
    int r = o / 7 - 3, c = o % 7 - 3;
    int64_t sum = 0;
    for (int pr = std::max(-3, r - 3); pr <= std::min(3, r + 3); pr++)
      for (int pc = std::max(-3, c - 3); pc <= std::min(3, c + 3); pc++)
        sum += int64_t{k[(pr + 3) * 7 + pc + 3]} * l[(r - pr + 3) * 7 + (c - pc + 3)];
    out[o] = static_cast<int32_t>((sum + 128) >> 8);
  }
  if (normalise) img_dsp_quantize_kernel(shift, out, targetOf(kind));
}

void img_dsp_make_filtered_kernel(int strength_a, int strength_b, int normalise, int kind, int direction_a,
                                  int direction_b, int* shift, img_dsp_half_kernel_q8 out) {
  img_dsp_half_kernel_q8 a;
  img_dsp_make_kernel(strength_a, 0, kind, direction_a, shift, a);
  img_dsp_convolve_with_lowpass(a, strength_b, normalise, kind, direction_b, shift, out);
}

void img_dsp_blend_kernels(int strength_a, int strength_b, int weight, int normalise, int kind, int direction,
                           int* shift, img_dsp_half_kernel_q8 out) {
  img_dsp_half_kernel_q8 iso, dir;
  img_dsp_make_kernel(strength_a, 0, kind, 0, shift, iso);
  img_dsp_make_kernel(strength_b, 0, kind, direction, shift, dir);
  for (int p = 0; p < 25; p++) out[p] = roundQ8(int64_t{weight} * iso[p] + int64_t{256 - weight} * dir[p]);
  if (normalise) img_dsp_quantize_kernel(shift, out, targetOf(kind));
}

void img_dsp_expand_coeffs(const img_dsp_coeff_q8_t coeff[10], int* shift, img_dsp_half_kernel_q8 half) {
  *shift = 4;
  for (int p = 0; p < 25; p++) half[p] = coeff[kImgDspTapClass[p]];
}

void img_dsp_expand_coeffs_complement(const img_dsp_coeff_q8_t coeff[10], img_dsp_half_kernel_q8 half, int complement) {
  // The complement (identity minus the list's kernel) is formed on a wide copy: the caller's list
  // stays as it is, and 256 - coeff[9] may not fit 16 bits.
  int32_t c[10];
  for (int i = 0; i < 10; i++) c[i] = coeff[i];
  if (complement) {
    for (int i = 0; i < 9; i++) c[i] = -c[i];
    c[9] = 256 - c[9];
  }
  for (int p = 0; p < 25; p++) half[p] = c[kImgDspTapClass[p]];
}

void imgdsp::writeAllDirections(uint8_t* block, int shift, const img_dsp_half_kernel_q8 half) {
  for (int d = 0; d <= 8; d++) img_dsp_write_fir_dir(block, d, shift, half);
}

void img_dsp_write_fir_dir(uint8_t block[IMG_DSP_FIR_BLOCK_BYTES], int direction, int shift,
                           const img_dsp_half_kernel_q8 half) {
  if (direction < 0 || direction > 8) {
    say("Error! Unknown FIR dir %d\n", direction);
    return;
  }
  uint8_t* record = block + kDirectionRecordBytes * direction;
  uint16_t first = static_cast<uint16_t>(record[0] | record[1] << 8);
  first = static_cast<uint16_t>((first & ~0x1ffu) | (static_cast<uint32_t>(half[24]) & 0x1ffu));
  record[0] = static_cast<uint8_t>(first);
  record[1] = static_cast<uint8_t>(first >> 8);
  for (int k = 0; k < 24; k++) record[4 + kRecordPlace[k]] = static_cast<uint8_t>(half[k]);
  uint8_t* w = block + kShiftWordOffset;
  uint32_t word = w[0] | w[1] << 8 | w[2] << 16 | static_cast<uint32_t>(w[3]) << 24;
  word = (word & ~(7u << (3 * direction))) | (static_cast<uint32_t>(shift) & 7u) << (3 * direction);
  for (int i = 0; i < 4; i++) w[i] = static_cast<uint8_t>(word >> (8 * i));
}
