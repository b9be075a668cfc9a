// The settings passes against a controller on the simulated camera: the start-up pass's requests
// in their order per board group, the values it derives from the document, and a settings change
// under the IR state.
#include <algorithm>

#include "algo_ae/AEControl.h"
#include "applysettings.h"
#include "ispserver_messenger.h"
#include "kavo/ipc/messages/changeispsettings.h"
#include "picture_fixture.h"
#include "thread_proc/CIsp_IPC.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;
using kavo::ipc::messages::BaseRequestMessage;
using kavo::ipc::messages::ChangeIspSettings;
using kavo::ispserver::ispserver_messenger::IspServerMessenger;

class ApplySettingsTest : public ControllerFixture {
 protected:
  void SetUp() override {
    ControllerFixture::SetUp();
    g_isp.aeLimits = AELimits{20720, 0, 198, 5, 161};
    g_isp.focusMode.store(0);
  }
  // The requests of the pass from `seq` on, short names, repeats of one request folded.
  static std::vector<std::string> pass(uint64_t seq) {
    std::vector<std::string> out;
    for (const auto& l : requestsSince(seq)) {
      std::string r = l.value("req", "");
      r = r.substr(r.rfind("IAV_IOC_", 0) == 0 ? 8 : 0);
      if (out.empty() || out.back() != r) out.push_back(r);
    }
    return out;
  }
  IspSettings settings;
};

// The calls in their order, as the DSP sees them: WDR, the five picture values (conversion, tone
// curve, conversions, sharpening), zoom, mirror, then the manual shutter and gain, and last the IR
// LED mode "auto", whose automatic IR-cut starts in day and puts the day picture set in force again;
// a fixed-lens board sends nothing to a lens and leaves the focus mode alone; a manual white
// balance sends the mapped gains last.
TEST_F(ApplySettingsTest, StartupPassOnAFixedLensBoard) {
  uint64_t seq = lastSeq();
  ipc_reset_mirror_state(isp);
  applyStartupSettings(settings);
  // Without colour files the tone curve sends nothing; brightness, saturation and hue are three
  // conversions in a row.
  const std::vector<std::string> want = {
      "IMG_LOCAL_EXPOSURE", "IMG_RGB_TO_YUV_SETUP", "IMG_LUMA_SHARPENING", "IMG_LUMA_SHARPENING_LEVEL_CONTROL",
      "IMG_LUMA_SHARPENING_EDGE_CONTROL", "IMG_LUMA_SHARPENING_MISC", "IMG_LUMA_SHARPENING_FIR_CONFIG",
      "IMG_LUMA_SHARPENING_LEVEL_CONTROL", "IMG_LUMA_SHARPENING_FIR_CONFIG", "SET_DIGITAL_ZOOM_EX",
      "VIN_SRC_SET_MIRROR_MODE", "VIN_SRC_SET_SHUTTER_TIME", "VIN_SRC_SET_AGC_INDEX", "IMG_RGB_TO_YUV_SETUP",
      "IMG_LUMA_SHARPENING", "IMG_LUMA_SHARPENING_LEVEL_CONTROL", "IMG_LUMA_SHARPENING_EDGE_CONTROL",
      "IMG_LUMA_SHARPENING_MISC", "IMG_LUMA_SHARPENING_FIR_CONFIG", "IMG_LUMA_SHARPENING_LEVEL_CONTROL",
      "IMG_LUMA_SHARPENING_FIR_CONFIG"};
  EXPECT_EQ(pass(seq), want);
  EXPECT_EQ(g_isp.focusMode.load(), 0);
  EXPECT_EQ(g_isp.settingsAeMode.load(), 1u);
  EXPECT_EQ(g_isp.manualAgcIndex.load(), 198u);  // manual gain 0 %: the highest index

  settings.awb().mode("manual");
  settings.awb().rgain(100);
  settings.awb().bgain(0);
  seq = lastSeq();
  applyStartupSettings(settings);
  const auto gains = requestsSince(seq, "IAV_IOC_IMG_RGB_GAIN_ADJUST");
  ASSERT_EQ(gains.size(), 1u);
  EXPECT_EQ(gains[0]["arg"]["r"], 4096 * 64);
  EXPECT_EQ(gains[0]["arg"]["b"], 256 * 64);
}

// Boards 2 and 3 end with the focus mode, video ports and power LED; board 4, a zoom-lens board
// too, does not.
TEST_F(ApplySettingsTest, OnlyBoardsTwoAndThreeTakeTheLastStep) {
  for (const int32_t board : {TORVEX_BRISK, TORVEX_TARROW, TORVEX_WREN}) {
    g_isp_board(board, ZOOMLENS, SENSOR_AR0331);
    start();
    g_isp.focusMode.store(0);
    applyStartupSettings(settings);
    EXPECT_EQ(g_isp.focusMode.load(), board == TORVEX_WREN ? 0 : 4) << board;  // "ztrig"
  }
}

// Derived values: a shutter min of 0 counts as 1/30 s (33,333 us, the same bound as 30), the DSS
// minimum frame rate becomes the shutter index of that frame time, and only "on" exactly turns
// DSS on.
TEST_F(ApplySettingsTest, DerivedExposureValues) {
  settings.ae().shutter().min(30);
  applyStartupSettings(settings);
  const uint32_t slowest30 = g_isp.shutterSlowestBound.load();
  EXPECT_EQ(slowest30, aeControl()->get_shutter_index(33333));
  settings.ae().shutter()[std::string("min")] = 0;
  g_isp.shutterSlowestBound.store(0);
  applyStartupSettings(settings);
  EXPECT_EQ(g_isp.shutterSlowestBound.load(), slowest30);

  settings.ae().dss().mode("on");
  settings.ae().dss().min(4);
  applyStartupSettings(settings);
  EXPECT_EQ(g_isp.image.dssOn.load(), 1);
  EXPECT_EQ(g_isp.image.dssMinimum.load(), aeControl()->get_shutter_index(250000));
  EXPECT_EQ(aeControl()->slowestAllowed.load(), aeControl()->get_shutter_index(250000));
  EXPECT_EQ(g_isp.image.dssMinimum.load(), 3u);  // 1/4 s, slower than the 1/8 s of index 5
  settings.ae().dss()[std::string("mode")] = "On";
  applyStartupSettings(settings);
  EXPECT_EQ(g_isp.image.dssOn.load(), 0);
  EXPECT_EQ(aeControl()->slowestAllowed.load(), 5);
}

// Under the IR state a brightness change with its night flag set is stored (block and document)
// but not applied; the day set brings it in force. Without the flag it is applied at once and
// becomes the night value too.
TEST_F(ApplySettingsTest, BrightnessChangeUnderTheIrState) {
  applyStartupSettings(settings);
  IspServerMessenger messenger(&settings);
  auto change = [&](const char* json) {
    kavo::variant::Variant v;
    v.FromJSON(json);
    ChangeIspSettings c{BaseRequestMessage(v)};
    c.NormalizeFields();
    messenger.UpdateSettings(c);
  };
  change(R"({"irOnStsBrightness": 1, "irOnValBrightness": 20})");
  ipc_apply_ir_state(isp, 1);
  EXPECT_EQ(isp->brightness.load(), 20 * 128 / 100 - 64);
  change(R"({"brightness": 80})");
  EXPECT_EQ(g_isp.image.brightness.load(), 80u);
  EXPECT_EQ(settings.image().brightness(), 80);
  EXPECT_EQ(isp->brightness.load(), 20 * 128 / 100 - 64);
  ipc_apply_ir_state(isp, 0);
  EXPECT_EQ(isp->brightness.load(), 80 * 128 / 100 - 64);

  change(R"({"irOnStsContrast": 0})");
  ipc_apply_ir_state(isp, 1);
  change(R"({"contrast": 100})");
  EXPECT_EQ(g_isp.image.irOnVal[1].load(), 100u);
  EXPECT_EQ(g_isp.contrastCurve[168].load(), 64);
}

// With the LED mode manual every change sets the IR state from the level; a change of state
// re-applies the pictures.
TEST_F(ApplySettingsTest, ManualLedLevelDrivesTheIrState) {
  applyStartupSettings(settings);
  IspServerMessenger messenger(&settings);
  auto change = [&](const char* json) {
    kavo::variant::Variant v;
    v.FromJSON(json);
    ChangeIspSettings c{BaseRequestMessage(v)};
    c.NormalizeFields();
    messenger.UpdateSettings(c);
  };
  change(R"({"irOnStsBrightness": 1, "irOnValBrightness": 100})");
  change(R"({"irLedMode": "manual", "irLedLevel": 100})");
  EXPECT_EQ(ipc_is_ir_on(isp), 1u);
  EXPECT_EQ(isp->brightness.load(), 64);
  change(R"({"irLedLevel": 0})");
  EXPECT_EQ(ipc_is_ir_on(isp), 0u);
  EXPECT_EQ(isp->brightness.load(), 0);
}

// The settings file's night flags reach the night picture each by its own value: with one flag set
// (and a night value apart from the day one), the IR state changes that value in force and no other.
TEST_F(ApplySettingsTest, StartupNightFlagsGoEachByItsOwnValue) {
  const char* names[4] = {"brightness", "contrast", "saturation", "hue"};
  auto inForce = [this] {
    return std::vector<int32_t>{isp->brightness.load(), g_isp.contrastCurve[168].load(), isp->saturation.load(),
                                isp->hue.load()};
  };
  for (int flag = 0; flag < 4; ++flag) {
    auto image = settings.image();
    image.irOnStsBrightness(flag == 0 ? 1 : 0);
    image.irOnStsContrast(flag == 1 ? 1 : 0);
    image.irOnStsSaturation(flag == 2 ? 1 : 0);
    image.irOnStsHue(flag == 3 ? 1 : 0);
    image.irOnValBrightness(10);
    image.irOnValContrast(10);
    image.irOnValSaturation(10);
    image.irOnValHue(10);
    ipc_apply_ir_state(isp, 0);
    applyStartupSettings(settings);
    const std::vector<int32_t> day = inForce();
    ipc_apply_ir_state(isp, 1);
    const std::vector<int32_t> night = inForce();
    for (int i = 0; i < 4; ++i)
      EXPECT_EQ(night[i] != day[i], i == flag) << names[i] << " with the " << names[flag] << " flag";
  }
}

}  // namespace
