// The contrast auto focus on one thread: scripted AF-value sequences against the search's rules, and
// closed-loop runs against a lens and scene model (the shared focus tables, a focus motor that takes
// time, AF values that peak where the scene is in focus, carry noise and smear while the lens moves).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include "algo_af/CAFControl.h"
#include "algo_af/lens_tables.h"
#include "algo_atf/ATFControl.h"
#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {
namespace {

// The lens MCU as the AF sees it: a focus motor with a target; the test reports each arrival.
class ModelLens : public AfLens {
 public:
  int setFocus(uint32_t p) override {
    sent.push_back(static_cast<int32_t>(p));
    target = p;
    moving = true;
    return 1;
  }
  int focusStop() override { return 1; }
  int getFocus(uint32_t* p) override {
    *p = static_cast<uint32_t>(std::lround(pos));
    return 1;
  }
  int getZoom(uint32_t* p) override {
    *p = static_cast<uint32_t>(zoom);
    return 1;
  }
  int ready() override { return 1; }

  double pos = 0, target = 0;
  int32_t zoom = 300;
  bool moving = false;
  std::vector<int32_t> sent;
};

void zoomLensBoard() {
  g_isp.sys.systemType = ZOOMLENS;
  g_isp.sys.lens = TAMRON_X3;
  g_isp.lensLink.focus_bias.store(0);
  g_isp.lensLink.focus_Telebias.store(0);
  g_isp.lensLink.irisControl.store(1);  // the AF values as they come
  g_isp.components.ae.store(nullptr);
}

class AfScript : public ::testing::Test {
 protected:
  void SetUp() override {
    zoomLensBoard();
    af.lens = &lens;
    af.m_iCurrZoomPosition.store(lens.zoom);
    refreshFocusRange(&af);
  }
  // The search in a state: seeking, out of the pilot, without the two-frame average.
  void seeking(uint32_t status, int32_t position, uint32_t hf0, uint32_t hf1) {
    af.afStatus.store(status);
    af.pilotActive = 0;
    af.m_bPostOptCheck = 1;
    af.m_iCurrFocusPosition.store(position);
    lens.pos = position;
    af.m_uAF_Last_HF0 = hf0;
    af.m_uAF_Last_HF1 = hf1;
  }
  // One frame with these sums (the AF value is five times the sum), then the move's end report.
  void frame(uint32_t sum0, uint32_t sum1) {
    af.afHFSum0 = static_cast<uint16_t>(sum0);
    af.afHFSum1 = static_cast<uint16_t>(sum1);
    STD_onAFdone(&af);
    if (af.movePending.load()) {
      lens.pos = lens.target;
      af.callback(1);
    }
  }

  CAFControl af;
  ModelLens lens;
};

TEST_F(AfScript, ACoarseStepAtTheRangeEndReversesInsteadOfMoving) {
  const int32_t top = af.m_eMaxAFFocus.load();
  seeking(AF_SEEK | AF_COARSE | AF_NEAR, top, 5000, 5000);
  frame(1000, 1000);
  EXPECT_TRUE(lens.sent.empty()) << "no move past the maximum";
  EXPECT_EQ(af.afStatus.load() & AF_NEAR, 0u) << "the search turned towards the minimum";
  frame(1000, 1000);
  ASSERT_EQ(lens.sent.size(), 1u);
  EXPECT_LT(lens.sent[0], top);

  // At the bottom the same, the other way.
  lens.sent.clear();
  seeking(AF_SEEK | AF_COARSE, af.m_eMinAFFocus.load(), 5000, 5000);
  frame(1000, 1000);
  EXPECT_TRUE(lens.sent.empty());
  EXPECT_NE(af.afStatus.load() & AF_NEAR, 0u);
}

TEST_F(AfScript, BothLimitsReachedTwiceEndTheSearchAtTheBestCoarsePoint) {
  const int32_t mid = (af.m_eMaxAFFocus.load() + af.m_eMinAFFocus.load()) / 2;
  seeking(AF_SEEK | AF_COARSE | AF_NEAR | AF_AT_MAX | AF_AT_MIN, mid, 5000, 5000);
  af.bestCoarseHF0 = 60000;
  af.bestCoarsePosition = mid - 10;
  af.bestPosition = mid - 10;
  af.bestHF1 = 60000;
  frame(1000, 1000);
  EXPECT_NE(af.afStatus.load() & AF_SEEK, 0u) << "one hit: the search goes on";
  EXPECT_EQ(af.afStatus.load() & (AF_AT_MAX | AF_AT_MIN), 0u);
  af.afStatus.fetch_or(AF_AT_MAX | AF_AT_MIN);
  lens.sent.clear();
  frame(1000, 1000);
  EXPECT_EQ(af.afStatus.load() & AF_SEEK, 0u);
  EXPECT_EQ(af.m_iFocusStatus.load(), 3);
  EXPECT_EQ(af.postPending, 1);
  EXPECT_EQ(af.postMoved.load(), 1);
  ASSERT_EQ(lens.sent.size(), 1u);
  EXPECT_EQ(lens.sent[0], mid - 10) << "back to the best coarse position";
}

TEST_F(AfScript, TheFineFractionHalvesOnlyAfterAnImprovementThenAWorseStep) {
  const int32_t mid = (af.m_eMaxAFFocus.load() + af.m_eMinAFFocus.load()) / 2;
  seeking(AF_SEEK | AF_NEAR, mid, 20000, 20000);
  af.bestHF0 = 20000;
  af.bestPosition = mid;
  af.firstCoarse = 1;
  struct Step {
    uint32_t hf0;
    int32_t divisor;
  };
  // The sums are a fifth of the values.
  const Step steps[] = {{22000, 0}, {21000, 1}, {20000, 1}, {21000, 1}, {20000, 2}, {19000, 2}};
  for (const Step& s : steps) {
    frame(s.hf0 / 5, s.hf0 / 5);
    EXPECT_EQ(af.fineDivisor, s.divisor) << "after HF0 " << s.hf0;
    EXPECT_NE(af.afStatus.load() & AF_SEEK, 0u);
  }
  // Beyond 1/16 no step is made and the zero decision that follows ends the search.
  af.fineDivisor = 5;
  af.bestHF0 = 20000;
  lens.sent.clear();
  af.m_uAF_Last_HF0 = 19000;
  frame(20000 / 5, 20000 / 5);
  EXPECT_EQ(af.afStatus.load() & AF_SEEK, 0u);
  EXPECT_EQ(af.postPending, 1);
}

TEST_F(AfScript, AMoveWithoutEndReportIsGivenUpAfter150Frames) {
  af.movePending.store(1);
  af.afStatus.store(AF_SEEK | AF_COARSE | AF_MOVING);
  g_isp.lensLink.flags.G_AF_NotDataLock.store(0);
  lens.pos = 123;
  logger::LogCapture log;
  for (int i = 0; i < 149; ++i) STD_onAFdone(&af);
  EXPECT_EQ(af.movePending.load(), 1);
  EXPECT_EQ(g_isp.lensLink.flags.G_AF_NotDataLock.load(), 0);
  STD_onAFdone(&af);
  EXPECT_EQ(af.movePending.load(), 0);
  EXPECT_EQ(g_isp.lensLink.flags.G_AF_NotDataLock.load(), 1);
  EXPECT_EQ(af.m_iCurrFocusPosition.load(), 123) << "the position is read back";
  EXPECT_TRUE(log.contains("[AF_Lock]err_code=150.\n"));
}

TEST_F(AfScript, ModeSwitchesSetTheirFlagsAndASecondSwitchChangesNothing) {
  const LensMotionFlags& f = g_isp.lensLink.flags;
  EXPECT_EQ(processAFModeSwitching(&af, PUSH_MODE), 1);
  EXPECT_EQ(f.G_PushMode.load() + f.G_PushTrigger.load() + f.G_PushPending.load(), 3);
  EXPECT_NE(af.afStatus.load() & AF_REFOCUS, 0u);
  EXPECT_EQ(processAFModeSwitching(&af, PUSH_MODE), 0);
  EXPECT_EQ(processAFModeSwitching(&af, ZOOM_TRIG_MODE), 1);
  EXPECT_EQ(f.G_ZoomTrigMode.load() + f.G_ZoomTrigArmed.load(), 2);
  EXPECT_EQ(f.G_PushMode.load(), 0);
  EXPECT_EQ(processAFModeSwitching(&af, MANUAL_MODE), 1);
  EXPECT_EQ(f.G_ManualFocusMode.load(), 1);
  EXPECT_EQ(f.G_ZoomTrigMode.load() + f.G_AutoFocusMode.load(), 0);
  EXPECT_EQ(processAFModeSwitching(&af, AUTO_FOCUS_MODE), 1);
  EXPECT_EQ(f.G_AutoFocusMode.load(), 1);
  EXPECT_EQ(f.G_ManualFocusMode.load(), 0);
}

// A restart from PostSeeking probes around the lens's position again and, without the post check,
// averages the coarse frames two by two (a step every second frame). Its lock reads settled while the
// picture is sharp (origH1 4200 or more) with the lens within 4 coarse steps of where the restart
// found it, else only after 150 frames: a sharp peak far off is not where the lock was asked.
TEST_F(AfScript, ARestartFromPostSeekingAndItsLock) {
  ATFControl atf;
  g_isp.components.atf.store(&atf);
  const int32_t mid = (af.m_eMaxAFFocus.load() + af.m_eMinAFFocus.load()) / 2;
  const struct Row {
    const char* scene;
    uint32_t flat;      // the sums of a flat scene; 0: a peak
    int32_t peak;       // the peak's offset from the lens and its half width
    double width;
    int settledBefore;  // the lock reads settled before this frame (and not before `settledAt`)
    int settledAt;
  } rows[] = {{"flat, sharp", 1000, 0, 0, 2, 1},
              {"flat, blurred", 600, 0, 0, 151, 150},
              {"blurred here, a sharp peak 24 steps off", 0, -24, 5, 151, 150},
              {"blurred here, a sharp peak 12 steps off", 0, -12, 6, 150, 2}};
  for (const Row& r : rows) {
    // A fifth of the AF values: 6000 at the peak, 4200 at 1.2 half widths from it, 3000 far off.
    auto sum = [&]() -> uint32_t {
      if (r.flat) return r.flat;
      const double d = (lens.pos - (mid + r.peak)) / r.width;
      return static_cast<uint32_t>(600 + 600 / (1 + d * d));
    };
    af.afStatus.store(0);
    af.m_iCurrFocusPosition.store(mid);
    lens.pos = mid;
    lens.sent.clear();
    af.m_uAF_Current_HF0 = af.m_uAF_Current_HF1 = 5 * sum();
    ASSERT_EQ(restartFromPostSeeking(&af), 1);
    int settledAt = 0, coarseFrames = 0;
    size_t coarseMoves = 0;
    for (int i = 1; i <= 150 && settledAt == 0; ++i) {
      const size_t before = lens.sent.size();
      const bool coarse = !af.pilotActive && (af.afStatus.load() & AF_COARSE);
      frame(sum(), sum());
      if (coarse && i <= 12) {
        ++coarseFrames;
        coarseMoves += lens.sent.size() - before;
      }
      if (lockSettled(&af)) settledAt = i;
    }
    std::printf("%s: settled at frame %d, lens %+d from the reference\n", r.scene, settledAt,
                int(af.m_iCurrFocusPosition.load()) - mid);
    EXPECT_GE(settledAt, r.settledAt) << r.scene;
    EXPECT_LT(settledAt, r.settledBefore) << r.scene;
    ASSERT_FALSE(lens.sent.empty());
    EXPECT_EQ(lens.sent[0], mid - 1) << "the pilot's first probe, from where the restart found the lens";
    if (coarseFrames > 1) {
      EXPECT_LE(coarseMoves * 2, static_cast<size_t>(coarseFrames + 1)) << r.scene << ": a step every second frame";
    }
  }
  g_isp.components.atf.store(nullptr);
}

// The search compares contrast from frame to frame: a picture whose brightness has moved by more than
// a quarter since the search began sends it back to PreSeeking, and PreSeeking starts no search while
// the brightness moves from frame to frame (contrast steady all along).
TEST_F(AfScript, AMovingBrightnessSendsTheSearchBackUntilThePictureHolds) {
  ATFControl atf;
  g_isp.components.atf.store(&atf);
  const int32_t mid = (af.m_eMaxAFFocus.load() + af.m_eMinAFFocus.load()) / 2;
  struct Row {
    const char* what;
    std::vector<uint32_t> luminance;  // per frame
    bool stillSeeking;
  } rows[] = {
      {"steady", {1000, 1000, 1000, 1000}, true},
      {"drifting by a fifth in all", {1000, 950, 900, 850, 800}, true},
      {"down by a third", {1000, 1000, 660}, false},
      {"up by a third", {1000, 1150, 1340}, false},
  };
  for (const Row& r : rows) {
    seeking(AF_SEEK | AF_COARSE | AF_NEAR, mid, 5000, 5000);
    lens.sent.clear();
    for (uint32_t l : r.luminance) {
      atf.afLuminance.store(l);
      frame(1000, 1000);
    }
    EXPECT_EQ((af.afStatus.load() & AF_SEEK) != 0, r.stillSeeking) << r.what;
    if (!r.stillSeeking) {
      EXPECT_EQ(af.afStatus.load(), uint32_t(AF_PRESEEK)) << r.what;
    }
  }

  // PreSeeking: ten frames of a settling exposure start nothing; a steady picture then does.
  af.afStatus.store(AF_PRESEEK);
  af.stableFrames = 0;
  lens.sent.clear();
  for (int i = 0; i < 10; ++i) {
    atf.afLuminance.store(3000 - 200 * i);
    frame(1000, 1000);
  }
  EXPECT_EQ(af.afStatus.load(), uint32_t(AF_PRESEEK));
  EXPECT_TRUE(lens.sent.empty());
  for (int i = 0; i < 6; ++i) frame(1000, 1000);
  EXPECT_NE(af.afStatus.load() & AF_SEEK, 0u) << "a steady picture starts the search";
  g_isp.components.atf.store(nullptr);
}

// ---- closed loop ------------------------------------------------------------------------------------

struct Scene {
  double distance;  // m
  double contrast;  // AF sum of the focused scene (0: flat)
  double noise;     // relative standard deviation
};

struct Outcome {
  bool settled = false;
  bool inFocus = false;
  bool stayed = false;
  int settleFrame = 0;
  int moves = 0;
  int retriggers = 0;
};

// The in-focus position and the AF value's half width (focus steps) at `zoom` for `distance`, as the
// simulated camera models them.
double inFocusAt(int32_t zoom, double distance) {
  const LensCurves* c = lensCurves(TAMRON_X3);
  return c->lower[zoom] + (c->focus[zoom] - c->lower[zoom]) / distance;
}
double halfWidth(int32_t zoom) { return 8.0 - 4.0 * zoom / 607.0; }

class ClosedLoop {
 public:
  ClosedLoop(int32_t zoom, double start, const Scene& s, uint32_t seed, int32_t mode = AUTO_FOCUS_MODE)
      : scene_(s), rng_(seed) {
    zoomLensBoard();
    lens_.zoom = zoom;
    lens_.pos = lens_.target = start;
    af_.lens = &lens_;
    af_.afInitState.store(2);
    af_.m_iCurrZoomPosition.store(zoom);
    af_.m_iCurrFocusPosition.store(static_cast<int32_t>(std::lround(start)));
    resetAF(nullptr);
    af_.afInitState.store(2);
    g_isp.lensLink.flags.G_AF_NotDataLock.store(1);
    g_isp.lensLink.flags.G_PushMode.store(0);
    g_isp.lensLink.flags.G_PushPending.store(0);
    g_isp.lensLink.flags.G_PushTrigger.store(0);
    processAFModeSwitching(&af_, mode);
  }
  CAFControl& af() { return af_; }

  // One frame: the AF values of the frame (smeared while the lens moves), the AF step, then the
  // motor travels (40 steps a frame) and reports its arrival.
  void frame() {
    const double fStar = inFocusAt(lens_.zoom, scene_.distance);
    const double blur = std::fabs(lens_.pos - fStar) / halfWidth(lens_.zoom) + (lens_.moving ? 1.0 : 0.0);
    std::normal_distribution<double> n(0.0, 1.0);
    const double base = 300.0;  // the sensor's own texture and noise
    auto value = [&](double sharp) {
      const double v = (base + scene_.contrast * sharp) * (1.0 + scene_.noise * n(rng_));
      return static_cast<uint16_t>(std::clamp(v, 1.0, 65535.0));
    };
    af_.afHFSum0 = value(1.0 / (1.0 + 1.5 * blur * blur));
    af_.afHFSum1 = value(1.0 / (1.0 + blur * blur));
    const size_t before = lens_.sent.size();
    emulatedISR_AF(&af_);
    moves_ += static_cast<int>(lens_.sent.size() - before);
    if (lens_.moving) {
      const double d = lens_.target - lens_.pos;
      if (std::fabs(d) <= 40.0) {
        lens_.pos = lens_.target;
        lens_.moving = false;
        af_.callback(1);
      } else {
        lens_.pos += d > 0 ? 40.0 : -40.0;
      }
    }
  }
  bool idle() const {
    const uint32_t s = af_.afStatus.load();
    return (s & (AF_SEEK | AF_PRESEEK)) == 0 && !af_.postPending && !af_.movePending.load() && !lens_.moving;
  }
  bool focused() const {
    return std::fabs(lens_.pos - inFocusAt(lens_.zoom, scene_.distance)) < halfWidth(lens_.zoom);
  }

  // Runs until the search settles (at most 60 s), then one more minute of the static scene.
  Outcome run() {
    Outcome o;
    int frames = 0;
    for (; frames < 1800; ++frames) {
      frame();
      if (frames > 5 && idle()) break;
    }
    o.settled = idle();
    o.settleFrame = frames;
    o.moves = moves_;
    o.inFocus = focused();
    bool searching = false;
    for (int i = 0; i < 1800; ++i) {
      frame();
      const bool s = (af_.afStatus.load() & (AF_SEEK | AF_PRESEEK)) != 0;
      if (s && !searching) ++o.retriggers;
      searching = s;
    }
    o.stayed = focused();
    return o;
  }

 private:
  Scene scene_;
  std::mt19937 rng_;
  ModelLens lens_;
  CAFControl af_;
  int moves_ = 0;
};

struct Tally {
  int runs = 0, inFocus = 0, stayed = 0, settled = 0, frames = 0, moves = 0, retriggers = 0;
  void add(const Outcome& o) {
    ++runs;
    inFocus += o.inFocus;
    stayed += o.stayed;
    settled += o.settled;
    frames += o.settleFrame;
    moves += o.moves;
    retriggers += o.retriggers;
  }
  void print(const char* what) const {
    std::printf("%-28s runs %4d  in focus %5.1f %%  still in focus after 1 min %5.1f %%  settled %5.1f %%  "
                "settle %.2f s  moves/search %.1f  re-triggers/min %.2f\n",
                what, runs, 100.0 * inFocus / runs, 100.0 * stayed / runs, 100.0 * settled / runs,
                frames / 30.0 / runs, double(moves) / runs, double(retriggers) / runs);
  }
};

TEST(AfClosedLoop, FromAnyStartTheLensEndsWithinTheDepthOfField) {
  const int32_t zooms[] = {0, 150, 300, 450, 607};
  const double distances[] = {1.0, 1.5, 3.0, 10.0, 1e9};
  const double noises[] = {0.0, 0.02, 0.05};
  const std::pair<int32_t, const char*> modes[] = {
      {AUTO_FOCUS_MODE, "auto"}, {PUSH_MODE, "one-push"}, {ZOOM_TRIG_MODE, "zoom-trigger"}};
  for (const auto& [mode, name] : modes) {
    Tally all, byNoise[3], lowLight, byZoom[5];
    uint32_t seed = 1;
    for (int zi = 0; zi < 5; ++zi)
      for (double d : distances)
        for (int ni = 0; ni < 3; ++ni)
          for (int light = 0; light < 2; ++light)
            for (int k = 0; k < 6; ++k) {
              const int32_t z = zooms[zi];
              const LensCurves* c = lensCurves(TAMRON_X3);
              const double lo = c->lower[z], hi = c->upper[z];
              const double start = lo - 20 + (hi - lo + 40) * k / 5.0;
              const Scene scene{d, light ? 1500.0 : 9000.0, noises[ni] * (light ? 1.5 : 1.0)};
              ClosedLoop loop(z, std::max(0.0, start), scene, seed++, mode);
              const Outcome o = loop.run();
              all.add(o);
              byNoise[ni].add(o);
              byZoom[zi].add(o);
              if (light) lowLight.add(o);
            }
    std::printf("%s focus:\n", name);
    all.print("  all runs");
    byNoise[0].print("  noise 0 %");
    byNoise[1].print("  noise 2 %");
    byNoise[2].print("  noise 5 % (7.5 % low light)");
    lowLight.print("  low light");
    for (int zi = 0; zi < 5; ++zi) {
      char what[32];
      std::snprintf(what, sizeof what, "  zoom stop %d", zooms[zi]);
      byZoom[zi].print(what);
    }
    EXPECT_GE(all.inFocus * 100, all.runs * 95) << name;
    EXPECT_GE(all.stayed * 100, all.runs * 95) << name;
  }
}

TEST(AfClosedLoop, AFlatSceneEndsByRule) {
  ClosedLoop loop(300, 1200, Scene{3.0, 0.0, 0.02}, 7);
  const Outcome o = loop.run();
  std::printf("flat scene: settled %d after %.2f s, %d moves, status %d\n", o.settled, o.settleFrame / 30.0, o.moves,
              loop.af().m_iFocusStatus.load());
  EXPECT_TRUE(o.settled);
}

}  // namespace
}  // namespace isp
}  // namespace kavo
