// The lens link against the lens-MCU emulator, a separate process on a real pseudo-terminal, with
// the sub-CPU thread pumping replies: answers, moves and their end reports, the emulator's faults,
// and what the simulated camera sees of the lens.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "kavo/logger/logger.h"
#include "kavo/sim/iav_sim.h"
#include "lens_line.h"
#include "mcu_process.h"

namespace kavo {
namespace isp {
namespace {

using kavo::logger::LogCapture;
using lenstest::FastSleeps;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

class CountingCallback : public CallbackInterface {
 public:
  int callback(int) override { return ++calls; }
  std::atomic<int> calls{0};
};

class LensLink : public ::testing::Test {
 protected:
  void start(const std::string& config, int32_t lens = TAMRON_X3) {
    lenstest::zoomBoard(TORVEX_BRISK, lens);
    mcu = std::make_unique<lenstest::McuProcess>(root, config);
    ASSERT_TRUE(mcu->ready());
    {
      FastSleeps quick;  // the open's settling sleep
      ASSERT_EQ(s.openSubCPU(), 0);
    }
    ASSERT_GE(s.m_serial.descriptor.load(), 0);
    s.setCallback(&cb);
    g_isp.components.subCpu.store(&s);
    ASSERT_EQ(startSubCPUThread(), 0);
  }
  void TearDown() override {
    stopSubCPUThread();
    joinSubCPUThread(1000);
    g_isp.components.subCpu.store(nullptr);
    s.setCallback(nullptr);
    s.closeSubCPU();
    if (mcu) {
      EXPECT_TRUE(mcu->stop()) << "the emulator stops in order";
    }
  }
  size_t sent(const std::string& bytes) {
    const auto rx = mcu->bytes("rx");
    return static_cast<size_t>(std::count(rx.begin(), rx.end(), bytes));
  }

  kavo::test::TestRoot root;
  std::unique_ptr<lenstest::McuProcess> mcu;
  CountingCallback cb;
  SubCPU s;
};

TEST_F(LensLink, InquiriesReturnWhatTheMcuHolds) {
  start(R"({"temperatures": [51, 52, 53, 55, 57, 58], "humidity": 66, "readyMs": 0})");
  const std::pair<int (SubCPU::*)(uint32_t*), uint32_t> sensors[] = {
      {&SubCPU::inqTemperatureE1, 51}, {&SubCPU::inqTemperatureE2, 52}, {&SubCPU::inqTemperatureE3, 53},
      {&SubCPU::inqTemperatureE5, 55}, {&SubCPU::inqTemperatureE7, 57}, {&SubCPU::inqTemperatureE8, 58},
      {&SubCPU::inqHumidity, 66},      {&SubCPU::inqLensHallSensor, 1024}};
  for (const auto& [op, want] : sensors) {
    uint32_t v = 0;
    EXPECT_EQ((s.*op)(&v), 0);
    EXPECT_EQ(v, want);
  }
  // Biases go in as 16-bit words and come back, the focus biases signed.
  EXPECT_EQ(s.setZoomBias(12), 1);
  EXPECT_EQ(s.setFocusWideBias(0xFFF6), 1);
  EXPECT_EQ(s.setFocusTeleBias(59), 1);
  uint32_t zb = 0;
  int32_t wide = 0, tele = 0, mid = 5;
  EXPECT_EQ(s.getZoomBias(&zb), 1);
  EXPECT_EQ(s.getFocusWideBias(&wide), 1);
  EXPECT_EQ(s.getFocusTeleBias(&tele), 1);
  EXPECT_EQ(s.getFocusMidBias(&mid), 1);
  EXPECT_EQ(zb, 12u);
  EXPECT_EQ(wide, -10);
  EXPECT_EQ(tele, 59);
  EXPECT_EQ(mid, 0);
  uint16_t mode = 9;
  uint8_t panMax = 0, tiltMax = 0;
  EXPECT_EQ(s.inqPtMode(&mode), kViscaOk);
  EXPECT_EQ(s.inqPtMaxSpeed(&panMax, &tiltMax), kViscaOk);
  EXPECT_EQ(mode, 0u);
  EXPECT_EQ(panMax, 0x18);
  EXPECT_EQ(tiltMax, 0x14);
  // The correction-done flag is asked for once; from then on it is known.
  EXPECT_EQ(s.getZFCorrectionStatus(), 1);
  EXPECT_EQ(s.getZFCorrectionStatus(), 1);
  EXPECT_EQ(sent("81 09 04 F4 FF"), 1u);
}

TEST_F(LensLink, TheEmulatorReadsTheProtocolsBytes) {
  start(R"({"readyMs": 0})");
  EXPECT_EQ(s.setDCIrisMode(1), 1);
  EXPECT_EQ(s.setICR(1), 1);
  EXPECT_EQ(s.setIrLedLevel(255), 1);
  EXPECT_EQ(s.setHeater(1, 1), 1);
  EXPECT_EQ(s.setZoom(0x1234), 1);
  s.m_serialPeer.address.store(8);
  EXPECT_EQ(s.setICR(0), 0);
  s.m_serialPeer.address.store(1);
  s.m_serial.broadcast.store(2);
  EXPECT_EQ(s.setICR(0), 0);
  s.m_serial.broadcast.store(1);
  EXPECT_EQ(s.setICR(0), 1);
  s.m_serial.broadcast.store(0);
  uint32_t v = 0;
  EXPECT_EQ(s.inqHumidity(&v), 0);
  EXPECT_EQ(mcu->bytes("rx"), (std::vector<std::string>{"81 01 04 D4 02 FF", "81 01 04 01 03 FF", "81 01 04 B1 00 00 07 0F FF",
                                                        "81 01 04 D1 00 00 01 01 FF", "81 01 04 47 01 02 03 04 FF",
                                                        "88 01 04 01 02 FF", "81 09 04 E6 FF"}));
}

TEST_F(LensLink, TheLightSensorSeesTheSceneAndTheLeds) {
  start(R"({"readyMs": 0})");
  ASSERT_TRUE(kavo::sim::iav::setScene(R"({"lux": 250, "ir": 0})"));
  uint32_t dark = 0, lit = 0;
  ASSERT_EQ(s.inqLightSensor(&dark), 0);
  EXPECT_EQ(dark, 2500u);
  // Night: filter out, LEDs on at full level. The camera sees both; the sensor sees the LEDs' leak.
  EXPECT_EQ(s.setICR(1), 1);
  EXPECT_EQ(s.setIrLedLevel(255), 1);
  ASSERT_EQ(s.inqLightSensor(&lit), 0);
  EXPECT_EQ(lit, 2650u);
  kavo::sim::iav::LensInputs l{};
  ASSERT_TRUE(kavo::sim::iav::lensInputs(l));
  EXPECT_EQ(l.irCutIn, 0u);
  EXPECT_EQ(l.irLed, 255u);
  // The filter goes in and leaves the LEDs alone (the IR self-check lights them behind it); their
  // level switches them off.
  EXPECT_EQ(s.setICR(0), 1);
  EXPECT_EQ(s.setDCIrisDriver(255), 1);
  ASSERT_EQ(s.inqLightSensor(&lit), 0);  // one more exchange: the MCU has taken both commands
  ASSERT_TRUE(kavo::sim::iav::lensInputs(l));
  EXPECT_EQ(l.irCutIn, 1u);
  EXPECT_EQ(l.irLed, 255u);
  EXPECT_EQ(l.iris, 0u) << "the DC iris driven shut";
  EXPECT_EQ(s.setIrLedLevel(0), 1);
  ASSERT_EQ(s.inqLightSensor(&dark), 0);
  EXPECT_EQ(dark, 2500u);
  ASSERT_TRUE(kavo::sim::iav::lensInputs(l));
  EXPECT_EQ(l.irLed, 0u);
}

TEST_F(LensLink, ZoomAnswersOutsideTheLensAreRefusedThreeTimes) {
  start(R"({"readyMs": 0})");
  LogCapture log;
  uint32_t zoom = 99;
  mcu->faults(R"({"faults": [{"mcu": "value", "match": "09 04 47", "value": 607}]})");
  EXPECT_EQ(s.getZoom(&zoom), 1);
  EXPECT_EQ(zoom, 607u);
  mcu->faults(R"({"faults": [{"mcu": "value", "match": "09 04 47", "value": 608, "times": 3}]})");
  const size_t before = sent("81 09 04 47 FF");
  EXPECT_EQ(s.getZoom(&zoom), 0);
  EXPECT_EQ(zoom, 0u);
  EXPECT_EQ(sent("81 09 04 47 FF") - before, 3u);
  EXPECT_TRUE(log.has("Zoom updated to default", LOG_LEVEL_INFO));
  uint32_t focus = 7;
  mcu->faults(R"({"faults": [{"mcu": "value", "match": "09 04 48", "value": 1889, "times": 1}]})");
  EXPECT_EQ(s.getFocus(&focus), 1) << "the second attempt is in range";
  EXPECT_NE(focus, 1889u);
  // A lens id the link does not know never accepts an answer.
  g_isp.sys.lens = CANON_X20;
  EXPECT_EQ(s.getFocus(&focus), 0);
  EXPECT_TRUE(log.has("Focus updated to default", LOG_LEVEL_INFO));
}

TEST_F(LensLink, AMoveReturnsOnItsEndReport) {
  start(R"({"zoomStepsPerSecond": 400, "focusStepsPerSecond": 1000, "readyMs": 0})");
  const auto t0 = Clock::now();
  EXPECT_EQ(s.syncAbsZoomFocus_WaitCompletion(200, 900), 1);
  const double took = secondsSince(t0);
  EXPECT_GE(took, 0.45) << "200 zoom steps at 400 a second";
  // On the end report, not at the give-up after fifteen seconds (which leaves the flag set).
  EXPECT_LT(took, 15.0);
  EXPECT_EQ(s.m_bZFisMoving2AbsAddr.load(), 0);
  EXPECT_EQ(cb.calls.load(), 1);
  uint32_t zoom = 0, focus = 0;
  EXPECT_EQ(s.getZoom(&zoom), 1);
  EXPECT_EQ(s.getFocus(&focus), 1);
  EXPECT_EQ(zoom, 200u);
  EXPECT_EQ(focus, 900u);
  kavo::sim::iav::LensInputs l{};
  ASSERT_TRUE(kavo::sim::iav::lensInputs(l));
  EXPECT_EQ(l.zoom, 200);
  EXPECT_EQ(l.focus, 900);
  EXPECT_EQ(l.moving, 0u);
  EXPECT_GT(l.magnification, 100u);
  EXPECT_EQ(mcu->bytes("rx").back(), "81 09 04 48 FF");
}

TEST_F(LensLink, AMoveWithoutEndReportGivesUpAfterFifteenSeconds) {
  start(R"({"readyMs": 0})");
  mcu->faults(R"({"faults": [{"mcu": "noCompletion", "match": "01 04 47"}]})");
  {
    FastSleeps quick;
    const timespec t0 = kavo::utils::moment();
    EXPECT_EQ(s.syncAbsZoom_WaitCompletion(10), 1) << "given up, still reported as sent";
    EXPECT_GE(lenstest::msSince(t0), 15000);
  }
  EXPECT_EQ(s.m_bZFisMoving2AbsAddr.load(), 1) << "the flag waits for the next report";
  EXPECT_EQ(s.syncAbsZoom_WaitCompletion(20), 1);
  EXPECT_EQ(s.m_bZFisMoving2AbsAddr.load(), 0);
  // A move that cannot be sent does not wait.
  s.closeSubCPU();
  EXPECT_EQ(s.syncAbsZoom_WaitCompletion(30), 0);
  EXPECT_EQ(s.m_bZFisMoving2AbsAddr.load(), 0);
}

TEST_F(LensLink, RepliesInOneChunkAndOtherLineFaults) {
  start(R"({"readyMs": 0})");
  LogCapture log;
  // Acknowledgement and end report of a move that has nowhere to go, in one write.
  uint32_t focus = 0;
  ASSERT_EQ(s.getFocus(&focus), 1);
  mcu->faults(R"({"faults": [{"mcu": "coalesce", "match": "01 04 48"}]})");
  EXPECT_EQ(s.setFocus(focus), 1);
  for (int i = 0; i < 100 && cb.calls.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(cb.calls.load(), 1);
  EXPECT_EQ(mcu->bytes("tx").back(), "90 41 FF 90 51 FF");

  // Answers split in two, behind noise, a little late, or followed by a stray end report arrive.
  mcu->faults(R"({"faults": [
      {"mcu": "split", "match": "09 04 E1", "at": 3, "ms": 40},
      {"mcu": "garbage", "match": "09 04 E2", "bytes": "80 12 34 FF"},
      {"mcu": "late", "match": "09 04 E3", "ms": 300},
      {"mcu": "strayCompletion", "match": "09 04 E5"}]})");
  uint32_t t[4] = {};
  EXPECT_EQ(s.inqTemperatureE1(&t[0]), 0);
  EXPECT_EQ(s.inqTemperatureE2(&t[1]), 0);
  EXPECT_EQ(s.inqTemperatureE3(&t[2]), 0);
  EXPECT_EQ(s.inqTemperatureE5(&t[3]), 0);
  EXPECT_EQ(t[0], 45u);
  EXPECT_EQ(t[1], 41u);
  EXPECT_EQ(t[2], 38u);
  EXPECT_EQ(t[3], 33u);
  for (int i = 0; i < 100 && cb.calls.load() == 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(cb.calls.load(), 2) << "the stray report reaches the callback";

  // Busy: logged, not an answer; the inquiry runs into its time-out.
  mcu->faults(R"({"faults": [{"mcu": "busy", "match": "09 04 E4"}]})");
  uint32_t light = 77;
  const auto t0 = Clock::now();
  EXPECT_EQ(s.inqLightSensor(&light), 1);
  EXPECT_GE(secondsSince(t0), 1.0);
  EXPECT_EQ(light, 77u);
  EXPECT_TRUE(log.has("Mcu reply : busy!", LOG_LEVEL_INFO));
}

TEST_F(LensLink, ASilentMcuAndOneNeverReady) {
  start(R"({"readyMs": 0})");
  mcu->faults(R"({"faults": [{"mcu": "silence", "match": "09 04 E7", "times": 1},
                             {"mcu": "notReady", "times": 0}]})");
  uint32_t t = 5;
  const auto t0 = Clock::now();
  EXPECT_EQ(s.inqTemperatureE7(&t), 1);
  const double waited = secondsSince(t0);
  EXPECT_GE(waited, 1.0);
  EXPECT_LT(waited, 3.0);
  EXPECT_EQ(t, 5u);
  EXPECT_EQ(s.inqTemperatureE7(&t), 0) << "the next one is answered";
  EXPECT_EQ(s.getZFCorrectionStatus(), 0);
  EXPECT_EQ(s.getZFCorrectionStatus(), 0);
  EXPECT_EQ(sent("81 09 04 F4 FF"), 2u) << "asked again while not ready";
}

TEST_F(LensLink, ARemoteUpgradeLeavesTheLineAlone) {
  start(R"({"readyMs": 0})");
  g_isp.lensLink.remoteUpgrade.store(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  s.closeSubCPU();
  uint32_t v = 3;
  EXPECT_EQ(s.inqHumidity(&v), 1) << "sends fail on the closed line";
  ASSERT_EQ(s.openSubCPU(), 0);
  EXPECT_EQ(g_isp.lensLink.remoteUpgrade.load(), 0u);
  EXPECT_EQ(s.inqHumidity(&v), 0);
  EXPECT_EQ(v, 40u);
}

// The thread idles in 50 ms turns while an upgrade holds the line, longer than the stop's 30 ms: a
// stop that times out leaves it joinable, and the join waits for its last turn, so that whoever
// deletes the link after it meets no thread inside it.
TEST_F(LensLink, AStopDuringARemoteUpgradeLeavesNoThreadOnTheLink) {
  start(R"({"readyMs": 0})");
  g_isp.lensLink.remoteUpgrade.store(1);
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10 + 17 * i));
    const int stopped = stopSubCPUThread();
    EXPECT_TRUE(joinSubCPUThread(1000));
    EXPECT_EQ(g_isp.lensLink.thread.alive.load(), 0u) << "stop gave " << stopped;
    ASSERT_EQ(startSubCPUThread(), 0);
  }
  g_isp.lensLink.remoteUpgrade.store(0);
}

}  // namespace
}  // namespace isp
}  // namespace kavo
