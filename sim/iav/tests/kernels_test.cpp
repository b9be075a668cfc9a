// The image-DSP library's requests as the simulated DSP journals them: every record decoded from a
// copy taken when the request arrives, with each block its pointers designate as size and digest
// (that the copy is the block as it was at the request: the drivers' library tests).
#include <gtest/gtest.h>

#include <vector>

#include "iav_client.h"
#include "img_dsp_records.h"

namespace {

using namespace simtest;

// The last journal line of `req`.
nlohmann::json last(const char* req) {
  nlohmann::json out;
  for (const auto& l : journal())
    if (l.value("req", "") == req) out = l;
  return out;
}

class KernelsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeConfig(root, R"({"clock": "virtual"})");
    ASSERT_EQ(dsp.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
    ASSERT_EQ(dsp.startStop(true), 0);
  }
  kavo::test::TestRoot root;
  Client dsp;
};

// Every request of the library, decoded: its fields, its blocks (null pointers as "null"), and the
// cancel with its value. An RGB gain of 0 is refused.
TEST_F(KernelsTest, EveryLibraryRequestIsDecoded) {
  img_dsp_black_level_record black{{-100, 1, 2, 300}, {-512, -512, -512}, 0};
  std::vector<uint8_t> hot(IMG_DSP_BAD_PIXEL_TABLE_BYTES, 1), dark(IMG_DSP_BAD_PIXEL_TABLE_BYTES, 2);
  img_dsp_bad_pixel_record bad{3, 3, hot.data(), dark.data(), 13449, 4};
  img_dsp_rgb_gain_record rgb{65536, 70000, 70000, 80000};
  std::vector<uint16_t> shading(IMG_DSP_VIGNETTE_TABLE_BYTES / 2, 1024);
  img_dsp_vignette_record vignette{1, 9, 0, {shading.data(), shading.data(), nullptr, shading.data()}};
  img_dsp_local_exposure_record local{};
  local.enable = 1;
  local.radius = 2;
  local.weight[0] = local.weight[1] = local.weight[2] = 16;
  local.weight_shift = 6;
  for (auto& g : local.gain_curve) g = 1024;
  local.black_reference[1] = -512;
  local.offset = -512;
  std::vector<uint8_t> input(IMG_DSP_CC_INPUT_TABLE_BYTES, 3), lut(IMG_DSP_CC_3D_TABLE_BYTES, 4);
  std::vector<uint32_t> tone(IMG_DSP_TONE_CURVE_WORDS);
  for (uint32_t i = 0; i < tone.size(); ++i) tone[i] = (1023 - 4 * i) | (4 * i) << 10 | (4 * i) << 20;
  img_dsp_color_correction_record colour{1, {}, {65536, 65536, 65536}, input.data(), lut.data(), 0, tone.data(), 0};
  img_dsp_chroma_scale_record scale{1, 1, {0, -44, 228, 180, -92, 0}, 0, 0, {}};
  for (auto& g : scale.gain) g = 1024;
  std::vector<uint16_t> median(IMG_DSP_CHROMA_MEDIAN_TABLE_BYTES / 2, 0x7fff);
  img_dsp_chroma_median_record chroma{2, 0, median.data(), {33, 81, 33, 81, 40, 130, 40, 130}};
  std::vector<uint8_t> alphaTable(IMG_DSP_LUMA_TABLE_BYTES, 32);
  img_dsp_luma_sharpening_record luma{{255, 128}, 2047, alphaTable.data()};
  img_dsp_edge_control_record edge{300, 0};
  img_dsp_level_control_record level{0x2132, 0, 10, 10, 42, 5, 4, 254, 255, 0, 4, 4, 6, -4096, -4096, 4095, 4095, 0};
  img_dsp_misc_record misc{0, 2, 1, 0};
  img_dsp_mctf_config mctfBlock{};
  for (auto& v : mctfBlock.curve[0]) v = 100;
  mctfBlock.edges = 0xffffffffu;
  mctfBlock.flags = 1;
  img_dsp_mctf_record mctf{1, {}, &mctfBlock};

  struct Case {
    uint32_t code;
    const void* record;
    nlohmann::json arg;  // the fields checked
  };
  const Case cases[] = {
      {IMG_DSP_REQ_BLACK_LEVEL, &black, {{"o0", -100}, {"o3", 300}, {"r1", -512}}},
      {IMG_DSP_REQ_BAD_PIXEL, &bad,
       {{"enable", 3}, {"mode", 3}, {"fixed0", 13449}, {"hotTable", {{"bytes", 768}, {"fnv", fnvHex(hot.data(), 768)}}}}},
      {IMG_DSP_REQ_RGB_GAIN, &rgb, {{"r", 65536}, {"gr", 70000}, {"gb", 70000}, {"b", 80000}}},
      {IMG_DSP_REQ_VIGNETTE, &vignette, {{"enable", 1}, {"gainShift", 9}, {"table2", "null"}, {"table3", {{"bytes", 2178}, {"fnv", fnvHex(shading.data(), 2178)}}}}},
      {IMG_DSP_REQ_LOCAL_EXPOSURE, &local, {{"enable", 1}, {"radius", 2}, {"shift", 6}, {"offset", -512}, {"gain255", 1024}}},
      {IMG_DSP_REQ_COLOR_CORRECTION, &colour,
       {{"enable", 1}, {"g1", 65536}, {"lut3d", {{"bytes", 16384}, {"fnv", fnvHex(lut.data(), lut.size())}}},
        {"toneCurve", {{"bytes", 1024}, {"fnv", fnvHex(tone.data(), 1024)}}}}},
      {IMG_DSP_REQ_CHROMA_SCALE, &scale, {{"enable", 1}, {"m2", 228}, {"m4", -92}, {"gain127", 1024}}},
      {IMG_DSP_REQ_CHROMA_MEDIAN, &chroma, {{"mode", 2}, {"t5", 130}, {"table", {{"bytes", 48}, {"fnv", fnvHex(median.data(), 48)}}}}},
      {IMG_DSP_REQ_LUMA_SHARPENING, &luma, {{"alpha0", 255}, {"alpha1", 128}, {"edgeThreshold", 2047}}},
      {IMG_DSP_REQ_SHARPEN_EDGE, &edge, {{"edgeThreshold", 300}}},
      {IMG_DSP_REQ_SHARPEN_LEVEL, &level, {{"cmd", "0x00002132"}, {"select", 10}, {"low0", 42}, {"highVal", 4}, {"area", 6}, {"clipLow", -4096}}},
      {IMG_DSP_REQ_SHARPEN_MISC, &misc, {{"kind", 2}, {"bypass", 1}}},
      {IMG_DSP_REQ_MCTF, &mctf, {{"enable", 1}, {"curve0", 100}, {"curve63", 100}, {"edges", "0xffffffff"}}},
  };
  for (const auto& k : cases) {
    const img_dsp_request_layout* layout = img_dsp_request_layout_of(k.code);
    ASSERT_NE(layout, nullptr);
    SCOPED_TRACE(layout->name);
    ASSERT_EQ(req(dsp.iav, k.code, const_cast<void*>(k.record)), 0);
    const auto line = last(layout->name);
    ASSERT_TRUE(line.contains("arg")) << line;
    for (const auto& [key, value] : k.arg.items()) EXPECT_EQ(line["arg"][key], value) << key << " in " << line;
  }
  ASSERT_EQ(req(dsp.iav, IMG_DSP_REQ_CANCEL, uintptr_t{0}), 0);
  EXPECT_EQ(last("IAV_IOC_IMG_DSP_CANCEL")["arg"]["value"], 0);
  img_dsp_rgb_gain_record off{0, 65536, 65536, 65536};
  EXPECT_EQ(req(dsp.iav, IMG_DSP_REQ_RGB_GAIN, &off), EINVAL);
}

}  // namespace
