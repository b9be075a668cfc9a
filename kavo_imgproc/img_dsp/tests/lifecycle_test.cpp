// Hooks, initialisation and its defaults, the version block, cancel and the hook guard.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "hooks.h"
#include "state.h"

using namespace imgdsp_test;

namespace {

const int kFd = 7;

class ImgDspLifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override { resetLibrary(); }
  void TearDown() override { resetLibrary(); }
};

}  // namespace

TEST_F(ImgDspLifecycleTest, InitNeedsEveryHookAndRunsOnce) {
  installHooks();
  img_dsp_set_print_op(nullptr);
  EXPECT_EQ(img_dsp_lib_init(), -1);
  EXPECT_EQ(hooks().allocations, 0);

  installHooks();
  ASSERT_EQ(img_dsp_lib_init(), 0);
  EXPECT_EQ(hooks().live.size(), 6u);  // three working buffers, three colour-correction buffers
  img_dsp_fir_info fir{100, {}}, kept{};
  ASSERT_EQ(img_dsp_set_sharpen_fir(kFd, 0, &fir), 0);
  int allocations = hooks().allocations;
  EXPECT_EQ(img_dsp_lib_init(), -1);  // changes nothing
  EXPECT_EQ(hooks().allocations, allocations);
  img_dsp_get_sharpen_fir(0, &kept);
  EXPECT_EQ(kept.fir_strength, 100);

  // Deinit releases the working buffers only; init makes them again and restores the defaults.
  EXPECT_EQ(img_dsp_lib_deinit(), 0);
  EXPECT_EQ(hooks().live.size(), 3u);
  EXPECT_EQ(img_dsp_lib_init(), 0);
  EXPECT_EQ(hooks().live.size(), 6u);
  img_dsp_get_sharpen_fir(0, &kept);
  EXPECT_EQ(kept.fir_strength, 64);
  img_dsp_set_ioctl_op(nullptr);
  EXPECT_EQ(img_dsp_lib_deinit(), -1);
}

// A colour-correction buffer that cannot be had fails the initialisation and leaves nothing
// allocated; a working buffer that cannot be had releases all three. The next init succeeds.
TEST_F(ImgDspLifecycleTest, AllocationFailuresLeaveNothingBehind) {
  installHooks();
  for (int failing = 0; failing < 3; failing++) {
    hooks().allocations = 0;
    hooks().failAllocation = failing;
    EXPECT_EQ(img_dsp_lib_init(), -1) << failing;
    EXPECT_TRUE(hooks().live.empty()) << failing;
  }
  hooks().allocations = 0;
  hooks().failAllocation = 4;
  EXPECT_EQ(img_dsp_lib_init(), -1);
  EXPECT_EQ(hooks().live.size(), 3u);
  EXPECT_FALSE(imgdsp::g.initialised);
  hooks().failAllocation = -1;
  EXPECT_EQ(img_dsp_lib_init(), 0);
  EXPECT_EQ(hooks().live.size(), 6u);
}

TEST_F(ImgDspLifecycleTest, VersionAndCancel) {
  img_dsp_lib_version v{};
  img_dsp_get_lib_version(&v);  // without hooks: nothing
  EXPECT_EQ(v.major, 0);
  EXPECT_EQ(img_dsp_cancel(kFd), -1);
  installHooks();
  img_dsp_get_lib_version(&v);
  EXPECT_EQ(std::vector<int>({v.major, v.minor, v.patch}), std::vector<int>({3, 5, 0}));
  EXPECT_EQ(v.date, 0x20130718u);
  EXPECT_STREQ(v.description, "X5S image dsp");

  EXPECT_EQ(img_dsp_cancel(kFd), 0);
  hooks().failRequest = 1;
  EXPECT_EQ(img_dsp_cancel(kFd), -1);
  EXPECT_EQ(requestCodes(), (std::vector<uint32_t>{0x8004701e, 0x8004701e}));
  EXPECT_EQ(hooks().requests[0].fd, kFd);
  EXPECT_EQ(messages(), "cancel error\n");
}

// After init mode 0 holds the defaults: FIR1 the isotropic high-pass kernel of strength 64 in all
// nine directions (shift word 0x04924924) with FIR2 off, the coring block of the all-8 table, alpha
// 255/255, the luma table at 32, no edge limit; gains at 1.0 and black references at -512.
TEST_F(ImgDspTest, DefaultsOfModeZero) {
  ASSERT_EQ(img_dsp_set_sharpen_signal_retain_level(kFd, 0, 0), 0);  // sends the FIR record as it is
  const Request& fir = hooks().requests.at(0);
  auto cfg = fir.as<img_dsp_fir_config_record>();
  EXPECT_EQ(cfg.config, 3);
  EXPECT_EQ(cfg.fir2_enable, 0);
  std::vector<int32_t> highPass64(25, 0);
  highPass64[16] = highPass64[18] = -7;
  highPass64[17] = highPass64[23] = -38;
  highPass64[24] = 180;
  for (int d = 0; d <= 8; d++) expectDirectionRecord(fir.blocks.at(0).data(), d, highPass64);
  uint32_t shiftWord, coring[64];
  std::memcpy(&shiftWord, fir.blocks[0].data() + 252, 4);
  EXPECT_EQ(shiftWord, 0x04924924u);
  std::memcpy(coring, fir.blocks.at(2).data(), sizeof coring);
  EXPECT_EQ(std::count(coring, coring + 64, 270600u), 64);

  img_dsp_alpha_info alpha{{1, 2}};
  img_high_iso_set_sharpening_alpha(kFd, 0, &alpha);  // the getter's copy is the caller's from now on
  auto luma = hooks().requests.back().as<img_dsp_luma_sharpening_record>();
  EXPECT_EQ(luma.edge_threshold, 2047);
  const std::vector<uint8_t>& table = hooks().requests.back().blocks.at(0);
  for (int e = 0; e < 128; e++) EXPECT_EQ(table[4 * e], 32) << e;
  EXPECT_EQ(imgdsp::g.p.mode[0].misc.sharpen_kind, 2);
  EXPECT_EQ(img_dsp_is_sharpen_7x7(), 0);

  ASSERT_EQ(img_dsp_set_dgain(kFd, 1024), 0);  // resends the stored white balance
  auto rgb = hooks().requests.back().as<img_dsp_rgb_gain_record>();
  EXPECT_EQ(std::vector<uint32_t>({rgb.r_gain, rgb.g_gain_r, rgb.g_gain_b, rgb.b_gain}),
            std::vector<uint32_t>(4, 1024u * 64));
  img_dsp_black_level_info zero{};
  ASSERT_EQ(img_dsp_set_black_level_offset(kFd, &zero, 0), 0);
  auto black = hooks().requests.back().as<img_dsp_black_level_record>();
  EXPECT_EQ(std::count(black.reference, black.reference + 3, -512), 3);
}

// Without any one of the six hooks an entry that sends or works returns -1 and neither prints nor
// sends; getters need only their output pointer.
TEST_F(ImgDspTest, HookGuard) {
  img_dsp_chroma_median_info median{1, 300, 10};
  img_dsp_bad_pixel_info bad{1, 11, 1};
  img_dsp_fir_info fir{300, {}};
  img_dsp_mctf_curve_desc desc{};
  std::vector<uint8_t> reg(18752);
  img_dsp_cc_reg_info regInfo{reg.data()};
  std::vector<std::function<int()>> entries = {
      [&] { return img_dsp_set_chroma_median_filter(kFd, &median); },
      [&] { return img_dsp_set_color_correction_reg(&regInfo); },
      [&] { return img_dsp_write_color_correction(kFd); },
      [&] { return img_dsp_set_dynamic_bad_pixel_correction(kFd, &bad); },
      [&] { return img_dsp_set_dgain(kFd, 0); },
      [&] { return img_dsp_set_sharpen_fir(kFd, 0, &fir); },
      [&] { return img_dsp_set_sharpen_signal_retain_level(kFd, 4, 1); },
      [&] { return img_dsp_switch_sharpen_mode(kFd, 1); },
      [&] { return img_dsp_set_video_mctf(kFd, &desc); },
      [&] { return img_dsp_cancel(kFd); },
  };
  const img_dsp_mem_ops noCopy = {std::malloc, std::free, std::memset, nullptr};
  for (int missing = 0; missing < 3; missing++) {
    installHooks();
    if (missing == 0) img_dsp_set_ioctl_op(nullptr);
    if (missing == 1) img_dsp_set_print_op(nullptr);
    if (missing == 2) img_dsp_set_mem_ops(&noCopy);
    for (size_t i = 0; i < entries.size(); i++) EXPECT_EQ(entries[i](), -1) << "entry " << i << " hook " << missing;
  }
  EXPECT_TRUE(hooks().requests.empty());
  EXPECT_TRUE(hooks().messages.empty());
  EXPECT_EQ(img_dsp_get_sharpen_fir(0, &fir), 0);
  EXPECT_EQ(img_dsp_get_chroma_median_filter(nullptr), -1);
}
