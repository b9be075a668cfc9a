// Colour and noise setters: validation messages, the records they send, colour correction and the
// gains.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "hooks.h"
#include "state.h"
#include "tables.h"

using namespace imgdsp_test;

namespace {

const int kFd = 3;

std::vector<uint32_t> gainsOf(const img_dsp_rgb_gain_record& r) { return {r.r_gain, r.g_gain_r, r.g_gain_b, r.b_gain}; }

}  // namespace

// Every validation message of the colour and noise setters, with -1 and no request sent.
TEST_F(ImgDspTest, ValidationMessagesSendNothing) {
  img_dsp_chroma_median_info median{1, 100, 257};
  img_dsp_chroma_scale_info scale{3, 0, {}};
  std::vector<uint8_t> badReg = regFile(1, 1, 18751);
  img_dsp_cc_reg_info reg{badReg.data()};
  std::vector<uint8_t> t = table3d(1, 1);
  img_dsp_cc_3d_info t3d{t.data()};
  img_dsp_bad_pixel_info bad{1, 3, 11};
  img_dsp_rgb_gain_info zeroGreen{1024, 0, 1024}, rgb{1024, 1024, 1024};
  img_dsp_black_level_info black{{100, 100, 100, 100}};
  struct Case {
    std::function<int()> call;
    const char* message;
  } cases[] = {
      {[&] { return img_dsp_set_chroma_median_filter(kFd, &median); }, "Error: Chroma median filter strength must <= 256\n"},
      {[&] { return img_dsp_set_chroma_scale(kFd, &scale); }, "Error: undefined enable 3 in img_dsp_set_chroma_scale\n"},
      {[&] { return img_dsp_set_color_correction_reg(&reg); }, "Error: Color correction reg file format error!\n"},
      {[&] { return img_dsp_set_color_correction(kFd, &t3d); }, "Error! Please input color correction reg file first!\n"},
      {[&] { return img_dsp_set_dynamic_bad_pixel_correction(kFd, &bad); },
       "Error: invalid hot/dark pixel strength in img_dsp_set_dynamic_bad_pixel_correction\n"},
      {[&] { return img_dsp_set_wb_gain(kFd, &zeroGreen); }, "set wb_gain:  invalide value.\n"},
      {[&] { return img_dsp_set_dgain(kFd, 0); }, "set dgain:  invalide value.\n"},
      {[&] { return img_dsp_set_rgb_gain(kFd, &zeroGreen, 1024); }, ""},
      {[&] { return img_dsp_set_rgb_gain(kFd, &rgb, 0); }, ""},
      {[&] { return img_dsp_set_black_level_offset(kFd, &black, 5); }, ""},
  };
  for (const Case& c : cases) {
    hooks().messages.clear();
    EXPECT_EQ(c.call(), -1) << c.message;
    EXPECT_EQ(messages(), c.message);
  }
  EXPECT_TRUE(hooks().requests.empty());
  EXPECT_EQ(imgdsp::g.p.blackLevel.reference[0], 0);  // order 5 cleared the record
}

// Coefficients interpolated between rows, three 5-bit values per word, nine Cb then nine Cr per group.
TEST_F(ImgDspTest, ChromaMedianRecord) {
  struct Case {
    img_dsp_chroma_median_info info;
    uint32_t mode;
    uint16_t word0, word3, word6;
  } cases[] = {
      {{1, 256, 256}, 2, 0x7fff, 0x7fff, 0x7fff},                   // row 3 alone
      {{1, 100, 0}, 2, 26 | 29 << 5 | 31 << 10, 0, 22 | 31 << 5 | 31 << 10},  // rows 1 and 2, w 44; Cr off
      {{1, 0, 100}, 2, 0, 26 | 29 << 5 | 31 << 10, 0},
      {{1, 20, 0}, 2, 6 | 7 << 5 | 7 << 10, 0, 5 | 7 << 5 | 7 << 10},  // rows 0 and 1, w 60
      {{0, 100, 100}, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    hooks().requests.clear();
    ASSERT_EQ(img_dsp_set_chroma_median_filter(kFd, &c.info), 0);
    const Request& r = hooks().requests.at(0);
    ASSERT_EQ(r.code, 0x4004700du);
    auto rec = r.as<img_dsp_chroma_median_record>();
    EXPECT_EQ(rec.mode, c.mode);
    EXPECT_EQ(std::vector<int>(rec.threshold, rec.threshold + 8), std::vector<int>({33, 81, 33, 81, 40, 130, 40, 130}));
    uint16_t words[24];
    std::memcpy(words, r.blocks.at(0).data(), sizeof words);
    EXPECT_EQ(words[0], c.word0);
    EXPECT_EQ(words[3], c.word3);
    EXPECT_EQ(words[6], c.word6);
    EXPECT_EQ(std::memcmp(imgdsp::g.p.chromaMedianTable2, words, sizeof words), 0);
  }
}

// The local-exposure offset term ((2 (radius + 2))^2 x r1 >> shift, shift at most 31) and the
// black-level offsets in the four Bayer orders (levels 10, 20, 30, 40 against references -512).
TEST_F(ImgDspTest, LocalExposureAndBlackLevel) {
  img_dsp_local_exposure_info le{1, 1, {16, 16, 16}, 6, {}};
  le.gain_curve[255] = 1024;
  ASSERT_EQ(img_dsp_set_local_exposure(kFd, &le), 0);
  auto lr = hooks().requests.back().as<img_dsp_local_exposure_record>();
  EXPECT_EQ(lr.gain_curve[255], 1024);
  EXPECT_EQ(lr.black_reference[1], -512);
  EXPECT_EQ(lr.offset, -288);
  le.weight_shift = 40;
  ASSERT_EQ(img_dsp_set_local_exposure(kFd, &le), 0);
  EXPECT_EQ(hooks().requests.back().as<img_dsp_local_exposure_record>().offset, -1);

  const img_dsp_black_level_info levels{{10, 20, 30, 40}};
  const int32_t want[4][4] = {{522, 532, 542, 552}, {552, 542, 532, 522}, {532, 522, 552, 542}, {542, 552, 522, 532}};
  for (uint32_t order = 0; order < 4; order++) {
    ASSERT_EQ(img_dsp_set_black_level_offset(kFd, &levels, order), 0);
    auto b = hooks().requests.back().as<img_dsp_black_level_record>();
    EXPECT_EQ(std::vector<int32_t>(b.offset, b.offset + 4), std::vector<int32_t>(want[order], want[order] + 4)) << order;
  }
}

// Bad pixel: rows of the selected set by strength; a strength of 0 carries an all-zero half-table
// (there is no row for it); both strengths 0 turn the correction off and say so in the kept record.
TEST_F(ImgDspTest, BadPixelTables) {
  const uint8_t* rows = imgdsp::kBadPixelRows[1][0];  // table set 1 after the defaults
  std::vector<uint8_t> zero(768, 0);
  auto half = [&](int strength, bool dark) {
    const uint8_t* p = rows + 1536 * (strength - 1) + (dark ? 768 : 0);
    return std::vector<uint8_t>(p, p + 768);
  };
  struct Case {
    img_dsp_bad_pixel_info info;
    uint32_t enable, mode;
    std::vector<uint8_t> hot, dark;
    uint8_t keptEnable;
  } cases[] = {
      {{3, 8, 8}, 3, 3, half(8, false), half(8, true), 3},
      {{1, 10, 1}, 1, 3, half(10, false), half(1, true), 1},
      {{3, 0, 5}, 3, 3, zero, half(5, true), 3},
      {{0, 4, 0}, 0, 1, half(1, false), zero, 0},
      {{2, 0, 0}, 0, 1, half(1, false), zero, 0},
  };
  for (const Case& c : cases) {
    ASSERT_EQ(img_dsp_set_dynamic_bad_pixel_correction(kFd, &c.info), 0);
    const Request& r = hooks().requests.back();
    auto rec = r.as<img_dsp_bad_pixel_record>();
    EXPECT_EQ(rec.enable, c.enable);
    EXPECT_EQ(rec.mode, c.mode);
    EXPECT_EQ(rec.fixed0, 13449);
    EXPECT_EQ(rec.fixed1, 4);
    EXPECT_EQ(r.blocks.at(0), c.hot);
    EXPECT_EQ(r.blocks.at(1), c.dark);
    img_dsp_bad_pixel_info kept{};
    img_dsp_get_dynamic_bad_pixel_correction(&kept);
    EXPECT_EQ(kept.enable, c.keptEnable);
  }
}

// The 3D table needs the register file of its version; the tone curve completes the request. A table
// in the library's own memory is refused before anything changes; 10-bit values are clamped.
TEST_F(ImgDspTest, ColourCorrection) {
  std::vector<uint8_t> reg = regFile(2, 1), t = table3d(2, 1), old = table3d(1, 9), hiso = table3d(3, 0, 1);
  img_dsp_cc_reg_info r{reg.data()};
  img_dsp_cc_3d_info t3d{t.data()}, oldInfo{old.data()}, hisoInfo{hiso.data()}, internal{imgdsp::g.cc3d};
  ASSERT_EQ(img_dsp_set_color_correction_reg(&r), 0);
  EXPECT_EQ(img_dsp_set_color_correction(kFd, &oldInfo), -1);
  EXPECT_EQ(messages(),
            "Error: Color correction reg file/3D file version mismatch! CC_reg ver 2.1 and CC_3D ver 1.9\n");
  hooks().messages.clear();
  EXPECT_EQ(img_dsp_set_color_correction(kFd, &internal), -1);
  EXPECT_EQ(messages(), "Error: Using IMGDSP interal memory as Color correction input is not allowed!\n");
  EXPECT_EQ(imgdsp::g.ccRecord.enable, 0);
  EXPECT_FALSE(imgdsp::g.p.cc3dLoaded);
  EXPECT_EQ(imgdsp::g.p.cc3dHeader[0], 0);

  EXPECT_EQ(img_dsp_set_color_correction(kFd, &hisoInfo), 0);  // kept aside, nothing sent
  EXPECT_EQ(img_dsp_set_color_correction(kFd, &t3d), 0);       // no tone curve yet: nothing sent
  EXPECT_EQ(img_dsp_write_color_correction(kFd), 0);
  EXPECT_TRUE(hooks().requests.empty());

  img_dsp_tone_curve tone{};
  for (int i = 0; i < 256; i++) tone.channel[0][i] = tone.channel[1][i] = tone.channel[2][i] = static_cast<uint16_t>(4 * i);
  tone.channel[0][255] = 1024;  // would spill into the next channel
  ASSERT_EQ(img_dsp_load_tone_curve(kFd, &tone), 0);
  ASSERT_EQ(requestCodes(), std::vector<uint32_t>{0x4004700a});
  const Request& req = hooks().requests[0];
  auto rec = req.as<img_dsp_color_correction_record>();
  EXPECT_EQ(rec.enable, 1);
  EXPECT_EQ(std::vector<uint32_t>(rec.gain, rec.gain + 3), std::vector<uint32_t>(3, 0x10000));
  EXPECT_EQ(rec.tone_update, 0u);
  EXPECT_EQ(req.blocks.at(0), std::vector<uint8_t>(reg.begin() + 16256, reg.begin() + 16256 + 2304));
  EXPECT_EQ(req.blocks.at(1), std::vector<uint8_t>(t.begin() + 128, t.begin() + 128 + 16384));
  uint32_t words[256];
  std::memcpy(words, req.blocks.at(2).data(), sizeof words);
  EXPECT_EQ(words[1], 4u | 4u << 10 | 4u << 20);
  EXPECT_EQ(words[255], 1023u | 1020u << 10 | 1020u << 20);
  img_dsp_tone_curve kept{};
  img_dsp_get_tone_curve(&kept);
  EXPECT_EQ(kept.channel[0][255], 1024);

  // A register file of another version warns about both loaded tables and is taken.
  std::vector<uint8_t> reg2 = regFile(2, 2);
  img_dsp_cc_reg_info r2{reg2.data()};
  hooks().messages.clear();
  EXPECT_EQ(img_dsp_set_color_correction_reg(&r2), 0);
  EXPECT_EQ(messages(),
            "Warning: Color correction reg file is programmed to Ver 2.2. Current CC_3D version is 2.1\n"
            "A New CC_3D table is required\n"
            "Warning: Color correction reg file is programmed to Ver 2.2. Current HISO CC_3D version is 3.0\n"
            "A New HISO CC_3D table is required\n");
}

TEST_F(ImgDspTest, RgbWhiteBalanceAndDigitalGains) {
  img_dsp_rgb_gain_info gains{1000, 2048, 3000};
  ASSERT_EQ(img_dsp_set_rgb_gain(kFd, &gains, 1024), 0);
  auto rec = hooks().requests.back().as<img_dsp_rgb_gain_record>();
  EXPECT_EQ(gainsOf(rec), std::vector<uint32_t>({64000, 131072, 131072, 192000}));
  // The white-balance copy keeps green at 1024: 1000 -> 500, 3000 -> 1500; the digital gain resends it.
  ASSERT_EQ(img_dsp_set_dgain(kFd, 900), 0);
  rec = hooks().requests.back().as<img_dsp_rgb_gain_record>();
  EXPECT_EQ(gainsOf(rec), std::vector<uint32_t>({32000, 65536, 65536, 96000}));
  img_dsp_rgb_gain_info odd{1001, 3072, 5};  // 333.67 and 1.67 round to 334 and 2
  ASSERT_EQ(img_dsp_set_wb_gain(kFd, &odd), 0);
  EXPECT_EQ(imgdsp::g.p.wbInfo.r, 334u);
  EXPECT_EQ(imgdsp::g.p.wbInfo.b, 2u);

  hooks().failCode = 0x40047007;
  EXPECT_EQ(img_dsp_set_wb_gain(kFd, &gains), -1);
  EXPECT_EQ(messages(), "error: IAV_IOC_IMG_RGB_GAIN_ADJUST\nerror img_dsp_set_rgb_gain\n");
}
