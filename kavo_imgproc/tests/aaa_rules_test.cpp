// The exact rules of the exposure control, the day/night decisions, the white balance and the
// statistics reduction, from the cases their descriptions give, and the mended ones: the
// colour-temperature gains divided by the rows' distance, the luminance held at 16 bits, the focus
// record read by an independent process that holds the writer off, and the DC-iris trace file.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "algo_ae/AEControl.h"
#include "algo_ae/aaa_statistics.h"
#include "algo_af/CAFControl.h"
#include "algo_awb/AWBControl.h"
#include "kavo/logger/logger.h"
#include "kavo/test/sysv_keys.h"
#include "kavo/test/test_root.h"
#include "kavo/utils/clock.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"

namespace {

using namespace kavo::isp;

struct Recorder : AeOutside {
  void setICR(int out) override { calls.push_back("setICR(" + std::to_string(out) + ")"); }
  void setIrLedon_xBrisk(int on) override { calls.push_back("setIrLedon_xBrisk(" + std::to_string(on) + ")"); }
  void setIrLedLevel(int level) override { calls.push_back("setIrLedLevel(" + std::to_string(level) + ")"); }
  void ipc_apply_ir_state(int on) override { calls.push_back("ipc_apply_ir_state(" + std::to_string(on) + ")"); }
  void setDCIrisDriver(int v) override { drive = v; }
  void setIrisBias(int v) override { bias = v; }
  int inqLightSensor(uint32_t* v) override {
    if (failing) return 1;
    *v = light;
    return 0;
  }
  std::vector<std::string> calls;
  int drive = -1, bias = -1;
  uint32_t light = 0;
  bool failing = false;
};

class AaaRules : public ::testing::Test {
 protected:
  void model(int32_t m, int32_t sensor = SENSOR_OV9715, uint32_t target = 8700) {
    g_isp.sys = SystemParameters{m, 1, m >= 2 && m <= 4 ? ZOOMLENS : FIXLENS, sensor, 4};
    g_isp.aeLimits = AELimits{target, 0, 198, 5, 161};
    g_isp.irLedAuto.store(1);
    g_isp.irLedDriveLevel.store(215);
    ae = std::make_unique<AEControl>();
    ae->reset_ae_params();
    ae->init_icr_thresholds();
    ae->set_icr_sensitivity(1);
    setAeOutside(&outside);
  }
  void TearDown() override {
    setAeOutside(nullptr);
    kavo::utils::setSleepsAdvanceMomentsForTest(false);
    kavo::utils::resetMomentsForTest();
  }
  kavo::test::TestRoot root;
  std::unique_ptr<AEControl> ae;
  Recorder outside;
};

// get_shutter_index: the index whose time holds the microseconds, 161 below the table, none above.
TEST_F(AaaRules, ShutterIndexOfMicroseconds) {
  model(ALDER_IR);
  const struct {
    uint32_t us, index;
  } rows[] = {{1000000, 0}, {5, 161}, {0, 161}, {10000, 46}, {8333, 51}, {8334, 50}, {2000000, ~0u}};
  for (const auto& r : rows) EXPECT_EQ(ae->get_shutter_index(r.us), r.index) << r.us;
}

// The bound setters: refused outside their ranges (logged at level 6, nothing changes); accepted ones
// change the bound and leave the AE in full auto whatever the mode was. The target moves the zone
// limits by the target base, not by itself.
TEST_F(AaaRules, BoundsAndTarget) {
  model(ALDER_IR);
  kavo::utils::setSleepsAdvanceMomentsForTest(true);
  kavo::logger::LogCapture log;
  struct Row {
    int (AEControl::*set)(int);
    int value;
    bool accepted;
    const char* message;
  };
  const Row rows[] = {
      {&AEControl::set_shutter_high_speed_bound, 4, false, "index=4, ref=5,161,5"},
      {&AEControl::set_shutter_high_speed_bound, 162, false, "index=162, ref=5,161,5"},
      {&AEControl::set_shutter_high_speed_bound, 150, true, nullptr},
      {&AEControl::set_shutter_low_speed_bound, 151, false, "[set_shutter_low_speed_bound]err_code:151_150.)\n"},
      {&AEControl::set_shutter_low_speed_bound, 20, true, nullptr},
      {&AEControl::set_Agc_maxIdx_bound, 199, false, "[set_Agc_maxIdx_bound]err_code:199_0.\n"},
      {&AEControl::set_Agc_maxIdx_bound, -1, false, "[set_Agc_maxIdx_bound]err_code:-1_0.\n"},
      {&AEControl::set_Agc_maxIdx_bound, 120, true, nullptr},
  };
  for (const Row& r : rows) {
    ae->mode.store(AE_SHUTTER_PRIORITY);
    log.clear();
    EXPECT_EQ((ae.get()->*r.set)(r.value), 1);
    if (r.accepted) {
      EXPECT_EQ(ae->mode.load(), AE_FULL_AUTO) << r.value;
    } else {
      EXPECT_TRUE(log.has(r.message, LOG_LEVEL_INFO)) << log.dump();
      EXPECT_EQ(ae->mode.load(), AE_SHUTTER_PRIORITY);
    }
  }
  EXPECT_EQ(ae->fastestBound.load(), 150);
  EXPECT_EQ(ae->slowestBound.load(), 20);
  EXPECT_EQ(ae->agcMaxBound.load(), 120);
  ae->upGain_ISO(500);
  EXPECT_EQ(ae->agcIndex.load(), 120) << "the gain stops at its bound";
  ae->set_ae_target(5000);
  EXPECT_EQ(ae->aeTarget.load(), 5000u);
  EXPECT_EQ(ae->halfTarget.load(), 2500u);
  EXPECT_EQ(ae->zone[0].load(), 17u * 8700 / 128);
}

// By exposure index (model 1, sensitivity 1: AGC to day 43, to night 184): a day state ends after two
// consecutive night readings, a night state only after cnt2day (10) consecutive day readings, and one
// other reading starts the count again.
TEST_F(AaaRules, DayNightByIndexCounts) {
  model(HALDEN_IR);
  ae->dnAuto.store(1);
  ae->luminance.store(ae->aeTarget.load());
  auto reading = [&](int agc) {
    ae->agcIndex.store(static_cast<uint16_t>(agc));
    ae->DN_status_update_byIndex();
  };
  reading(184);
  EXPECT_EQ(ae->dayState.load(), 1);
  reading(100);
  reading(184);
  EXPECT_EQ(ae->dayState.load(), 1) << "not consecutive";
  reading(190);
  EXPECT_EQ(ae->dayState.load(), 0);
  EXPECT_EQ(outside.calls, (std::vector<std::string>{"setIrLedon_xBrisk(1)", "ipc_apply_ir_state(1)"}));
  reading(198);  // the darkest night reading
  for (int i = 0; i < 9; ++i) reading(40);
  reading(100);
  for (int i = 0; i < 9; ++i) reading(43);
  EXPECT_EQ(ae->dayState.load(), 0);
  reading(43);
  EXPECT_EQ(ae->dayState.load(), 1);
  EXPECT_EQ(outside.calls.back(), "setIrLedon_xBrisk(0)");
}

// By light value (model 2 through the lens MCU's sensor, sensitivity 1: night at 300, day at 1000):
// 0 counts towards day and never towards night, a failed inquiry towards neither; the switches move
// the filter and arm the refocus.
TEST_F(AaaRules, DayNightByLightCounts) {
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  ae->set_icr_manual(1);
  outside.calls.clear();
  auto reading = [&](uint32_t v) {
    outside.light = v;
    ae->DN_status_update_Brisk();
  };
  reading(0);
  reading(0);
  EXPECT_EQ(ae->dayState.load(), 1) << "0 is no night reading";
  reading(300);
  reading(300);
  EXPECT_EQ(ae->dayState.load(), 0);
  EXPECT_EQ(outside.calls, (std::vector<std::string>{"setICR(1)", "setIrLedLevel(215)", "ipc_apply_ir_state(1)"}));
  EXPECT_EQ(g_isp.lensLink.flags.G_ZoomTrigArmed.load(), 1);
  // A silent MCU: failed inquiries count neither way (a 0 from them would count towards day).
  outside.failing = true;
  for (int i = 0; i < 20; ++i) reading(0);
  EXPECT_EQ(ae->dayState.load(), 0);
  EXPECT_EQ(ae->dayCount.load(), 0);
  outside.failing = false;
  for (int i = 0; i < 5; ++i) reading(0);
  reading(999);
  for (int i = 0; i < 9; ++i) reading(i % 2 ? 0 : 1000);
  EXPECT_EQ(ae->dayState.load(), 0);
  reading(5000);
  EXPECT_EQ(ae->dayState.load(), 1);
  EXPECT_EQ(outside.calls.back(), "setIrLedLevel(0)");
  ae->dnAuto.store(0);
  reading(1);
  reading(1);
  EXPECT_EQ(ae->dayState.load(), 1) << "no decision while automatic day/night is off";
}

// With the default outside operations a day/night switch reaches the controller and the auto focus:
// automatic day/night turns black and white off, and the switch to night applies the night picture
// state and asks the AF for a refocus with the lens-link flag the AF reads.
TEST_F(AaaRules, DayNightSwitchReachesPictureAndRefocus) {
  struct LightOnly : AeOutside {
    int inqLightSensor(uint32_t* v) override {
      *v = light;
      return 0;
    }
    uint32_t light = 0;
  } light;
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  CIsp isp;
  g_isp.controller.store(&isp);
  setAeOutside(&light);
  g_isp.lensLink.flags.G_ZoomTrigArmed.store(0);
  g_isp.irOn.store(0);
  isp.blackAndWhite.store(1);
  ae->set_icr_manual(1);
  EXPECT_EQ(isp.blackAndWhite.load(), 0);
  CAFControl* af = afControl();
  ASSERT_NE(af, nullptr);
  af->afStatus.store(AF_PRESEEK);
  light.light = 300;
  ae->DN_status_update_Brisk();
  ae->DN_status_update_Brisk();
  EXPECT_EQ(ae->dayState.load(), 0);
  EXPECT_EQ(g_isp.irOn.load(), 1u);
  EXPECT_EQ(g_isp.lensLink.flags.G_ZoomTrigArmed.load(), 1);
  EXPECT_EQ(af->afStatus.load(), uint32_t(AF_REFOCUS));
  g_isp.controller.store(nullptr);
}

// The white-balance step rule: the dead band of 84, at most 20 a step, held inside the range; a zero
// average fails.
TEST(AwbRules, StepRule) {
  const struct {
    uint32_t g, x, sumG, min, max, out;
    bool ok;
  } rows[] = {
      {1000, 1083, 1000, 10, 16000, 1000, true},  // 83 apart: inside the dead band
      {1000, 917, 1000, 10, 16000, 1000, true},
      {2000, 2000, 1000, 10, 16000, 1980, true},  // twice the green: down by 20, not more
      {1000, 900, 1000, 10, 16000, 1020, true},
      {100, 800, 1000, 10, 16000, 120, true},     // 100 x 200 / 800 = 25, capped at 20
      {1000, 1000, 1000, 1200, 3600, 1200, true}, // held at the minimum
      {1000, 0, 1000, 10, 16000, 0, false},
  };
  for (const auto& r : rows) {
    uint32_t out = 0;
    EXPECT_EQ(awbStep(r.g, r.x, r.sumG, r.min, r.max, &out), r.ok) << r.x;
    if (r.ok) {
      EXPECT_EQ(out, r.out) << r.g << " " << r.x;
    }
  }
}

// In ATW a red gain of 500 rises by 32 per update until it reaches the range's minimum 600; an update
// comes every five passes (reset, three collects, compute).
TEST_F(AaaRules, AtwRaisesALowGainBy32) {
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  CIsp isp;
  g_isp.controller.store(&isp);
  isp.awbEnable.store(1);
  AWBControl* awb = awbControl();
  awb->setAWBMode(AWB_ATW);
  g_isp.awbInterrupt.r.store(500);
  g_isp.awbInterrupt.g.store(1024);
  g_isp.awbInterrupt.b.store(1024);
  awb->currentGain[0] = 500;
  awb->currentGain[2] = 1024;
  std::vector<uint32_t> reds;
  for (int pass = 0; pass < 26; ++pass) {
    awb->average[0] = awb->average[1] = awb->average[2] = 4000;
    awb->validTiles = 96;
    emulatedISR_AWB(awb, &g_isp.awbInterrupt);
    if (reds.empty() || reds.back() != awb->currentGain[0]) reds.push_back(awb->currentGain[0]);
  }
  EXPECT_EQ(reds, (std::vector<uint32_t>{500, 532, 564, 596, 600}));
  EXPECT_EQ(awb->currentGain[2], 1024u);
  g_isp.controller.store(nullptr);
}

// Switching the white balance off hands the gains over: a pass under way ends before enable_awb(0)
// returns, so the manual gains the caller writes next are not overwritten by the automatic ones; a
// pass that starts after it writes nothing.
TEST_F(AaaRules, SwitchingTheWhiteBalanceOffWaitsForThePassUnderWay) {
  model(FINCH_IR);
  CIsp isp;
  g_isp.controller.store(&isp);
  enable_awb(&isp, 1);
  isp.awbPassBusy.store(1);  // a pass past its test of the flag
  std::atomic<bool> ended{false};
  std::thread pass([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    ended.store(true);
    isp.awbPassBusy.store(0);
  });
  enable_awb(&isp, 0);
  EXPECT_TRUE(ended.load()) << "returned while the pass could still write";
  pass.join();
  AWBControl* awb = awbControl();
  const uint32_t before = g_isp.awbInterrupt.r.load();
  g_isp.awbInterrupt.pending.store(1);
  emulatedISR_AWB(awb, &g_isp.awbInterrupt);
  EXPECT_EQ(g_isp.awbInterrupt.pending.load(), 1u) << "a pass with the white balance off takes nothing";
  EXPECT_EQ(g_isp.awbInterrupt.r.load(), before);
  EXPECT_EQ(isp.awbPassBusy.load(), 0u);
  g_isp.awbInterrupt.pending.store(0);
  g_isp.controller.store(nullptr);
}

// Colour-temperature gains: the rows' cases; between rows divided by the rows' own distance, so the
// gains are continuous in K on every table (rows of models 0 and 5 lie 618 and 468 apart) and equal
// to the old shift by 9 on tables spaced 512 apart.
TEST(AwbRules, ColourTemperatureGains) {
  const ColourTemperatureRow* brisk = colourTemperatureTable(TORVEX_BRISK);
  const struct {
    uint32_t k, r, b;
  } rows[] = {{2000, 865, 2064}, {8000, 1605, 884}, {5616, 1420, 1064}, {2288, 865, 2064}, {7920, 1605, 884}};
  for (const auto& row : rows) {
    uint32_t r = 0, b = 0;
    ASSERT_TRUE(colourTemperatureGains(brisk, row.k, &r, &b));
    EXPECT_EQ(r, row.r) << row.k;
    EXPECT_EQ(b, row.b) << row.k;
  }
  for (uint32_t k = 2289; k <= 7920; ++k) {
    int i = 0;
    while (!(brisk[i].kelvin < k && k <= brisk[i + 1].kelvin)) ++i;
    uint32_t r = 0, b = 0;
    colourTemperatureGains(brisk, k, &r, &b);
    ASSERT_EQ(r, (brisk[i + 1].r * (k - brisk[i].kelvin) + brisk[i].r * (brisk[i + 1].kelvin - k)) >> 9) << k;
  }
  for (int m : {ALDER_IR, HALDEN_IR, TORVEX_BRISK, FINCH_IR}) {
    const ColourTemperatureRow* t = colourTemperatureTable(m);
    uint32_t pr = 0, pb = 0;
    colourTemperatureGains(t, 2000, &pr, &pb);
    for (uint32_t k = 2001; k <= 8000; ++k) {
      uint32_t r = 0, b = 0;
      ASSERT_TRUE(colourTemperatureGains(t, k, &r, &b));
      ASSERT_LE(std::abs(int(r) - int(pr)), 2) << "model " << m << " jumps at " << k;
      ASSERT_LE(std::abs(int(b) - int(pb)), 2) << "model " << m << " jumps at " << k;
      pr = r;
      pb = b;
    }
    for (int i = 0; i < kColourTemperatureRows; ++i) {
      uint32_t r = 0, b = 0;
      colourTemperatureGains(t, t[i].kelvin, &r, &b);
      EXPECT_EQ(r, t[i].r);
      EXPECT_EQ(b, t[i].b);
    }
  }
}

// The luminance of the weighted sums is held at 65,535: a saturated picture (the default metering
// weights sum to 164, so its sums reach 55,924) must not wrap to a dark value.
TEST(AeRules, LuminanceSaturatesAt16Bits) {
  uint32_t sum = 0;
  const uint8_t* w = meteringWeights(0);
  for (int i = 0; i < 96; ++i) sum += (w[i] * (65532 / 96)) >> 1;
  EXPECT_EQ(aeLuminance(sum, sum, sum), 65535u);
  EXPECT_EQ(aeLuminance(1000, 1000, 1000), (306u * 1000 + 301 * 1000 + 58 * ((1000 * 731) >> 9)) >> 9);
  EXPECT_EQ(meteringWeights(4), meteringWeights(0)) << "backlight 4 takes the default table";
  EXPECT_NE(meteringWeights(1), meteringWeights(0));
}

// The colour matrix applied to the means of three sums: the identity every pass leaves gives the
// means; a matrix that takes more than it gives ends at 0, not below; no count, no means (and no
// division by zero); sums far past 32 bits stay inside the result's range.
TEST(AeRules, ColourMatrixOfTheMeans) {
  CIsp isp;
  struct Row {
    int32_t m[3][3];
    uint64_t sums[3];
    uint32_t count, out[3];
  } rows[] = {
      {{{1024, 0, 0}, {0, 1024, 0}, {0, 0, 1024}}, {9600, 19200, 960}, 96, {100, 200, 10}},
      {{{1536, -512, 0}, {-512, 1536, -512}, {0, -1024, 2048}}, {9600, 19200, 960}, 96, {50, 245, 0}},
      {{{1024, 0, 0}, {0, 1024, 0}, {0, 0, 1024}}, {9600, 19200, 960}, 0, {0, 0, 0}},
      {{{4096, 0, 0}, {0, 1024, 0}, {0, 0, 1024}}, {~0ull, 1ull << 40, 3}, 1, {UINT32_MAX, UINT32_MAX, 3}},
  };
  for (const Row& r : rows) {
    std::memcpy(isp.colourMatrix, r.m, sizeof r.m);
    uint32_t out[3] = {7, 7, 7};
    colorMatrixApply(&isp, r.sums, r.count, out);
    EXPECT_EQ(std::vector<uint32_t>(out, out + 3), std::vector<uint32_t>(r.out, r.out + 3)) << r.count;
  }
}

std::string run(const std::string& cmd) {
  std::string out;
  if (FILE* p = ::popen(cmd.c_str(), "r")) {
    char buf[256];
    while (std::fgets(buf, sizeof buf, p)) out += buf;
    ::pclose(p);
  }
  return out;
}

// The focus record through System V shared memory, read by an independent Python process: the
// figures as nibbles; while the reader holds byte 0 at 2 the writer leaves the record alone.
TEST_F(AaaRules, FocusRecordReadByAnotherProcess) {
  kavo::test::SysvKeyFiles keys(root, {"/tmp/shm/focus_server"});
  int id = -1;
  uint8_t* rec = createShareMemoryChar(&id, "/tmp/shm/focus_server", kFocusRecordBytes);
  ASSERT_NE(rec, nullptr);
  const std::string reader = "/usr/bin/python3 " + std::string(KAVO_TEST_SOURCE_DIR) +
                             "/kavo_imgproc/tests/focus_reader.py " + root.path("/tmp/shm/focus_server");
  const uint16_t first[6] = {65535, 4660, 0, 1, 43981, 256};
  ASSERT_TRUE(exportFocusRecord(rec, first));
  EXPECT_EQ(run(reader + " hold"), "65535 4660 0 1 43981 256\n");
  const uint16_t second[6] = {1, 2, 3, 4, 5, 6};
  EXPECT_FALSE(exportFocusRecord(rec, second)) << "held by the reader";
  EXPECT_EQ(run(reader + " release"), "65535 4660 0 1 43981 256\n");
  EXPECT_TRUE(exportFocusRecord(rec, second));
  EXPECT_EQ(run(reader + " release"), "1 2 3 4 5 6\n");
  deleteShareMemoryChar(rec, id);
}

// The DC-iris calibration against an iris whose picture darkens past drive 140: opened and closed
// it finds the bound, drives there, reports GOOD with the bias, and traces every step in
// "/tmp/iris.log", which it closes at the end.
TEST_F(AaaRules, IrisCalibrationTrace) {
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  ae->mode.store(AE_IRIS_ADJUST);
  ae->previousMode.store(0);
  int passes = 0;
  while (ae->irisStatus != IRIS_GOOD && ae->irisStatus != IRIS_NG && passes < 3000) {
    ae->luminance.store(outside.drive >= 0 && outside.drive < 140 ? 30000 : 1000);
    processAE(ae.get());
    ++passes;
  }
  processAE(ae.get());
  EXPECT_EQ(ae->irisStatus, IRIS_GOOD);
  EXPECT_NEAR(outside.bias, 140, 2);
  EXPECT_EQ(ae->irisTarget, outside.bias);
  EXPECT_EQ(g_isp.irisLog, nullptr) << "closed at the end";
  const std::string trace = root.read("/tmp/iris.log");
  EXPECT_NE(trace.find("IrisAdjCNT=45, IrisOpenClose_Diff=29000\n"), std::string::npos) << trace;
  EXPECT_NE(trace.find("Hibound=180, Lowbound=65\n"), std::string::npos);
  EXPECT_NE(trace.find("[processAE_IRISAdjust]IRIS_STATUS_GOING:GOOD.\n"), std::string::npos);

  // The bias file keeps it: after a restart the exposure loop drives the iris from the calibrated
  // target, not from the middle (128).
  const int bias = outside.bias;
  g_isp.components.ae.store(ae.get());
  root.mkdirs("/etc/ispserver");
  ASSERT_EQ(SaveZFBias(nullptr), 1);
  const std::string saved = root.read("/etc/ispserver/lensbias1.conf");
  EXPECT_NE(saved.find("iris_bias=" + std::to_string(bias) + "\niris_status=2\n"), std::string::npos) << saved;
  root.write("/etc/ispserver/lensbias.conf", saved);
  g_isp.components.ae.store(nullptr);
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  g_isp.components.ae.store(ae.get());
  ASSERT_EQ(setZFBias2Mcu(nullptr), 1);
  ae->mode.store(AE_IRIS_PRIORITY);
  ae->previousMode.store(AE_IRIS_PRIORITY);
  ae->aeState = AE_IRIS;
  ae->luminance.store(ae->aeTarget.load());
  outside.drive = -1;
  processAE(ae.get());
  EXPECT_EQ(outside.drive, bias);
  g_isp.components.ae.store(nullptr);
}

// A calibration cut short by another automatic mode in its closed sweep opens the iris again (no
// automatic mode drives it back: the picture stayed dark at full gain) and reports no result.
TEST_F(AaaRules, ACalibrationCutShortOpensTheIris) {
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  kavo::utils::setSleepsAdvanceMomentsForTest(true);
  for (const int next : {AE_FULL_AUTO, AE_SHUTTER_PRIORITY, AE_FLICKER_50}) {
    ae->mode.store(AE_IRIS_ADJUST);
    for (int i = 0; i < 3 * 20; ++i) processAE(ae.get());
    ASSERT_EQ(outside.drive, 250) << next << ": in the closed sweep";
    ae->mode.store(next);
    processAE(ae.get());
    EXPECT_EQ(outside.drive, 20) << next;
    EXPECT_EQ(ae->irisAdjustStatus.load(), IRIS_GOING) << next;
    for (int i = 0; i < 30; ++i) processAE(ae.get());
    EXPECT_EQ(outside.drive, 20) << next << ": left open";
  }
}

// The auto focus doubles its values while the iris is not under the exposure loop: a switch to
// manual exposure says so, a switch to any automatic mode takes it back.
TEST_F(AaaRules, ModeSwitchTellsTheAutoFocusWhoHoldsTheIris) {
  model(TORVEX_BRISK, SENSOR_AR0331, 20720);
  kavo::utils::setSleepsAdvanceMomentsForTest(true);
  for (const int mode : {AE_MANUAL, AE_FULL_AUTO, AE_MANUAL, AE_IRIS_PRIORITY}) {
    ae->mode.store(mode);
    EXPECT_EQ(processAE(ae.get()), 1);
    EXPECT_EQ(g_isp.lensLink.irisControl.load(), mode == AE_MANUAL ? 0u : 1u) << mode;
  }
}

}  // namespace
