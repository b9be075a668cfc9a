// High-ISO mode: the work area and record after set-up, the run's refusal without colour data, a run
// on a complete input (its FIR, coring and alpha/level blocks against the design rules, the record's
// fields in their ranges, the colour tables), the one-time blocks across set-ups, the preparation, the
// sizes, the small getters and the dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "design.h"
#include "hooks.h"
#include "iso.h"
#include "state.h"
#include "tables.h"

using namespace imgdsp_test;
using imgdsp::g;

namespace {

const int kFd = 4;

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }

void loadHighIsoColour() {
  std::vector<uint8_t> reg = regFile(1, 0), table = table3d(1, 0, 1);
  img_dsp_cc_reg_info regInfo{reg.data()};
  img_dsp_cc_3d_info tableInfo{table.data()};
  ASSERT_EQ(img_dsp_set_color_correction_reg(&regInfo), 0);
  ASSERT_EQ(img_dsp_set_color_correction(kFd, &tableInfo), 0);
  ASSERT_TRUE(g.p.hisoLoaded);
}

// An input as a tuning file would give it: every path, table and setting filled.
img_high_iso_input completeInput() {
  img_high_iso_input in{};
  in.high_iso_color_correction = {900, 950, 1024, 1024, 128, 160};
  in.luma_control.global_strength = 32;
  in.luma_detail_preservation.strength = 64;
  auto& f = in.luma_freq_separation;
  f.high_band_max_change_down = 20, f.high_band_max_change_up = 30;
  f.low_band_max_change_down = 40, f.low_band_max_change_up = 300;  // beyond a byte
  f.medium_band_max_change_down = 50, f.medium_band_max_change_up = 60;
  in.chroma_level_based_noise_reduction = {80, 16, 96, 20};
  in.first_chroma_filter = {1, 2, 3, 4, 200, 180};
  in.second_chroma_filter = {1, 2, 3, 4, 5, 6, 7, 8, 400, 90};
  for (int k = 0; k < 5; k++) {
    img_high_iso_path& p = in.path[k];
    p.fir_strength_iso = static_cast<uint16_t>(40 + 50 * k);
    p.fir_strength_dir = static_cast<uint16_t>(250 - 30 * k);
    p.blend_strength_a = static_cast<uint16_t>(64 * k), p.blend_strength_b = 192, p.blend_strength_c = 256;
    p.blend_weight = static_cast<uint16_t>(k == 4 ? 900 : 60 * k);  // the last beyond 256
    p.low = static_cast<uint8_t>(10 + k), p.low_delta = 2, p.high = 200, p.high_delta = 6;  // high_0 wraps
    p.mode = k == 3 ? 2 : 0;
    p.retain_level = static_cast<uint8_t>(k);
    p.coring_value = static_cast<uint8_t>(20 * k);
    p.coring_strength = static_cast<uint16_t>(30 * k);
    p.edge_threshold = static_cast<uint16_t>(k == 2 ? 5000 : 100 * k);
    p.blend_enable = 1, p.edge_threshold_multiplier = 2, p.iso_threshold_multiplier = 3;
    p.edge_threshold0 = 10, p.edge_threshold1 = 20, p.dir_threshold0 = 30, p.dir_threshold1 = 40;
    p.iso_threshold0 = 50, p.iso_threshold1 = 60;
  }
  const uint16_t alpha[4] = {0, 100, 192, 230};
  for (int k = 0; k < 4; k++) in.alpha[k] = {alpha[k], static_cast<uint8_t>(k + 5), 0};
  for (int i = 0; i < 8; i++) in.chroma_median_act_thresh[i] = static_cast<uint16_t>(i * 11);
  in.max_change_up_fine_detail = 7, in.max_change_down_fine_detail = 8, in.max_change_down_alpha = 9;
  in.debug_major_step = 17, in.debug_minor_step = 5;
  in.use_color_correction_tone_curve = 1;
  for (int t = 0; t < 4; t++)
    for (int i = 0; i < 256; i++) in.coring[t][i] = static_cast<uint8_t>(std::abs(i - 128) / (t + 5));
  return in;
}

struct Direction {
  int shift;
  int32_t tap[25];
};

// A FIR block's direction record read back: centre from 9 bits, the other taps from their bytes.
Direction readDirection(const uint8_t* block, int d) {
  static const int kPlace[24] = {12, 13, 14, 15, 16, 17, 18, 19, 4, 5, 6, 7, 8, 20, 21, 9, 2, 0, 3, 10, 22, 23, 11, 1};
  Direction out;
  const uint8_t* r = block + 28 * d;
  int centre = (r[0] | r[1] << 8) & 0x1ff;
  out.tap[24] = centre >= 256 ? centre - 512 : centre;
  for (int k = 0; k < 24; k++) out.tap[k] = static_cast<int8_t>(r[4 + kPlace[k]]);
  uint32_t shifts;
  std::memcpy(&shifts, block + 252, 4);
  out.shift = shifts >> (3 * d) & 7;
  return out;
}

// Every direction of a high-pass block: taps within their widths, the whole kernel summing to 0 at
// any shift; an isotropic block also keeps its eightfold symmetry (one value per tap class).
void expectHighPassBlock(const uint8_t* block, bool isotropic, const char* what) {
  for (int d = 0; d <= 8; d++) {
    Direction k = readDirection(block, d);
    ASSERT_LE(k.shift, 4) << what << " direction " << d;
    int64_t sum = k.tap[24];
    for (int p = 0; p < 25; p++) {
      EXPECT_LE(k.tap[p], kImgDspTapLimit[p]) << what << " direction " << d << " tap " << p;
      EXPECT_GE(k.tap[p], -kImgDspTapLimit[p] - 1) << what << " direction " << d << " tap " << p;
      if (p < 24) sum += 2 * k.tap[p];
    }
    EXPECT_EQ(sum, 0) << what << " direction " << d;
    if (!isotropic) continue;
    int32_t byClass[10];
    std::fill(byClass, byClass + 10, INT32_MIN);
    for (int p = 0; p < 25; p++) {
      int32_t& c = byClass[kImgDspTapClass[p]];
      if (c == INT32_MIN) c = k.tap[p];
      EXPECT_EQ(k.tap[p], c) << what << " direction " << d << " tap " << p;
    }
  }
}

// A coring block's 256 values; no value may spill beyond its 5-bit field.
std::vector<int> coringValues(const uint32_t* block) {
  std::vector<int> t;
  for (int j = 0; j < 64; j++) {
    EXPECT_LT(block[j], 1u << 20) << j;
    for (int f = 0; f < 4; f++) t.push_back(block[j] >> (5 * f) & 31);
  }
  return t;
}

const uint8_t* bytes(const uint32_t* block) { return reinterpret_cast<const uint8_t*>(block); }

std::vector<int> levelBytes(const img_dsp_level_control_record& l) {
  return {int(l.cmd_code), int(l.select), l.low, l.low_0, l.low_delta, l.low_val, l.high,
          l.high_0, l.high_delta, l.high_val, l.base_val, l.area, l.clip_low, l.clip_high};
}

}  // namespace

// After set-up every work area is clear but the alpha table (32 in the first byte of each entry); the
// record holds only the identity rgb2yuv and the addresses of the 44 areas, one after the other in
// the work area, and of itself; the input copy holds its five defaults of 32.
TEST_F(ImgDspTest, HighIsoAfterSetUp) {
  for (int pass = 0; pass < 2; pass++) {
    const imgdsp::HighIso& h = g.hiso;
    const uint8_t* work = reinterpret_cast<const uint8_t*>(&h.work);
    for (size_t i = 0; i < sizeof h.work; i++) {
      size_t inAlpha = i - (reinterpret_cast<const uint8_t*>(h.work.alpha) - work);
      ASSERT_EQ(work[i], inAlpha < 512 && inAlpha % 4 == 0 ? 32 : 0) << i;
    }
    std::vector<uint32_t> sizes = {48, 48, 48, 768, 768};
    for (int i = 0; i < 3; i++) sizes.push_back(2304), sizes.push_back(16384);
    sizes.insert(sizes.end(), 23, 256);
    sizes.push_back(512);
    sizes.insert(sizes.end(), 4, 528);
    sizes.insert(sizes.end(), {512, 256, 512, 256, 3888});
    ASSERT_EQ(sizes.size(), IMG_HIGH_ISO_AREA_COUNT);
    uintptr_t next = at(&h.work);
    for (size_t k = 0; k < IMG_HIGH_ISO_AREA_COUNT; k++) {
      EXPECT_EQ(h.params.address.area[k], next) << k;
      next += sizes[k];
    }
    EXPECT_EQ(next, at(&h.work) + IMG_HIGH_ISO_WORK_BYTES);
    EXPECT_EQ(h.params.address.record, at(&h.params));
    EXPECT_EQ(h.params.address.area[34], at(h.work.alpha));
    EXPECT_EQ(std::vector<int16_t>(h.params.rgb2yuv, h.params.rgb2yuv + 12),
              std::vector<int16_t>({1024, 0, 0, 0, 1024, 0, 0, 0, 1024, 0, 128, 128}));
    img_high_iso_params rest = h.params;
    std::memset(rest.rgb2yuv, 0, sizeof rest.rgb2yuv);
    std::memset(&rest.address, 0, sizeof rest.address);
    EXPECT_EQ(std::count_if(reinterpret_cast<const uint8_t*>(&rest), reinterpret_cast<const uint8_t*>(&rest + 1),
                            [](uint8_t b) { return b != 0; }),
              0);
    img_high_iso_input defaults{};
    for (auto& a : defaults.alpha) a.strength = 32;
    defaults.luma_control.global_strength = 32;
    EXPECT_EQ(0, std::memcmp(&h.input, &defaults, sizeof defaults));

    // A run, then a new set-up: the same state again.
    loadHighIsoColour();
    img_high_iso_input in = completeInput();
    ASSERT_EQ(img_high_iso_run(&in, nullptr), 0);
    ASSERT_EQ(img_dsp_lib_deinit(), 0);
    ASSERT_EQ(img_dsp_lib_init(), 0);
  }
}

TEST_F(ImgDspTest, HighIsoRunNeedsItsColourData) {
  std::vector<uint8_t> before(reinterpret_cast<const uint8_t*>(&g.hiso),
                              reinterpret_cast<const uint8_t*>(&g.hiso) + sizeof g.hiso);
  img_high_iso_input in = completeInput();
  img_high_iso_params out{};
  EXPECT_EQ(img_high_iso_run(&in, &out), -1);
  EXPECT_EQ(messages(), "Please input X5S highISO color correction 3D data before running highISO!!!\n");
  EXPECT_EQ(0, std::memcmp(before.data(), &g.hiso, sizeof g.hiso));
  EXPECT_EQ(out.address.record, 0u);
  // An ordinary 3D table is not high-ISO data.
  std::vector<uint8_t> reg = regFile(1, 0), table = table3d(1, 0);
  img_dsp_cc_reg_info regInfo{reg.data()};
  img_dsp_cc_3d_info tableInfo{table.data()};
  ASSERT_EQ(img_dsp_set_color_correction_reg(&regInfo), 0);
  ASSERT_EQ(img_dsp_set_color_correction(kFd, &tableInfo), 0);
  EXPECT_EQ(img_high_iso_run(&in, &out), -1);
  EXPECT_EQ(img_high_iso_run(nullptr, &out), -1);
}

TEST(ImgDspHighIsoScaleStrength, LimitedAndRaised) {
  EXPECT_EQ(img_high_iso_scale_strength(256, 0), 256);
  EXPECT_EQ(img_high_iso_scale_strength(10, 1), 32);
  EXPECT_EQ(img_high_iso_scale_strength(100, 0), 113);
  EXPECT_EQ(img_high_iso_scale_strength(100, 1), 88);
  EXPECT_EQ(img_high_iso_scale_strength(225, 0), 255);
}

TEST_F(ImgDspTest, HighIsoRunOnACompleteInput) {
  loadHighIsoColour();
  img_high_iso_input in = completeInput();
  img_high_iso_params out{};
  ASSERT_EQ(img_high_iso_run(&in, &out), 0);
  const imgdsp::HighIsoWork& w = g.hiso.work;
  const img_high_iso_params& r = g.hiso.params;
  EXPECT_EQ(0, std::memcmp(&out, &r, sizeof r));
  EXPECT_TRUE(hooks().requests.empty());

  for (int k = 0; k < 5; k++) {
    expectHighPassBlock(bytes(w.block[imgdsp::kHisoIsoFir + k]), true, "isotropic FIR");
    expectHighPassBlock(bytes(w.block[imgdsp::kHisoBlendFir + k]), false, "blended FIR");
  }
  for (int b : {imgdsp::kHisoOnceFir, imgdsp::kHisoFixedFir, imgdsp::kHisoHighPass256, imgdsp::kHisoHighPass192})
    expectHighPassBlock(bytes(w.block[b]), true, "one-time FIR");
  // Direction 0 of a path's FIR has its first strength, the others its second.
  Direction d0 = readDirection(bytes(w.block[imgdsp::kHisoIsoFir + 1]), 0);
  Direction d5 = readDirection(bytes(w.block[imgdsp::kHisoIsoFir + 1]), 5);
  img_dsp_half_kernel_q8 k;
  int shift;
  img_dsp_make_kernel(90, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  EXPECT_EQ(std::vector<int32_t>(d0.tap, d0.tap + 25), std::vector<int32_t>(k, k + 25));
  img_dsp_make_kernel(220, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  EXPECT_EQ(std::vector<int32_t>(d5.tap, d5.tap + 25), std::vector<int32_t>(k, k + 25));

  // Path coring: symmetric about zero; path 0 (no retain, no second level, no floor) is 8 everywhere
  // but at zero.
  for (int p = 0; p < 3; p++) {
    std::vector<int> t = coringValues(w.block[imgdsp::kHisoPathCoring + p]);
    for (int d = 1; d <= 127; d++) EXPECT_EQ(t[128 + d], t[128 - d]) << p << " " << d;
    EXPECT_GE(t[0], t[1]);
    if (p == 0) {
      EXPECT_EQ(t[128], 0);
      EXPECT_EQ(std::count(t.begin(), t.end(), 8), 255);
    }
  }
  EXPECT_EQ(coringValues(w.block[imgdsp::kHisoOnceCoring]), std::vector<int>(256, 4));
  EXPECT_EQ(coringValues(w.block[imgdsp::kHisoFixedCoring]), std::vector<int>(256, 8));
  for (int t = 0; t < 4; t++)
    EXPECT_EQ(coringValues(w.block[imgdsp::kHisoInputCoring + t]), std::vector<int>(in.coring[t], in.coring[t] + 256));

  // Alpha/level tables: a ramp of the rise's steps, 96 entries of 255, then clear; the header fields.
  const std::vector<uint16_t> steps = {0, 32, 64, 128, 160, 192, 224, 255};
  for (int t = 0; t < 4; t++) {
    const img_dsp_mctf_config& a = w.alphaLevel[t];
    const uint16_t* e = &a.curve[0][0];
    for (int i = 0; i < 64; i++) {
      EXPECT_NE(std::find(steps.begin(), steps.end(), e[i]), steps.end()) << t << " " << i;
      if (i > 0) {
        EXPECT_GE(e[i], e[i - 1]) << t << " " << i;
      }
    }
    EXPECT_EQ(std::count(e + 64, e + 160, 255), 96);
    EXPECT_EQ(std::count(e + 160, e + 256, 0), 96);
    EXPECT_EQ(a.edges, 0xff03ffffu);
    EXPECT_EQ(std::vector<int>({a.level[0], a.level[1], a.level[2], a.flags}), std::vector<int>({1, 1, t + 5, 1}));
  }
  EXPECT_EQ(w.alphaLevel[0].curve[0][63], 0);    // strength 0: nothing rises
  EXPECT_EQ(w.alphaLevel[1].curve[0][30], 0);    // 100: 31 zeros, then the rise
  EXPECT_EQ(w.alphaLevel[1].curve[0][31], 32);
  EXPECT_EQ(w.alphaLevel[2].curve[0][0], 32);    // 192: the rise from the first entry
  EXPECT_EQ(w.alphaLevel[3].curve[0][0], 192);   // 230: only the top of the rise is left
  EXPECT_EQ(w.alphaLevel[3].curve[0][2], 255);

  // The record's fields in their ranges.
  for (int p = 0; p < 5; p++)
    EXPECT_EQ(levelBytes(r.level[p]), std::vector<int>({0x2132, 2, 10 + p, 14 + p, 2, 0, 200, 8, 6, 96, 32,
                                                         p == 3 ? 1 : 6, -4096, 4095}))
        << p;
  EXPECT_EQ(levelBytes(r.level[5]), std::vector<int>({0x2132, 2, 10, 12, 1, 0, 20, 22, 1, 96, 32, 6, -4096, 4095}));
  EXPECT_EQ(levelBytes(r.level[6]), levelBytes(r.level[5]));
  EXPECT_EQ(levelBytes(r.level[7]), std::vector<int>({0x2132, 2, 10, 12, 1, 24, 20, 22, 1, 24, 24, 6, -4096, 4095}));
  EXPECT_EQ(std::vector<int>({r.edge_thresh_normal, r.edge_thresh_CB_first, r.edge_thresh_CD_first,
                              r.edge_thresh_level_based, r.edge_thresh_low_freq}),
            std::vector<int>({0, 100, 2047, 300, 400}));
  EXPECT_EQ(std::vector<int>({r.max_change_up_low, r.max_change_down_low, r.max_change_up_mid, r.max_change_down_mid,
                              r.max_change_up_high, r.max_change_down_high, r.max_change_up_fine_detail,
                              r.max_change_down_fine_detail, r.max_change_down_alpha}),
            std::vector<int>({255, 40, 60, 50, 30, 20, 7, 8, 9}));
  EXPECT_EQ(std::vector<int>({r.chroma_strength_bright_1, r.chroma_strength_bright_2, r.chroma_strength_dark_1,
                              r.chroma_strength_dark_2}),
            std::vector<int>({200, 255, 180, 90}));
  EXPECT_EQ(r.debug_mode, 17 | 5 << 5);
  EXPECT_EQ(r.use_color_correction_tone_curve, 1);
  EXPECT_EQ(r.chroma_median_act_thresh[7], 77);
  for (const img_high_iso_blend_control& b : r.blend)
    EXPECT_EQ(std::vector<int>({int(b.cmd_code), b.enable, b.edge_threshold_multiplier, b.iso_threshold1}),
              std::vector<int>({0x2131, 1, 2, 60}));
  EXPECT_EQ(std::vector<int16_t>(r.rgb2yuv, r.rgb2yuv + 12),
            std::vector<int16_t>({1024, 0, 0, 0, 1024, 0, 0, 0, 1024, 0, 128, 128}));

  // Colour: the register set of the colour input table in all three pairs, the identity tone table,
  // the loaded high-ISO lookup.
  for (const auto& c : w.colour)
    EXPECT_EQ(0, std::memcmp(c.reg, g.ccRegImage + imgdsp::kCcInputOffset[1], sizeof c.reg));
  for (int a : {0, 7, 15})
    for (int c : {0, 9, 15}) {
      uint32_t word = w.colour[1].table[a * 256 + 3 * 16 + c];
      auto grid = [](int i) { return uint32_t((i * 1023 + 7) / 15); };
      EXPECT_EQ(word, grid(a) | grid(3) << 10 | grid(c) << 20);
    }
  EXPECT_EQ(0, std::memcmp(w.colour[2].table, g.hisoTable + 128, sizeof w.colour[2].table));
}

// The colour stage converts its grid with the BT.601 factors; with every chroma taken away (no
// saturation, full strength, a range above every level) each point is grey at its luma.
TEST_F(ImgDspTest, HighIsoColourTable) {
  loadHighIsoColour();
  img_high_iso_input in = completeInput();
  in.high_iso_color_correction = {1024, 1024, 1024, 1024, 0, 0};
  ASSERT_EQ(img_high_iso_run(&in, nullptr), 0);
  const uint32_t* t = g.hiso.work.colour[0].table;
  auto rgb = [t](int a, int b, int c) {
    uint32_t w = t[a * 256 + b * 16 + c];
    return std::vector<int>({int(w & 1023), int(w >> 10 & 1023), int(w >> 20 & 1023)});
  };
  // Y 136, Cb 119 (-9), Cr 187 (+59), in 10 bits: R = Y + 1.4 Cr, G = Y - 0.34 Cb - 0.71 Cr, B = Y + 1.77 Cb.
  EXPECT_EQ(rgb(8, 7, 11), std::vector<int>({544 + 331, 544 + 12 - 168, 544 - 64}));
  EXPECT_EQ(rgb(0, 0, 0), std::vector<int>({0, 542, 0}));  // limited to 10 bits
  in.high_iso_color_correction = {0, 0, 0, 0, 256, 256};
  in.chroma_level_based_noise_reduction = {255, 255, 255, 255};
  ASSERT_EQ(img_high_iso_run(&in, nullptr), 0);
  for (int a = 0; a < 16; a++)
    for (int b = 0; b < 16; b += 5)
      for (int c = 0; c < 16; c += 3) EXPECT_EQ(rgb(a, b, c), std::vector<int>(3, 68 * a)) << a << b << c;
}

// The one-time blocks and level records are written by the first run of a set-up only; a new set-up
// clears them with its work area, so its first run writes them again.
TEST_F(ImgDspTest, HighIsoOneTimeBlocksPerSetUp) {
  loadHighIsoColour();
  img_high_iso_input in = completeInput();
  ASSERT_EQ(img_high_iso_run(&in, nullptr), 0);
  in.luma_detail_preservation.strength = 0;
  ASSERT_EQ(img_high_iso_run(&in, nullptr), 0);
  EXPECT_EQ(g.hiso.params.level[7].base_val, 24);  // from the first run

  ASSERT_EQ(img_dsp_lib_deinit(), 0);
  ASSERT_EQ(img_dsp_lib_init(), 0);
  loadHighIsoColour();
  ASSERT_EQ(img_high_iso_run(&in, nullptr), 0);
  const imgdsp::HighIsoWork& w = g.hiso.work;
  for (int b : {imgdsp::kHisoOnceFir, imgdsp::kHisoOnceCoring, imgdsp::kHisoFixedFir, imgdsp::kHisoFixedCoring,
                imgdsp::kHisoHighPass256, imgdsp::kHisoHighPass192})
    EXPECT_NE(std::count(w.block[b], w.block[b] + 64, 0u), 64) << b;
  EXPECT_EQ(g.hiso.params.level[7].base_val, 32);
  EXPECT_EQ(g.hiso.params.level[5].cmd_code, 0x2132u);
}

TEST_F(ImgDspTest, HighIsoRecordPreparation) {
  img_dsp_black_level_info black{{-600, 0, 100, 200}};
  ASSERT_EQ(img_dsp_set_black_level_offset(kFd, &black, 0), 0);
  img_dsp_chroma_scale_info scale{1, 0, {}};
  ASSERT_EQ(img_dsp_set_chroma_scale(kFd, &scale), 0);
  img_dsp_chroma_median_info median{1, 100, 200};
  ASSERT_EQ(img_dsp_set_chroma_median_filter(kFd, &median), 0);
  img_dsp_bad_pixel_info bad{1, 2, 4};
  ASSERT_EQ(img_dsp_set_dynamic_bad_pixel_correction(kFd, &bad), 0);
  g.hiso.input.use_color_correction_tone_curve = 1;

  img_high_iso_params r = g.hiso.params;
  r.rgb2yuv[4] = 7;
  ASSERT_EQ(img_high_iso_prepare_record(&r), 0);
  const imgdsp::HighIsoWork& w = g.hiso.work;
  EXPECT_EQ(r.switches, IMG_HIGH_ISO_SWITCH_TONE_CURVE);
  EXPECT_EQ(r.rgb2yuv[4], 1024);
  EXPECT_EQ(std::vector<int>({r.blo_ee, r.blo_eo, r.blo_oe, r.blo_oo}), std::vector<int>({-88, 512, 612, 712}));
  EXPECT_EQ(std::vector<int>({r.use_chroma_scale, r.use_dynamic_bad_pixel_correction, r.use_cfa_noise_filter,
                              r.edge_thresh_normal}),
            std::vector<int>({1, 1, 0, 2047}));
  EXPECT_EQ(0, std::memcmp(w.medianTable[0], g.p.chromaMedianTable, 48));
  EXPECT_EQ(0, std::memcmp(w.badPixel[0], imgdsp::kBadPixelRows[1][1], 768));
  EXPECT_EQ(0, std::memcmp(w.badPixel[1], imgdsp::kBadPixelRows[1][3] + 768, 768));
  EXPECT_EQ(w.fir[0], 0);  // mode 0's blocks only under high-ISO sharpening

  // High-ISO sharpening: mode 0's blocks come in, the luma gain is 1024 over the flag's value, or the
  // library's colour matrix after the YCbCr-to-RGB conversion (the identity again, within rounding).
  g.p.highIsoSharpen = 2;
  ASSERT_EQ(img_high_iso_prepare_record(&r), 0);
  EXPECT_EQ(r.switches, IMG_HIGH_ISO_SWITCH_SHARPEN | IMG_HIGH_ISO_SWITCH_TONE_CURVE);
  EXPECT_EQ(std::vector<int16_t>(r.rgb2yuv, r.rgb2yuv + 3), std::vector<int16_t>({512, 0, 0}));
  EXPECT_EQ(0, std::memcmp(w.alpha, g.p.mode[0].lumaTable, 512));
  EXPECT_EQ(0, std::memcmp(w.coring, g.p.mode[0].coringBlock, 256));
  EXPECT_EQ(0, std::memcmp(w.fir, g.p.mode[0].fir1, 256));
  g.hiso.input.use_colour_matrix = 1;
  for (int flag : {1, 2}) {
    g.p.highIsoSharpen = static_cast<uint8_t>(flag);
    ASSERT_EQ(img_high_iso_prepare_record(&r), 0);
    for (int i = 0; i < 9; i++) EXPECT_NEAR(r.rgb2yuv[i], i % 4 ? 0 : 1024 / flag, 2) << flag << " " << i;
    EXPECT_EQ(std::vector<int16_t>(r.rgb2yuv + 9, r.rgb2yuv + 12), std::vector<int16_t>({0, 128, 128}));
  }
  EXPECT_EQ(g.p.highIsoSharpen, 2);
  EXPECT_EQ(img_high_iso_prepare_record(nullptr), -1);
}

TEST_F(ImgDspTest, HighIsoSizes) {
  g.hiso.input.first_chroma_filter.strength_bright = 100;
  g.hiso.input.second_chroma_filter.strength_dark = 250;
  img_high_iso_params r{};
  img_high_iso_scaler half{1920, 1080, 64, 0};
  ASSERT_EQ(img_high_iso_compute_sizes(&half, &r), 0);
  EXPECT_EQ(std::vector<int>({r.width, r.height, r.width_reduced, r.height_reduced, r.width_level_based,
                              r.height_level_based}),
            std::vector<int>({1920, 1080, 960, 544, 480, 272}));
  auto x = [&r](int pair) { return r.phase_inc[pair][0]; };
  EXPECT_EQ(x(0), 16384u);   // reduced_down: 1920 to 960
  EXPECT_EQ(x(1), 4096u);    // reduced_up: its inverse
  EXPECT_EQ(x(13), 8192u);   // 1x_down
  EXPECT_EQ(x(14), 16384u);  // 2x_down
  EXPECT_EQ(x(15), 32768u);  // 4x_down
  EXPECT_EQ(x(16), 2048u);   // mix1x_low: 480 back to 1920
  EXPECT_EQ(std::vector<int>({r.chroma_strength_bright_1, r.chroma_strength_dark_2}), std::vector<int>({88, 220}));

  img_high_iso_scaler full{1920, 1080, 0, 0};  // no reduction
  ASSERT_EQ(img_high_iso_compute_sizes(&full, &r), 0);
  EXPECT_EQ(std::vector<int>({r.width_reduced, r.height_reduced}), std::vector<int>({1920, 1080}));
  EXPECT_EQ(std::vector<int>({r.chroma_strength_bright_1, r.chroma_strength_dark_2}), std::vector<int>({113, 255}));
  img_high_iso_scaler empty{0, 0, 64, 0};
  ASSERT_EQ(img_high_iso_compute_sizes(&empty, &r), 0);
  EXPECT_EQ(x(0), 0u);
  EXPECT_EQ(img_high_iso_compute_sizes(nullptr, &r), -1);
}

TEST_F(ImgDspTest, HighIsoConfigWordsAndGains) {
  img_high_iso_config config;
  ASSERT_EQ(img_high_iso_fill_config(&g.hiso.params, &config), 0);
  EXPECT_EQ(config.count, 40u);
  EXPECT_EQ(std::vector<uint32_t>(config.header, config.header + 6),
            std::vector<uint32_t>({0x00030500, 5, 8, 17, 44, 71680}));
  EXPECT_EQ(0, std::memcmp(&config.params, &g.hiso.params, sizeof config.params));

  img_high_iso_address_table table = g.hiso.params.address;
  ASSERT_EQ(img_high_iso_fill_words(&table, 0x55, 0x66), 0);
  EXPECT_EQ(std::count(table.area, table.area + 44, uintptr_t{0x55}), 44);
  EXPECT_EQ(table.record, 0x66u);

  img_dsp_gain_q10_t red, green, blue;
  uint16_t digital;
  ASSERT_EQ(img_high_iso_get_state(&red, &green, &blue, &digital), 0);
  EXPECT_EQ(std::vector<uint32_t>({red, green, blue, digital}), std::vector<uint32_t>({1024, 1024, 1024, 1024}));
  img_dsp_rgb_gain_info gains{1000, 2048, 900};
  ASSERT_EQ(img_dsp_set_rgb_gain(kFd, &gains, 70000), 0);
  ASSERT_EQ(img_high_iso_get_state(&red, &green, &blue, &digital), 0);
  EXPECT_EQ(std::vector<uint32_t>({red, green, blue, digital}), std::vector<uint32_t>({1000, 2048, 900, 65535}));
  EXPECT_EQ(img_high_iso_get_state(&red, &green, nullptr, &digital), -1);
}

TEST_F(ImgDspTest, HighIsoDumps) {
  img_high_iso_input in = completeInput();
  ASSERT_EQ(img_high_iso_dump_input(&in), 0);
  const std::vector<std::string>& lines = hooks().messages;
  ASSERT_EQ(lines.size(), 48u);
  EXPECT_EQ(lines[0], "-----   Dumping HighISO Input Params Start  ------\n");
  EXPECT_EQ(lines[1], "high_iso_color_correction.reduce_cc_sat0_cb 900\n");
  EXPECT_EQ(lines[14], "luma_freq_separation.low_band_max_change_down 40\n");
  EXPECT_EQ(lines[28], "chroma_level_based_noise_reduction.cb_start 16\n");
  EXPECT_EQ(lines[39], "second_chroma_filter.edge_adapt_cb_bright 3\n");
  EXPECT_EQ(lines[46], "second_chroma_filter.strength_dark 90\n");
  EXPECT_EQ(lines[47], "-----   Dumping HighISO Input Params End  ------\n");

  hooks().messages.clear();
  img_high_iso_params r = g.hiso.params;
  r.width = 1920;
  r.edge_thresh_CB_first = 100;
  r.debug_mode = 17 | 5 << 5;
  r.phase_inc[0][0] = 16384;
  r.debug_uv_addr = 0x9000;
  ASSERT_EQ(img_high_iso_dump(&r), 0);
  std::string text = messages();
  for (const char* line :
       {"-----   Dumping HighISO Params Start  ------\nwidth: 1920\n", "debug_mode_major_step_id: 17\ndebug_mode_minor_step_id: 5\n",
        "edge_thresh_CB_first: 100\n", "rgb2yuv[0]: 1024\n", "rgb2yuv[11]: 128\n",
        "---- Dump blend control: Normal ----\ncmd_code: 0\n", "iso_threshold1: 0\n-------------------------------------\n\n",
        "---- Dump level control: Multiplier_mul_fine_detail ----\ncmd_code: 0\n",
        "level_control_clip_high2: 0\n-------------------------------------\n\nphase_inc_x_reduced_down: 16384\n",
        "phase_inc_y_mix1x_low: 0\ndebug_idsp_config_addr: 0\ndebug_y_addr: 0\ndebug_uv_addr: 36864\n"
        "-----   Dumping HighISO Params End  ------\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  EXPECT_EQ(hooks().messages.size(), 1u + 37 + 12 + 8 + 5 * 13 + 8 * 19 + 34 + 3 + 1);
}
