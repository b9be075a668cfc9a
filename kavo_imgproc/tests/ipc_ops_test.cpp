// The settings operations from their own cases: each row calls one operation and checks what it
// stored or sent (golden values), then the mirror pattern per sensor and the IR picture set.
#include <functional>

#include "algo_ae/AEControl.h"
#include "picture_fixture.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;

class IpcOpsTest : public ControllerFixture {
 protected:
  void SetUp() override {
    ControllerFixture::SetUp();
    g_isp.aeLimits = AELimits{20720, 0, 198, 5, 161};
    g_isp.agcMinimumBound.store(0);
  }
};

TEST_F(IpcOpsTest, GoldenValues) {
  struct Row {
    const char* what;
    std::function<void(CIsp*)> call;
    std::function<int64_t(CIsp*)> read;
    int64_t expected;
  };
  auto wb = [](int i) { return [i](CIsp* c) { return static_cast<int64_t>(c->wbGain[i].load()); }; };
  // What the sensor was last asked for.
  auto lastShutter = [](CIsp*) -> int64_t {
    const auto sent = requestsSince(0, "IAV_IOC_VIN_SRC_SET_SHUTTER_TIME");
    return sent.empty() ? -1 : sent.back()["arg"]["value"].get<int64_t>();
  };
  CIsp* c0 = isp;
  const Row rows[] = {
      {"brightness 0", [](CIsp* c) { ipc_set_brightness(c, 0); }, [](CIsp* c) { return c->brightness.load(); }, -64},
      {"brightness 50", [](CIsp* c) { ipc_set_brightness(c, 50); }, [](CIsp* c) { return c->brightness.load(); }, 0},
      {"brightness 100", [](CIsp* c) { ipc_set_brightness(c, 100); }, [](CIsp* c) { return c->brightness.load(); }, 64},
      {"hue 0", [](CIsp* c) { ipc_set_hue(c, 0); }, [](CIsp* c) { return c->hue.load(); }, -15},
      {"hue 100", [](CIsp* c) { ipc_set_hue(c, 100); }, [](CIsp* c) { return c->hue.load(); }, 15},
      {"contrast 100", [](CIsp* c) { ipc_set_contrast(c, 100); }, [](CIsp*) { return g_isp.contrastCurve[168].load(); }, 64},
      {"saturation 100", [](CIsp* c) { ipc_set_saturation(c, 100); }, [](CIsp* c) { return c->saturation.load(); }, 128},
      {"AE target 100", [](CIsp* c) { ipc_set_ae_target(c, 100); }, [](CIsp*) { return g_isp.aeTarget.load(); }, 24470},
      {"AE target 150", [](CIsp* c) { ipc_set_ae_target(c, 150); }, [](CIsp*) { return aeControl()->aeTarget.load(); }, 24470},
      {"AE target 0", [](CIsp* c) { ipc_set_ae_target(c, 0); }, [](CIsp*) { return g_isp.aeTarget.load(); }, 16970},
      {"gain limit 0", [](CIsp* c) { ipc_set_gain_limit(c, 0); }, [](CIsp*) { return aeControl()->agcMaxBound.load(); }, 1},
      {"gain limit 50", [](CIsp* c) { ipc_set_gain_limit(c, 50); }, [](CIsp*) { return g_isp.agcMaximumBound.load(); }, 99},
      {"manual gain 0", [](CIsp* c) { ipc_set_manual_gain(c, 0); }, [](CIsp*) { return g_isp.manualAgcIndex.load(); }, 198},
      {"manual gain 100", [](CIsp* c) { ipc_set_manual_gain(c, 100); }, [](CIsp*) { return g_isp.manualAgcIndex.load(); }, 0},
      {"manual shutter 1 s", [](CIsp* c) { ipc_set_manual_shutter(c, 1000000); }, [](CIsp*) { return g_isp.manualShutterIndex.load(); }, 0},
      {"manual shutter 5 us", [](CIsp* c) { ipc_set_manual_shutter(c, 5); }, [](CIsp*) { return g_isp.manualShutterIndex.load(); }, 161},
      {"manual shutter 2 s", [](CIsp* c) { ipc_set_manual_shutter(c, 2000000); }, [](CIsp*) { return g_isp.manualShutterIndex.load(); }, 5},
      {"dzoom 9", [](CIsp* c) { ipc_set_dzoom(c, 9); }, [](CIsp*) { return g_isp.dptzZoom.load(); }, 1},
      {"dzoom 4", [](CIsp* c) { ipc_set_dzoom(c, 4); }, [](CIsp*) { return g_isp.dptzZoom.load(); }, 4},
      {"dzoom 1", [](CIsp* c) { ipc_set_dzoom(c, 1); }, [](CIsp*) { return g_isp.dptzZoom.load(); }, 1},
      {"DSS on", [](CIsp* c) { ipc_set_dss(c, 1, 20); }, [](CIsp*) { return aeControl()->slowestAllowed.load(); }, 20},
      {"DSS off", [](CIsp* c) { ipc_set_dss(c, 0, 20); }, [](CIsp*) { return aeControl()->slowestAllowed.load(); }, 5},
      {"flick50", [](CIsp* c) { ipc_set_ae_mode(c, "flick50"); }, [](CIsp*) { return g_isp.viscaAeMode.load() * 1000 + aeControl()->fastestFlickerStep.load(); }, 7123},
      {"Manual is no mode", [](CIsp* c) { ipc_set_ae_mode(c, "Manual"); }, [](CIsp*) { return g_isp.settingsAeMode.load(); }, 1},
      {"shutter priority from position 14", [](CIsp* c) { g_isp.manualShutterIndex.store(14); ipc_set_ae_mode(c, "shutter"); }, lastShutter, c0->shutterTable.get(99)},
      {"IR filter 300", [](CIsp* c) { ipc_set_ir_filter_thresholds(c, 750, 300, 12); }, [](CIsp*) { return aeControl()->icrSensitivity.load() * 100 + aeControl()->ir2dayCountBound.load(); }, 112},
      {"gain limit 100", [](CIsp* c) { ipc_set_gain_limit(c, 100); }, [](CIsp*) { return aeControl()->agcMaxBound.load(); }, 198},
      {"IR filter 301", [](CIsp* c) { ipc_set_ir_filter_thresholds(c, 750, 301, 12); }, [](CIsp*) { return aeControl()->icrSensitivity.load() * 100 + aeControl()->ir2dayCountBound.load(); }, 212},
      {"rgain 0", [](CIsp* c) { ipc_set_awb_rgain(c, 0); ipc_set_awb_bgain(c, 100); ipc_set_awb_mode(c, "manual"); }, wb(0), 256},
      {"bgain 100", [](CIsp* c) { ipc_set_awb_mode(c, "manual"); }, wb(2), 4096},
      {"rgain 50", [](CIsp* c) { ipc_set_awb_rgain(c, 50); ipc_set_awb_mode(c, "manual"); }, wb(0), 1024},
      {"rgain 75", [](CIsp* c) { ipc_set_awb_rgain(c, 75); ipc_set_awb_mode(c, "manual"); }, wb(0), 2048},
      {"AWB auto", [](CIsp* c) { ipc_set_awb_mode(c, "auto"); }, [](CIsp* c) { return c->awbEnable.load() * 10 + g_isp.awbMode.load(); }, 11},
  };
  for (const Row& r : rows) {
    r.call(isp);
    EXPECT_EQ(r.read(isp), r.expected) << r.what;
  }
  const uint64_t seq = lastSeq();
  ipc_set_wdr(isp, 4);
  EXPECT_TRUE(requestsSince(seq).empty());
}

// Flip is bit 0 and mirror bit 1; the OV9715 is mounted the other way round except on model 5.
TEST_F(IpcOpsTest, MirrorPatternPerSensor) {
  const struct {
    int32_t model, sensor;
    uint32_t flip, mirror, pattern, bayer;
  } cases[] = {{TORVEX_BRISK, SENSOR_AR0331, 1, 0, 1, 1}, {TORVEX_BRISK, SENSOR_AR0331, 1, 1, 3, 1},
               {ALDER_IR, SENSOR_OV9715, 1, 1, 0, 2},     {ALDER_IR, SENSOR_OV9715, 0, 1, 1, 2},
               {FINCH_IR, SENSOR_OV9715, 0, 1, 2, 2},     {ALDER_IR, 7, 1, 1, 0, 0}};
  for (const auto& c : cases) {
    g_isp.sys.model = c.model;
    g_isp.sys.sensor = c.sensor;
    ipc_set_flip(isp, 0);
    ipc_set_mirror(isp, 0);
    ipc_reset_mirror_state(isp);
    const uint64_t seq = lastSeq();
    ipc_set_flip(isp, c.flip);
    ipc_set_mirror(isp, c.mirror);
    const auto sent = requestsSince(seq, "IAV_IOC_VIN_SRC_SET_MIRROR_MODE");
    ASSERT_FALSE(sent.empty()) << c.model;
    EXPECT_EQ(sent.back()["arg"]["pattern"], c.pattern) << c.model << " " << c.flip << c.mirror;
    EXPECT_EQ(sent.back()["arg"]["bayer"], c.bayer) << c.model;
  }
}

// The night set applies the flagged values only; the day set comes back with the day saturation
// and noise reduction, also when the night saturation was in force.
TEST_F(IpcOpsTest, IrStateAppliesTheNightAndDaySets) {
  ImageParameters& p = g_isp.image;
  p.brightness.store(50);
  p.contrast.store(50);
  p.hue.store(50);
  p.sharpness.store(50);
  p.daySaturation.store(40);
  p.saturation.store(40);
  p.dayNrLevel.store(30);
  p.nrLevel.store(30);
  for (int i = 0; i < 6; ++i) p.irOnSts[i].store(0);
  p.irOnSts[0].store(1);
  p.irOnVal[0].store(100);
  p.irOnSts[2].store(1);
  p.irOnVal[2].store(0);
  p.irOnSts[5].store(1);
  p.irOnVal[5].store(80);
  p.irOnVal[3].store(0);  // hue's flag is off: stays at the day value
  ipc_apply_ir_state(isp, 1);
  EXPECT_EQ(ipc_is_ir_on(isp), 1u);
  EXPECT_EQ(isp->brightness.load(), 64);
  EXPECT_EQ(isp->saturation.load(), 0);
  EXPECT_EQ(p.saturation.load(), 0u);
  EXPECT_EQ(p.nrLevel.load(), 80u);
  EXPECT_EQ(isp->hue.load(), 0);
  ipc_apply_ir_state(isp, 0);
  EXPECT_EQ(isp->brightness.load(), 0);
  EXPECT_EQ(isp->saturation.load(), 40 * 128 / 100);
  EXPECT_EQ(p.saturation.load(), 40u);
  EXPECT_EQ(p.nrLevel.load(), 30u);
  ipc_set_ir_on(isp, 1);  // only stored
  EXPECT_EQ(isp->brightness.load(), 0);
}

// The settings' IR LED mode also sets the IR-cut mode: "auto" turns the automatic day/night
// decision on (starting from day), "manual" turns it off with the filter out while the manual
// level lights the LEDs.
TEST_F(IpcOpsTest, IrLedModeSetsTheIrCutMode) {
  AEControl* ae = aeControl();
  ASSERT_NE(ae, nullptr);
  ae->dnAuto.store(0);
  ae->dayState.store(0);
  ipc_set_ir_led_mode(isp, "auto");
  EXPECT_EQ(g_isp.irLedAuto.load(), 1u);
  EXPECT_EQ(ae->dnAuto.load(), 1);
  EXPECT_EQ(ae->dayState.load(), 1);
  g_isp.irLedManualLevel.store(200);
  ipc_set_ir_led_mode(isp, "manual");
  EXPECT_EQ(ae->dnAuto.load(), 0);
  EXPECT_EQ(g_isp.irOn.load(), 1u);
  g_isp.irLedManualLevel.store(0);
  ipc_set_ir_led_mode(isp, "manual");
  EXPECT_EQ(g_isp.irOn.load(), 0u);
  ipc_set_ir_led_mode(isp, "auto");
  EXPECT_EQ(ae->dnAuto.load(), 1);
}

// An automatic day/night switch puts the picture set of its side in force (the night brightness
// here), and the day set back.
TEST_F(IpcOpsTest, AutomaticSwitchAppliesThePictureSet) {
  AEControl* ae = aeControl();
  ASSERT_NE(ae, nullptr);
  ImageParameters& p = g_isp.image;
  p.brightness.store(50);
  for (int i = 0; i < 6; ++i) p.irOnSts[i].store(0);
  p.irOnSts[0].store(1);
  p.irOnVal[0].store(100);
  g_isp.irLedAuto.store(1);
  ae->dayState.store(0);
  ae->update_icr_state();
  EXPECT_EQ(ipc_is_ir_on(isp), 1u);
  EXPECT_EQ(isp->brightness.load(), 64);
  ae->dayState.store(1);
  ae->update_icr_state();
  EXPECT_EQ(ipc_is_ir_on(isp), 0u);
  EXPECT_EQ(isp->brightness.load(), 0);
}

TEST(ManualWhiteBalance, SettingsValuesMapOntoGains) {
  EXPECT_EQ(manualWbGainOf(0), 256u);
  EXPECT_EQ(manualWbGainOf(25), 512u);
  EXPECT_EQ(manualWbGainOf(50), 1024u);
  EXPECT_EQ(manualWbGainOf(100), 4096u);
  EXPECT_EQ(manualWbGainOf(200), 4096u);
}

}  // namespace
