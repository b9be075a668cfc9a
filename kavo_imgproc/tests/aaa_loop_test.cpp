// Exposure, day/night and white balance judged by outcome: the 3A step runs pass after pass, on one
// thread, against the simulated sensor on the virtual clock (each statistics read is one frame), while
// the scene script steps the light, ramps it through dusk or changes the illuminant. Figures are
// printed for the closing note ("[figures]").
#include <cmath>
#include <memory>
#include <set>
#include <cstdio>
#include <string>
#include <vector>

#include "algo_ae/AEControl.h"
#include "algo_ae/ae_tables.h"
#include "algo_awb/AWBControl.h"
#include "driver_fixture.h"
#include "kavo/sim/iav_sim.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/aaa_step.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;
namespace sim = kavo::sim::iav;

struct Board {
  int32_t model, systemType, sensor;
  uint32_t targetBase;
  const char* name;
};
const Board kAlder{ALDER_IR, FIXLENS, SENSOR_OV9715, 8700, "model 0 (OV9715, fixed lens)"};
const Board kHalden{HALDEN_IR, FIXLENS, SENSOR_OV9715, 9000, "model 1 (OV9715, fixed lens)"};
const Board kBrisk{TORVEX_BRISK, ZOOMLENS, SENSOR_AR0331, 20720, "model 2 (AR0331, zoom lens)"};
const Board kWren{TORVEX_WREN, ZOOMLENS, SENSOR_AR0331, 20720, "model 4 (AR0331, zoom lens)"};
const Board kFinch{FINCH_IR, FIXLENS, SENSOR_OV9715, 9500, "model 5 (OV9715, light sensor)"};

// The IR-cut filter and the IR LEDs as the lens link and GPIO would move them, straight into the
// simulated camera; every call is recorded.
class SimOutside : public AeOutside {
 public:
  void setICR(int out) override {
    calls.push_back("setICR(" + std::to_string(out) + ")");
    lens([&](sim::LensInputs& l) { l.irCutIn = out ? 0 : 1; });
  }
  void setIrLedon_xBrisk(int on) override {
    calls.push_back("setIrLedon_xBrisk(" + std::to_string(on) + ")");
    // The fixed-lens boards switch the filter with the LEDs.
    lens([&](sim::LensInputs& l) {
      l.irLed = on ? 255 : 0;
      l.irCutIn = on ? 0 : 1;
    });
  }
  void setIrLedLevel(int level) override {
    calls.push_back("setIrLedLevel(" + std::to_string(level) + ")");
    lens([&](sim::LensInputs& l) { l.irLed = static_cast<uint32_t>(level); });
  }
  void ipc_apply_ir_state(int on) override { calls.push_back("ipc_apply_ir_state(" + std::to_string(on) + ")"); }
  void triggerRefocus() override { calls.push_back("triggerRefocus"); }
  template <class F>
  static void lens(F change) {
    sim::LensInputs l{};
    ASSERT_TRUE(sim::lensInputs(l));
    change(l);
    ASSERT_TRUE(sim::setLensInputs(l));
  }
  std::vector<std::string> calls;
};

struct Pass {
  uint32_t y;
  int shutter, agc;
  uint8_t day;
  uint32_t wb[3];
};

class AaaLoopTest : public DriverTest {
 protected:
  void start(const Board& b, const std::string& scene) {
    g_isp.sys = SystemParameters{b.model, 1, b.systemType, b.sensor, b.systemType == ZOOMLENS ? 0 : 4};
    g_isp.board = b.model;
    g_isp.aeLimits = AELimits{b.targetBase, 0, 198, 5, 161};
    g_isp.image.wdrLevel.store(0);
    g_isp.irLedAuto.store(1);
    g_isp.irLedDriveLevel.store(215);
    g_isp.dayNightPasses = 0;
    target = b.targetBase;
    ASSERT_TRUE(sim::setScene(scene));
    isp = std::make_unique<CIsp>();
    g_isp.controller.store(isp.get());
    isp->openDevices();
    isp->initialize(&g_isp.sys);
    ASSERT_EQ(enable_aaa(isp.get(), 1), 0);
    setAeOutside(&outside);
    ae = aeControl();
    awb = awbControl();
  }
  void TearDown() override {
    setAeOutside(nullptr);
    if (isp) isp->closeDevices();
    isp.reset();
  }
  // n passes of the 3A step, recorded.
  void run(int n) {
    for (int i = 0; i < n; ++i) {
      process3A(isp.get());
      passes.push_back(Pass{ae->luminance.load(), ae->shutterIndex.load(), ae->agcIndex.load(), ae->dayState.load(),
                            {isp->wbGain[0].load(), isp->wbGain[1].load(), isp->wbGain[2].load()}});
    }
  }
  bool inWindow(uint32_t y) const {
    const int64_t t = ae->aeTarget.load(), hi = ae->zone[0].load(), lo = ae->zone[1].load();
    return y >= t - lo && y <= t + hi;
  }
  struct Outcome {
    int settle;         // passes from `from` until Y enters the window for good; -1 never
    double error;       // mean |Y - t| / t over the last `tail` passes
    int reversals;      // changes of direction of the exposure after settling
    int lastAgc;
  };
  Outcome outcome(size_t from, size_t tail = 60) const {
    Outcome o{-1, 0, 0, passes.back().agc};
    for (size_t i = passes.size(); i-- > from;) {
      if (!inWindow(passes[i].y)) {
        o.settle = i + 1 < passes.size() ? static_cast<int>(i + 1 - from) : -1;
        break;
      }
      if (i == from) o.settle = 0;
    }
    double e = 0;
    for (size_t i = passes.size() - tail; i < passes.size(); ++i)
      e += std::fabs(double(passes[i].y) - target) / target;
    o.error = e / tail;
    if (o.settle >= 0) {
      int last = 0;
      for (size_t i = from + o.settle + 1; i < passes.size(); ++i) {
        const int ev = (passes[i].shutter - passes[i - 1].shutter) * 4 - (passes[i].agc - passes[i - 1].agc);
        const int dir = ev > 0 ? 1 : ev < 0 ? -1 : 0;
        if (dir != 0 && last != 0 && dir != last) ++o.reversals;
        if (dir != 0) last = dir;
      }
    }
    return o;
  }

  std::unique_ptr<CIsp> isp;
  SimOutside outside;
  AEControl* ae = nullptr;
  AWBControl* awb = nullptr;
  std::vector<Pass> passes;
  uint32_t target = 0;
};

// After steps of x4, x1/4 and x16 in the light the luminance enters the target window and stays, with
// few reversals; in bright light the gain sits at its minimum (shutter before gain).
TEST_F(AaaLoopTest, ExposureSettlesAfterLightSteps) {
  struct Step {
    double from, to;
  };
  const Step steps[] = {{200, 800}, {800, 200}, {100, 1600}};
  for (const Board* b : {&kAlder, &kBrisk}) {
    for (const Step& s : steps) {
      passes.clear();
      char scene[160];
      std::snprintf(scene, sizeof scene, R"({"lux": {"step": {"at": 20, "from": %g, "to": %g}}, "kelvin": 5500})",
                    s.from, s.to);
      start(*b, scene);
      run(600);  // 20 s: settled on the first light
      const Outcome before = outcome(0);
      run(900);  // the step at 20 s, then 30 s
      const Outcome after = outcome(600);
      std::printf("[figures] %s lux %g -> %g: settle %d passes (first light %d), error %.1f %%, reversals %d, "
                  "shutter %d agc %d\n",
                  b->name, s.from, s.to, after.settle, before.settle, 100 * after.error, after.reversals,
                  passes.back().shutter, passes.back().agc);
      EXPECT_GE(after.settle, 0) << b->name << " " << s.from << " -> " << s.to;
      EXPECT_LT(after.settle, 450) << b->name;
      EXPECT_LT(after.error, 0.12) << b->name;
      EXPECT_LE(after.reversals, 4) << b->name;
      if (s.to >= 800) {
        EXPECT_EQ(passes.back().agc, 0) << "bright light: shutter before gain";
      }
      TearDown();
    }
  }
}

}  // namespace

namespace {

// A saturated start on models 2 to 4 (luminance above 56,908 repeats the mode switch): the repeated
// switch keeps the exposure in force, so the loop still walks the shutter out of saturation and
// settles; the luminance is never read as dark through a 16-bit wrap.
TEST_F(AaaLoopTest, SaturatedSceneSettlesOnTheBriskBoards) {
  start(kWren, R"({"lux": 20000, "kelvin": 5500})");
  run(1500);
  const Outcome o = outcome(0);
  uint32_t peak = 0;
  for (const Pass& p : passes) peak = std::max(peak, p.y);
  std::printf("[figures] %s 20000 lux from 1/8 s: settle %d passes, error %.1f %%, reversals %d, peak Y %u, "
              "shutter %d\n",
              kWren.name, o.settle, 100 * o.error, o.reversals, peak, passes.back().shutter);
  EXPECT_GT(peak, kAeSaturatedY) << "the start saturates";
  EXPECT_GE(o.settle, 0);
  EXPECT_LT(o.error, 0.12);
  EXPECT_EQ(passes.back().agc, 0);
}

}  // namespace

namespace {

struct Switches {
  std::vector<size_t> toNight, toDay;
};
Switches switchesOf(const std::vector<Pass>& passes) {
  Switches s;
  for (size_t i = 1; i < passes.size(); ++i)
    if (passes[i].day != passes[i - 1].day) (passes[i].day ? s.toDay : s.toNight).push_back(i);
  return s;
}

// Dusk to night and back in virtual time (2 minutes each way): exactly one switch each way, with the
// IR LEDs lighting the night scene; the switch waits for its condition over consecutive readings.
TEST_F(AaaLoopTest, DayNightSwitchesOnceEachWay) {
  for (const Board* b : {&kAlder, &kHalden, &kWren, &kFinch}) {
    passes.clear();
    outside.calls.clear();
    start(*b, R"({"lux": {"dusk": {"start": 2, "duration": 120, "from": 2000, "to": 0.05}}, "kelvin": 5000})");
    ae->set_icr_manual(1);  // what the IR-cut mode "auto" of the lens link does
    run(30 * 150);
    const size_t dawnFrom = passes.size();
    ASSERT_TRUE(sim::setScene(R"({"lux": {"dusk": {"start": 2, "duration": 120, "from": 0.05, "to": 2000}},
                                  "kelvin": 5000})"));
    run(30 * 150);
    const Switches s = switchesOf(passes);
    std::printf("[figures] %s dusk: night at pass %zu, dawn: day at pass %zu (%zu/%zu switches), "
                "agc at night %d, shutter at night %d\n",
                b->name, s.toNight.empty() ? 0 : s.toNight[0], s.toDay.empty() ? 0 : s.toDay[0] - dawnFrom,
                s.toNight.size(), s.toDay.size(), passes[dawnFrom - 1].agc, passes[dawnFrom - 1].shutter);
    EXPECT_EQ(s.toNight.size(), 1u) << b->name;
    EXPECT_EQ(s.toDay.size(), 1u) << b->name;
    if (s.toNight.size() == 1 && s.toDay.size() == 1) {
      EXPECT_LT(s.toNight[0], dawnFrom);
      EXPECT_GT(s.toDay[0], dawnFrom);
      if (b->model != FINCH_IR) {
        // Two consecutive readings (every 30th pass) at the night gain: 30 to 60 passes after the
        // gain reached it.
        size_t from = s.toNight[0];
        while (from > 0 && passes[from - 1].agc >= ae->agcToNight.load()) --from;
        std::printf("[figures] %s night switch %zu passes after the gain reached %d\n", b->name, s.toNight[0] - from,
                    ae->agcToNight.load());
        EXPECT_GE(s.toNight[0] - from, 30u);
        EXPECT_LE(s.toNight[0] - from, 61u);
      }
    }
    TearDown();
  }
}

}  // namespace

namespace {

// After a 6500 K to 3000 K step the gains walk into the dead band and stay; their distance from the
// gains that make a grey neutral under each illuminant (the sensor model's own ratios) is reported.
TEST_F(AaaLoopTest, WhiteBalanceFollowsAnIlluminantStep) {
  struct Ideal {
    double kelvin, r, b;  // grey R/G and B/G of the sensor model
  };
  const Ideal warm{3000, 0.937, 0.581}, cold{6500, 0.677, 1.050};
  for (const Board* b : {&kAlder, &kBrisk}) {
    passes.clear();
    start(*b, R"({"lux": 400, "kelvin": {"step": {"at": 30, "from": 6500, "to": 3000}}})");
    run(900);
    const size_t stepAt = passes.size();
    const Pass before = passes.back();
    run(1200);
    size_t last = stepAt;  // the last pass that changed the gains
    for (size_t i = stepAt; i < passes.size(); ++i)
      if (passes[i].wb[0] != passes[i - 1].wb[0] || passes[i].wb[2] != passes[i - 1].wb[2]) last = i;
    const Pass& end = passes.back();
    auto err = [](uint32_t gain, double ratio) { return (gain * ratio / 1024.0 - 1) * 100; };
    std::printf("[figures] %s 6500 K: R %u B %u (error R %+.1f %% B %+.1f %%); 3000 K: R %u B %u (error R %+.1f %% "
                "B %+.1f %%), gains still after %zu passes (%.1f s)\n",
                b->name, before.wb[0], before.wb[2], err(before.wb[0], cold.r), err(before.wb[2], cold.b), end.wb[0],
                end.wb[2], err(end.wb[0], warm.r), err(end.wb[2], warm.b), last - stepAt, (last - stepAt) / 30.0);
    EXPECT_LT(last - stepAt, 900u) << b->name << ": the gains come to rest";
    EXPECT_GT(end.wb[2], before.wb[2] + 300) << "warm light: more blue";
    EXPECT_LT(end.wb[0], before.wb[0]) << "warm light: less red";
    // The gains end where the chart's mean colour is grey, not a grey patch, so their absolute error
    // is the scene's (reported); their change follows the illuminant's.
    const double rChange = double(end.wb[0]) / before.wb[0], bChange = double(end.wb[2]) / before.wb[2];
    const double rIdeal = cold.r / warm.r, bIdeal = cold.b / warm.b;
    std::printf("[figures] %s gain change R x%.3f (ideal x%.3f), B x%.3f (ideal x%.3f)\n", b->name, rChange, rIdeal,
                bChange, bIdeal);
    EXPECT_NEAR(rChange / rIdeal, 1.0, 0.15);
    EXPECT_NEAR(bChange / bIdeal, 1.0, 0.15);
    TearDown();
  }
}

}  // namespace

namespace {

double ripple(const std::vector<Pass>& passes, size_t n) {
  double sum = 0, sq = 0;
  for (size_t i = passes.size() - n; i < passes.size(); ++i) {
    sum += passes[i].y;
    sq += double(passes[i].y) * passes[i].y;
  }
  const double mean = sum / n;
  return std::sqrt(std::max(0.0, sq / n - mean * mean)) / mean;
}

// Under lamps flickering at 100 Hz (120 Hz), the 50 Hz (60 Hz) flicker mode sends only the flicker
// table's times and the luminance ripple stays small; full auto on the same scene ripples (shown
// beside it).
TEST_F(AaaLoopTest, FlickerModeSendsFlickerSafeTimes) {
  struct Case {
    int hz, mode;
    const int32_t* table;
    int steps;
  };
  const Case cases[] = {{100, AE_FLICKER_50, kFlickerTime50, kFlickerSteps50},
                        {120, AE_FLICKER_60, kFlickerTime60, kFlickerSteps60}};
  for (const Board* b : {&kAlder, &kBrisk}) {
    for (const Case& c : cases) {
      passes.clear();
      start(*b, R"({"lux": 150, "kelvin": 4000, "flicker": {"hz": )" + std::to_string(c.hz) + R"(, "depth": 0.5}})");
      run(600);
      const double autoRipple = ripple(passes, 300);
      const uint64_t seq = lastSeq();
      ae->set_ae_mode(c.mode);
      passes.clear();
      run(1500);
      const double flickerRipple = ripple(passes, 300);
      std::set<uint32_t> allowed(c.table, c.table + c.steps);
      size_t sent = 0;
      for (const auto& l : requestsSince(seq, "IAV_IOC_VIN_SRC_SET_SHUTTER_TIME")) {
        ++sent;
        EXPECT_TRUE(allowed.count(l["arg"]["value"].get<uint32_t>())) << l.dump();
      }
      const Outcome o = outcome(0, 300);
      std::printf("[figures] %s %d Hz lamps: full auto ripple %.1f %%, flicker mode %d ripple %.1f %% "
                  "(%zu shutter times sent, all from the table), flicker step %d agc %d, error %.1f %%\n",
                  b->name, c.hz, 100 * autoRipple, c.mode, 100 * flickerRipple, sent, passes.back().shutter,
                  passes.back().agc, 100 * o.error);
      EXPECT_GT(sent, 0u);
      EXPECT_LT(flickerRipple, 0.05);
      // 30 frames a second see 120 Hz lamps at one phase (the model has no rolling shutter), so
      // only 100 Hz ripples in full auto.
      if (c.hz == 100) {
        EXPECT_LT(flickerRipple, autoRipple);
      }
      TearDown();
    }
  }
}

}  // namespace

namespace {

// Wide dynamic range on a model 2-4 board: far from the target the fast flag halves the window, and
// the loop goes on until the luminance reaches that narrowed window (gated to every third pass near
// it, a fast loop once stopped short of it and stayed there).
TEST_F(AaaLoopTest, FastFlagReachesItsNarrowWindowAfterLightSteps) {
  struct Step {
    double from, to;
  };
  const Step steps[] = {{100, 1600}, {30000, 3000}, {1600, 100}, {200, 800}};
  for (const Step& s : steps) {
    passes.clear();
    char scene[160];
    std::snprintf(scene, sizeof scene, R"({"lux": {"step": {"at": 20, "from": %g, "to": %g}}, "kelvin": 5500})",
                  s.from, s.to);
    start(kWren, scene);
    g_isp.image.wdrLevel.store(1);
    run(1500);  // the step at 20 s, then 30 s
    const int64_t t = ae->aeTarget.load(), hi = ae->zone[0].load() >> 1, lo = ae->zone[1].load() >> 1;
    int reached = -1;
    for (size_t i = 600; i < passes.size() && reached < 0; ++i)
      if (passes[i].y >= t - lo && passes[i].y <= t + hi) reached = static_cast<int>(i - 600);
    const Outcome o = outcome(600);
    std::printf("[figures] %s WDR on, lux %g -> %g: narrow window (+-%.1f %%) reached after %d passes, settle %d, "
                "error %.1f %%, reversals %d\n",
                kWren.name, s.from, s.to, 100.0 * hi / t, reached, o.settle, 100 * o.error, o.reversals);
    EXPECT_GE(reached, 0) << s.from << " -> " << s.to;
    EXPECT_LT(o.error, 0.12);
    EXPECT_LE(o.reversals, 4);
    TearDown();
  }
}

}  // namespace

namespace {

// A zoom board whose night picture is a close object lit by its own IR LEDs (at 0.5 m they give it
// 4000 lux, twice the daylight that comes back): dusk, a minute of night, then dawn to 2000 lux. The
// camera returns to day once daylight would hold the picture by itself, and the LEDs' own light
// never brings it back: one switch each way, day to the end.
TEST_F(AaaLoopTest, ACloseObjectUnderItsOwnLedsReturnsToDay) {
  auto exposureMs = [&](const Pass& p) {
    return isp->shutterTable.get(p.shutter) * std::pow(10.0, isp->agcTable.get(p.agc) / double(IAV_AGC_DB_ONE) / 20) /
           512000.0;
  };
  // The dawn's light at pass i of its script (2 s of night, then 120 s rising 0.05 -> 2000 lux).
  auto dawnLux = [](size_t i) { return 0.05 * std::pow(40000.0, std::clamp((i / 30.0 - 2) / 120, 0.0, 1.0)); };
  for (const double distance : {0.5, 1.0}) {
    passes.clear();
    outside.calls.clear();
    char scene[200];
    std::snprintf(scene, sizeof scene,
                  R"({"lux": {"dusk": {"start": 2, "duration": 120, "from": 2000, "to": 0.05}}, "kelvin": 5000,
                      "distance": %g})", distance);
    start(kWren, scene);
    ae->set_icr_manual(1);
    run(30 * 180);  // a minute of night under the LEDs alone
    const size_t dawnFrom = passes.size();
    std::snprintf(scene, sizeof scene,
                  R"({"lux": {"dusk": {"start": 2, "duration": 120, "from": 0.05, "to": 2000}}, "kelvin": 5000,
                      "distance": %g})", distance);
    ASSERT_TRUE(sim::setScene(scene));
    run(30 * 200);
    const Switches s = switchesOf(passes);
    const Pass night = passes[dawnFrom - 1], end = passes.back();
    if (s.toDay.size() == 1) {
      const size_t at = s.toDay[0] - dawnFrom;
      const Pass before = passes[s.toDay[0] - 1];
      Pass after = before;  // the longest exposure of the 10 s after the LEDs went off
      for (size_t i = s.toDay[0]; i < std::min(passes.size(), s.toDay[0] + 300); ++i)
        if (exposureMs(passes[i]) > exposureMs(after)) after = passes[i];
      std::printf("[figures] %s object at %g m: night %.3f ms (shutter %d agc %d), day again %.1f s into the dawn "
                  "at %.0f lux with %.3f ms, then at most %.3f ms (agc %d, night at agc %d); in daylight %.3f ms; "
                  "switches %zu/%zu\n",
                  kWren.name, distance, exposureMs(night), night.shutter, night.agc, at / 30.0, dawnLux(at),
                  exposureMs(before), exposureMs(after), after.agc, ae->agcToNight.load(), exposureMs(end),
                  s.toNight.size(), s.toDay.size());
    } else {
      std::printf("[figures] %s object at %g m: night %.3f ms, switches %zu/%zu, end %.3f ms day %d\n", kWren.name,
                  distance, exposureMs(night), s.toNight.size(), s.toDay.size(), exposureMs(end), end.day);
    }
    EXPECT_EQ(s.toNight.size(), 1u) << distance;
    EXPECT_EQ(s.toDay.size(), 1u) << distance;
    EXPECT_EQ(end.day, 1) << distance;
    TearDown();
  }
}

}  // namespace
