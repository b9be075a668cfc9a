// The settings' lens operations on the running threads: this thread plays the IPC thread while the
// 3A thread focuses from the simulated camera's AF statistics and the sub-CPU thread carries the
// moves to the lens-MCU emulator. Judged by where the emulator's lens goes against the scene's
// object distance, and by the moves on its line; the pan/tilt positions by what goes out on the SPI
// link.
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "af_threads_fixture.h"
#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "fe_subcpu/subcpu.h"
#include "kavo/logger/logger.h"
#include "fe_subcpu/subcpu_thread.h"
#include "lens_line.h"
#include "mcu_process.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_IPC.h"
#include "thread_proc/worker_threads.h"

namespace {

using namespace kavo::isp;
using namespace std::chrono_literals;
namespace sim = kavo::sim::iav;
using Clock = std::chrono::steady_clock;

class IpcLens : public drivertest::AfThreadsTest {
 protected:
  static sim::LensInputs lens() {
    sim::LensInputs l{};
    sim::lensInputs(l);
    return l;
  }
  static double defocus(double distance) {
    const sim::LensInputs l = lens();
    return std::fabs(l.focus - (l.focusInfinity + l.focusPerDioptre / distance)) / l.depthOfField;
  }
  // The AF's focus steps on the line (its tracking-curve hand-over after a search may repeat the
  // curve in force, which moves nothing).
  int afSteps() const {
    int n = 0;
    for (const std::string& p : mcu->bytes("rx")) n += p.rfind("81 01 04 48 ", 0) == 0;
    return n;
  }
  // Until the AF has had nothing to do (no search, request or move) for a second, at most `limitS`:
  // the first averaged look at the AF value after a search may start one more.
  bool settles(double limitS) const {
    CAFControl* af = afControl();
    const auto t0 = Clock::now();
    auto idleSince = t0;
    while (Clock::now() - t0 < std::chrono::duration<double>(limitS)) {
      std::this_thread::sleep_for(10ms);
      const bool busy = (af->afStatus.load() & (AF_SEEK | AF_PRESEEK | AF_REFOCUS)) != 0 ||
                        af->movePending.load() != 0 || lens().moving != 0;
      if (busy) idleSince = Clock::now();
      if (Clock::now() - idleSince >= 1s) return true;
    }
    return false;
  }

  std::unique_ptr<lenstest::McuProcess> mcu;
};

// zoomPosition 0 and 100 drive the lens to its ends; "manual" leaves the focus where it is while the
// object comes closer, "auto" focuses on it again; an IR LED mode request on model 2 starts a search
// on a still scene that had none (the LEDs were in auto already: nothing else changes).
TEST_F(IpcLens, PositionsModesAndTheIrLedRefocusMoveTheLens) {
  ASSERT_TRUE(sim::setScene(R"({"lux": 400, "distance": 3, "texture": 1, "shimmer": 0})"));
  mcu = std::make_unique<lenstest::McuProcess>(root, R"({"readyMs": 0, "zoom": 300, "focus": 700})");
  ASSERT_TRUE(mcu->ready());
  g_isp.focusMode.store(0);
  auto isp = startController();
  CIsp* c = isp.get();
  // After the AF's reset (start-up, before the 3A thread runs) no search holds the lens: the first
  // zoom does not wait for one to settle.
  {
    g_isp.lensLink.flags.G_AF_NotDataLock.store(0);
    resetAF(c);
    kavo::logger::LogCapture log;
    ipc_set_zoom_position(c, 0, 0);
    EXPECT_FALSE(log.contains("AF_CONTI_counter")) << log.dump();
  }
  ipc_set_focus_mode(c, "manual");
  setPauseAAA(0);
  ASSERT_EQ(start_aaa_thread(), 0);
  // The exposure settles first (a brightening picture rightly starts a search).
  AEControl* ae = aeControl();
  for (int steady = 0, i = 0; steady < 20 && i < 1000; ++i) {
    std::this_thread::sleep_for(10ms);
    steady = std::fabs(ae->luminance.load() - 20720.0) < 0.15 * 20720 ? steady + 1 : 0;
  }

  struct Step {
    const char* what;
    std::function<void()> request;
    double distance;    // of the scene from this step on
    int32_t zoom;       // where the lens must be afterwards
    bool focused;       // the AF settles in focus (else: it stays put, no moves, for `watchS`)
    double watchS;
  };
  const Step steps[] = {
      {"auto", [c] { ipc_set_focus_mode(c, "auto"); }, 3, 0, true, 0},
      {"zoom 100", [c] { ipc_set_zoom_position(c, 0, 100); }, 3, 607, true, 0},
      {"manual, the object at 1.5 m", [c] { ipc_set_focus_mode(c, "manual"); }, 1.5, 607, false, 3},
      {"auto again", [c] { ipc_set_focus_mode(c, "auto"); }, 1.5, 607, true, 0},
      {"a still scene", [] {}, 1.5, 607, false, 2},
      {"IR LED mode", [c] { ipc_set_ir_led_mode(c, "auto"); }, 1.5, 607, true, 0},
  };
  double distance = 3;
  for (const Step& s : steps) {
    const int stepsBefore = afSteps();
    const int32_t focusBefore = lens().focus;
    s.request();
    if (s.distance != distance) {
      distance = s.distance;
      ASSERT_TRUE(sim::setScene("{\"lux\": 400, \"distance\": " + std::to_string(distance) +
                                ", \"texture\": 1, \"shimmer\": 0}"));
    }
    if (s.focused) {
      EXPECT_TRUE(settles(30)) << s.what;
      EXPECT_LT(defocus(distance), 1.0) << s.what << ": in focus";
      EXPECT_GT(afSteps(), stepsBefore) << s.what << ": the AF searched";
    } else {
      std::this_thread::sleep_for(std::chrono::duration<double>(s.watchS));
      EXPECT_EQ(afSteps(), stepsBefore) << s.what << ": no AF steps";
      EXPECT_EQ(lens().focus, focusBefore) << s.what;
    }
    EXPECT_EQ(lens().zoom, s.zoom) << s.what;
    std::printf("%-28s zoom %4d focus %4d defocus %.1f depths, %d AF steps\n", s.what, lens().zoom, lens().focus,
                defocus(distance), afSteps() - stepsBefore);
  }
  EXPECT_GT(defocus(3), 2.0) << "the object's move mattered";

  stopController(isp);
  EXPECT_TRUE(mcu->stop());
}

// The pan/tilt positions: one axis moves at the speed's low byte, the other gets speed and position 0.
TEST(IpcPanTilt, OneAxisAtATimeOnTheSpiLink) {
  kavo::test::TestRoot root;
  lenstest::PtyLine line{root};  // the lens link opens too, without an MCU
  lenstest::FastSleeps quick;
  lenstest::zoomBoard(TORVEX_TARROW);
  CIsp isp;
  ASSERT_EQ(subCpu()->openSubCPU(), 0);
  const struct {
    int (*op)(CIsp*, uint32_t, uint32_t);
    uint32_t speed, position;
    const char* sent;
  } rows[] = {
      {ipc_set_pan_position, 0x118, 300, "81 01 06 02 18 00 00 01 02 0C 00 00 00 00 FF"},
      {ipc_set_tilt_position, 0x14, static_cast<uint32_t>(-100), "81 01 06 02 00 14 00 00 00 00 0F 0F 09 0C FF"},
      {ipc_set_pan_position, 0xFF, 0, "81 01 06 02 FF 00 00 00 00 00 00 00 00 00 FF"},
  };
  std::vector<std::string> want;
  for (const auto& r : rows) {
    EXPECT_EQ(r.op(&isp, r.speed, r.position), 0);
    want.push_back(r.sent);
  }
  std::vector<std::string> sent;
  std::ifstream in(root.path("/tmp/kavo_sim/board.journal"));
  for (std::string l; std::getline(in, l);) {
    const nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
    if (!j.is_discarded() && j.value("node", "") == "/dev/spidev0.0" && j.value("req", "") == "write")
      sent.push_back(j.value("bytes", ""));
  }
  EXPECT_EQ(sent, want);
  subCpu()->closeSubCPU();
}

}  // namespace
