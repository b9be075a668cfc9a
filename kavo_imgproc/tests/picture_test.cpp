// The picture controls and the noise reduction against the simulated DSP: the colour conversion
// with brightness, saturation, hue and its black-and-white restore, the contrast curve, the
// white-balance clamp, the digital pan offsets, and the noise-reduction records at chosen AGC
// indexes as the library holds them afterwards.
#include "picture_fixture.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;

class PictureTest : public ControllerFixture {
 protected:
  // The last RGB-to-YUV set the DSP took.
  static nlohmann::json lastYuv(uint64_t since) {
    auto lines = requestsSince(since, "IAV_IOC_IMG_RGB_TO_YUV_SETUP");
    return lines.empty() ? nlohmann::json() : lines.back()["arg"];
  }
  int16_t model(int i) const { return isp->modelYuv.get(i); }
  int16_t saved(int i) const { return isp->savedYuv.get(i); }
};

// Brightness moves the Y offset only; saturation 0 zeroes the U and V rows; hue +15 sends the V
// coefficients into the U row and the negated U coefficients into the V row; contrast scales Y.
TEST_F(PictureTest, ColourConversionCarriesThePictureState) {
  for (int b : {-64, 0, 64}) {
    const uint64_t seq = lastSeq();
    setBrightness(isp, b);
    EXPECT_EQ(lastYuv(seq)["yOffset"], model(9) + b) << b;
  }
  setSaturation(isp, 0);
  for (int i = 3; i < 9; ++i) EXPECT_EQ(saved(i), 0) << i;
  EXPECT_EQ(saved(0), model(0));  // contrast 64: Y unchanged

  setSaturation(isp, 64);  // s = 64 x 60 / 64 = 60
  setHue(isp, 15);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(saved(3 + k), (model(6 + k) * 60) >> 6) << k;
    EXPECT_EQ(saved(6 + k), (-model(3 + k) * 60) >> 6) << k;
  }
  setHue(isp, 0);
  setContrast(isp, 64);
  isp->contrastGain.store(128);
  color_conversion(isp);
  EXPECT_EQ(saved(1), model(1) * 2);
}

// Black and white sends zero U and V rows and keeps them zero through a saturation change; turning
// it off restores the colours of the latest conversion, not those before black and white.
TEST_F(PictureTest, BlackAndWhiteRestoresTheLatestColours) {
  setSaturation(isp, 64);
  uint64_t seq = lastSeq();
  set_yuv_BW(isp, 1);
  EXPECT_EQ(lastYuv(seq)["u0"], 0);
  EXPECT_EQ(lastYuv(seq)["v0"], 0);
  EXPECT_EQ(lastYuv(seq)["y0"], saved(0));
  seq = lastSeq();
  setSaturation(isp, 32);
  EXPECT_EQ(lastYuv(seq)["u0"], 0);
  const int16_t u0 = saved(3);
  ASSERT_NE(u0, 0);
  seq = lastSeq();
  set_yuv_BW(isp, 0);
  EXPECT_EQ(lastYuv(seq)["u0"], u0);
  EXPECT_EQ(lastYuv(seq)["v0"], saved(6));
  EXPECT_EQ(isp->blackAndWhite.load(), 0);
}

// 64 loads the model's curve unchanged; 0 lifts the shadows and lowers the mid-tones by up to 64;
// 128 does the opposite.
TEST_F(PictureTest, ContrastCurve) {
  setContrast(isp, 64);
  for (int i = 0; i < 256; ++i) ASSERT_EQ(g_isp.adjustedToneCurve[i].load(), isp->toneCurve.get(i)) << i;
  setContrast(isp, 0);
  const struct {
    int i, o;
  } low[] = {{0, 64}, {40, 56}, {95, 1}, {96, 0}, {100, -4}, {167, -64}, {168, -64}, {231, -1}, {232, 0}, {255, 0}};
  for (const auto& c : low) EXPECT_EQ(g_isp.contrastCurve[c.i].load(), c.o) << c.i;
  setContrast(isp, 128);
  EXPECT_EQ(g_isp.contrastCurve[0].load(), -64);
  EXPECT_EQ(g_isp.contrastCurve[100].load(), 4);
  EXPECT_EQ(g_isp.contrastCurve[168].load(), 64);
  for (int i = 0; i < 256; ++i) {
    const int32_t t = g_isp.adjustedToneCurve[i].load();
    ASSERT_TRUE(t >= 0 && t <= 1024) << i;
  }
}

TEST_F(PictureTest, RgbGainsAreClampedAndSent) {
  const uint64_t seq = lastSeq();
  set_rgb_gain(isp, 100, 1024, 5000);
  uint32_t g[3];
  get_rgb_gain(isp, g);
  EXPECT_EQ(g[0], 256u);
  EXPECT_EQ(g[1], 1024u);
  EXPECT_EQ(g[2], 4096u);
  const auto sent = requestsSince(seq, "IAV_IOC_IMG_RGB_GAIN_ADJUST");
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0]["arg"]["r"], 256 * 64);
  EXPECT_EQ(sent[0]["arg"]["b"], 4096 * 64);
}

// Pan 100 at zoom 2 moves (100 - 50) x 480 / 55 = 436 pixels on the AR0331, 290 on the OV9715;
// zoom 0 sends nothing.
TEST_F(PictureTest, DigitalPanOffsets) {
  const struct {
    int32_t sensor;
    int pan, tilt, zoom, x, y;
  } cases[] = {{SENSOR_AR0331, 100, 50, 2, 436, 0},
               {SENSOR_AR0331, 0, 100, 2, -436, 245},
               {SENSOR_OV9715, 100, 0, 2, 290, -163},
               {SENSOR_OV9715, 75, 50, 4, 218, 0}};
  for (const auto& c : cases) {
    g_isp.sys.sensor = c.sensor;
    const uint64_t seq = lastSeq();
    setDPTZ(isp, c.pan, c.tilt, c.zoom);
    const auto sent = requestsSince(seq, "IAV_IOC_SET_DIGITAL_ZOOM_EX");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0]["arg"]["x"], c.x * 65536) << c.pan;
    EXPECT_EQ(sent[0]["arg"]["y"], c.y * 65536) << c.tilt;
  }
  const uint64_t seq = lastSeq();
  setDPTZ(isp, 100, 100, 0);
  EXPECT_TRUE(requestsSince(seq, "IAV_IOC_SET_DIGITAL_ZOOM_EX").empty());
}

// The AGC-driven noise reduction at chosen indexes, read back from the library's records.
TEST_F(PictureTest, NoiseReductionByAgc) {
  const struct {
    int32_t model;
    uint32_t nr;
    int agc;
    int alpha;  // temporal filter strength; -1: nothing sent
  } temporal[] = {{ALDER_IR, 40, 100, 160},     {ALDER_IR, 40, 50, 0},      {ALDER_IR, 20, 150, 0},
                  {FINCH_IR, 40, 200, 55},      {FINCH_IR, 10, 60, 190},    {TORVEX_BRISK, 40, 140, 150},
                  {ALDER_IR, 180, 198, -1}};
  for (const auto& c : temporal) {
    g_isp.sys.model = c.model;
    g_isp.image.nrLevel.store(c.nr);
    set3DNRLevel_manual(isp, 7);
    set3DNR_byAGC(isp, c.agc);
    img_dsp_mctf_info m{};
    img_dsp_get_mctf_info(&m);
    EXPECT_EQ(m.alpha, c.alpha < 0 ? 7 : c.alpha) << c.model << " " << c.nr << " " << c.agc;
  }

  g_isp.sys.model = ALDER_IR;
  g_isp.image.nrLevel.store(40);
  set_smart_sharpCoring(isp, 60);  // row 3, spatial 36
  img_dsp_spatial_filter_info f{};
  img_dsp_get_spatial_filter(0, &f);
  EXPECT_EQ(f.isotropic_strength, 255);
  EXPECT_EQ(f.directional_strength, 128);
  EXPECT_EQ(f.edge_threshold, 36);
  EXPECT_EQ(f.max_change, 36);
  img_dsp_coring_info coring{};
  img_dsp_get_sharpen_coring(0, &coring);
  EXPECT_EQ(0, std::memcmp(coring.coring, kCoringRows[3], 256));
  g_isp.image.nrLevel.store(4);  // row at most 4 / 4 = 1, spatial at most 4
  set_smart_sharpCoring(isp, 200);
  img_dsp_get_spatial_filter(0, &f);
  EXPECT_EQ(f.edge_threshold, 4);
  img_dsp_get_sharpen_coring(0, &coring);
  EXPECT_EQ(0, std::memcmp(coring.coring, kCoringRows[1], 256));

  g_isp.image.saturation.store(50);  // 64 in the conversion's units
  for (const auto& c : {std::pair<int, int>{100, 64}, {150, 48}, {190, 32}}) {
    set_Chroma_Scale_inAGC(isp, c.first);
    EXPECT_EQ(isp->saturation.load(), c.second) << c.first;
  }

  setNR_DynaBPC_manual(isp, 4);
  img_dsp_bad_pixel_info b{};
  img_dsp_get_dynamic_bad_pixel_correction(&b);
  EXPECT_EQ(b.enable, 3);
  EXPECT_EQ(b.hot_strength, 7);
  EXPECT_EQ(b.dark_strength, 7);
  setNR_spatial_manual(isp, 12);  // level 9
  img_dsp_get_spatial_filter(0, &f);
  EXPECT_EQ(f.edge_threshold, 150);
}

// The exposure pair sends the shutter time, then the gain; sharpness given up for noise reduction
// sends the sharpening of the sharpness setting whatever the level (its reductions are all 0), also
// for levels outside the table.
TEST_F(PictureTest, ExposurePairAndSharpnessForNoiseReduction) {
  auto requests = [](uint64_t since) {
    std::vector<std::pair<std::string, nlohmann::json>> out;
    for (const auto& l : requestsSince(since)) out.emplace_back(l["req"], l.value("arg", nlohmann::json()));
    return out;
  };
  for (const auto& [time, gain] : {std::pair<int32_t, int32_t>{4266666, 0}, {10240, 496846011}}) {
    const uint64_t seq = lastSeq();
    EXPECT_EQ(set_shutter_agc(isp, time, gain), 1);
    const auto sent = requests(seq);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].first, "IAV_IOC_VIN_SRC_SET_SHUTTER_TIME");
    EXPECT_EQ(sent[0].second["value"], time);
    EXPECT_EQ(sent[1].first, "IAV_IOC_VIN_SRC_SET_AGC_INDEX");
    EXPECT_EQ(sent[1].second["value"], gain);
  }
  const struct {
    uint32_t sharpness, nr;
    int level;
  } rows[] = {{60, 40, 0}, {60, 40, 11}, {100, 0, 5}, {0, 90, -1}, {30, 40, 12}};
  for (const auto& r : rows) {
    g_isp.image.sharpness.store(r.sharpness);
    g_isp.image.nrLevel.store(r.nr);
    // The library's requests carry its state: compare from the state the same sharpening leaves.
    setSharpness(isp, static_cast<int>(r.sharpness));
    uint64_t seq = lastSeq();
    setSharpness(isp, static_cast<int>(r.sharpness));
    const auto direct = requests(seq);
    seq = lastSeq();
    set_NR_by_Decrease_Sharp(isp, r.level);
    EXPECT_EQ(requests(seq), direct) << r.sharpness << " " << r.nr << " " << r.level;
  }
}

TEST(HueTable, CosineAndSineInQ11) {
  EXPECT_EQ(hueCos(0), 2048);
  EXPECT_EQ(hueCos(-15), 0);
  EXPECT_EQ(hueCos(5), 1773);
  EXPECT_EQ(hueSin(-15), -2048);
  EXPECT_EQ(hueSin(1), 214);
  EXPECT_EQ(hueSin(-5), -1024);
}

}  // namespace
