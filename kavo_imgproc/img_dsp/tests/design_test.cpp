// Filter design and fixed-point helpers: exact values from the library's own figures and rules.
#include <gtest/gtest.h>

#include <cstring>

#include "design.h"
#include "hooks.h"

using namespace imgdsp_test;

namespace {

std::vector<int32_t> taps(std::initializer_list<std::pair<int, int32_t>> values) {
  std::vector<int32_t> t(25, 0);
  for (auto [p, v] : values) t[p] = v;
  return t;
}

std::vector<int32_t> toVector(const img_dsp_half_kernel_q8 h) { return {h, h + 25}; }

}  // namespace

// Table kernels, quantised: the high-pass rows the description gives, the interpolation between
// them (strength 32: -3.5 and -19 round away from zero, the centre 90 is recomputed as 92), and the
// identity, too wide for shift 4.
TEST(ImgDspKernel, TableKernelsQuantised) {
  struct Case {
    int strength, kind, direction;
    std::vector<int32_t> taps;
    int shift;
  } cases[] = {
      {64, IMG_DSP_KIND_HIGH_PASS, 0, taps({{16, -7}, {17, -38}, {18, -7}, {23, -38}, {24, 180}}), 4},
      {32, IMG_DSP_KIND_HIGH_PASS, 0, taps({{16, -4}, {17, -19}, {18, -4}, {23, -19}, {24, 92}}), 4},
      {0, IMG_DSP_KIND_HIGH_PASS, 0, taps({}), 4},
      {64, IMG_DSP_KIND_HIGH_PASS, 1, taps({{23, -80}, {24, 160}}), 4},
      {64, IMG_DSP_KIND_NEG_HIGH_PASS, 2, taps({{17, 80}, {24, -160}}), 4},
      {0, IMG_DSP_KIND_SMOOTH, 0, taps({{24, 128}}), 3},
  };
  for (const Case& c : cases) {
    img_dsp_half_kernel_q8 h;
    int shift = -1;
    img_dsp_make_kernel(c.strength, 1, c.kind, c.direction, &shift, h);
    EXPECT_EQ(toVector(h), c.taps) << "strength " << c.strength << " kind " << c.kind;
    EXPECT_EQ(shift, c.shift) << "strength " << c.strength << " kind " << c.kind;
  }
  // The isotropic smoothing kernel of strength 256 (row 4) fits at full scale as it stands.
  img_dsp_half_kernel_q8 h;
  int shift = -1;
  img_dsp_make_kernel(256, 1, IMG_DSP_KIND_SMOOTH, 0, &shift, h);
  EXPECT_EQ(shift, 4);
  EXPECT_EQ(h[0], 5);
  EXPECT_EQ(h[17], 6);
  EXPECT_EQ(h[24], 12);
}

// Quantisation: retries at half scale with the centre recomputed for the halved target; odd
// positions round halves down, even ones up; a kernel that fits at no shift saturates at shift 0
// with its centre recomputed. The complement of a coefficient list is formed wide.
TEST(ImgDspKernel, QuantisationToTapWidths) {
  struct Case {
    const char* what;
    std::vector<int32_t> in;
    int target;
    std::vector<int32_t> out;
    int shift;
  } cases[] = {
      {"centre 300", taps({{17, -75}, {23, -75}}), 0, taps({{17, -37}, {23, -37}, {24, 148}}), 3},
      {"target 256", taps({{17, -75}, {23, -75}}), 256, taps({{17, -19}, {23, -19}, {24, 140}}), 2},
      {"rounding", taps({{0, 3}, {1, 3}, {2, -3}, {3, -3}, {6, 17}}), 0,
       taps({{0, 2}, {1, 1}, {2, -2}, {3, -1}, {6, 9}, {24, -18}}), 3},
      {"no shift fits", taps({{0, 32767}, {17, -32768}}), 0, taps({{0, 15}, {17, -128}, {24, 226}}), 0},
      {"saturated centre", std::vector<int32_t>(25, -32768), 0,
       {-16, -16, -16, -16, -16, -16, -16, -16, -32, -32, -32, -32, -32, -16, -16, -32, -64, -128, -64, -32, -16, -16,
        -32, -128, 255},
       0},
  };
  for (const Case& c : cases) {
    img_dsp_half_kernel_q8 h;
    std::copy(c.in.begin(), c.in.end(), h);
    int shift = 4;
    img_dsp_quantize_kernel(&shift, h, c.target);
    EXPECT_EQ(toVector(h), c.out) << c.what;
    EXPECT_EQ(shift, c.shift) << c.what;
  }
  img_dsp_coeff_q8_t extreme[10] = {-32768, 0, 0, 0, 0, 0, 0, 0, 0, -32768};
  img_dsp_half_kernel_q8 h;
  img_dsp_expand_coeffs_complement(extreme, h, 1);
  EXPECT_EQ(h[0], 32768);
  EXPECT_EQ(h[24], 256 + 32768);
  EXPECT_EQ(extreme[9], -32768);
}

// A direction record keeps the bits beyond its fields; an unknown direction is refused with its
// message and the block is left as it was.
TEST_F(ImgDspTest, DirectionRecordFields) {
  std::vector<int32_t> k = taps({{16, -7}, {17, -38}, {24, 180}});
  uint8_t block[256] = {};
  block[1] = 0xfe;    // bits 9-15 of direction 0's first word
  block[255] = 0xf8;  // bits 27-31 of the shift word
  img_dsp_write_fir_dir(block, 0, 4, k.data());
  img_dsp_write_fir_dir(block, 8, 3, k.data());
  expectDirectionRecord(block, 0, k);
  expectDirectionRecord(block, 8, k);
  EXPECT_EQ(block[1] & 0xfe, 0xfe);
  uint32_t word;
  std::memcpy(&word, block + 252, 4);
  EXPECT_EQ(word, 0xf8000000u | 3u << 24 | 4u);
  uint8_t before[256];
  std::memcpy(before, block, sizeof block);
  img_dsp_write_fir_dir(block, 9, 4, k.data());
  EXPECT_EQ(std::memcmp(before, block, sizeof block), 0);
  EXPECT_EQ(messages(), "Error! Unknown FIR dir 9\n");

  // A kernel whose 25 taps all differ (16 + position, position 3 at -3, 17 at -100, centre -200),
  // written as direction 5 at shift 2 over a block of 0x5a: the record byte by byte as the layout
  // places the taps (byte: position), the rest of the block as it was.
  std::vector<int32_t> distinct(25);
  for (int p = 0; p < 24; p++) distinct[p] = 16 + p;
  distinct[3] = -3, distinct[17] = -100, distinct[24] = -200;
  std::memset(block, 0x5a, sizeof block);
  img_dsp_write_fir_dir(block, 5, 2, distinct.data());
  const uint8_t record[28] = {
      0x38, 0x5b,  // centre 0x138 in bits 0-8, bits 9-15 kept
      0x5a, 0x5a,  // not written
      0x9c /* 17 */, 0x27 /* 23 */, 0x20 /* 16 */, 0x22 /* 18 */, 0x18 /* 8 */,  0x19 /* 9 */,
      0x1a /* 10 */, 0x1b /* 11 */, 0x1c /* 12 */, 0x1f /* 15 */, 0x23 /* 19 */, 0x26 /* 22 */,
      0x10 /* 0 */,  0x11 /* 1 */,  0x12 /* 2 */,  0xfd /* 3 */,  0x14 /* 4 */,  0x15 /* 5 */,
      0x16 /* 6 */,  0x17 /* 7 */,  0x1d /* 13 */, 0x1e /* 14 */, 0x24 /* 20 */, 0x25 /* 21 */};
  uint8_t want[256];
  std::memset(want, 0x5a, sizeof want);
  std::memcpy(want + 28 * 5, record, sizeof record);
  want[254] = 0x59;  // the shift word 0x5a595a5a (little-endian): bits 15-17 := 2, the others kept
  EXPECT_EQ(std::vector<uint8_t>(block, block + 256), std::vector<uint8_t>(want, want + 256));
}

// Coring packing of the all-8 table, signal retain at levels 0, 1 and 2, and the luma-sharpening
// table (the description's entries at levels 10/10, bases kept at 0/0, the level cache).
TEST_F(ImgDspTest, CoringAndLumaTables) {
  uint8_t table[256];
  std::memset(table, 8, sizeof table);
  uint32_t block[64];
  img_dsp_pack_coring_table(table, block);
  for (uint32_t w : block) EXPECT_EQ(w, 270600u);

  std::memset(table, 0, sizeof table);
  img_dsp_apply_signal_retain(table, 0);
  EXPECT_EQ(std::count(table, table + 256, 0), 256);
  img_dsp_apply_signal_retain(table, 1);
  for (int d = 0; d <= 127; d++) {
    int want = d <= 1 ? 4 : d == 2 ? 2 : d <= 8 ? 1 : 0;  // (4 + d / 2) / d
    EXPECT_EQ(table[128 + d], want) << d;
    EXPECT_EQ(table[128 - d], want) << -d;
  }
  EXPECT_EQ(table[0], 0);
  img_dsp_apply_signal_retain(table, 2);
  EXPECT_EQ(table[127] + table[128] + table[129], 24);

  uint8_t luma[512] = {};
  struct Case {
    int column, position, entry, value;
  } cases[] = {{10, 10, 0, 0}, {10, 10, 7, 32}, {0, 0, 0, 32}, {0, 0, 127, 32}, {5, 3, 9, 6}, {10, 10, 7, 32}};
  for (const Case& c : cases) {
    img_dsp_build_luma_sharpen_table(luma, 32, 32, c.column, c.position);
    EXPECT_EQ(luma[4 * c.entry], c.value) << "levels " << c.column << "/" << c.position << " entry " << c.entry;
  }
}

TEST(ImgDspFixedPoint, RatiosPhasesAndCurves) {
  struct Ratio {
    int32_t num, den, cap, want;
  } ratios[] = {{1920, 4, 1000, 1000}, {100, 3, 10000, 1064}, {-100, 3, 10000, -1056}, {7, 0, 100, 0}};
  for (const Ratio& r : ratios) EXPECT_EQ(img_dsp_round_ratio8(r.num, r.den, r.cap), r.want) << r.num << "/" << r.den;

  struct Phase {
    uint32_t num, den, step, phase, inverse;
  } phases[] = {
      {1, 1, 0, 8192, 8192}, {1, 2, 0, 4096, 16384}, {2, 1, 0, 16384, 4096},
      {401, 100, 0, 32768, 2048},  // within 99 of 32768: snapped
      {3, 1, 0, 24582, 2730},      // 2^26 / 2730 = 24582.0: the nearest integer inverse
      {3, 1, 4, 24591, 2729},      // every fifth candidate only
      {1, 10000, 0, 1, 1u << 26},  // q rounds to 0: the zero candidate (a division by zero) is passed over
      {0, 5, 0, 77, 77},           // nothing written for a zero numerator or denominator
      {5, 0, 0, 77, 77},
  };
  for (const Phase& p : phases) {
    uint32_t phase = 77, inverse = 77;
    img_dsp_choose_phase_inc(p.num, p.den, &phase, &inverse, p.step);
    EXPECT_EQ(phase, p.phase) << p.num << "/" << p.den;
    EXPECT_EQ(inverse, p.inverse) << p.num << "/" << p.den;
  }

  // Lookups with a 6-bit fraction: below 0 the first entry, from index 255 the last; the step's
  // fraction rounds towards minus infinity on a falling curve.
  int32_t rising[256];
  uint16_t falling[256];
  for (int i = 0; i < 256; i++) rising[i] = 4 * i, falling[i] = static_cast<uint16_t>(1000 - 3 * i);
  const int32_t up[3] = {64 * 10 + 32, -1, 255 * 64}, down[3] = {64 * 5 + 1, 64 * 5 + 63, 64 * 254 + 32};
  int32_t out[3];
  img_dsp_curve_lookup3(up, out, rising);
  EXPECT_EQ(std::vector<int32_t>(out, out + 3), std::vector<int32_t>({42, 0, 1020}));
  img_dsp_curve_lookup3_u16(down, out, falling);
  EXPECT_EQ(std::vector<int32_t>(out, out + 3), std::vector<int32_t>({985, 982, 237}));

  // The tone table packs three looked-up values, limited to 10 bits, and keeps bits 30 and 31.
  uint16_t curve[256];
  int32_t grid[16];
  for (int i = 0; i < 256; i++) curve[i] = static_cast<uint16_t>(i < 255 ? 4 * i : 5000);
  for (int i = 0; i < 16; i++) grid[i] = i * 1024 + (i == 15 ? 2000 : 0);
  std::vector<uint32_t> tone(4096, 0xc0000000u);
  img_dsp_build_3d_tone_table(tone.data(), curve, grid);
  EXPECT_EQ(tone[1 * 256 + 2 * 16 + 3], 0xc0000000u | 64 | 128 << 10 | 192 << 20);
  EXPECT_EQ(tone[4095], 0xc0000000u | 1023u | 1023u << 10 | 1023u << 20);
}
