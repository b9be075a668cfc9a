// The VISCA lens and device commands against the lens-MCU emulator on a real pseudo-terminal (and the
// board's simulated SPI pan/tilt unit): what reaches the line, the replies, the calibration with an
// auto-focus stand-in, the correction check, the lens reset and the remote-upgrade switch.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <functional>
#include <thread>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "algo_af/lens_tables.h"
#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_handlers.h"
#include "kavo/logger/logger.h"
#include "kavo/sim/board_sim.h"
#include "kavo/sim/iav_sim.h"
#include "lens_line.h"
#include "thread_proc/CIsp.h"

namespace kavo {
namespace isp {
namespace {

using Bytes = std::vector<uint8_t>;
using kavo::logger::LogCapture;
using lenstest::combined;
using lenstest::nibbles;

Bytes valueReply(uint16_t v) {
  return {0x08, 0x90, 0x50, uint8_t(v >> 12 & 15), uint8_t(v >> 8 & 15), uint8_t(v >> 4 & 15), uint8_t(v & 15), 0xFF};
}

// The auto focus's part in a calibration, standing in for the 3A thread: a contrast figure that peaks
// at `peakZoom` (none when it is negative), and a push focus that settles at once.
class AfStandIn {
 public:
  explicit AfStandIn(int peakZoom) : peak_(peakZoom), thread_([this] { run(); }) {}
  ~AfStandIn() {
    stop_.store(true);
    thread_.join();
  }

 private:
  void run() {
    CAFControl* af = afControl();
    LensMotionFlags& f = g_isp.lensLink.flags;
    while (!stop_.load()) {
      kavo::sim::iav::LensInputs l{};
      if (peak_ >= 0 && kavo::sim::iav::lensInputs(l))
        af->calibrationHF0.store(static_cast<uint32_t>(std::max(0, 20000 - 300 * std::abs(l.zoom - peak_))));
      if (peak_ >= 0 && f.G_PushTrigger.load() == 1) {
        af->m_iFocusStatus.store(2);
        af->calibrationHF1.store(20000);
        g_isp.lensLink.focusedWithoutMove.store(1);
        f.G_PushTrigger.store(0);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  const int peak_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The exposure's measured luminance, standing in for the 3A statistics: the scene, plus what the IR
// LEDs add through an open IR-cut filter (`ledGain` per step of LED drive the emulator reports).
class LuminanceStandIn {
 public:
  explicit LuminanceStandIn(uint32_t ledGain) : gain_(ledGain), thread_([this] { run(); }) {}
  ~LuminanceStandIn() {
    stop_.store(true);
    thread_.join();
  }

 private:
  void run() {
    while (!stop_.load()) {
      kavo::sim::iav::LensInputs l{};
      if (kavo::sim::iav::lensInputs(l)) aeControl()->luminance.store(5000 + (l.irCutIn ? 0 : gain_ * l.irLed));
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  const uint32_t gain_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class ViscaLens : public lenstest::EmulatedLensTest {
 protected:
  void start(int32_t model = TORVEX_BRISK, int32_t lens = TAMRON_X3) {
    startLens(model, lens,
              std::string(R"({"readyMs": 0, "zoomStepsPerSecond": 6000, "focusStepsPerSecond": 12000, "lens": )") +
                  std::to_string(lens) + "}");
    visca = std::make_unique<DVisca>();
    g_isp.viscaThread.run.store(1);  // the handlers' long waits run until a stop
  }
  void TearDown() override {
    g_isp.viscaThread.run.store(0);
    visca.reset();
    EmulatedLensTest::TearDown();
  }
  Bytes run(const Bytes& packet) {
    uint8_t b[kViscaWorkBytes] = {};
    std::memcpy(b, packet.data(), packet.size());
    const int n = processViscaCmd(visca.get(), b, nullptr);
    return Bytes(b, b + n);
  }
  // What the pan/tilt unit took on SPI.
  static std::vector<std::string> spiWrites() {
    std::vector<std::string> out;
    std::ifstream in(kavo::sim::board::journalFile());
    for (std::string l; std::getline(in, l);) {
      nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
      if (!j.is_discarded() && j.value("node", "") == "/dev/spidev0.0" && j.value("req", "") == "write")
        out.push_back(j.value("bytes", ""));
    }
    return out;
  }

  std::unique_ptr<DVisca> visca;
};

// 47 clamps the zoom to the lens and replies it; the focus target sits on the lens table with the
// biases, held at 0 when a negative bias would take it below (not wrapped to the far end).
TEST_F(ViscaLens, AbsoluteZoomClampsTheZoomAndTheFocusTarget) {
  start();
  g_isp.lensLink.focus_Telebias.store(30);
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x47, 0x00, 0x03, 0x00, 0x00, 0xFF}), valueReply(0x025F));
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(607, std::min(kLens0Focus[607] + 30, 1888)));
  g_isp.lensLink.focus_bias.store(-300);
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x47, 0x00, 0x00, 0x00, 0x00, 0xFF}), valueReply(0));
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(0, 0));
  // Zoom and focus given: refused beyond the lens, with the position replied all the same.
  const size_t moves = sent("81 01 04 47 ").size();
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x47, 0x00, 0x02, 0x06, 0x00, 0x00, 0x01, 0x00, 0x00, 0xFF}), valueReply(0));
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x47, 0x00, 0x01, 0x00, 0x00, 0x00, 0x07, 0x06, 0x01, 0xFF}), valueReply(0));
  EXPECT_EQ(sent("81 01 04 47 ").size(), moves);
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x47, 0x00, 0x01, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0xFF}), valueReply(0x100));
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(0x100, 0x200));
  EXPECT_EQ(visca->zoomMoving.load() | visca->focusMoving.load(), 0);
}

// 45 keeps its target on the lens in every form, the step-as-target form included, and its focus
// target within 0..the lens limit; lens 1 reads its own longer table.
TEST_F(ViscaLens, RelativeZoomStaysOnTheLens) {
  start();
  afControl()->m_iCurrZoomPosition.store(100);
  run({0x81, 0x01, 0x04, 0x45, 0x01, 0x01, 0x00, 0x00, 0xFF});  // wide by 256 from 100
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(0, kLens0Focus[0]));
  run({0x81, 0x01, 0x04, 0x45, 0x00, 0x0F, 0x0F, 0x0F, 0xFF});  // tele by 4095
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(607, kLens0Focus[607]));
  run({0x81, 0x01, 0x04, 0x45, 0x02, 0x0F, 0x0F, 0x0F, 0xFF});  // the step itself as target
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(607, kLens0Focus[607]));
  g_isp.lensLink.focus_bias.store(-300);
  run({0x81, 0x01, 0x04, 0x45, 0x02, 0x00, 0x00, 0x05, 0xFF});
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(5, 0));
  g_isp.lensLink.focus_bias.store(4000);
  run({0x81, 0x01, 0x04, 0x45, 0x02, 0x00, 0x00, 0x05, 0xFF});
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(5, 1888));
  EXPECT_EQ(afControl()->m_iCurrZoomPosition.load(), 5u);
}

TEST_F(ViscaLens, RelativeZoomOfLensOneUsesItsOwnTable) {
  start(TORVEX_BRISK, TAMRON_X30);
  run({0x81, 0x01, 0x04, 0x45, 0x02, 0x02, 0x0B, 0x0C, 0xFF});  // 700 as target
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(607, kLens1Focus[607]));
  run({0x81, 0x01, 0x04, 0x45, 0x02, 0x00, 0x06, 0x04, 0xFF});  // 100
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(100, kLens1Focus[100]));
}

// The focus drive runs the motor the other way round from its VISCA name, only outside the AF modes;
// 48 moves only then too, and replies the focus position either way.
TEST_F(ViscaLens, FocusDriveAndAbsoluteFocus) {
  start();
  run({0x81, 0x01, 0x04, 0x08, 0x02, 0xFF});
  run({0x81, 0x01, 0x04, 0x08, 0x03, 0xFF});
  EXPECT_EQ(sent("81 01 04 08 0", 2), (std::vector<std::string>{"81 01 04 08 03 FF", "81 01 04 08 02 FF"}));
  afControl()->m_iCurrZoomPosition.store(200);
  afControl()->m_iCurrFocusPosition.store(0x321);
  g_isp.lensLink.flags.G_AutoFocusMode.store(1);
  run({0x81, 0x01, 0x04, 0x08, 0x02, 0xFF});
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x48, 0x00, 0x04, 0x00, 0x00, 0xFF}), valueReply(0x321));
  EXPECT_EQ(sent("81 01 04 08 0").size(), 2u);
  EXPECT_TRUE(sent("81 01 04 47 ").empty()) << "48 in AF mode does not move";
  g_isp.lensLink.flags.G_AutoFocusMode.store(0);
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x48, 0x00, 0x04, 0x00, 0x00, 0xFF}), valueReply(0x400));
  EXPECT_EQ(sent("81 01 04 47 ").back(), combined(200, 0x400));
  EXPECT_EQ(run({0x81, 0x01, 0x04, 0x48, 0x00, 0x08, 0x00, 0x00, 0xFF}), valueReply(0x400)) << "beyond 1888";
}

// The full calibration: with a contrast peak inside the zoom scan it replies 1, keeps and saves the
// biases (a negative one sent as one byte) and paints the picture green; with no peak it fails at
// the scan, replies 0 and paints it red.
TEST_F(ViscaLens, FullCalibrationRepliesAndPaintsItsVerdict) {
  start();
  {
    AfStandIn af(20);
    EXPECT_EQ(run({0x81, 0x01, 0x04, 0x38, 0x06, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x01, 0xFF}));
  }
  EXPECT_EQ(g_isp.lensLink.zoom_bias.load(), 20);
  EXPECT_EQ(isp->wbGain[1].load(), 3600u);
  EXPECT_EQ(isp->wbGain[0].load(), 1024u);
  EXPECT_EQ(g_isp.awbMode.load(), 6u);
  EXPECT_EQ(g_isp.viscaCamera.calibrationExposure.load(), 0);
  const std::vector<std::string> zoomBias = sent("81 01 04 D6 ");
  ASSERT_FALSE(zoomBias.empty());
  EXPECT_EQ(zoomBias.back(), "81 01 04 D6 " + nibbles(20) + " FF");
  // The wide bias: the focus where the push settled less the lens's nominal 80.
  const int32_t wide = g_isp.lensLink.focus_bias.load();
  EXPECT_EQ(sent("81 01 04 DA ").back(), "81 01 04 DA " + nibbles(biasByte(wide)) + " FF");
  std::ifstream saved(root.path("/etc/ispserver/lensbias1.conf"));
  std::string first;
  std::getline(saved, first);
  EXPECT_EQ(first, "zoom_bias=20");

  {
    lenstest::FastSleeps quick;
    LogCapture log;
    EXPECT_EQ(run({0x81, 0x01, 0x04, 0x38, 0x06, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x00, 0xFF}));
    EXPECT_TRUE(log.contains("[FindZoomBias]Fail, Zoom bias at boundary:0"));
  }
  EXPECT_EQ(isp->wbGain[0].load(), 3600u);
  EXPECT_EQ(isp->wbGain[1].load(), 1024u);
  EXPECT_EQ(g_isp.lensLink.zoom_bias.load(), 0) << "the sequence starts from zero biases";
}

// The tele bias step focuses at the tele end of lenses 0 and 3, but lens 1 is taken to zoom 0, its
// wide end, as the lens-1 branch has always done.
TEST_F(ViscaLens, TheTeleBiasStepOfLensOneZoomsToTheWideEnd) {
  for (const auto& c : {std::pair<int32_t, uint32_t>{TAMRON_X3, 607}, {TAMRON_X30, 0}}) {
    start(TORVEX_BRISK, c.first);
    run({0x81, 0x01, 0x04, 0x47, 0x00, 0x01, 0x02, 0x0C, 0xFF});  // from zoom 300
    {
      AfStandIn af(20);
      run({0x81, 0x01, 0x04, 0x38, 0x0C, 0xFF});
    }
    EXPECT_EQ(sent("81 01 04 47 ").back().substr(0, 23), combined(c.second, 0).substr(0, 23)) << c.first;
    TearDown();
    mcu.reset();
  }
}

// Negative wide bias steps go to the MCU as one byte (value + 256) and read back signed.
TEST_F(ViscaLens, NegativeBiasesGoAsOneByte) {
  start();
  run({0x81, 0x01, 0x04, 0x48, 0x00, 0x00, 0x03, 0x02, 0xFF});  // focus 50, wide nominal 80
  run({0x81, 0x01, 0x04, 0x38, 0x0B, 0xFF});
  EXPECT_EQ(g_isp.lensLink.focus_bias.load(), -30);
  EXPECT_EQ(sent("81 01 04 DA ", 1).back(), "81 01 04 DA " + nibbles(226) + " FF");
  int32_t wide = 0;
  EXPECT_EQ(subCpu()->getFocusWideBias(&wide), 1);
  EXPECT_EQ(wide, -30);
  // Lens 1's wide end is in focus at 109: the same position is a larger correction there.
  g_isp.sys.lens = TAMRON_X30;
  run({0x81, 0x01, 0x04, 0x38, 0x0B, 0xFF});
  EXPECT_EQ(sent("81 01 04 DA ", 2).back(), "81 01 04 DA " + nibbles(256 - 59) + " FF");
}

// F4 moves to the tele end and back with a push focus at each; 1 when both settle, 0 when not.
TEST_F(ViscaLens, CorrectionCheck) {
  start();
  {
    AfStandIn af(20);
    EXPECT_EQ(run({0x81, 0x09, 0x04, 0xF4, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x01, 0xFF}));
  }
  const std::vector<std::string> moves = sent("81 01 04 47 ");
  ASSERT_GE(moves.size(), 2u);
  EXPECT_EQ(moves[moves.size() - 2].substr(0, 23), combined(607, 0).substr(0, 23));
  EXPECT_EQ(moves.back().substr(0, 23), combined(0, 0).substr(0, 23));
  EXPECT_EQ(g_isp.awbMode.load(), 1u);
  lenstest::FastSleeps quick;
  EXPECT_EQ(run({0x81, 0x09, 0x04, 0xF4, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x00, 0xFF}));
  EXPECT_EQ(g_isp.image.backlight.load(), 0u);
}

// F5 takes the filter out and lights the LEDs: 2 when that brightens the picture and the filter put
// back darkens it again, 0 when the LEDs add nothing; automatic control comes back either way.
TEST_F(ViscaLens, IrCutAndLedSelfCheck) {
  start();
  for (const auto& c : {std::pair<uint32_t, uint8_t>{30, 2}, {0, 0}}) {
    LuminanceStandIn y(c.first);
    EXPECT_EQ(run({0x81, 0x09, 0x04, 0xF5, 0xFF}), (Bytes{0x05, 0x90, 0x50, c.second, 0xFF})) << c.first;
    EXPECT_EQ(g_isp.irLedAuto.load(), 1u);
    EXPECT_EQ(g_isp.viscaCamera.dayNightAuto.load(), 1);
  }
  const std::vector<std::string> icr = sent("81 01 04 01 ", 6);
  ASSERT_GE(icr.size(), 3u);
  EXPECT_EQ(std::vector<std::string>(icr.begin(), icr.begin() + 3),
            (std::vector<std::string>{"81 01 04 01 02 FF", "81 01 04 01 03 FF", "81 01 04 01 02 FF"}));
}

// 19 01 pauses the 3A step, re-initialises the lens, restores the zoom bias and lifts the pause.
TEST_F(ViscaLens, LensReset) {
  start();
  lenstest::FastSleeps quick;
  g_isp.lensLink.zoom_bias.store(17);
  run({0x81, 0x01, 0x04, 0x19, 0x01, 0xFF});
  EXPECT_EQ(sent("81 01 04 19 ", 1).size(), 1u);
  EXPECT_EQ(sent("81 01 04 D6 ", 1).back(), "81 01 04 D6 " + nibbles(17) + " FF");
  EXPECT_EQ(g_isp.aaaThread.pause.load(), 0);
  run({0x81, 0x01, 0x04, 0x19, 0x03, 0xFF});
  EXPECT_EQ(sent("81 01 04 19 ").size(), 1u) << "other values do nothing";
}

// Board 3: pan/tilt drives on SPI by the direction pair, a relative move goes out in the absolute
// form; C8 01 closes the lens line once however often it comes, C8 00 opens it again.
TEST_F(ViscaLens, PanTiltAndRemoteUpgrade) {
  start(TORVEX_TARROW);
  run({0x81, 0x01, 0x06, 0x01, 0x03, 0x04, 0x01, 0x03, 0xFF});
  run({0x81, 0x01, 0x06, 0x01, 0x03, 0x04, 0x00, 0x00, 0xFF});
  run({0x81, 0x01, 0x06, 0x03, 0x18, 0x14, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0xFF});
  EXPECT_EQ(spiWrites(), (std::vector<std::string>{"81 01 06 01 03 04 01 03 FF",
                                                  "81 01 06 02 18 14 00 01 00 00 00 00 02 00 FF"}));

  SubCPU* s = subCpu();
  {
    lenstest::FastSleeps quick;
    run({0x81, 0x01, 0x04, 0xC8, 0x01, 0xFF});
    EXPECT_EQ(s->m_serialOpen.load(), 0u);
    EXPECT_EQ(g_isp.lensLink.remoteUpgrade.load(), 1u);
    s->openUART2FE();  // the upgrade tool's own line, say
    run({0x81, 0x01, 0x04, 0xC8, 0x01, 0xFF});
    EXPECT_EQ(s->m_serialOpen.load(), 1u) << "a second start closes nothing";
    s->closeSubCPU();
    run({0x81, 0x01, 0x04, 0xC8, 0x00, 0xFF});
    EXPECT_EQ(s->m_serialOpen.load(), 1u);
    EXPECT_EQ(g_isp.lensLink.remoteUpgrade.load(), 0u);
  }
  uint32_t zoom = 0;
  EXPECT_EQ(s->getZoom(&zoom), 1) << "the line works again";
}

// The device commands and the device operations without a VISCA code, by the packets that reach the
// lens MCU (in order, up to a marker inquiry that the emulator answers only after journalling them),
// the GPIO lines and the auto focus's refocus.
TEST_F(ViscaLens, DeviceCommandsByWhatReachesTheDevices) {
  start();
  SubCPU* s = subCpu();
  s->openGPIO_xBrisk();
  auto packet = [](uint8_t code, std::initializer_list<uint8_t> params) {
    Bytes b = {0x81, 0x01, 0x04, code};
    for (uint8_t v : params) b.push_back(v);
    b.push_back(0xFF);
    return b;
  };
  using Action = std::function<void()>;
  auto command = [&](uint8_t code, std::initializer_list<uint8_t> params) -> Action {
    const Bytes b = packet(code, params);
    return [this, b] { run(b); };
  };
  auto gpioLed = [] {
    kavo::sim::board::Gpio g{};
    return kavo::sim::board::gpio(g) ? int64_t{g.irLed} : -1;
  };
  auto vport = [](int i) {
    return [i] {
      kavo::sim::board::Gpio g{};
      return kavo::sim::board::gpio(g) ? int64_t{g.vportOut[i]} : -1;
    };
  };
  auto refocus = [] { return int64_t{(afControl()->afStatus.load() & AF_REFOCUS) != 0}; };
  const std::string ledOff = "81 01 04 B1 00 00 00 00 FF", ledAt200 = "81 01 04 B1 00 00 06 04 FF";
  const std::string filterIn = "81 01 04 01 02 FF", filterOut = "81 01 04 01 03 FF";
  struct Row {
    const char* what;
    int32_t model;
    std::vector<Action> before;
    Action action;
    std::vector<std::string> sent;
    std::function<int64_t()> also = nullptr;  // a GPIO line or the refocus
    int64_t alsoWant = 0;
    std::function<void()> setup = nullptr;
  };
  // What the emulator journalled, up to a marker inquiry it answers only after the packets before it.
  auto journalled = [&] {
    uint32_t v = 0;
    s->inqHumidity(&v);
    const std::vector<std::string> all = sent("");
    EXPECT_EQ(all.back(), "81 09 04 E6 FF");
    return all;
  };
  auto drive200 = [] { g_isp.irLedDriveLevel.store(200); };
  auto night = [] { aeControl()->dayState.store(0); };
  const std::vector<Row> rows = {
      // 01: the filter, the LEDs while automatic, the refocus on the LED-level models.
      {"01 02", TORVEX_BRISK, {}, command(0x01, {0x02}), {filterIn, ledOff}, refocus, 1},
      {"01 03", TORVEX_BRISK, {}, command(0x01, {0x03}), {filterOut, ledAt200}, nullptr, 0, drive200},
      {"01 03 with manual LEDs", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0x01, {0x03}), {filterOut}, refocus, 0},
      {"01 03 on model 0", ALDER_IR, {}, command(0x01, {0x03}), {filterOut}, gpioLed, 1},
      {"01 02 on model 0", ALDER_IR, {command(0x01, {0x03})}, command(0x01, {0x02}), {filterIn}, gpioLed, 0},
      {"01 04", TORVEX_BRISK, {}, command(0x01, {0x04}), {}},
      // The flag-keyed twin: no refocus.
      {"twin install", TORVEX_BRISK, {}, [] { GeneralICRByFlag(nullptr, 5); }, {filterIn, ledOff}, refocus, 0},
      {"twin remove", TORVEX_TARROW, {}, [] { GeneralICRByFlag(nullptr, 0); }, {filterOut, ledAt200}, refocus, 0, drive200},
      {"twin remove on model 5", FINCH_IR, {}, [] { GeneralICRByFlag(nullptr, 0); }, {filterOut}, gpioLed, 1},
      // B0: LED modes.
      {"B0 04 with automatic day/night, by day", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB0, {0x04}), {ledOff}},
      {"B0 04 with automatic day/night, at night", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB0, {0x04}), {ledAt200},
       nullptr, 0, [&] { drive200(), night(); }},
      {"B0 04, filter out", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB0, {0x04}), {ledAt200}, nullptr, 0,
       [] { g_isp.viscaCamera.dayNightAuto.store(0), g_isp.viscaCamera.irCutInstalled.store(0), g_isp.irLedDriveLevel.store(200); }},
      {"B0 04, filter in", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB0, {0x04}), {ledOff}, nullptr, 0,
       [] { g_isp.viscaCamera.dayNightAuto.store(0), g_isp.irLedDriveLevel.store(200); }},
      {"B0 06 refused while automatic", TORVEX_BRISK, {}, command(0xB0, {0x06}), {}},
      {"B0 06 the manual level", TORVEX_BRISK, {command(0xB0, {0x05}), command(0xB1, {0x00, 0x00, 0x0C, 0x08})},
       command(0xB0, {0x06}), {ledAt200}},
      {"B0 07", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB0, {0x07}), {ledOff}},
      {"B0 06 on model 0", ALDER_IR, {command(0xB0, {0x05})}, command(0xB0, {0x06}), {}, gpioLed, 1},
      {"B0 05 makes B1 taken", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB1, {0x00, 0x00, 0x00, 0x02}),
       {"81 01 04 B1 00 00 00 01 FF"}},
      {"B0 08", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB0, {0x08}), {}},
      // B1: the manual level, refused while the LEDs are automatic.
      {"B1 refused", TORVEX_BRISK, {}, command(0xB1, {0x00, 0x00, 0x0C, 0x08}), {}},
      {"B1 level of bytes 6-7", TORVEX_BRISK, {command(0xB0, {0x05})}, command(0xB1, {0x00, 0x01, 0x0C, 0x08}), {ledAt200}},
      {"B1 on model 0", ALDER_IR, {command(0xB0, {0x05})}, command(0xB1, {0x00, 0x00, 0x0C, 0x08}), {}, gpioLed, 1},
      // The second level operation: the drive level, at once under automatic day/night.
      {"drive level of model 2", TORVEX_BRISK, {}, [] { GeneralIrLedDriveLevel(nullptr, 250); },
       {"81 01 04 B1 00 00 07 0A FF"}, nullptr, 0, night},
      {"drive level of model 3", TORVEX_TARROW, {}, [] { GeneralIrLedDriveLevel(nullptr, 250); },
       {"81 01 04 B1 00 00 07 0D FF"}, nullptr, 0, night},
      {"drive level at most 255", TORVEX_TARROW, {}, [] { GeneralIrLedDriveLevel(nullptr, 300); },
       {"81 01 04 B1 00 00 07 0F FF"}, nullptr, 0, night},
      {"drive level, day/night by hand", TORVEX_BRISK, {}, [] { GeneralIrLedDriveLevel(nullptr, 250); }, {}, nullptr, 0,
       [] { aeControl()->dayState.store(0), g_isp.viscaCamera.dayNightAuto.store(0); }},
      {"drive level, LEDs by hand", TORVEX_BRISK, {command(0xB0, {0x05})}, [] { GeneralIrLedDriveLevel(nullptr, 250); }, {},
       nullptr, 0, night},
      // Power LED, heater, iris.
      {"B2", TORVEX_BRISK, {}, command(0xB2, {0x01, 0x02, 0x03, 0x04}), {"81 01 04 B2 01 02 03 04 FF"}},
      {"interval at most 65535", TORVEX_BRISK, {}, [] { GeneralPowerLedInterval(nullptr, 70000); },
       {"81 01 04 B2 0F 0F 0F 0F FF"}},
      {"interval", TORVEX_BRISK, {}, [] { GeneralPowerLedInterval(nullptr, 300); }, {"81 01 04 B2 00 01 02 0C FF"}},
      {"D1 channel 1 on", TORVEX_BRISK, {}, command(0xD1, {0x00, 0x00, 0x01, 0x01}), {"81 01 04 D1 00 00 01 01 FF"}},
      {"D1 channel 0 on", TORVEX_BRISK, {}, command(0xD1, {0x00, 0x00, 0x00, 0x05}), {"81 01 04 D1 00 00 00 01 FF"}},
      {"D1 channel 1 off", TORVEX_BRISK, {}, command(0xD1, {0x00, 0x00, 0x07, 0x00}), {"81 01 04 D1 00 00 01 00 FF"}},
      {"4B refused in full auto", TORVEX_BRISK, {}, command(0x4B, {0x00, 0x01, 0x02, 0x03}), {}},
      {"4B in manual", TORVEX_BRISK, {command(0x39, {0x03})}, command(0x4B, {0x00, 0x01, 0x02, 0x03}),
       {"81 01 04 4B 00 01 02 03 FF"}},
      {"D2", TORVEX_BRISK, {}, command(0xD2, {0x00, 0x0A, 0x0B, 0x0C}), {"81 01 04 D2 00 0A 0B 0C FF"}},
      {"D3", TORVEX_BRISK, {}, command(0xD3, {0x00, 0x00, 0x0E, 0x0F}), {"81 01 04 D3 00 00 0E 0F FF"}},
      // D0: the video-port outputs.
      {"D0 channel 1", TORVEX_BRISK, {}, command(0xD0, {0x00, 0x00, 0x01, 0x01}), {}, vport(1), 1},
      {"D0 channel 0", TORVEX_BRISK, {}, command(0xD0, {0x00, 0x00, 0x00, 0x03}), {}, vport(0), 1},
      {"D0 channel 0 off", TORVEX_BRISK, {command(0xD0, {0x00, 0x00, 0x00, 0x01})}, command(0xD0, {0x00, 0x00, 0x00, 0x00}), {},
       vport(0), 0},
  };
  for (const Row& row : rows) {
    visca = std::make_unique<DVisca>();
    g_isp.sys.model = row.model;
    aeControl()->dayState.store(1);
    afControl()->afStatus.store(0);
    if (row.setup) row.setup();
    for (const Action& a : row.before) a();
    const size_t from = journalled().size();
    row.action();
    const std::vector<std::string> all = journalled();
    EXPECT_EQ(std::vector<std::string>(all.begin() + static_cast<long>(from), all.end() - 1), row.sent) << row.what;
    if (row.also) {
      EXPECT_EQ(row.also(), row.alsoWant) << row.what;
    }
  }
  g_isp.sys.model = TORVEX_BRISK;
}

// The pan/tilt unit on SPI: the drive takes the nine direction pairs and nothing else; the moves and
// the limits with their nibble positions.
TEST_F(ViscaLens, PanTiltCommandsReachTheUnit) {
  start(TORVEX_TARROW);
  struct Row {
    Bytes packet;
    std::string sent;  // empty: nothing
  };
  const Row rows[] = {
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x03, 0x03, 0xFF}, "81 01 06 01 05 06 03 03 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x01, 0x03, 0xFF}, "81 01 06 01 05 06 01 03 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x02, 0x03, 0xFF}, "81 01 06 01 05 06 02 03 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x03, 0x01, 0xFF}, "81 01 06 01 05 06 03 01 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x01, 0x01, 0xFF}, "81 01 06 01 05 06 01 01 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x02, 0x01, 0xFF}, "81 01 06 01 05 06 02 01 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x03, 0x02, 0xFF}, "81 01 06 01 05 06 03 02 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x01, 0x02, 0xFF}, "81 01 06 01 05 06 01 02 FF"},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x02, 0x02, 0xFF}, "81 01 06 01 05 06 02 02 FF"},
      // Pairs not listed, and bytes past a nibble that would alias a listed pair.
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x00, 0x03, 0xFF}, ""},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x03, 0x04, 0xFF}, ""},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x01, 0x13, 0xFF}, ""},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x31, 0x03, 0xFF}, ""},
      {{0x81, 0x01, 0x06, 0x01, 0x05, 0x06, 0x13, 0x03, 0xFF}, ""},
      {{0x81, 0x01, 0x06, 0x02, 0x05, 0x06, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF},
       "81 01 06 02 05 06 01 02 03 04 05 06 07 08 FF"},
      {{0x81, 0x01, 0x06, 0x04, 0xFF}, "81 01 06 04 FF"},
      {{0x81, 0x01, 0x06, 0x05, 0xFF}, "81 01 06 05 FF"},
      {{0x81, 0x01, 0x06, 0x07, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF},
       "81 01 06 07 00 00 01 02 03 04 05 06 07 08 FF"},
      {{0x81, 0x01, 0x06, 0x07, 0x00, 0x01, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF},
       "81 01 06 07 00 01 01 02 03 04 05 06 07 08 FF"},
      {{0x81, 0x01, 0x06, 0x07, 0x01, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0xFF},
       "81 01 06 07 01 00 07 0F 0F 0F 07 0F 0F 0F FF"},
      {{0x81, 0x01, 0x06, 0x07, 0x02, 0x01, 0xFF}, "81 01 06 07 01 01 07 0F 0F 0F 07 0F 0F 0F FF"},
      {{0x81, 0x01, 0x06, 0x06, 0x01, 0x01, 0xFF}, ""},
  };
  for (const Row& r : rows) {
    const size_t from = spiWrites().size();
    run(r.packet);
    std::vector<std::string> got = spiWrites();
    got.erase(got.begin(), got.begin() + static_cast<long>(from));
    EXPECT_EQ(got, r.sent.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.sent}) << int(r.packet[3]);
  }
}

}  // namespace
}  // namespace isp
}  // namespace kavo
