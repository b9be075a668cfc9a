// Sharpening and temporal-filter setters: mode rules, validation messages, the records and request
// sequences they send, 7x7 sharpening and the high-ISO substitutions.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "design.h"
#include "hooks.h"
#include "state.h"

using namespace imgdsp_test;

namespace {

const int kFd = 5;

std::vector<int> levelBytes(const img_dsp_level_control_record& l) {
  return {l.low, l.low_0, l.low_delta, l.low_val, l.high, l.high_0, l.high_delta, l.high_val, l.base_val, l.area};
}

std::vector<uint8_t> unpackCoring(const std::vector<uint8_t>& block) {
  std::vector<uint8_t> t;
  for (size_t j = 0; j < 64; j++) {
    uint32_t w;
    std::memcpy(&w, &block[4 * j], 4);
    for (int f = 0; f < 4; f++) t.push_back(static_cast<uint8_t>(w >> (5 * f) & 31));
  }
  return t;
}

}  // namespace

// Unknown mode and high-ISO mode messages with each setter's name, nothing sent; the alpha setter
// takes mode 3; any setter in mode 2 stores and sends nothing; getters answer mode 2 with 0.
TEST_F(ImgDspTest, ModesOfTheSharpeningSetters) {
  img_dsp_coring_info coring{};
  img_dsp_fir_info fir{64, {}};
  img_dsp_level_info level{1, 2, 3, 4, 5, 6, 7};
  img_dsp_alpha_info alpha{{10, 20}};
  img_dsp_spatial_filter_info sf{100, 50, 60, 8};
  struct Setter {
    const char* name;
    std::function<int(int)> call;
  } setters[] = {
      {"img_dsp_set_sharpen_coring", [&](int m) { return img_dsp_set_sharpen_coring(kFd, m, &coring); }},
      {"img_dsp_set_sharpen_signal_retain_level", [&](int m) { return img_dsp_set_sharpen_signal_retain_level(kFd, m, 3); }},
      {"img_dsp_set_sharpen_fir", [&](int m) { return img_dsp_set_sharpen_fir(kFd, m, &fir); }},
      {"img_dsp_set_sharpen_level_min", [&](int m) { return img_dsp_set_sharpen_level_min(kFd, m, &level); }},
      {"img_dsp_set_sharpen_level_overall", [&](int m) { return img_dsp_set_sharpen_level_overall(kFd, m, &level); }},
      {"img_dsp_set_spatial_filter", [&](int m) { return img_dsp_set_spatial_filter(kFd, m, &sf); }},
      {"img_high_iso_set_sharpening_alpha", [&](int m) { return img_high_iso_set_sharpening_alpha(kFd, m, &alpha); }},
  };
  for (const Setter& s : setters) {
    bool alphaSetter = std::strcmp(s.name, "img_high_iso_set_sharpening_alpha") == 0;
    hooks().messages.clear();
    EXPECT_EQ(s.call(4), -1) << s.name;
    EXPECT_EQ(messages(), std::string("Error: Unknown mode 4 in ") + s.name + "\n");
    hooks().messages.clear();
    EXPECT_EQ(s.call(3), alphaSetter ? 0 : -1) << s.name;
    EXPECT_EQ(messages(), alphaSetter ? "" : std::string("Warning! ") + s.name + " not allow set in highISO mode\n");
    EXPECT_EQ(s.call(2), 0) << s.name;
  }
  EXPECT_TRUE(hooks().requests.empty());
  // Mode 2 went to the low-ISO areas.
  const imgdsp::SharpenMode& low = imgdsp::g.p.mode[2];
  EXPECT_EQ(low.retainLevel, 3);
  EXPECT_EQ(imgdsp::g.p.lowIso.level_0.low_0, 1 + 4);
  EXPECT_EQ(imgdsp::g.p.lowIso.edge_thresh_A, 60);

  img_dsp_alpha_info got{};
  EXPECT_EQ(img_dsp_get_sharpening_alpha(3, &got), 0);
  EXPECT_EQ(got.alpha[1], 20);
  got = {};
  EXPECT_EQ(img_dsp_get_sharpening_alpha(2, &got), 0);
  EXPECT_EQ(got.alpha[1], 0);
  ASSERT_EQ(img_high_iso_set_sharpening_alpha(kFd, 1, &alpha), 0);  // record order: a1, a0
  auto luma = hooks().requests.at(0).as<img_dsp_luma_sharpening_record>();
  EXPECT_EQ(std::vector<int>({luma.alpha[0], luma.alpha[1]}), std::vector<int>({20, 10}));
  hooks().messages.clear();
  EXPECT_EQ(img_dsp_get_sharpen_signal_retain_level(3), 255);
  EXPECT_EQ(messages(), "Warning! img_dsp_get_sharpen_signal_retain_level not allow set in highISO mode\n");
  EXPECT_EQ(img_dsp_get_sharpen_fir(7, &fir), -1);
}

// The FIR setting's bounds and coefficient rules, with their messages and nothing sent.
TEST_F(ImgDspTest, FirValidation) {
  struct Case {
    img_dsp_fir_info fir;
    bool wide;
    const char* message;  // nullptr: accepted
  } cases[] = {
      {{192, {}}, false, nullptr},
      {{193, {}}, false, "Warning! img_dsp_set_sharpen_fir: fir_strength 193 is out of bound\n"},
      {{-2, {}}, false, "Warning! img_dsp_set_sharpen_fir: fir_strength -2 is out of bound\n"},
      {{-1, {-1, 0, 0, 0, 0, 4, 0, 0, 0, 0}}, false, nullptr},
      {{-1, {-1, 0, 0, 0, 0, 4, 1, 0, 0, 0}}, false,
       "Warning! img_dsp_set_sharpen_fir: coeff[6]-coeff[9] is reserved. Please set them to all zero!\n"},
      {{-1, {-1, 0, 0, 0, 0, 5, 0, 0, 0, 0}}, false, "Warning! img_dsp_set_sharpen_fir: fir coefficients not sum to 0!\n"},
      {{256, {}}, true, nullptr},
      {{257, {}}, true, "Warning! img_dsp_set_sharpen_fir: fir_strength 257 is out of bound\n"},
      {{-1, {0, 0, 0, 0, 0, 0, 0, -1, -1, 8}}, true, nullptr},
      {{-1, {0, 0, 0, 0, 0, 0, 0, -1, -1, 7}}, true, "Warning! img_dsp_set_sharpen_fir: fir coefficients not sum to 0!\n"},
  };
  for (const Case& c : cases) {
    imgdsp::g.p.sharpen7x7 = c.wide;
    hooks().messages.clear();
    hooks().requests.clear();
    EXPECT_EQ(img_dsp_set_sharpen_fir(kFd, 0, &c.fir), c.message ? -1 : 0) << c.fir.fir_strength;
    EXPECT_EQ(messages(), c.message ? c.message : "");
    EXPECT_EQ(hooks().requests.size(), c.message ? 0u : 1u);
  }
  hooks().messages.clear();
  img_dsp_spatial_filter_info sf{1, 1, 2048, 0};
  EXPECT_EQ(img_dsp_set_spatial_filter(kFd, 0, &sf), -1);
  EXPECT_EQ(messages(), "Error: [img_dsp_set_spatial_filter] edge_threshold 2048 is out of bound\n");
}

// Level records as the picture controls send them (setSharpness: minimum (0, 1, 0, 0, 180, 5, 0),
// overall (10, 5, f, f, 254, 0, f)); bytes wrap and 2^n of 32 or more is 0; a refused request keeps
// the last record.
TEST_F(ImgDspTest, LevelRecords) {
  struct Case {
    bool overall;
    img_dsp_level_info in;
    std::vector<int> record;  // low, low_0, low_delta, low_val, high, high_0, high_delta, high_val, base_val, area
  } cases[] = {
      {false, {0, 1, 0, 0, 180, 5, 0}, {0, 2, 1, 0, 180, 212, 5, 0, 0, 6}},
      {true, {10, 5, 40, 40, 254, 0, 40}, {10, 42, 5, 40, 254, 255, 0, 40, 40, 6}},
      {true, {250, 3, 1, 2, 7, 40, 3}, {250, 2, 3, 1, 7, 7, 40, 3, 2, 6}},
  };
  for (const Case& c : cases) {
    auto set = c.overall ? img_dsp_set_sharpen_level_overall : img_dsp_set_sharpen_level_min;
    ASSERT_EQ(set(kFd, 0, &c.in), 0);
    const Request& r = hooks().requests.back();
    EXPECT_EQ(r.code, 0x40047012u);
    auto rec = r.as<img_dsp_level_control_record>();
    EXPECT_EQ(levelBytes(rec), c.record);
    EXPECT_EQ(rec.cmd_code, 0x2132u);
  }
  hooks().failCode = 0x40047012;
  img_dsp_level_info refused{1, 1, 1, 1, 1, 1, 1}, kept{};
  EXPECT_EQ(img_dsp_set_sharpen_level_overall(kFd, 0, &refused), -1);
  EXPECT_EQ(messages(), "error: IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL\n");
  img_dsp_get_sharpen_level_overall(0, &kept);
  EXPECT_EQ(kept.high, 7);
}

// The spatial filter's five requests and their records; both strengths 0 mean no edge limit; a
// failure stops the sequence.
TEST_F(ImgDspTest, SpatialFilterSequence) {
  const std::vector<uint32_t> sequence = {0x40047010, 0x40047013, 0x4004700f, 0x40047012, 0x40047012};
  img_dsp_spatial_filter_info on{0, 128, 60, 60}, off{0, 0, 300, 60};
  ASSERT_EQ(img_dsp_set_spatial_filter(kFd, 0, &on), 0);
  EXPECT_EQ(requestCodes(), sequence);
  EXPECT_EQ(hooks().requests[0].as<img_dsp_edge_control_record>().edge_threshold, 60);
  EXPECT_EQ(hooks().requests[1].as<img_dsp_misc_record>().bypass, 0);
  EXPECT_EQ(hooks().requests[2].as<img_dsp_fir_config_record>().fir2_enable, 1);
  auto response = hooks().requests[3].as<img_dsp_level_control_record>();
  EXPECT_EQ(levelBytes(response), (std::vector<int>{10, 12, 1, 0, 20, 22, 1, 0, 0, 6}));
  auto clamp = hooks().requests[4].as<img_dsp_level_control_record>();
  EXPECT_EQ(std::vector<int>({clamp.clip_low, clamp.clip_high}), std::vector<int>({-4096, 4095}));
  // Direction 0 is filtered at the isotropic strength, 0 here (the identity): FIR1 keeps the
  // high-pass kernel of strength 64, FIR2 the smoothing one; the other directions are filtered.
  const std::vector<uint8_t>& fir1 = hooks().requests[2].blocks.at(0);
  std::vector<int32_t> high(25, 0), smooth(25, 0);
  high[16] = high[18] = -7, high[17] = high[23] = -38, high[24] = 180;
  smooth[16] = smooth[18] = 7, smooth[17] = smooth[23] = 38, smooth[24] = 76;
  expectDirectionRecord(fir1.data(), 0, high);
  expectDirectionRecord(hooks().requests[2].blocks.at(1).data(), 0, smooth);
  EXPECT_NE(std::memcmp(fir1.data(), fir1.data() + 28, 28), 0);

  hooks().requests.clear();
  ASSERT_EQ(img_dsp_set_spatial_filter(kFd, 0, &off), 0);
  EXPECT_EQ(hooks().requests[0].as<img_dsp_edge_control_record>().edge_threshold, 2047);
  EXPECT_EQ(hooks().requests[1].as<img_dsp_misc_record>().bypass, 1);
  EXPECT_EQ(hooks().requests[2].as<img_dsp_fir_config_record>().fir2_enable, 0);
  img_dsp_spatial_filter_info got{};
  img_dsp_get_spatial_filter(0, &got);
  EXPECT_EQ(got.edge_threshold, 300);

  hooks().requests.clear();
  hooks().failCode = 0x40047013;
  EXPECT_EQ(img_dsp_set_spatial_filter(kFd, 1, &on), -1);
  EXPECT_EQ(requestCodes(), (std::vector<uint32_t>{0x40047010, 0x40047013}));
  EXPECT_EQ(messages(), "error: IAV_IOC_IMG_LUMA_SHARPENING_MISC\n");
}

// The switch to 7x7 sharpening and back, as the FIR wrapper drives it before every FIR setting.
TEST_F(ImgDspTest, SevenBySevenSwitch) {
  img_dsp_spatial_filter_info sf{200, 100, 80, 10};
  ASSERT_EQ(img_dsp_set_spatial_filter(kFd, 0, &sf), 0);
  ASSERT_EQ(img_dsp_switch_sharpen_mode(kFd, 1), 0);
  img_dsp_fir_info wide{256, {}}, got{};
  ASSERT_EQ(img_dsp_set_sharpen_fir(kFd, 0, &wide), 0);  // 256 only in 7x7 sharpening; kept in its slot
  hooks().requests.clear();
  ASSERT_EQ(img_dsp_switch_sharpen_mode(kFd, 1), 0);
  ASSERT_EQ(requestCodes(), (std::vector<uint32_t>{0x40047010, 0x40047013, 0x4004700f, 0x40047012, 0x40047012, 0x4004700f}));
  auto misc = hooks().requests[1].as<img_dsp_misc_record>();
  EXPECT_EQ(std::vector<int>({misc.sharpen_kind, misc.bypass}), std::vector<int>({1, 1}));
  EXPECT_EQ(levelBytes(hooks().requests[3].as<img_dsp_level_control_record>()),
            (std::vector<int>{6, 14, 3, 16, 14, 16, 1, 16, 16, 6}));
  auto clamp = hooks().requests[4].as<img_dsp_level_control_record>();
  EXPECT_EQ(std::vector<int>({clamp.clip_low, clamp.clip_high}), std::vector<int>({-160, 160}));  // 16 x max_change
  EXPECT_EQ(hooks().requests[5].as<img_dsp_fir_config_record>().fir2_enable, 1);
  EXPECT_EQ(std::count(imgdsp::g.p.mode[0].lumaTable, imgdsp::g.p.mode[0].lumaTable + 512, 0), 512);
  img_dsp_get_sharpen_fir(0, &got);
  EXPECT_EQ(got.fir_strength, 256);

  hooks().requests.clear();
  ASSERT_EQ(img_dsp_switch_sharpen_mode(kFd, 0), 0);
  EXPECT_EQ(img_dsp_is_sharpen_7x7(), 0);
  EXPECT_EQ(hooks().requests[1].as<img_dsp_misc_record>().sharpen_kind, 2);
  EXPECT_EQ(imgdsp::g.p.mode[0].lumaTable[4 * 127], 32);
  img_dsp_get_sharpen_fir(0, &got);
  EXPECT_EQ(got.fir_strength, 64);
}

// 7x7 sharpening designs FIR1 from the FIR setting (strength 64: the isotropic high-pass row 1 in
// every direction) and FIR2 from the spatial filter as negated high-pass kernels, direction 0 at the
// isotropic strength and 1 to 8 at the directional one. At 64 they are the tables' row 1 negated:
// 7, 38, 7 and 38 with centre -180 (isotropic), 80 at (-1,0) (horizontal) or (0,-1) (vertical) with
// centre -160; at 0 all zero. The records byte by byte, shift 4 in directions 0 to 2.
TEST_F(ImgDspTest, SevenBySevenSecondFilter) {
  using Record = std::vector<uint8_t>;
  const Record zero(28, 0);
  Record iso = zero, horizontal = zero, vertical = zero, highPass = zero;
  iso[0] = 0x4c, iso[1] = 0x01, iso[4] = 38, iso[5] = 38, iso[6] = 7, iso[7] = 7;  // centre 0x14c
  horizontal[0] = vertical[0] = 0x60, horizontal[1] = vertical[1] = 0x01;         // centre 0x160
  horizontal[5] = 80, vertical[4] = 80;
  highPass[0] = 180, highPass[4] = highPass[5] = 0xda, highPass[6] = highPass[7] = 0xf9;  // -38, -7
  struct Case {
    uint8_t isotropic, directional;
    Record d0, d1, d2;
  } cases[] = {{64, 0, iso, zero, zero}, {0, 64, zero, horizontal, vertical}};
  for (const Case& c : cases) {
    img_dsp_spatial_filter_info sf{c.isotropic, c.directional, 100, 10};
    ASSERT_EQ(img_dsp_set_spatial_filter(kFd, 0, &sf), 0);
    hooks().requests.clear();
    ASSERT_EQ(img_dsp_switch_sharpen_mode(kFd, 1), 0);
    const Request& r = hooks().requests.back();
    ASSERT_EQ(r.code, 0x4004700fu);
    EXPECT_EQ(r.as<img_dsp_fir_config_record>().fir2_enable, 1);
    const Record& fir1 = r.blocks.at(0);
    const Record& fir2 = r.blocks.at(1);
    auto direction = [](const Record& block, int d) { return Record(block.begin() + 28 * d, block.begin() + 28 * d + 28); };
    const int at = c.isotropic;
    EXPECT_EQ(direction(fir2, 0), c.d0) << at;
    EXPECT_EQ(direction(fir2, 1), c.d1) << at;
    EXPECT_EQ(direction(fir2, 2), c.d2) << at;
    EXPECT_EQ((fir2[252] | fir2[253] << 8) & 0x1ff, 4 | 4 << 3 | 4 << 6) << at;
    EXPECT_EQ(direction(fir1, 8), highPass) << at;
    ASSERT_EQ(img_dsp_switch_sharpen_mode(kFd, 0), 0);
  }
}

// The pass-through set-up from x = 256 x gain: shift 4 below 512, 3 below 1024, 2 below 2048, 1 up to
// x / 8 = 511, else 0, and y = x / 2^(4 - shift); the identity (centre 255) at that shift in mode 0's
// nine directions, the coring table at c = min(y / 32, 31), the luma tables of modes 0, 1 and 2 at
// min((8 y / c) / 8, 255), the level bytes of the defaults, alpha 255/255. Gain 0 changes nothing.
TEST_F(ImgDspTest, PassThroughSharpening) {
  struct Case {
    uint32_t gain;
    int shift, coring, alpha;
  } cases[] = {{1, 4, 8, 32},    {3, 3, 12, 32},    {5, 2, 10, 32},     {9, 1, 9, 32},
               {17, 0, 8, 34}, {200, 0, 31, 103}, {2000, 0, 31, 255}};
  const img_dsp_level_info other{1, 2, 3, 4, 5, 6, 7};
  const img_dsp_alpha_info alpha{{1, 2}};
  const imgdsp::SharpenMode& m0 = imgdsp::g.p.mode[0];
  std::vector<uint8_t> identity(28, 0);
  identity[0] = 0xff;
  for (const Case& c : cases) {
    ASSERT_EQ(img_dsp_set_sharpen_level_min(kFd, 0, &other), 0);
    ASSERT_EQ(img_dsp_set_sharpen_level_overall(kFd, 0, &other), 0);
    ASSERT_EQ(img_high_iso_set_sharpening_alpha(kFd, 0, &alpha), 0);
    img_dsp_set_passthrough_sharpen(c.gain);
    for (int i : {imgdsp::kLevelMin, imgdsp::kLevelOverall}) {
      const img_dsp_level_control_record& l = m0.level[i];
      EXPECT_EQ(levelBytes(l), (std::vector<int>{10, 12, 1, 3, 20, 22, 1, 7, 4, 6})) << c.gain;
      EXPECT_EQ(std::vector<int>({l.clip_low, l.clip_low2, l.clip_high, l.clip_high2}),
                std::vector<int>({-4096, -4096, 4095, 4095}));
    }
    EXPECT_EQ(std::vector<int>({m0.luma.alpha[0], m0.luma.alpha[1], m0.firConfig.config, m0.firConfig.fir2_enable}),
              std::vector<int>({255, 255, 3, 0}));
    for (int d = 0; d <= 8; d++)
      EXPECT_EQ(std::vector<uint8_t>(m0.fir1 + 28 * d, m0.fir1 + 28 * d + 28), identity) << c.gain << " direction " << d;
    uint32_t shiftWord;
    std::memcpy(&shiftWord, m0.fir1 + 252, 4);
    EXPECT_EQ(shiftWord, uint32_t(c.shift) * 0111111111u) << c.gain;  // the shift in each 3-bit field
    EXPECT_EQ(std::count(m0.coringBlock, m0.coringBlock + 64, uint32_t(c.coring) * (1 + 32 + 1024 + 32768)), 64) << c.gain;
    const uint8_t* tables[] = {m0.lumaTable, imgdsp::g.p.mode[1].lumaTable, imgdsp::g.p.mode[2].lumaTable,
                               imgdsp::g.p.lowIsoAlpha2};
    for (const uint8_t* table : tables)
      for (int e = 0; e < 128; e++) ASSERT_EQ(table[4 * e], c.alpha) << c.gain << " entry " << e;
  }
  std::vector<uint8_t> before(sizeof imgdsp::g.p), after(sizeof imgdsp::g.p);
  std::memcpy(before.data(), &imgdsp::g.p, before.size());
  img_dsp_set_passthrough_sharpen(0);
  std::memcpy(after.data(), &imgdsp::g.p, after.size());
  EXPECT_EQ(before, after);
}

// Coring scaled by the retain level into the FIR record's coring block; the retain setter repacks the
// stored table and returns the driver's result when refused. While high-ISO sharpening holds, the
// FIR setter writes the identity at the pass-through shift and the spatial filter sends its three
// pass-through records.
TEST_F(ImgDspTest, CoringRetainAndHighIsoSubstitutes) {
  img_dsp_coring_info coring{};
  coring.coring[0] = 31;
  ASSERT_EQ(img_dsp_set_sharpen_signal_retain_level(kFd, 0, 1), 0);
  ASSERT_EQ(img_dsp_set_sharpen_coring(kFd, 0, &coring), 0);
  std::vector<uint8_t> table = unpackCoring(hooks().requests.back().blocks.at(2));
  EXPECT_EQ(std::vector<int>({table[0], table[126], table[128], table[137]}), std::vector<int>({31, 2, 4, 0}));
  hooks().failResult = -5;
  hooks().failCode = 0x4004700f;
  EXPECT_EQ(img_dsp_set_sharpen_signal_retain_level(kFd, 0, 0), -5);
  EXPECT_EQ(unpackCoring(hooks().requests.back().blocks.at(2))[128], 0);

  hooks().failCode = 0;
  imgdsp::g.p.highIsoSharpen = true;
  img_dsp_fir_info fir{100, {}};
  ASSERT_EQ(img_dsp_set_sharpen_fir(kFd, 0, &fir), 0);
  std::vector<int32_t> identity(25, 0);
  identity[24] = 255;
  expectDirectionRecord(hooks().requests.back().blocks.at(0).data(), 4, identity);
  hooks().requests.clear();
  img_dsp_spatial_filter_info sf{9, 9, 9, 9};
  ASSERT_EQ(img_dsp_set_spatial_filter(kFd, 0, &sf), 0);
  ASSERT_EQ(requestCodes(), (std::vector<uint32_t>{0x40047010, 0x40047013, 0x4004700f}));
  EXPECT_EQ(hooks().requests[0].as<img_dsp_edge_control_record>().edge_threshold, 2047);
  EXPECT_EQ(hooks().requests[1].as<img_dsp_misc_record>().bypass, 0);
}

// Temporal filter: the curve of the information the 3D-noise control writes (t1 = 80: flat at
// alpha), a full single curve, the block's fixed fields, the edge check of the four-curve modes.
TEST_F(ImgDspTest, TemporalFilterCurves) {
  auto curve = [] {
    img_dsp_mctf_config c;
    std::memcpy(&c, hooks().requests.back().blocks.at(0).data(), sizeof c);
    return c;
  };
  img_dsp_mctf_info info{1, 77, {0, 80, 160, 0, 0, 32, 32, 32}, 0};
  ASSERT_EQ(img_dsp_set_mctf_info(kFd, &info), 0);
  EXPECT_EQ(hooks().requests.back().code, 0x40047015u);
  EXPECT_EQ(hooks().requests.back().as<img_dsp_mctf_record>().enable, 1);
  img_dsp_mctf_config c = curve();
  for (int i = 0; i < 64; i++) EXPECT_EQ(c.curve[0][i], 77) << i;
  EXPECT_EQ(c.edges, 0xffffffffu);
  EXPECT_EQ(std::vector<int>(c.level, c.level + 3), std::vector<int>({32, 32, 32}));
  EXPECT_EQ(c.flags & 0x11, 0x01);

  img_dsp_mctf_info full{1, 10, {100, 8, 16, 32, 48, 1, 2, 3}, 0};
  ASSERT_EQ(img_dsp_set_mctf_info(kFd, &full), 0);
  c = curve();
  const std::pair<int, int> points[] = {{7, 10}, {8, 10}, {12, 55}, {16, 100}, {31, 100}, {40, 177}, {48, 255}, {63, 255}};
  for (auto [i, v] : points) EXPECT_EQ(c.curve[0][i], v) << i;
  full.threshold[0] = 0;  // no middle level: one ramp to 255 ending at t2
  ASSERT_EQ(img_dsp_set_mctf_info(kFd, &full), 0);
  c = curve();
  EXPECT_EQ(c.curve[0][12], 10 + 245 * 4 / 8);
  EXPECT_EQ(c.curve[0][16], 255);

  ASSERT_EQ(img_dsp_enable_mctf(kFd, 0), 0);
  EXPECT_EQ(hooks().requests.back().as<img_dsp_mctf_record>().enable, 0);
  img_dsp_mctf_info kept{};
  img_dsp_get_mctf_info(&kept);
  EXPECT_EQ(kept.alpha, 10);

  img_dsp_mctf_curve_desc desc{};
  desc.curve_mode = 0;
  desc.edge[3] = 64;
  size_t sent = hooks().requests.size();
  EXPECT_EQ(img_dsp_set_video_mctf(kFd, &desc), -1);
  EXPECT_EQ(messages(), "Error: img_dsp_set_video_mctf edge[0-4] should < 64\n");
  EXPECT_EQ(hooks().requests.size(), sent);
  desc.edge[3] = 63;
  desc.edge[0] = 1;
  ASSERT_EQ(img_dsp_set_video_mctf(kFd, &desc), 0);
  EXPECT_EQ(curve().edges, 1u | 63u << 18);
}
