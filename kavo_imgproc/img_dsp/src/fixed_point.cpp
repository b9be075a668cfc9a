// Numeric helpers of the high- and low-ISO computations: curve lookups with a fractional index, the
// packed 16x16x16 tone table, the ratio rounder and the phase-increment chooser.
#include <algorithm>
#include <cstdlib>

#include "design.h"

namespace {

// t[x / 64] plus the fraction x mod 64 of the step to the next entry; x is 14 bits with 6 fractional.
template <class T>
void lookup3(const int32_t in[3], int32_t out[3], const T curve[256]) {
  for (int k = 0; k < 3; k++) {
    int32_t x = in[k];
    int32_t i = x / 64;
    if (x < 0)
      out[k] = curve[0];
    else if (i < 255)
      out[k] = static_cast<int32_t>(curve[i] + (((int64_t{curve[i + 1]} - curve[i]) * (x % 64) + 32) >> 6));
    else
      out[k] = curve[255];
  }
}

}  // namespace

void img_dsp_curve_lookup3(const int32_t in[3], int32_t out[3], const int32_t curve[256]) { lookup3(in, out, curve); }

void img_dsp_curve_lookup3_u16(const int32_t in[3], int32_t out[3], const uint16_t curve[256]) {
  lookup3(in, out, curve);
}

void img_dsp_build_3d_tone_table(uint32_t out[4096], const uint16_t curve[256], const int32_t grid[16]) {
  for (int a = 0; a < 16; a++)
    for (int b = 0; b < 16; b++)
      for (int c = 0; c < 16; c++) {
        int32_t in[3] = {grid[a], grid[b], grid[c]}, v[3];
        img_dsp_curve_lookup3_u16(in, v, curve);
        uint32_t word = 0;
        for (int k = 0; k < 3; k++) word |= static_cast<uint32_t>(std::clamp(v[k], 0, 1023)) << (10 * k);
        uint32_t& w = out[a * 256 + b * 16 + c];
        w = (w & 0xc0000000u) | word;
      }
}

int32_t img_dsp_round_ratio8(int32_t numerator, int32_t denominator, int32_t cap) {
  if (denominator == 0) return 0;
  int64_t r = int64_t{32} * numerator / denominator;
  r = (r + 4) / 8 * 8;
  return static_cast<int32_t>(std::clamp<int64_t>(std::min<int64_t>(r, cap), INT32_MIN, INT32_MAX));
}

void img_dsp_choose_phase_inc(uint32_t numerator, uint32_t denominator, uint32_t* phase, uint32_t* inverse,
                              uint32_t step) {
  if (numerator == 0 || denominator == 0) return;
  uint32_t scaled = numerator * 8192u;  // formed in 32 bits, as the DSP's reference does
  uint64_t q = ((uint64_t{scaled} << 32) + denominator / 2) / denominator >> 32;
  uint64_t base = q;
  if ((q > 32768 ? q - 32768 : 32768 - q) <= 99)
    base = 32768;
  else if ((q > 16384 ? q - 16384 : 16384 - q) <= 99)
    base = 16384;
  uint64_t best = (uint64_t{1} << 48) - (uint64_t{1} << 20);
  for (uint64_t j = 0; j < 150; j += uint64_t{step} + 1) {
    uint64_t p = base + j;
    if (p == 0) continue;  // a numerator that wrapped to 0 in 32 bits
    uint64_t v = ((uint64_t{1} << 58) + p / 2) / p;
    uint64_t n = (v + (uint64_t{1} << 31)) >> 32;
    uint64_t m = n << 32;
    uint64_t error = v > m ? v - m : m - v;
    if (error < best) {
      best = error;
      *phase = static_cast<uint32_t>(p);
      *inverse = static_cast<uint32_t>(n);
    }
  }
}
