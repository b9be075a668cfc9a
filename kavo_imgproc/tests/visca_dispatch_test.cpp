// The VISCA dispatchers on packets in a work buffer: the acceptance rules as one table, the
// camera defaults, the reply templates and what the inquiries answer without a lens.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "algo_af/CAFControl.h"
#include "if_visca/DVisca.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {
namespace {

using Bytes = std::vector<uint8_t>;

struct Buffer {
  uint8_t b[kViscaWorkBytes] = {};
  explicit Buffer(const Bytes& packet) { std::memcpy(b, packet.data(), packet.size()); }
  Bytes reply(int length) const { return Bytes(b, b + length); }
};

class ViscaDispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_isp.aeLimits = AELimits{7500, 0, 198, 5, 161};
    visca = new DVisca;
  }
  void TearDown() override { delete visca; }

  Bytes run(const Bytes& packet) {
    Buffer buf(packet);
    const int n = processViscaCmd(visca, buf.b, nullptr);
    EXPECT_GE(n, 0);
    EXPECT_LE(n, static_cast<int>(kViscaWorkBytes));
    return buf.reply(n);
  }

  DVisca* visca = nullptr;
};

TEST_F(ViscaDispatchTest, Defaults) {
  const IspGlobals& g = g_isp;
  const std::vector<std::pair<const char*, uint32_t>> want = {
      {"dptz zoom", 1}, {"dptz pan", 50}, {"visca AE", 0}, {"slowest", 5}, {"fastest", 161}, {"agc min", 0},
      {"agc max", 198}, {"colour temperature", 6000}, {"exp comp on", 1}, {"exp comp level", 7}, {"ir cnt2day", 10},
      {"ir thd2day", 500}, {"ir thd2night", 300}, {"ir led auto", 1}, {"ir led manual", 1}, {"ir cut in", 1},
      {"day/night auto", 1}, {"sharpness", 50}, {"hue", 50}, {"wdr", 1}, {"awb", 1}, {"manual shutter", 5},
      {"ae target", 7500}, {"settings AE", 1}, {"power led", 255}, {"heater", 0}, {"focus export", 0}};
  const std::vector<uint32_t> got = {
      g.dptzZoom, g.dptzPan, g.viscaAeMode, g.shutterSlowestBound, g.shutterFastestBound, g.agcMinimumBound,
      g.agcMaximumBound, g.colourTemperature, g.viscaCamera.expCompOn, uint32_t(g.viscaCamera.expCompLevel.load()),
      g.irFilterThreshold[0], g.irFilterThreshold[1], g.irFilterThreshold[2], g.irLedAuto, g.irLedManualLevel,
      g.viscaCamera.irCutInstalled, g.viscaCamera.dayNightAuto, g.image.sharpness, g.image.hue, g.image.wdrLevel,
      g.awbMode, g.manualShutterIndex, g.aeTarget, g.settingsAeMode, g.image.powerLedInterval, g.viscaCamera.heaterOn,
      g.focusExport};
  ASSERT_EQ(want.size(), got.size());
  for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], want[i].second) << want[i].first;
}

// One row per rule-bound code and state: the code is accepted exactly when the state allows it.
TEST_F(ViscaDispatchTest, AcceptanceMatrix) {
  struct State {
    const char* name;
    uint32_t awb, ae, expComp, irLedAuto;
  };
  const State states[] = {{"defaults", 1, 0, 1, 1},  {"awb manual", 0, 0, 1, 1}, {"ae manual", 1, 3, 1, 1},
                          {"shutter priority", 1, 10, 1, 1}, {"flicker 50", 1, 7, 1, 1}, {"exp comp off", 1, 0, 0, 1},
                          {"ir led manual", 1, 0, 1, 0}};
  // code -> which states accept it, in the order of `states`.
  const std::vector<std::pair<uint8_t, std::vector<bool>>> rows = {
      {0x03, {0, 1, 0, 0, 0, 0, 0}}, {0x43, {0, 1, 0, 0, 0, 0, 0}}, {0x04, {0, 1, 0, 0, 0, 0, 0}},
      {0x44, {0, 1, 0, 0, 0, 0, 0}}, {0x0A, {0, 0, 1, 1, 0, 0, 0}}, {0x4A, {0, 0, 1, 1, 0, 0, 0}},
      {0x0C, {0, 0, 1, 0, 0, 0, 0}}, {0x4C, {0, 0, 1, 0, 0, 0, 0}}, {0x4B, {0, 0, 1, 0, 0, 0, 0}},
      {0x2A, {1, 1, 0, 0, 0, 1, 1}}, {0x2B, {1, 1, 0, 0, 0, 1, 1}}, {0x2C, {1, 1, 0, 0, 0, 1, 1}},
      {0x0E, {1, 1, 1, 1, 1, 0, 1}}, {0x4E, {1, 1, 1, 1, 1, 0, 1}}, {0x3E, {1, 1, 1, 1, 1, 1, 1}},
      {0xB1, {0, 0, 0, 0, 0, 0, 1}}, {0x39, {1, 1, 1, 1, 1, 1, 1}}, {0x35, {1, 1, 1, 1, 1, 1, 1}},
      {0xF9, {1, 1, 1, 1, 1, 1, 1}}};
  for (size_t s = 0; s < std::size(states); ++s) {
    g_isp.awbMode = states[s].awb;
    g_isp.viscaAeMode = states[s].ae;
    g_isp.viscaCamera.expCompOn = static_cast<uint8_t>(states[s].expComp);
    g_isp.irLedAuto = states[s].irLedAuto;
    for (const auto& row : rows) {
      const uint8_t packet[kViscaWorkBytes] = {0x81, 0x01, 0x04, row.first, 0x00, 0xFF};
      EXPECT_EQ(viscaCommandAccepted(packet), bool(row.second[s]))
          << states[s].name << " code " << std::hex << int(row.first);
    }
  }
}

TEST_F(ViscaDispatchTest, RefusedCommandsChangeNothingAndAcceptedOnesAct) {
  // 0E refused while exposure compensation is off, in any form; 3E always taken.
  run({0x81, 0x01, 0x04, 0x3E, 0x03, 0xFF});
  run({0x81, 0x01, 0x04, 0x0E, 0x02, 0xFF});
  run({0x81, 0x01, 0x04, 0x4E, 0x00, 0x00, 0x00, 0x0C, 0xFF});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 7);
  run({0x81, 0x01, 0x04, 0x3E, 0x02, 0xFF});
  run({0x81, 0x01, 0x04, 0x0E, 0x02, 0xFF});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 8);
  // 0C refused in full auto, accepted after 39 03; 39 reported through its inquiry.
  run({0x81, 0x01, 0x04, 0x0C, 0x02, 0xFF});
  EXPECT_EQ(g_isp.manualAgcIndex.load(), 0u);
  run({0x81, 0x01, 0x04, 0x39, 0x03, 0xFF});
  run({0x81, 0x01, 0x04, 0x0C, 0x02, 0xFF});
  EXPECT_EQ(g_isp.manualAgcIndex.load(), 5u);
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0x39, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x00, 0xFF}));
  // 02 00 sets the sharpness to 0, not to its default.
  run({0x81, 0x01, 0x04, 0x02, 0x00, 0xFF});
  EXPECT_EQ(g_isp.image.sharpness.load(), 0u);
  // Codes that only trace, and other categories, change nothing and reply nothing.
  for (uint8_t code : {0x09, 0x5A, 0x61, 0x66, 0xD4, 0xD6, 0xDA, 0xF0, 0x99})
    EXPECT_EQ(run({0x81, 0x01, 0x04, code, 0x02, 0xFF}), Bytes{}) << int(code);
  EXPECT_EQ(run({0x81, 0x01, 0x07, 0x39, 0x00, 0xFF}), Bytes{});
  EXPECT_EQ(g_isp.viscaAeMode.load(), 3u);
}

TEST_F(ViscaDispatchTest, InquiryReplies) {
  CAFControl af;
  g_isp.components.af.store(&af);
  af.m_iCurrZoomPosition = 0x1234;
  af.m_iCurrFocusPosition = 0x0ABC;
  // Without an answer of the lens MCU, the positions the auto focus knows last.
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0x47, 0xFF}), (Bytes{0x08, 0x90, 0x50, 0x01, 0x02, 0x03, 0x04, 0xFF}));
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0x48, 0xFF}), (Bytes{0x08, 0x90, 0x50, 0x00, 0x0A, 0x0B, 0x0C, 0xFF}));
  // The zoom and focus commands reply with the position too.
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x47, 0x00, 0x01, 0x00, 0x00, 0xFF}).size(), 8u);
  g_isp.components.af.store(nullptr);

  g_isp.focusMode = 3;
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0x38, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x03, 0xFF}));
  EXPECT_EQ(run({0x81, 0x09, 0x06, 0x10, 0xFF}), (Bytes{0x06, 0x90, 0x50, 0x00, 0x00, 0xFF}));
  EXPECT_EQ(run({0x81, 0x09, 0x06, 0x12, 0xFF}).size(), 12u);
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0x08, 0xFF}), (Bytes{0x08, 0x90, 0x50, 0x00, 0x00, 0x00, 0x00, 0xFF}));
  // Recognised without an answer, the version inquiry, unknown codes and categories.
  for (const Bytes& p : {Bytes{0x81, 0x09, 0x04, 0x01, 0xFF}, Bytes{0x81, 0x09, 0x04, 0x07, 0xFF},
                         Bytes{0x81, 0x09, 0x00, 0x02, 0xFF}, Bytes{0x81, 0x09, 0x04, 0x99, 0xFF},
                         Bytes{0x81, 0x09, 0x06, 0x06, 0xFF}, Bytes{0x81, 0x09, 0x05, 0x47, 0xFF}})
    EXPECT_EQ(run(p), Bytes{});
}

TEST_F(ViscaDispatchTest, FocusValueModeExportsTheFigures) {
  uint8_t focus[64];
  for (int32_t model : {ALDER_IR, HALDEN_IR, TORVEX_BRISK}) {
    std::memset(focus, 0x11, sizeof focus);
    g_isp.focusShm.addr = focus;
    g_isp.sys.model = model;
    g_isp.focusExport = 0;
    EXPECT_EQ(run({0x81, 0x09, 0x04, 0xF6, 0xFF}), Bytes{});
    EXPECT_EQ(g_isp.focusExport.load(), 1);
    EXPECT_EQ(focus[0], 0);
    EXPECT_EQ(focus[1], 0x11);
    EXPECT_EQ(g_isp.image.backlight.load(), model == TORVEX_BRISK ? 3u : 2u);
    if (model != TORVEX_BRISK) {
      EXPECT_EQ(g_isp.aeTarget.load(), model == HALDEN_IR ? 2000u : 6000u);
    }
  }
  g_isp.focusShm.addr = nullptr;
  g_isp.sys.model = ALDER_IR;
}

}  // namespace
}  // namespace isp
}  // namespace kavo
