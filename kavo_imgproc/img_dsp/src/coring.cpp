// Coring tables (signal retain, packing into the DSP's coring block) and the luma-sharpening table.
#include <algorithm>

#include "design.h"
#include "state.h"

using namespace imgdsp;

namespace {

// Percent curves of the luma-sharpening table: position curves T5 and T10 (64 entries, 8 rows of 8)
// and column curves R3, R7 and R10.
constexpr int kT10[64] = {20, 40, 70, 100, 100, 100, 100, 100,  //
                          10, 20, 50, 80, 90, 100, 100, 100,    //
                          0, 0, 30, 60, 80, 100, 100, 100,      //
                          0, 0, 20, 40, 60, 80, 100, 100,       //
                          0, 0, 20, 40, 60, 80, 100, 100,       //
                          0, 0, 20, 40, 60, 80, 100, 100,       //
                          0, 0, 20, 40, 60, 80, 100, 100,       //
                          0, 0, 20, 40, 60, 80, 100, 100};
constexpr int kT5[64] = {80, 90, 100, 100, 100, 100, 100, 100,  //
                         60, 70, 90, 100, 100, 100, 100, 100,   //
                         10, 20, 50, 80, 100, 100, 100, 100,    //
                         0, 0, 30, 60, 90, 100, 100, 100,       //
                         0, 0, 20, 40, 80, 100, 100, 100,       //
                         0, 0, 20, 40, 70, 100, 100, 100,       //
                         0, 0, 20, 40, 60, 100, 100, 100,       //
                         0, 0, 20, 40, 60, 100, 100, 100};
constexpr int kR3[8] = {0, 50, 100, 100, 100, 100, 100, 100};
constexpr int kR7[8] = {0, 0, 50, 100, 100, 100, 100, 100};
constexpr int kR10[8] = {0, 0, 0, 50, 80, 100, 100, 100};

}  // namespace

void img_dsp_pack_coring_table(const uint8_t table[256], uint32_t block[IMG_DSP_CORING_BLOCK_WORDS]) {
  for (int j = 0; j < 64; j++)
    block[j] = table[4 * j] + 32u * table[4 * j + 1] + 1024u * table[4 * j + 2] + 32768u * table[4 * j + 3];
}

void img_dsp_apply_signal_retain(uint8_t table[256], uint8_t level) {
  int s = 4 * level;
  for (int d = 1; d <= 127; d++) {
    uint8_t v = static_cast<uint8_t>(std::clamp((s + d / 2) / d, 0, 8));
    table[128 + d] = std::max(table[128 + d], v);
    table[128 - d] = std::max(table[128 - d], v);
  }
  table[128] = std::max<uint8_t>(table[128], static_cast<uint8_t>(std::min(s, 8)));
}

void img_dsp_build_luma_sharpen_table(uint8_t table[IMG_DSP_LUMA_TABLE_BYTES], uint8_t base_a, uint8_t base_b,
                                      int column_level, int position_level) {
  for (int e = 0; e < 128; e++) table[4 * e] = e < 64 ? base_a : base_b;
  int p = position_level, c = column_level;
  if (p != g.lumaPositionLevel) {
    for (int i = 0; i < 64; i++)
      g.lumaPositionCurve[i] = p <= 5 ? ((5 - p) * 100 + p * kT5[i]) / 5 : ((p - 5) * kT10[i] + (10 - p) * kT5[i]) / 5;
    g.lumaPositionLevel = p;
  }
  if (c != g.lumaColumnLevel) {
    for (int j = 0; j < 8; j++) {
      if (c <= 3)
        g.lumaColumnCurve[j] = ((3 - c) * 100 + c * kR3[j]) / 3;
      else if (c <= 7)
        g.lumaColumnCurve[j] = ((c - 3) * kR7[j] + (7 - c) * kR3[j]) >> 2;
      else
        g.lumaColumnCurve[j] = ((10 - c) * kR7[j] + (c - 7) * kR10[j]) / 3;
    }
    g.lumaColumnLevel = c;
  }
  for (int e = 0; e < 128; e++) {
    int value = table[4 * e];
    int x = ((g.lumaPositionCurve[e % 64] * value / 100) % 256) * g.lumaColumnCurve[e % 8] / 100;
    table[4 * e] = static_cast<uint8_t>(x);
  }
}
