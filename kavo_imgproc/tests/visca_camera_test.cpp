// The VISCA camera commands and inquiries on a controller on the simulated camera: what reaches the
// DSP and the AE controller, the refusals and the bounds, what the inquiries then answer.
#include <cstring>
#include <functional>
#include <vector>

#include "algo_ae/AEControl.h"
#include "algo_awb/AWBControl.h"
#include "algo_mask/MaskControl.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_handlers.h"
#include "picture_fixture.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/CIsp_ImageAdj.h"
#include "thread_proc/aaa_step.h"
#include "thread_proc/worker_threads.h"

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
  // A table row's start: the camera defaults and the AE controller's reset, what the row sets by
  // hand, then the commands that set its scene.
  void scene(const std::function<void()>& setup, const std::vector<Bytes>& before) {
    visca = std::make_unique<DVisca>();
    ae->reset_ae_params();
    ae->set_ae_mode(AE_FULL_AUTO);
    g_isp.image.dssOn.store(0);
    if (setup) setup();
    for (const Bytes& b : before) run(b);
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

// ---- every category-04 command by what it changes ---------------------------------------------

constexpr int64_t kNone = -99999;

// A camera command (81 01 04 code params FF).
Bytes cmd(uint8_t code, std::initializer_list<uint8_t> params = {}) {
  Bytes b = {0x81, 0x01, 0x04, code};
  for (uint8_t v : params) b.push_back(v);
  b.push_back(0xFF);
  return b;
}

// What a row reads once its command ran: the requests the DSP took from `since` on, or the state the
// next 3A pass works with.
using Probe = std::function<int64_t(uint64_t since)>;

// A field of the last request `req` (of the sharpening level `select`, when given); kNone without one.
// `inForce`: the last one of the run, as a sensor that caches its value skips an unchanged one.
Probe dsp(const char* req, const char* field, int select = -1, bool inForce = false) {
  return [=](uint64_t since) -> int64_t {
    const auto lines = requestsSince(inForce ? 0 : since, req);
    for (auto l = lines.rbegin(); l != lines.rend(); ++l) {
      if (select >= 0 && (*l)["arg"].value("select", -1) != select) continue;
      const auto& v = (*l)["arg"][field];
      return v.is_string() ? std::stoll(v.get<std::string>(), nullptr, 16) : v.get<int64_t>();
    }
    return kNone;
  };
}
// How many requests (of one kind) the DSP took.
Probe requests(const char* req = "") {
  return [=](uint64_t since) { return static_cast<int64_t>(requestsSince(since, req).size()); };
}
Probe state(std::function<int64_t()> read) {
  return [read](uint64_t) { return read(); };
}

// One row per rule of a handler: the commands that set the scene, the command, what it changed.
TEST_F(ViscaCameraTest, EveryCameraCommandChangesWhatItNames) {
  struct Row {
    const char* what;
    std::vector<Bytes> before;
    Bytes command;
    Probe probe;
    int64_t want;
    std::function<void()> setup = nullptr;
  };
  // The overall sharpening level: sharpness / 4 on this model.
  const Probe sharpness = dsp("IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL", "lowVal", 10);
  // The gains in use reach the DSP x 64.
  const Probe red = dsp("IAV_IOC_IMG_RGB_GAIN_ADJUST", "r"), blue = dsp("IAV_IOC_IMG_RGB_GAIN_ADJUST", "b");
  const Probe shutter = dsp("IAV_IOC_VIN_SRC_SET_SHUTTER_TIME", "value", -1, true);
  const Probe agc = dsp("IAV_IOC_VIN_SRC_SET_AGC_INDEX", "value", -1, true);
  const Probe y0 = dsp("IAV_IOC_IMG_RGB_TO_YUV_SETUP", "y0");
  const Probe none = requests();
  auto shutterAt = [this](int i) { return int64_t{isp->shutterTable.get(i)}; };
  auto agcAt = [this](int i) { return int64_t{isp->agcTable.get(i)}; };
  const int m0 = isp->modelYuv.get(0);
  auto luma = [m0](int level) { return int64_t{m0 + (level - 7) * m0 / 8}; };
  auto temperatureRed = [](uint32_t k) {
    uint32_t r = 0, b = 0;
    colourTemperatureGains(colourTemperatureTable(g_isp.sys.model), k, &r, &b);
    return int64_t{std::clamp(r, 256u, 4096u)} * 64;
  };
  auto shutterOfTime = [this](uint32_t x) { return static_cast<int>(ae->get_shutter_index(1000000 / x)); };
  const Bytes manual = cmd(0x39, {0x03}), awbManual = cmd(0x35, {0x05});
  // The 3A state: the day/night word, and the temporal filter the next AGC-driven pass sends.
  const Probe nextTemporalFilter = [this](uint64_t since) {
    ae->agcIndex.store(120);
    g_isp.aaaFrames.store(60);
    process3A(isp);
    return dsp("IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP", "curve0")(since);
  };
  root.write("/etc/ispserver/lens_shading.bin", std::string(4 * 33 * 33 * 2 + 4, '\0'));
  ae->init_icr_thresholds();

  std::vector<Row> rows = {
      // Sharpness.
      {"02 00 sets 0", {}, cmd(0x02, {0x00}), sharpness, 0},
      {"02 02 stops at 100", {cmd(0x42, {0x00, 0x00, 0x06, 0x04}), cmd(0x02, {0x02})}, cmd(0x02, {0x03}), sharpness, 99 / 4},
      {"02 03 stops at 0", {cmd(0x02, {0x00}), cmd(0x02, {0x03}), cmd(0x02, {0x02}), cmd(0x02, {0x02}), cmd(0x02, {0x02})},
       cmd(0x02, {0x02}), sharpness, 4 / 4},
      {"02 with another byte", {}, cmd(0x02, {0x05}), none, 0},
      {"42 takes bytes 4-7", {}, cmd(0x42, {0x00, 0x00, 0x05, 0x04}), sharpness, 84 / 4},
      {"42 at most 100", {}, cmd(0x42, {0x00, 0x01, 0x01, 0x08}), sharpness, 100 / 4},
      // Red and blue gains, only in manual white balance.
      {"03 refused in auto", {}, cmd(0x03, {0x00}), none, 0},
      {"03 00 red 1024", {awbManual, cmd(0x43, {0x00, 0x00, 0x01, 0x00})}, cmd(0x03, {0x00}), red, 1024 * 64},
      {"03 02 red + 32", {awbManual, cmd(0x43, {0x00, 0x00, 0x02, 0x00})}, cmd(0x03, {0x02}), red, 1057 * 64},
      {"03 02 stays below 4096", {awbManual}, cmd(0x03, {0x02}), none, 0, [this] { set_rgb_gain(isp, 4064, 1024, 1024); }},
      {"03 03 red - 32", {awbManual, cmd(0x43, {0x00, 0x00, 0x02, 0x00})}, cmd(0x03, {0x03}), red, 993 * 64},
      {"43 v x 32 + 1", {awbManual}, cmd(0x43, {0x00, 0x00, 0x03, 0x00}), red, 1537 * 64},
      {"43 above 127 as 127", {awbManual}, cmd(0x43, {0x00, 0x00, 0x0F, 0x0F}), red, 4065 * 64},
      {"44 blue", {awbManual}, cmd(0x44, {0x00, 0x00, 0x03, 0x00}), blue, 1537 * 64},
      {"04 02 blue + 32", {awbManual, cmd(0x44, {0x00, 0x00, 0x03, 0x00})}, cmd(0x04, {0x02}), blue, 1569 * 64},
      {"04 02 leaves red", {awbManual, cmd(0x43, {0x00, 0x00, 0x03, 0x00})}, cmd(0x04, {0x02}), red, 1537 * 64},
      // White balance and colour temperature.
      {"05 below 2300 K", {}, cmd(0x05, {0x00, 0x03, 0x0E, 0x08}), red, temperatureRed(2300)},
      {"05 above 8000 K", {}, cmd(0x05, {0x02, 0x03, 0x02, 0x08}), red, temperatureRed(8000)},
      {"05 holds the AWB", {}, cmd(0x05, {0x00, 0x0F, 0x0A, 0x00}), state([this] { return awbControl()->mode * 10 + isp->awbEnable; }),
       AWB_HOLD * 10},
      {"35 01 indoor", {}, cmd(0x35, {0x01}), red, temperatureRed(3300)},
      {"35 02 outdoor", {}, cmd(0x35, {0x02}), red, temperatureRed(6800)},
      {"35 00 auto", {awbManual}, cmd(0x35, {0x00}), state([this] { return awbControl()->mode * 10 + isp->awbEnable; }),
       AWB_AUTO * 10 + 1},
      {"35 04 ATW", {awbManual}, cmd(0x35, {0x04}), state([this] { return awbControl()->mode * 10 + isp->awbEnable; }),
       AWB_ATW * 10 + 1},
      {"35 06 AWB on only", {awbManual}, cmd(0x35, {0x06}), state([this] { return awbControl()->mode * 10 + isp->awbEnable; }),
       AWB_HOLD * 10 + 1},
      {"35 05 manual: gains kept, 03 taken", {awbManual}, cmd(0x03, {0x02}), red, (1024 + 32) * 64,
       [this] { set_rgb_gain(isp, 1024, 1024, 1024); }},
      {"35 06 ends manual: 03 refused", {awbManual, cmd(0x35, {0x06})}, cmd(0x03, {0x00}), none, 0},
      // Manual shutter: modes 3 and 10; slow indexes need DSS.
      {"0A refused in full auto", {}, cmd(0x0A, {0x00}), none, 0},
      {"0A 00 index 9", {manual}, cmd(0x0A, {0x00}), shutter, shutterAt(9)},
      {"0A 02 one faster", {manual, cmd(0x0A, {0x00})}, cmd(0x0A, {0x02}), shutter, shutterAt(10)},
      {"0A 02 in shutter priority", {cmd(0x39, {0x0A}), cmd(0x0A, {0x00})}, cmd(0x0A, {0x02}), shutter, shutterAt(10)},
      {"0A 03 to a slow index without DSS", {manual, cmd(0x0A, {0x00})}, cmd(0x0A, {0x03}), none, 0},
      {"0A 03 to a slow index with DSS", {manual, cmd(0x0A, {0x00})}, cmd(0x0A, {0x03}), shutter, shutterAt(8),
       [] { g_isp.image.dssOn.store(1); }},
      {"4A 1/500 s", {manual}, cmd(0x4A, {0x00, 0x00, 0x01, 0x0F, 0x04}), shutter, shutterAt(shutterOfTime(500))},
      {"4A 0 as 1/30 s", {manual}, cmd(0x4A, {0x00, 0x00, 0x00, 0x00, 0x00}), shutter, shutterAt(shutterOfTime(30))},
      // Manual gain: mode 3 only.
      {"0C refused in shutter priority", {cmd(0x39, {0x0A})}, cmd(0x0C, {0x02}), none, 0},
      {"0C 02 + 5", {manual, cmd(0x0C, {0x00})}, cmd(0x0C, {0x02}), agc, agcAt(5)},
      {"0C 02 below the maximum", {manual}, cmd(0x0C, {0x02}), agc, agcAt(193), [] { g_isp.manualAgcIndex.store(193); }},
      {"0C 03 - 5", {manual, cmd(0x0C, {0x00}), cmd(0x0C, {0x02}), cmd(0x0C, {0x02})}, cmd(0x0C, {0x03}), agc, agcAt(5)},
      {"0C 03 above minimum + 5", {manual, cmd(0x0C, {0x00}), cmd(0x0C, {0x02})}, cmd(0x0C, {0x03}), agc, agcAt(5)},
      {"0C 00 the minimum", {manual, cmd(0x0C, {0x02})}, cmd(0x0C, {0x00}), agc, agcAt(0)},
      {"4C 50 %", {manual}, cmd(0x4C, {0x00, 0x00, 0x03, 0x02}), agc, agcAt(99)},
      {"4C above 100 as 100", {manual}, cmd(0x4C, {0x00, 0x00, 0x0F, 0x0F}), agc, agcAt(198)},
      // Exposure compensation: the luma row by 1 + (level - 7) / 8.
      {"0E 02 up", {}, cmd(0x0E, {0x02}), y0, luma(8)},
      {"0E 03 down", {}, cmd(0x0E, {0x03}), y0, luma(6)},
      {"0E 00 neutral", {cmd(0x4E, {0x00, 0x00, 0x00, 0x0B})}, cmd(0x0E, {0x00}), y0, luma(7)},
      {"0E refused while off", {cmd(0x3E, {0x03})}, cmd(0x0E, {0x02}), none, 0},
      {"4E level of bytes 6-7", {}, cmd(0x4E, {0x00, 0x01, 0x00, 0x0B}), y0, luma(11)},
      {"4E refused while off", {cmd(0x3E, {0x03})}, cmd(0x4E, {0x00, 0x00, 0x00, 0x0B}), none, 0},
      {"3E 03 neutral", {cmd(0x4E, {0x00, 0x00, 0x00, 0x09})}, cmd(0x3E, {0x03}), y0, luma(7)},
      {"3E 02 the level again", {cmd(0x4E, {0x00, 0x00, 0x00, 0x09}), cmd(0x3E, {0x03})}, cmd(0x3E, {0x02}), y0, luma(9)},
      // Day/night.
      {"21 sensitivity 0", {}, cmd(0x21, {0x00}), state([this] { return ae->agcToNight.load(); }), 198},
      {"21 sensitivity 2", {}, cmd(0x21, {0x02}), state([this] { return ae->agcToNight.load(); }), 180},
      {"21 03 ignored", {cmd(0x21, {0x00})}, cmd(0x21, {0x03}), state([this] { return ae->agcToNight.load(); }), 198},
      {"22 count to day", {}, cmd(0x22, {0x05}), state([this] { return ae->ir2dayCountBound.load(); }), 5},
      {"22 at most 15", {}, cmd(0x22, {0x20}), state([this] { return ae->ir2dayCountBound.load(); }), 15},
      {"51 02 automatic", {cmd(0x51, {0x04})}, cmd(0x51, {0x02}), state([this] { return ae->dnAuto.load(); }), 1},
      {"51 03 filter in", {cmd(0x51, {0x04})}, cmd(0x51, {0x03}), state([] { return g_isp.irOn.load(); }), 0},
      {"51 04 filter out", {cmd(0x51, {0x03})}, cmd(0x51, {0x04}), state([] { return g_isp.irOn.load(); }), 1},
      // Automatic-exposure bounds: full auto only.
      {"2A fastest 1/500 s", {}, cmd(0x2A, {0x00, 0x00, 0x01, 0x0F, 0x04}), state([this] { return ae->fastestBound.load(); }),
       shutterOfTime(500)},
      {"2A refused in manual", {manual}, cmd(0x2A, {0x00, 0x00, 0x01, 0x0F, 0x04}),
       state([this] { return ae->fastestBound.load(); }), 161},
      {"2B slowest 1/60 s", {}, cmd(0x2B, {0x00, 0x00, 0x00, 0x03, 0x0C}), state([this] { return ae->slowestBound.load(); }),
       shutterOfTime(60)},
      {"2C gain limit 50 %", {}, cmd(0x2C, {0x00, 0x00, 0x03, 0x02}), state([this] { return ae->agcMaxBound.load(); }), 99},
      {"2C 0 % above the minimum", {}, cmd(0x2C, {0x00, 0x00, 0x00, 0x00}), state([this] { return ae->agcMaxBound.load(); }), 1},
      // Backlight compensation selects the metering table.
      {"33 02 on", {}, cmd(0x33, {0x02}), state([] { return g_isp.image.backlight.load(); }), 1},
      {"33 03 off", {cmd(0x33, {0x02})}, cmd(0x33, {0x03}), state([] { return g_isp.image.backlight.load(); }), 0},
      // AE modes, as the next 3A pass runs them (the flicker step as the command set it).
      {"39 00 full auto", {manual}, cmd(0x39, {0x00}), state([this] { return ae->mode.load(); }), AE_FULL_AUTO},
      {"39 03 manual", {}, cmd(0x39, {0x03}), state([this] { return ae->mode.load(); }), AE_MANUAL},
      {"39 06 flickerless 60 Hz", {}, cmd(0x39, {0x06}),
       state([this] { return processAE(ae) * 10000 + ae->mode * 1000 + ae->fastestFlickerStep; }), 10000 + 1000 + 110},
      {"39 07 flickerless 50 Hz", {}, cmd(0x39, {0x07}),
       state([this] { return processAE(ae) * 10000 + ae->mode * 1000 + ae->fastestFlickerStep; }), 10000 + 2000 + 115},
      {"39 0A shutter priority", {}, cmd(0x39, {0x0A}), state([this] { return ae->mode.load(); }), AE_SHUTTER_PRIORITY},
      {"39 0E iris priority", {}, cmd(0x39, {0x0E}), state([this] { return ae->mode.load(); }), AE_IRIS_PRIORITY},
      {"39 0F iris adjust", {}, cmd(0x39, {0x0F}), state([this] { return ae->mode.load(); }), AE_IRIS_ADJUST},
      {"39 05 nothing", {manual}, cmd(0x39, {0x05}), state([this] { return ae->mode.load(); }), AE_MANUAL},
      {"39 01 AE reset", {cmd(0x3A, {0x00, 0x00, 0x03, 0x0C}), manual}, cmd(0x39, {0x01}),
       state([this] { return ae->mode * 100000 + ae->aeTarget; }), AE_FULL_AUTO * 100000 + 7500},
      // AE target: full auto and the flickerless modes.
      {"3A level 60", {}, cmd(0x3A, {0x00, 0x00, 0x03, 0x0C}), state([this] { return ae->aeTarget.load(); }), 9000},
      {"3A above 100 as 100", {cmd(0x39, {0x06})}, cmd(0x3A, {0x00, 0x00, 0x0F, 0x0F}), state([this] { return ae->aeTarget.load(); }),
       15000},
      {"3A refused in manual", {manual}, cmd(0x3A, {0x00, 0x00, 0x03, 0x0C}), state([this] { return ae->aeTarget.load(); }), 7500},
      // WDR (the local exposure on this sensor).
      {"3D 02 low", {}, cmd(0x3D, {0x02}), dsp("IAV_IOC_IMG_LOCAL_EXPOSURE", "radius"), 1},
      {"3D 03 off", {cmd(0x3D, {0x04})}, cmd(0x3D, {0x03}), dsp("IAV_IOC_IMG_LOCAL_EXPOSURE", "enable"), 0},
      {"3D 04 high", {}, cmd(0x3D, {0x04}), dsp("IAV_IOC_IMG_LOCAL_EXPOSURE", "radius"), 3},
      {"3D 05 middle", {}, cmd(0x3D, {0x05}), dsp("IAV_IOC_IMG_LOCAL_EXPOSURE", "radius"), 2},
      {"3D 06 low", {cmd(0x3D, {0x04})}, cmd(0x3D, {0x06}), dsp("IAV_IOC_IMG_LOCAL_EXPOSURE", "radius"), 1},
      {"3D 07 nothing", {}, cmd(0x3D, {0x07}), none, 0},
      {"3D forces the AE mode switch", {}, cmd(0x3D, {0x05}), state([this] { return ae->previousMode.load(); }), 10},
      // Digital zoom and PTZ (this sensor's range: 640 x 360 less its part at the zoom).
      {"46 factor 2", {}, cmd(0x46, {0x00, 0x00, 0x00, 0x02}), dsp("IAV_IOC_SET_DIGITAL_ZOOM_EX", "zoomX"), 2 << 16},
      {"46 factor 9", {}, cmd(0x46, {0x00, 0x00, 0x00, 0x09}), none, 0},
      {"46 the same factor", {cmd(0x46, {0x00, 0x00, 0x00, 0x03})}, cmd(0x46, {0x00, 0x00, 0x00, 0x03}), none, 0},
      {"46 keeps the pan", {cmd(0x56, {0x03, 0x0C, 0x03, 0x02, 0x02})}, cmd(0x46, {0x00, 0x00, 0x00, 0x04}),
       dsp("IAV_IOC_SET_DIGITAL_ZOOM_EX", "x"), (10 * 480 / 55) << 16},
      {"56 pan", {}, cmd(0x56, {0x03, 0x0C, 0x02, 0x08, 0x02}), dsp("IAV_IOC_SET_DIGITAL_ZOOM_EX", "x"), (10 * 320 / 55) << 16},
      {"56 tilt", {}, cmd(0x56, {0x03, 0x0C, 0x02, 0x08, 0x02}), dsp("IAV_IOC_SET_DIGITAL_ZOOM_EX", "y"), -(10 * 180 / 55) * 65536},
      {"56 zoom", {}, cmd(0x56, {0x03, 0x0C, 0x02, 0x08, 0x03}), dsp("IAV_IOC_SET_DIGITAL_ZOOM_EX", "zoomX"), 3 << 16},
      {"56 pan 101", {}, cmd(0x56, {0x06, 0x05, 0x02, 0x08, 0x02}), none, 0},
      {"56 tilt 101", {}, cmd(0x56, {0x03, 0x0C, 0x06, 0x05, 0x02}), none, 0},
      {"56 zoom 9", {}, cmd(0x56, {0x03, 0x0C, 0x02, 0x08, 0x09}), none, 0},
      // Noise reduction: the level in force that the next AGC-driven pass reads, and the manual setters.
      {"53 level in force", {}, cmd(0x53, {0x00, 0x00, 0x02, 0x08}), nextTemporalFilter, 210 - 40 + 90 - 120},
      {"53 0 keeps the filter off", {cmd(0x53, {0x00, 0x00, 0x02, 0x08})}, cmd(0x53, {0x00, 0x00, 0x00, 0x00}), nextTemporalFilter, 0},
      {"DE CFA noise filter", {}, cmd(0xDE, {0x00, 0x00, 0x00, 0x03}), requests("IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP"), 1},
      {"F3 CFA noise filter", {}, cmd(0xF3, {0x00, 0x00, 0x00, 0x03}), requests("IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP"), 1},
      {"F4 spatial filter row", {}, cmd(0xF4, {0x00, 0x00, 0x00, 0x04}), dsp("IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL", "edgeThreshold"),
       75},
      {"F5 bad-pixel row", {}, cmd(0xF5, {0x00, 0x01, 0x00, 0x02}), dsp("IAV_IOC_IMG_BAD_PIXEL_CORRECTION", "enable"), 3},
      {"F6 temporal filter", {}, cmd(0xF6, {0x00, 0x00, 0x02, 0x08}), dsp("IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP", "curve0"), 40},
      {"F8 coring", {}, cmd(0xF8, {0x00, 0x00, 0x00, 0x0A}), requests("IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG"), 2},
      {"DF chroma scale of bytes 4-7", {}, cmd(0xDF, {0x00, 0x01, 0x00, 0x00}), dsp("IAV_IOC_IMG_CHROMA_SCALE", "gain127"),
       127 * 1024 / 256},
      // Encoder QP range and sensor register.
      {"FA I range", {}, cmd(0xFA, {0x01, 0x04, 0x01, 0x0E}), dsp("IAV_IOC_SET_QP_LIMIT_EX", "minI"), 20},
      {"FA I maximum", {}, cmd(0xFA, {0x01, 0x04, 0x01, 0x0E}), dsp("IAV_IOC_SET_QP_LIMIT_EX", "maxI"), 30},
      {"F7 00 puts the range back", {cmd(0xFA, {0x01, 0x04, 0x01, 0x0E})}, cmd(0xF7, {0x00, 0x00, 0x00, 0x00}),
       dsp("IAV_IOC_SET_QP_LIMIT_EX", "minI"), 1},
      {"F7 on only marks it", {}, cmd(0xF7, {0x00, 0x00, 0x00, 0x01}), none, 0},
      {"F9 register", {}, cmd(0xF9, {0x03, 0x00, 0x01, 0x02, 0x00, 0x00, 0x05, 0x05}), dsp("IAV_IOC_SET_SENSOR_REG", "reg"), 0x3012},
      {"F9 value", {}, cmd(0xF9, {0x03, 0x00, 0x01, 0x02, 0x00, 0x00, 0x05, 0x05}), dsp("IAV_IOC_SET_SENSOR_REG", "data"), 0x55},
      // Picture.
      {"C0 brightness", {}, cmd(0xC0, {0x00, 0x00, 0x06, 0x04}), dsp("IAV_IOC_IMG_RGB_TO_YUV_SETUP", "yOffset"),
       isp->modelYuv.get(9) + 64},
      {"C0 above 100 as 100", {}, cmd(0xC0, {0x00, 0x00, 0x0F, 0x0F}), dsp("IAV_IOC_IMG_RGB_TO_YUV_SETUP", "yOffset"),
       isp->modelYuv.get(9) + 64},
      {"C1 contrast", {}, cmd(0xC1, {0x00, 0x00, 0x00, 0x00}), state([] { return g_isp.contrastCurve[0].load(); }), 64},
      {"C2 saturation", {}, cmd(0xC2, {0x00, 0x00, 0x00, 0x00}), dsp("IAV_IOC_IMG_RGB_TO_YUV_SETUP", "u0"), 0},
      // Hue +15 puts the V coefficients in the U row (saturation 64 x colour gain 60 / 64).
      {"C3 hue", {cmd(0xC2, {0x00, 0x00, 0x03, 0x02})}, cmd(0xC3, {0x00, 0x00, 0x06, 0x04}), dsp("IAV_IOC_IMG_RGB_TO_YUV_SETUP", "u0"),
       (isp->modelYuv.get(6) * 60) >> 6},
      {"C4 nothing", {}, cmd(0xC4, {0x00, 0x00, 0x06, 0x04}), none, 0},
      // Lens shading.
      {"FE 02 on", {}, cmd(0xFE, {0x02}), dsp("IAV_IOC_IMG_VIGNETTE_COMPENSATION", "enable"), 1},
      {"FE 03 off", {cmd(0xFE, {0x02})}, cmd(0xFE, {0x03}), dsp("IAV_IOC_IMG_VIGNETTE_COMPENSATION", "enable"), 0},
      {"FE other off", {cmd(0xFE, {0x02})}, cmd(0xFE, {0x08}), dsp("IAV_IOC_IMG_VIGNETTE_COMPENSATION", "enable"), 0},
      // The 3A pause.
      {"DD 02 pauses", {}, cmd(0xDD, {0x02}), state([] { return g_isp.aaaThread.pause.load(); }), 1},
      {"DD other resumes", {cmd(0xDD, {0x02})}, cmd(0xDD, {0x00}), state([] { return g_isp.aaaThread.pause.load(); }), 0},
  };
  for (uint8_t code : {0x09, 0x5A, 0x61, 0x66, 0xB3, 0xD4, 0xD6, 0xDA, 0xDB, 0xDC, 0xF0, 0xF1, 0xF2, 0x99})
    rows.push_back({"only traced", {}, cmd(code, {0x02, 0x00, 0x01, 0x01}), none, 0});

  for (const Row& row : rows) {
    scene(row.setup, row.before);
    const uint64_t since = lastSeq();
    EXPECT_EQ(run(row.command), 0) << row.what;
    EXPECT_EQ(row.probe(since), row.want) << row.what << " (" << std::hex << int(row.command[3]) << ")";
  }
  setPauseAAA(0);
}

// The manual shutter by time, which has no VISCA code: manual and shutter-priority modes only, 1/30 s
// at the longest.
TEST_F(ViscaCameraTest, ManualShutterByTime) {
  struct Row {
    uint8_t mode;
    uint32_t time;
    uint32_t shutterOf;  // 0: nothing reaches the sensor
  } rows[] = {{0x03, 500, 500}, {0x03, 10, 30}, {0x0A, 500, 500}, {0x00, 1000, 0}, {0x03, 0, 30}, {0x0A, 2000, 2000}};
  for (const Row& r : rows) {
    run(cmd(0x39, {r.mode}));
    const uint64_t since = lastSeq();
    SetManualShutterTime(visca.get(), r.time);
    const auto sent = requestsSince(since, "IAV_IOC_VIN_SRC_SET_SHUTTER_TIME");
    if (r.shutterOf == 0) {
      EXPECT_TRUE(sent.empty()) << r.time;
      continue;
    }
    ASSERT_EQ(sent.size(), 1u) << r.time;
    EXPECT_EQ(sent[0]["arg"]["value"], isp->shutterTable.get(ae->get_shutter_index(1000000 / r.shutterOf))) << r.time;
  }
}

// The inquiries that read the exposure control, the sensor and the camera state, after the commands
// that change them.
TEST_F(ViscaCameraTest, InquiriesAnswerWhatTheCommandsSet) {
  struct Row {
    const char* what;
    std::vector<Bytes> before;
    Bytes inquiry;
    Bytes reply;
    std::function<void()> setup = nullptr;
  };
  auto value = [](uint16_t v) {
    return Bytes{0x08, 0x90, 0x50, uint8_t(v >> 12), uint8_t(v >> 8 & 15), uint8_t(v >> 4 & 15), uint8_t(v & 15), 0xFF};
  };
  auto mode = [](uint8_t m) { return Bytes{0x05, 0x90, 0x50, m, 0xFF}; };
  const Bytes aeMode = {0x81, 0x09, 0x04, 0x39, 0xFF};
  const Row rows[] = {
      {"full auto", {cmd(0x39, {0x03}), cmd(0x39, {0x00})}, aeMode, mode(1)},
      {"manual", {cmd(0x39, {0x03})}, aeMode, mode(0)},
      {"flickerless 60 Hz", {cmd(0x39, {0x06})}, aeMode, mode(4)},
      {"flickerless 50 Hz", {cmd(0x39, {0x07})}, aeMode, mode(5)},
      {"shutter priority", {cmd(0x39, {0x0A})}, aeMode, mode(2)},
      {"iris priority", {cmd(0x39, {0x0E})}, aeMode, mode(3)},
      {"iris adjust keeps the code", {cmd(0x39, {0x0A}), cmd(0x39, {0x0F})}, aeMode, mode(2)},
      {"FB the gain index", {cmd(0x39, {0x03}), cmd(0x4C, {0x00, 0x00, 0x03, 0x02})}, {0x81, 0x09, 0x04, 0xFB, 0xFF}, value(99)},
      {"FC the shutter index", {cmd(0x39, {0x03}), cmd(0x0A, {0x00}), cmd(0x0A, {0x02})}, {0x81, 0x09, 0x04, 0xFC, 0xFF},
       value(10)},
      {"F8 the luminance's low 16 bits", {}, {0x81, 0x09, 0x04, 0xF8, 0xFF}, value(0x2345),
       [this] { ae->luminance.store(0x12345); }},
      {"F9 the register of bytes 4-7", {cmd(0xF9, {0x03, 0x00, 0x01, 0x02, 0x01, 0x02, 0x03, 0x04})},
       {0x81, 0x09, 0x04, 0xF9, 0x03, 0x00, 0x01, 0x02, 0xFF}, value(0x1234)},
      {"0B the iris calibration", {}, {0x81, 0x09, 0x04, 0x0B, 0xFF}, mode(IRIS_GOOD), [this] { ae->irisAdjustStatus.store(IRIS_GOOD); }},
      {"E4 no light sensor on this model", {}, {0x81, 0x09, 0x04, 0xE4, 0xFF}, value(0)},
  };
  for (const Row& row : rows) {
    scene(row.setup, row.before);
    uint8_t b[kViscaWorkBytes] = {};
    std::memcpy(b, row.inquiry.data(), row.inquiry.size());
    const int n = processViscaCmd(visca.get(), b, nullptr);
    EXPECT_EQ(Bytes(b, b + n), row.reply) << row.what;
  }

  // F6 on this model: the exposure and the sharpness the focus figures are taken with.
  const uint64_t since = lastSeq();
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0xF6, 0xFF}), 0);
  EXPECT_EQ(ae->aeTarget.load(), 6000u);
  EXPECT_EQ(dsp("IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL", "lowVal", 10)(since), 16 / 4);
  EXPECT_EQ(g_isp.focusExport.load(), 1);
}

}  // namespace
