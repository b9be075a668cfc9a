// Low-ISO mode: the record after set-up and the areas it points to, the start operations, the 3x3
// inversion and the 3D-table merge, the preparation with its address table, the chroma scaler, the
// debug description and the dumps.
#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <random>

#include "design.h"
#include "hooks.h"
#include "iso.h"
#include "state.h"
#include "tables.h"

using namespace imgdsp_test;
using imgdsp::g;

namespace {

uintptr_t at(const void* p) { return reinterpret_cast<uintptr_t>(p); }

std::vector<int> levelValues(const img_dsp_level_control_record& l) {
  return {int(l.cmd_code), int(l.group_index), int(l.select), l.low, l.low_0, l.low_delta, l.low_val, l.high,
          l.high_0, l.high_delta, l.high_val, l.base_val, l.area, l.clip_low, l.clip_low2, l.clip_high, l.clip_high2};
}

uint32_t pack(uint32_t a, uint32_t b, uint32_t c) { return a | b << 10 | c << 20; }
uint32_t channel(uint32_t word, int ch) { return word >> (10 * ch) & 1023; }

// Loads a register file (pattern 7 i) and a colour 3D table whose lookup is `lookup`.
void loadColour(const std::vector<uint32_t>& lookup) {
  std::vector<uint8_t> reg = regFile(1, 0), table = table3d(1, 0);
  std::memcpy(table.data() + 128, lookup.data(), 16384);
  img_dsp_cc_reg_info regInfo{reg.data()};
  img_dsp_cc_3d_info tableInfo{table.data()};
  ASSERT_EQ(img_dsp_set_color_correction_reg(&regInfo), 0);
  ASSERT_EQ(img_dsp_set_color_correction(3, &tableInfo), 0);
}

// The 16x16x16 grid itself, 10 bits per channel (channel 0 from a, 1 from b, 2 from c).
std::vector<uint32_t> identityTable() {
  std::vector<uint32_t> t(4096);
  auto v = [](int i) { return uint32_t((i * 1023 + 7) / 15); };
  for (int a = 0; a < 16; a++)
    for (int b = 0; b < 16; b++)
      for (int c = 0; c < 16; c++) t[a * 256 + b * 16 + c] = pack(v(a), v(b), v(c));
  return t;
}

}  // namespace

// After the library's set-up the record points at mode 2's blocks, the shared colour buffers and its
// own areas; alpha_A holds 32, the second alpha table is clear, the level records hold the low-ISO
// values. The mode's setters write through to what the record points at.
TEST_F(ImgDspTest, LowIsoRecordAfterSetUp) {
  img_dsp_low_iso_record* r = nullptr;
  ASSERT_EQ(img_dsp_low_iso_start(&r), 0);
  ASSERT_EQ(r, &g.p.lowIso);
  const imgdsp::SharpenMode& m2 = g.p.mode[2];
  const imgdsp::LowIsoAreas& own = g.p.lowIsoAreas;
  EXPECT_EQ(r->cc_reg_A, at(own.ccReg));
  EXPECT_EQ(r->cc_3d_A, at(own.cc3d));
  EXPECT_EQ(r->cc_reg_C, at(g.ccInputTable));
  EXPECT_EQ(r->cc_3d_C, at(g.cc3d));
  EXPECT_EQ(r->chroma_median_table_A, at(own.chromaMedian));
  EXPECT_EQ(r->chroma_median_table_C, at(g.p.chromaMedianTable2));
  EXPECT_EQ(r->coring_A, at(m2.coringBlock));
  EXPECT_EQ(r->fir1_A, at(m2.fir1));
  EXPECT_EQ(r->fir1_C, at(m2.fir2));
  EXPECT_EQ(r->alpha_A, at(m2.lumaTable));
  EXPECT_EQ(r->mctf_C, at(&g.p.mctfConfig));
  EXPECT_EQ(r->zero, at(own.zero));
  EXPECT_EQ(r->spare_A, at(own.spare));
  EXPECT_EQ(r->alpha_C, at(g.p.lowIsoAlpha2));
  EXPECT_EQ(r->low_iso_data_addr, at(r));
  uint8_t* cc = nullptr;
  ASSERT_EQ(img_dsp_low_iso_start_cc(&cc), 0);
  EXPECT_EQ(at(cc), r->cc_reg_A);

  for (int i = 0; i < 512; i++) {
    EXPECT_EQ(m2.lumaTable[i], i % 4 ? 0 : 32) << i;
    EXPECT_EQ(g.p.lowIsoAlpha2[i], 0) << i;
  }
  EXPECT_EQ(std::count(own.chromaMedian, own.chromaMedian + 48, 255), 48);
  // The shared colour buffers hold no leftovers before a file is loaded (the preparation reads them).
  EXPECT_EQ(std::count(g.cc3d, g.cc3d + 16384, 0), 16384);
  EXPECT_EQ(std::count(g.ccInputTable, g.ccInputTable + 2304, 0), 2304);
  EXPECT_EQ(std::count(own.zero, own.zero + 512, 0), 512);
  EXPECT_EQ(std::vector<int>({r->max_up, r->max_down, r->debug_mode, r->use_CC_output_table_A, r->use_CC_output_table_C}),
            std::vector<int>({255, 255, 0, 0, 0}));
  EXPECT_EQ(r->edge_thresh_A, 2047);  // the sharpening defaults run after the low-ISO set-up
  EXPECT_EQ(levelValues(r->level_0),
            std::vector<int>({0x2132, 0, 8, 10, 12, 1, 0, 20, 22, 1, 0, 0, 6, -4096, -4096, 4095, 4095}));
  EXPECT_EQ(levelValues(r->level_1),
            std::vector<int>({0x2132, 0, 10, 10, 12, 1, 16, 20, 22, 1, 16, 16, 6, -4096, -4096, 4095, 4095}));

  img_dsp_level_info level{30, 2, 5, 6, 40, 3, 7};
  ASSERT_EQ(img_dsp_set_sharpen_level_overall(3, 2, &level), 0);
  EXPECT_EQ(levelValues(r->level_1), std::vector<int>({0x2132, 0, 10, 30, 34, 2, 5, 40, 48, 3, 7, 6, 6, -4096, -4096,
                                                        4095, 4095}));
  img_dsp_fir_info fir{128, {}};
  ASSERT_EQ(img_dsp_set_sharpen_fir(3, 2, &fir), 0);
  img_dsp_half_kernel_q8 k;
  int shift;
  img_dsp_make_kernel(128, 1, IMG_DSP_KIND_HIGH_PASS, 0, &shift, k);
  expectDirectionRecord(reinterpret_cast<const uint8_t*>(r->fir1_A), 4, std::vector<int32_t>(k, k + 25));
  EXPECT_TRUE(hooks().requests.empty());
}

TEST(ImgDspLowIsoStart, RefusedBeforeTheLibrarySetUp) {
  resetLibrary();
  installHooks();
  img_dsp_low_iso_record* r = nullptr;
  uint8_t* cc = nullptr;
  EXPECT_EQ(img_dsp_low_iso_start(&r), -1);
  EXPECT_EQ(img_dsp_low_iso_start_cc(&cc), -1);
  EXPECT_EQ(messages(), "Error: Start low ISO before init IMGDSP library!\n"
                        "Error: Start low ISO before init IMGDSP library!\n");
  EXPECT_EQ(r, nullptr);
  EXPECT_EQ(cc, nullptr);
  ASSERT_EQ(img_dsp_lib_init(), 0);
  ASSERT_EQ(img_dsp_lib_deinit(), 0);
  EXPECT_EQ(img_dsp_low_iso_start(&r), 0);  // the flag outlives the library's working buffers
  resetLibrary();
}

TEST(ImgDspInvertMatrix, ResultsAndValues) {
  struct Case {
    std::vector<int16_t> m;
    int result;
    std::vector<int32_t> inverse;  // empty: not written
  } cases[] = {
      {{1024, 0, 0, 0, 1024, 0, 0, 0, 1024}, 0, {1024, 0, 0, 0, 1024, 0, 0, 0, 1024}},
      {{2048, 0, 0, 0, 512, 0, 0, 0, 1024}, 0, {512, 0, 0, 0, 2048, 0, 0, 0, 1024}},
      {{1024, 0, 0, 0, 1024, 0, 0, 0, 1}, 2, {1024, 0, 0, 0, 1024, 0, 0, 0, 1048576}},  // det exactly 2^20
      {{1023, 0, 0, 0, 1025, 0, 0, 0, 1}, 1, {}},                                       // 2^20 - 1
      {{0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, {}},
      {{-1024, 0, 0, 0, 1024, 0, 0, 0, 1024}, 1, {}},
      {{1024, -5001, 0, 0, 1024, 0, 0, 0, 1024}, 2, {1024, 5001, 0, 0, 1024, 0, 0, 0, 1024}},
      {{1024, -5000, 0, 0, 1024, 0, 0, 0, 1024}, 0, {1024, 5000, 0, 0, 1024, 0, 0, 0, 1024}},
      // The library's colour matrix: its inverse is the YCbCr-to-RGB conversion.
      {std::vector<int16_t>(imgdsp::kColourMatrixQ10, imgdsp::kColourMatrixQ10 + 9), 0,
       {1024, -1, 1436, 1024, -353, -731, 1024, 1814, 1}},
  };
  for (const Case& c : cases) {
    std::vector<int32_t> r(9, 77);
    EXPECT_EQ(img_dsp_invert_matrix3(c.m.data(), r.data()), c.result) << ::testing::PrintToString(c.m);
    EXPECT_EQ(r, c.inverse.empty() ? std::vector<int32_t>(9, 77) : c.inverse) << ::testing::PrintToString(c.m);
  }
}

// The identity keeps luma (channel 0) of the first table and chroma of the second exactly, and bits 30
// and 31 of the output; through the library's colour matrix a table merged with itself comes back
// within the rounding; a curve replaces every value first; a singular matrix leaves the output alone.
TEST(ImgDspMergeCc, LumaOfOneChromaOfTheOther) {
  std::mt19937 rng(7);
  std::vector<uint32_t> luma(4096), chroma(4096), out(4096, 0xc0000000u);
  for (size_t i = 0; i < 4096; i++) luma[i] = rng() & 0x3fffffff, chroma[i] = rng() & 0x3fffffff;
  const int16_t identity[9] = {1024, 0, 0, 0, 1024, 0, 0, 0, 1024};
  ASSERT_EQ(img_dsp_low_iso_merge_cc(luma.data(), chroma.data(), out.data(), identity, nullptr), 0);
  for (size_t i = 0; i < 4096; i++)
    ASSERT_EQ(out[i], 0xc0000000u | (luma[i] & 1023) | (chroma[i] & ~1023u)) << i;

  std::vector<uint32_t> table = identityTable(), same = table;
  ASSERT_EQ(img_dsp_low_iso_merge_cc(table.data(), table.data(), same.data(), imgdsp::kColourMatrixQ10, nullptr), 0);
  int worst = 0;
  for (size_t i = 0; i < 4096; i++)
    for (int ch = 0; ch < 3; ch++) worst = std::max(worst, std::abs(int(channel(same[i], ch)) - int(channel(table[i], ch))));
  EXPECT_LE(worst, 2);

  std::vector<uint16_t> curves(768, 500);
  ASSERT_EQ(img_dsp_low_iso_merge_cc(luma.data(), chroma.data(), out.data(), identity, curves.data()), 0);
  EXPECT_EQ(std::count(out.begin(), out.end(), 0xc0000000u | pack(500, 500, 500)), 4096);

  const int16_t singular[9] = {1024, 0, 0, 1024, 0, 0, 0, 0, 1024};
  std::vector<uint32_t> before = out;
  EXPECT_EQ(img_dsp_low_iso_merge_cc(luma.data(), chroma.data(), out.data(), singular, nullptr), 1);
  EXPECT_EQ(out, before);
}

// The preparation derives cc_3d_A from the library's identity tone table and the loaded 3D table
// (luma of the one, chroma of the other), takes the register set for a merged table, copies the
// library's switches and black level into the record and lays the address table over the caller's
// buffer; without the colour flag, or with a matrix it cannot invert, it copies the loaded table.
TEST_F(ImgDspTest, LowIsoPreparation) {
  std::vector<uint32_t> lookup = identityTable();
  loadColour(lookup);
  img_dsp_black_level_info black{{100, 200, 300, 70000}};
  ASSERT_EQ(img_dsp_set_black_level_offset(3, &black, 0), 0);
  img_dsp_bad_pixel_info bad{1, 3, 3};
  ASSERT_EQ(img_dsp_set_dynamic_bad_pixel_correction(3, &bad), 0);
  g.p.switches.staticBadPixel = 9;

  std::vector<uint8_t> buffer(IMG_DSP_LOW_ISO_BUFFER_BYTES);
  img_dsp_low_iso_address_table table{};
  const uintptr_t s = at(buffer.data()), regC = 0x1000, cubeC = 0x2000;
  ASSERT_EQ(img_dsp_low_iso_prepare(&table, s, regC, cubeC, 0xabcd), 0);
  const img_dsp_low_iso_record& r = g.p.lowIso;
  imgdsp::LowIsoAreas& own = g.p.lowIsoAreas;
  for (size_t i = 0; i < 4096; i++)
    for (int ch = 0; ch < 3; ch++)
      ASSERT_NEAR(channel(own.cc3d[i], ch), channel(lookup[i], ch), 2) << i << " " << ch;
  EXPECT_EQ(0, std::memcmp(own.ccReg, g.ccRegImage + imgdsp::kCcMergedOffset[1], sizeof own.ccReg));
  EXPECT_EQ(std::vector<int>({r.use_CC_output_table_A, r.use_CC_output_table_C}), std::vector<int>({0, 1}));
  EXPECT_EQ(std::vector<int>({r.blo_ee, r.blo_eo, r.blo_oe, r.blo_oo}), std::vector<int>({612, 712, 812, 32767}));
  EXPECT_EQ(std::vector<int>({r.use_CFA_noise_filter, r.use_leakage_filter, r.use_static_bad_pixel_correction,
                              r.use_dynamic_bad_pixel_correction}),
            std::vector<int>({0, 0, 1, 1}));

  // The caller's copy: every area inside the buffer, in record order, each where the one before ends.
  std::vector<uintptr_t> expected = {s, s + 2304, regC, cubeC};
  uintptr_t end = s + 18688;
  for (int k : {4, 5, 6, 7, 8, 9, 10, 11}) expected.push_back(end), end += IMG_DSP_LOW_ISO_AREA_BYTES[k];
  expected.push_back(end);        // the 256-byte area
  expected.push_back(end + 256);  // the second alpha table, which ends the buffer
  EXPECT_EQ(end + 256 + 512, s + buffer.size());
  EXPECT_EQ(std::vector<uintptr_t>(table.area, table.area + 14), expected);
  EXPECT_EQ(table.word, 0xabcdu);

  // Fall-backs: the loaded table as it is, with the input table's register set.
  g.p.lowIsoColour = false;
  g.p.ccSourceFlag = true;
  ASSERT_EQ(img_dsp_low_iso_prepare(&table, s, regC, cubeC, 0), 0);
  EXPECT_EQ(0, std::memcmp(own.cc3d, lookup.data(), sizeof own.cc3d));
  EXPECT_EQ(0, std::memcmp(own.ccReg, g.ccRegImage + imgdsp::kCcInputOffset[1], sizeof own.ccReg));
  EXPECT_EQ(std::vector<int>({r.use_CC_output_table_A, r.use_CC_output_table_C}), std::vector<int>({0, 0}));
  g.p.lowIsoColour = true;
  g.p.ccSourceFlag = false;
  std::fill(g.p.colourMatrix, g.p.colourMatrix + 9, 0);
  std::memset(own.cc3d, 0, sizeof own.cc3d);
  ASSERT_EQ(img_dsp_low_iso_prepare(&table, s, regC, cubeC, 0), 0);
  EXPECT_EQ(0, std::memcmp(own.cc3d, lookup.data(), sizeof own.cc3d));
  EXPECT_EQ(std::vector<int>({r.use_CC_output_table_A, r.use_CC_output_table_C}), std::vector<int>({1, 1}));

  // High-ISO sharpening hands mode 0's values over.
  g.p.highIsoSharpen = 1;
  ASSERT_EQ(img_dsp_low_iso_prepare(&table, s, regC, cubeC, 0), 0);
  EXPECT_EQ(r.high_iso_sharpen, 1);
  EXPECT_EQ(std::vector<int16_t>(r.sharpen_values, r.sharpen_values + 3), std::vector<int16_t>({255, 255, 2047}));
  EXPECT_EQ(img_dsp_low_iso_prepare(nullptr, s, regC, cubeC, 0), -1);
}

TEST_F(ImgDspTest, LowIsoChromaScaler) {
  const img_dsp_low_iso_record& r = g.p.lowIso;
  ASSERT_EQ(img_dsp_low_iso_set_chroma_scale(1920, 1080, 64), 0);  // half size: 960 x 544
  EXPECT_EQ(std::vector<int>({r.smooth_chroma_width, r.smooth_chroma_height}), std::vector<int>({480, 272}));
  EXPECT_EQ(r.main_phase_inc_chroma_x_A, 16384);  // exactly 2: the inverse is exact too
  EXPECT_EQ(r.prevB_phase_inc_chroma_x_A, 4096);
  EXPECT_GE(r.main_phase_inc_chroma_y_A, 16263);  // 540 / 272 searched upwards from 8192 x the ratio
  EXPECT_LT(r.main_phase_inc_chroma_y_A, 16263 + 150);
  EXPECT_NEAR(r.prevB_phase_inc_chroma_y_A, (1 << 26) / double(r.main_phase_inc_chroma_y_A), 0.5);

  // The width is capped at two thirds; a phase beyond 16 bits is limited, not wrapped; a zero
  // divisor gives zero sizes and leaves the phases as they were.
  ASSERT_EQ(img_dsp_low_iso_set_chroma_scale(1920, 1080, 32), 0);
  EXPECT_EQ(r.smooth_chroma_width, 640);
  ASSERT_EQ(img_dsp_low_iso_set_chroma_scale(1920, 1080, 1024), 0);
  EXPECT_EQ(r.main_phase_inc_chroma_x_A, 65535);
  uint16_t phase = r.main_phase_inc_chroma_y_A;
  ASSERT_EQ(img_dsp_low_iso_set_chroma_scale(1920, 1080, 0), 0);
  EXPECT_EQ(std::vector<int>({r.smooth_chroma_width, r.smooth_chroma_height, r.main_phase_inc_chroma_y_A}),
            std::vector<int>({0, 0, phase}));
}

TEST_F(ImgDspTest, LowIsoDebugDescription) {
  img_dsp_low_iso_record r = g.p.lowIso;
  img_dsp_low_iso_debug_desc d;
  EXPECT_EQ(img_dsp_low_iso_debug_info(&r, &d), -1);
  EXPECT_EQ(messages(), "Ucode debug data not exist");
  EXPECT_EQ(d.area_count, 12u);
  EXPECT_EQ(std::vector<uint32_t>(d.area_bytes, d.area_bytes + 12),
            std::vector<uint32_t>({2304, 16384, 2304, 16384, 48, 48, 256, 256, 256, 512, 528, 512}));
  EXPECT_EQ(d.area[9], r.alpha_A);
  EXPECT_EQ(d.debug_count, 0u);

  r.debug_addr[0] = 0x10000040, r.debug_addr[1] = 0x2000, r.debug_addr[2] = 0x3000;
  r.debug_pitch[0] = 2048, r.debug_height[0] = 1080, r.debug_pitch[1] = 2048, r.debug_height[1] = 540;
  ASSERT_EQ(img_dsp_low_iso_debug_info(&r, &d), 0);
  EXPECT_EQ(std::vector<uint32_t>(d.debug_kind, d.debug_kind + 3), std::vector<uint32_t>({3, 2, 2}));
  EXPECT_EQ(std::vector<uint32_t>(d.debug_bytes, d.debug_bytes + 3), std::vector<uint32_t>(3, 40960));
  EXPECT_EQ(std::vector<uint32_t>(d.debug_address, d.debug_address + 3),
            std::vector<uint32_t>({0xd0000000u, 0xc0002000u, 0xc0003000u}));
  EXPECT_EQ(std::vector<uint32_t>(d.frame_bytes, d.frame_bytes + 2), std::vector<uint32_t>({2048 * 1080, 2048 * 540}));
}

// Every field on a line of its own; alpha_A and mctf_C print their address and then end the line.
TEST_F(ImgDspTest, LowIsoDumps) {
  img_dsp_low_iso_set_debug_mode(3);
  img_dsp_low_iso_record r = g.p.lowIso;
  r.debug_height[2] = 0x438;
  ASSERT_EQ(img_dsp_dump_low_iso(&r), 0);
  const std::vector<std::string>& lines = hooks().messages;
  ASSERT_EQ(lines.size(), 15u + 12 + 2 * 17 + 8 + 1 + 15);
  auto address = [](const char* name, uintptr_t a) {
    char text[64];
    std::snprintf(text, sizeof text, "%s: 0x%" PRIxPTR "\n", name, a);
    return std::string(text);
  };
  EXPECT_EQ(lines[0], "width: 0\n");
  EXPECT_EQ(lines[3], "debug_mode: 3\n");
  EXPECT_EQ(lines[8], "edge_thresh_A: 2047\n");
  EXPECT_EQ(lines[14], "prevB_phase_inc_chroma_y_A: 0\n");
  EXPECT_EQ(lines[15], address("cc_reg_A", r.cc_reg_A));
  EXPECT_EQ(lines[24], address("alpha_A", r.alpha_A));
  EXPECT_EQ(lines[25], address("mctf_C", r.mctf_C));
  EXPECT_EQ(lines[26], address("zero", r.zero));
  EXPECT_EQ(lines[27], "level_0->cmd_code: 0x2132\n");
  EXPECT_EQ(lines[29], "level_0->select: 8\n");
  EXPECT_EQ(lines[60], "level_1->level_control_clip_high2: 4095\n");
  EXPECT_EQ(lines[61], "blo_ee: 0\n");
  EXPECT_EQ(lines[65], "use_CFA_noise_filter: 0\n");
  EXPECT_EQ(lines[69], address("low_iso_data_addr", r.low_iso_data_addr));
  EXPECT_EQ(lines[70], "idsp_cfg_addr[0]: 0x0\n");
  EXPECT_EQ(lines.back(), "debug_height[2]: 0x438\n");
  for (const std::string& l : lines) EXPECT_EQ(l.find('%'), std::string::npos) << l;

  hooks().messages.clear();
  EXPECT_EQ(img_dsp_low_iso_dump_bins(3, 1, 2), int(std::strlen("error: IAV_IOC_IMG_DUMP_LOW_ISO_BINS\n")));
  EXPECT_EQ(messages(), "error: IAV_IOC_IMG_DUMP_LOW_ISO_BINS\n");
  EXPECT_TRUE(hooks().requests.empty());
}
