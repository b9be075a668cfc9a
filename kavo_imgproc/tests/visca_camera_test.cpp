// The VISCA exposure, white-balance, picture and mask commands on a controller on the simulated
// camera: what reaches the AE controller and the DSP, the refusals and the bounds.
#include <cstring>
#include <vector>

#include "algo_ae/AEControl.h"
#include "algo_awb/AWBControl.h"
#include "algo_mask/MaskControl.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_handlers.h"
#include "picture_fixture.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/CIsp_ImageAdj.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;
using kavo::logger::LogCapture;
using Bytes = std::vector<uint8_t>;

class ViscaCameraTest : public ControllerFixture {
 protected:
  void SetUp() override {
    ControllerFixture::SetUp();
    g_isp.aeLimits = AELimits{7500, 0, 198, 5, 161};
    g_isp.image.dssOn.store(0);
    visca = std::make_unique<DVisca>();
    ae = aeControl();
    ASSERT_NE(ae, nullptr);
  }
  int run(const Bytes& packet) {
    uint8_t b[kViscaWorkBytes] = {};
    std::memcpy(b, packet.data(), packet.size());
    return processViscaCmd(visca.get(), b, nullptr);
  }
  // The Y row's first coefficient of the last conversion the DSP took.
  static int lastY0(uint64_t since) {
    auto lines = requestsSince(since, "IAV_IOC_IMG_RGB_TO_YUV_SETUP");
    return lines.empty() ? -99999 : lines.back()["arg"]["y0"].get<int>();
  }

  std::unique_ptr<DVisca> visca;
  AEControl* ae = nullptr;
};

// 0C steps the manual gain only in manual mode, by 5 AGC indexes, and sends the gain to the sensor;
// 3A moves the AE target by 150 a level in full auto and is ignored in manual mode.
TEST_F(ViscaCameraTest, GainAndAeTargetFollowTheAeMode) {
  run({0x81, 0x01, 0x04, 0x0C, 0x02, 0xFF});
  EXPECT_EQ(g_isp.manualAgcIndex.load(), 0u) << "refused in full auto";
  run({0x81, 0x01, 0x04, 0x3A, 0x00, 0x00, 0x03, 0x0C, 0xFF});  // level 60
  EXPECT_EQ(ae->aeTarget.load(), 7500u - 7500 + 150 * 60);
  EXPECT_EQ(g_isp.aeTarget.load(), 9000u);

  run({0x81, 0x01, 0x04, 0x39, 0x03, 0xFF});
  EXPECT_EQ(ae->mode.load(), AE_MANUAL);
  EXPECT_EQ(g_isp.settingsAeMode.load(), 0u);
  const uint64_t seq = lastSeq();
  run({0x81, 0x01, 0x04, 0x0C, 0x02, 0xFF});
  EXPECT_EQ(g_isp.manualAgcIndex.load(), 5u);
  const auto gains = requestsSince(seq, "IAV_IOC_VIN_SRC_SET_AGC_INDEX");
  ASSERT_EQ(gains.size(), 1u);
  EXPECT_EQ(gains[0]["arg"]["value"], isp->agcTable.get(5));

  run({0x81, 0x01, 0x04, 0x3A, 0x00, 0x00, 0x01, 0x04, 0xFF});
  EXPECT_EQ(ae->aeTarget.load(), 9000u) << "ignored in manual mode";
  run({0x81, 0x01, 0x04, 0x39, 0x07, 0xFF});  // flickerless 50 Hz accepts it
  run({0x81, 0x01, 0x04, 0x3A, 0x00, 0x00, 0x06, 0x04, 0xFF});  // 100
  EXPECT_EQ(ae->aeTarget.load(), 15000u);
  EXPECT_EQ(ae->mode.load(), AE_FLICKER_50);
}

// As the server starts: the settings' manual gain of 0 % leaves the top index in the manual gain
// word. The 3A pass that takes the switch to manual puts the minimum gain in force, and "gain up"
// steps 5 from there rather than to the top; FB reports the gain the sensor has.
TEST_F(ViscaCameraTest, ManualGainStepsFromTheGainInForce) {
  ipc_set_manual_gain(isp, 0);
  ASSERT_EQ(g_isp.manualAgcIndex.load(), 198u);
  run({0x81, 0x01, 0x04, 0x39, 0x03, 0xFF});
  EXPECT_EQ(processAE(ae), 1) << "the switch to manual";
  EXPECT_EQ(g_isp.manualAgcIndex.load(), 0u);
  const uint64_t seq = lastSeq();
  run({0x81, 0x01, 0x04, 0x0C, 0x02, 0xFF});
  const auto gains = requestsSince(seq, "IAV_IOC_VIN_SRC_SET_AGC_INDEX");
  ASSERT_EQ(gains.size(), 1u);
  EXPECT_EQ(gains[0]["arg"]["value"], isp->agcTable.get(5));
  EXPECT_EQ(processAE(ae), 0);
  EXPECT_EQ(requestsSince(seq, "IAV_IOC_VIN_SRC_SET_AGC_INDEX").size(), 1u) << "manual: no loop moves it";
  uint8_t b[kViscaWorkBytes] = {0x81, 0x09, 0x04, 0xFB, 0xFF};
  ASSERT_EQ(processViscaCmd(visca.get(), b, nullptr), 8);
  EXPECT_EQ(Bytes(b, b + 8), (Bytes{0x08, 0x90, 0x50, 0x00, 0x00, 0x00, 0x05, 0xFF}));
}

// 4A maps a time onto a shutter index; a slow-shutter index (8 and below) applies only with DSS on.
TEST_F(ViscaCameraTest, SlowShutterNeedsDss) {
  uint32_t time = 0;
  for (uint32_t t = 1; t < 1000 && time == 0; ++t)
    if (ae->get_shutter_index(1000000 / t) == 8) time = t;
  ASSERT_NE(time, 0u);
  const Bytes packet = {0x81, 0x01, 0x04, 0x4A, uint8_t(time >> 16 & 15), uint8_t(time >> 12 & 15),
                        uint8_t(time >> 8 & 15), uint8_t(time >> 4 & 15), uint8_t(time & 15), 0xFF};
  run({0x81, 0x01, 0x04, 0x39, 0x03, 0xFF});
  ae->shutterIndex.store(40);
  {
    LogCapture log;
    run(packet);
    EXPECT_TRUE(log.contains("[GeneralShutter]err_code=DSS."));
    EXPECT_EQ(ae->shutterIndex.load(), 40) << "not applied";
  }
  g_isp.image.dssOn.store(1);
  run(packet);
  EXPECT_EQ(ae->shutterIndex.load(), 8);
  // 0A 02 at the board's fastest index keeps it and says so.
  g_isp.manualShutterIndex.store(161);
  LogCapture log;
  run({0x81, 0x01, 0x04, 0x0A, 0x02, 0xFF});
  EXPECT_TRUE(log.contains("[GeneralShutter]err_code=161_161."));
  EXPECT_EQ(g_isp.manualShutterIndex.load(), 161u);
}

// The exposure-compensation level stays within 0..14 however it is stepped or set, so the luma row
// keeps its sign and at most 1.875 x its neutral size; 3E off puts the neutral scale back.
TEST_F(ViscaCameraTest, ExposureCompensationStaysInItsRange) {
  const int neutral = isp->modelYuv.get(0);
  ASSERT_GT(neutral, 0);
  uint64_t seq = lastSeq();
  for (int i = 0; i < 20; ++i) run({0x81, 0x01, 0x04, 0x0E, 0x03, 0xFF});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 0);
  EXPECT_GT(lastY0(seq), 0) << "the luma row keeps its sign";
  for (int i = 0; i < 20; ++i) run({0x81, 0x01, 0x04, 0x0E, 0x02, 0xFF});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 14);
  run({0x81, 0x01, 0x04, 0x4E, 0x00, 0x00, 0x0F, 0x0F, 0xFF});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 14);
  seq = lastSeq();
  run({0x81, 0x01, 0x04, 0x4E, 0x00, 0x00, 0x00, 0x09, 0xFF});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 9);
  EXPECT_NEAR(lastY0(seq), neutral * 1.25, 1);
  seq = lastSeq();
  run({0x81, 0x01, 0x04, 0x3E, 0x03, 0xFF});
  EXPECT_NEAR(lastY0(seq), neutral, 1);
}

// Red and blue gains only in manual white balance: steps of 32 below 4096 and above 64, direct values
// v x 32 + 1 (0 as 1), the DSP's floor of 256 still applying.
TEST_F(ViscaCameraTest, ManualGainsAndTheirEdges) {
  set_rgb_gain(isp, 1024, 1024, 1024);
  run({0x81, 0x01, 0x04, 0x03, 0x02, 0xFF});
  EXPECT_EQ(isp->wbGain[0].load(), 1024u) << "refused in auto white balance";
  run({0x81, 0x01, 0x04, 0x35, 0x05, 0xFF});
  EXPECT_EQ(g_isp.awbMode.load(), 0u);
  EXPECT_EQ(isp->awbEnable.load(), 0);
  set_rgb_gain(isp, 4064, 1024, 4000);
  run({0x81, 0x01, 0x04, 0x03, 0x02, 0xFF});
  EXPECT_EQ(isp->wbGain[0].load(), 4064u) << "4096 is not below 4096";
  run({0x81, 0x01, 0x04, 0x04, 0x02, 0xFF});
  EXPECT_EQ(isp->wbGain[2].load(), 4032u);
  run({0x81, 0x01, 0x04, 0x44, 0x00, 0x00, 0x07, 0x0F, 0xFF});
  EXPECT_EQ(isp->wbGain[2].load(), 127u * 32 + 1);
  run({0x81, 0x01, 0x04, 0x44, 0x00, 0x00, 0x0F, 0x0F, 0xFF});
  EXPECT_EQ(isp->wbGain[2].load(), 127u * 32 + 1) << "above 127 as 127";
  const uint64_t seq = lastSeq();
  run({0x81, 0x01, 0x04, 0x43, 0x00, 0x00, 0x00, 0x00, 0xFF});
  // 0 gives 33, which the DSP's setter raises to its floor.
  EXPECT_EQ(isp->wbGain[0].load(), 256u);
  EXPECT_FALSE(requestsSince(seq).empty());
  run({0x81, 0x01, 0x04, 0x03, 0x00, 0xFF});
  EXPECT_EQ(isp->wbGain[0].load(), 1024u);
  // User colour temperature: clamped to 2300..8000 and the gains of the table.
  run({0x81, 0x01, 0x04, 0x05, 0x00, 0x03, 0x0E, 0x08, 0xFF});  // 1000 K
  EXPECT_EQ(g_isp.colourTemperature.load(), 2300u);
  EXPECT_EQ(g_isp.awbMode.load(), 5u);
  uint32_t r = 0, b = 0;
  ASSERT_TRUE(colourTemperatureGains(colourTemperatureTable(g_isp.sys.model), 2300, &r, &b));
  EXPECT_EQ(isp->wbGain[0].load(), std::clamp(r, 256u, 4096u));
  run({0x81, 0x01, 0x04, 0x35, 0x00, 0xFF});
  EXPECT_EQ(g_isp.awbMode.load(), 1u);
  EXPECT_EQ(awbControl()->mode.load(), AWB_AUTO);
  EXPECT_EQ(isp->awbEnable.load(), 1);
}

// Picture values reach the conversion as the settings path's own values do; a mask packet draws.
TEST_F(ViscaCameraTest, PictureAndMask) {
  uint64_t seq = lastSeq();
  run({0x81, 0x01, 0x04, 0xC0, 0x00, 0x00, 0x06, 0x04, 0xFF});  // brightness 100
  EXPECT_EQ(g_isp.image.brightness.load(), 100u);
  auto yuv = requestsSince(seq, "IAV_IOC_IMG_RGB_TO_YUV_SETUP");
  ASSERT_FALSE(yuv.empty());
  EXPECT_EQ(yuv.back()["arg"]["yOffset"], isp->modelYuv.get(9) + 64);
  run({0x81, 0x01, 0x04, 0xC2, 0x00, 0x00, 0x00, 0x00, 0xFF});  // saturation 0
  EXPECT_EQ(isp->savedYuv.get(3), 0);

  // 18-byte packet: mask 1 at (32, 16), 64 x 48.
  seq = lastSeq();
  run({0x81, 0x01, 0x04, 0x76, 0x01, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x04, 0x00, 0x00, 0x03, 0x00, 0xFF});
  MaskControl& m = *maskControl();
  EXPECT_EQ(m.rect(1).x, 32);
  EXPECT_EQ(m.rect(1).height, 48);
  EXPECT_EQ(m.block(m.bufferId(), 2, 1), 1u);
  EXPECT_EQ(m.block(m.bufferId(), 0, 0), 0u);
  EXPECT_EQ(requestsSince(seq, "IAV_IOC_SET_PRIVACY_MASK_EX").size(), 1u);
}

// The day/night commands reach the AE controller and the IR-cut mode; 77 clears mask 0 only.
TEST_F(ViscaCameraTest, DayNightAndMaskErase) {
  run({0x81, 0x01, 0x04, 0x21, 0x02, 0xFF});
  EXPECT_EQ(ae->icrSensitivity.load(), 2u);
  run({0x81, 0x01, 0x04, 0x21, 0x05, 0xFF});
  EXPECT_EQ(ae->icrSensitivity.load(), 2u) << "values above 2 are ignored";
  run({0x81, 0x01, 0x04, 0x22, 0x20, 0xFF});
  EXPECT_EQ(ae->ir2dayCountBound.load(), 15);
  run({0x81, 0x01, 0x04, 0x51, 0x04, 0xFF});
  EXPECT_EQ(g_isp.lensLink.icrAuto.load(), 0u);
  EXPECT_EQ(g_isp.lensLink.icrOn.load(), 0u);
  run({0x81, 0x01, 0x04, 0x51, 0x02, 0xFF});
  EXPECT_EQ(g_isp.lensLink.icrAuto.load(), 1u);

  MaskControl& m = *maskControl();
  run({0x81, 0x01, 0x04, 0x76, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0xFF});
  run({0x81, 0x01, 0x04, 0x76, 0x02, 0x00, 0x04, 0x00, 0x00, 0x04, 0x00, 0x00, 0x02, 0x00, 0x00, 0x01, 0x00, 0xFF});
  EXPECT_EQ(m.block(m.bufferId(), 0, 0), 1u);
  run({0x81, 0x01, 0x04, 0x77, 0xFF});
  EXPECT_EQ(m.block(m.bufferId(), 0, 0), 0u);
  EXPECT_EQ(m.block(m.bufferId(), 4, 4), 1u) << "mask 2 stays";
}

}  // namespace
