// Focus tracking during zoom on one thread against a lens model: the curve choice, what the
// hand-over sends, the zoom stop after five unchanged frames, the skipped frames of a wide zoom, the
// curve moves and their end, and the 50-frame lock that gives up a move without report.
#include <gtest/gtest.h>

#include <vector>

#include "algo_af/CAFControl.h"
#include "algo_af/lens_tables.h"
#include "algo_af/tracking_curves.h"
#include "kavo/logger/logger.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {
namespace {

// The lens MCU as the tracking sees it: it records the curve numbers and zoom stops it is sent.
class TrackLens : public AfLens {
 public:
  int setFocus(uint32_t) override { return 1; }
  int focusStop() override { return 1; }
  int getFocus(uint32_t* p) override {
    *p = focus;
    return 1;
  }
  int getZoom(uint32_t* p) override {
    if (!zoomAnswers) return 0;
    *p = zoom;
    return 1;
  }
  int ready() override { return 1; }
  int setTrackingCurveAF(uint32_t c) override {
    afCurves.push_back(static_cast<int32_t>(c));
    return 1;
  }
  int setTrackingCurve(uint32_t c) override {
    curves.push_back(static_cast<int32_t>(c));
    return 1;
  }
  void stopZoom() override {
    ++stops;
    g_isp.lensLink.flags.G_ATF_On.store(0);
  }
  int zoomDrive(bool) override { return 1; }

  uint32_t zoom = 100, focus = 900;
  bool zoomAnswers = true;
  std::vector<int32_t> afCurves, curves;
  int stops = 0;
};

void board(int32_t lens) {
  g_isp.sys.systemType = ZOOMLENS;
  g_isp.sys.lens = lens;
  g_isp.lensLink.focus_bias.store(0);
  g_isp.lensLink.focus_Telebias.store(0);
  g_isp.components.ae.store(nullptr);
}

class Tracking : public ::testing::Test {
 protected:
  void SetUp() override {
    board(TAMRON_X3);
    af.lens = &lens;
    af.m_iCurrZoomPosition.store(lens.zoom);
    g_isp.lensLink.flags.G_ATF_On.store(1);
  }
  void TearDown() override { g_isp.lensLink.flags.G_ATF_On.store(0); }
  // One tracking frame with these AF sums (the values are five times the sums).
  void frame(uint16_t sum0, uint16_t sum1) {
    af.afHFSum0 = sum0;
    af.afHFSum1 = sum1;
    ATF_onAFdone(&af);
  }
  int32_t choose(int32_t z, int32_t f) { return chooseTrackingCurve(&af, z, f); }

  CAFControl af;
  TrackLens lens;
};

TEST_F(Tracking, TheChoiceTakesTheNearestCurveThenSubCurveAndTiesKeepTheLowerIndex) {
  const CurveFamily* f0 = curveFamily(TAMRON_X3);
  ASSERT_NE(f0, nullptr);
  // The rows the curves are made from: curve 0 is the focus table, curve 12 the lower curve.
  EXPECT_EQ(choose(0, 80), 0);
  EXPECT_EQ(choose(100, 900), 6);
  EXPECT_EQ(choose(280, 1570), 6);
  // Curves 9 (66) and 10 (64) at stop 0 lie 1 from 65: the lower index wins.
  ASSERT_EQ(f0->curve(9)[0], 66);
  ASSERT_EQ(f0->curve(10)[0], 64);
  EXPECT_EQ(choose(0, 65), 9);
  // 43 at stop 0: curve 12 (42) wins; its sub-curves 0 (42) and 1 (44) tie: sub-curve 0, number 20.
  EXPECT_EQ(choose(0, 43), 20);
  EXPECT_EQ(af.curveFamilyIndex.load(), 12);
  EXPECT_EQ(af.curveSubIndex.load(), 0);
  EXPECT_EQ(choose(0, 47), 22) << "curve 12 + 5: sub-curve 2";
  EXPECT_EQ(choose(607, 1816), 22) << "curve 12 + 4 at the tele end: sub-curve 2 has fallen to 4";
  EXPECT_EQ(choose(607, 1822), 14) << "curve 11 beats curve 12 + sub-curve 5 (10 at tele)";
  EXPECT_EQ(choose(0, 54), 14) << "curve 11 (55, 25 below curve 0)";
  // The biases shift every curve alike.
  g_isp.lensLink.focus_bias.store(10);
  EXPECT_EQ(choose(0, 90), 0);
  EXPECT_EQ(choose(0, 80), 7) << "80 is now 10 below curve 0: curves 7 (9 below) and 8 (11) tie";
  g_isp.lensLink.focus_bias.store(0);
  // Lens 1: curves 13..16 repeat 0..3, so a number 0..3 always means curves 0..3.
  board(TAMRON_X30);
  EXPECT_EQ(choose(300, 338), 0);
  EXPECT_EQ(af.curveFamilyIndex.load(), 0);
  // Lens 3: curve 5 (number 10) is infinity.
  board(T5289_X3);
  EXPECT_EQ(choose(0, 744), 0);
  EXPECT_EQ(choose(0, lensCurves(T5289_X3)->lower[0]), 10);
  EXPECT_EQ(choose(1179, 31), 0);
}

TEST_F(Tracking, TheNumbersNoCurveGivesLieBetweenTheirNeighboursAndTheMcuRefusesHigherOnes) {
  for (int32_t lens : {int32_t(TAMRON_X3), int32_t(TAMRON_X30)}) {
    for (int32_t z = 0; z <= 607; z += 101) {
      int32_t prev = 1 << 20;
      for (int32_t n = 0; n <= 14; ++n) {
        int32_t f = 0;
        ASSERT_TRUE(curveNumberFocus(lens, n, z, &f));
        EXPECT_LE(f, prev) << "lens " << lens << " stop " << z << " number " << n << ": near to far";
        prev = f;
      }
    }
    int32_t f = 0;
    EXPECT_TRUE(curveNumberFocus(lens, 25, 0, &f));
    EXPECT_FALSE(curveNumberFocus(lens, 26, 0, &f));
  }
  int32_t a = 0, b = 0, c = 0;
  ASSERT_TRUE(curveNumberFocus(T5289_X3, 4, 500, &a));
  ASSERT_TRUE(curveNumberFocus(T5289_X3, 7, 500, &b));
  ASSERT_TRUE(curveNumberFocus(T5289_X3, 10, 500, &c));
  EXPECT_GT(a, b);
  EXPECT_GT(b, c);
  EXPECT_EQ(c, lensCurves(T5289_X3)->lower[500]);
  EXPECT_FALSE(curveNumberFocus(T5289_X3, 11, 500, &a));
}

TEST_F(Tracking, TheHandOverSendsNothingOutsideTheLens) {
  af.m_iCurrZoomPosition.store(0);
  af.m_iCurrFocusPosition.store(1889);
  EXPECT_EQ(sendTrackingCurveAF(&af), 0);
  af.m_iCurrFocusPosition.store(1888);
  EXPECT_EQ(sendTrackingCurveAF(&af), 1);
  af.m_iCurrZoomPosition.store(608);
  EXPECT_EQ(sendTrackingCurveAF(&af), 0);
  board(T5289_X3);
  af.m_iCurrZoomPosition.store(1179);
  af.m_iCurrFocusPosition.store(901);
  EXPECT_EQ(sendTrackingCurveAF(&af), 0);
  af.m_iCurrFocusPosition.store(31);
  EXPECT_EQ(sendTrackingCurveAF(&af), 1);
  board(CANON_X20);
  EXPECT_EQ(sendTrackingCurveAF(&af), 0);
  EXPECT_EQ(lens.afCurves, (std::vector<int32_t>{0, 0})) << "far above every curve: the nearest, curve 0";
  EXPECT_EQ(af.ATF_m_iCurrFocusPosition.load(), 0);
}

TEST_F(Tracking, FiveFramesWithoutZoomChangeStopTheZoomAndAWideZoomSkipsTheStep) {
  af.atfStatus.store(0);  // NoSeeking: the step moves nothing
  for (int i = 0; i < 4; ++i) frame(4000, 4000);
  EXPECT_EQ(lens.stops, 0);
  frame(4000, 4000);
  EXPECT_EQ(lens.stops, 1) << "the fifth unchanged frame";
  EXPECT_EQ(af.zoomSettleCount, 0);
  // A changing zoom never stops; a failed inquiry counts as a change.
  g_isp.lensLink.flags.G_ATF_On.store(1);
  for (int i = 0; i < 8; ++i) {
    lens.zoom += 3;
    lens.zoomAnswers = i != 5;
    frame(4000, 4000);
  }
  EXPECT_EQ(lens.stops, 1);
  // Towards wide every frame is skipped: a blurred picture starts no search.
  lens.zoomAnswers = true;
  const uint32_t before = af.atfStatus.load();
  for (int i = 0; i < 8; ++i) {
    lens.zoom -= 3;
    frame(100, 100);
  }
  EXPECT_EQ(af.atfStatus.load(), before);
  EXPECT_EQ(af.m_iCurrZoomPosition.load(), lens.zoom);
  lens.zoom += 3;
  frame(100, 100);
  EXPECT_EQ(af.atfStatus.load() & AF_PRESEEK, AF_PRESEEK) << "a tele frame with HF1 below 12000 starts a search";
}

TEST_F(Tracking, ABlurredZoomMovesTheCurveAndTheReportSetsTheNumber) {
  af.ATF_m_iCurrFocusPosition.store(6);
  af.atfStatus.store(AF_PRESEEK);
  lens.zoom += 1;
  frame(500, 500);  // PreSeeking: 6 lies below the middle of 0..15, so towards the upper bound
  EXPECT_EQ(af.atfStatus.load() & (AF_SEEK | AF_COARSE | AF_NEAR), AF_SEEK | AF_COARSE | AF_NEAR);
  EXPECT_TRUE(lens.curves.empty());
  lens.zoom += 1;
  frame(500, 500);  // the probe: one coarse step towards the lower bound
  ASSERT_EQ(lens.curves, (std::vector<int32_t>{4}));
  EXPECT_EQ(af.curveMovePending.load(), 1);
  EXPECT_EQ(af.movePending.load(), 1);
  EXPECT_EQ(af.atfLocked.load(), 0);
  EXPECT_EQ(g_isp.lensLink.flags.G_ATF_NotDataLock.load(), 0);
  lens.zoom += 1;
  frame(500, 500);
  EXPECT_EQ(lens.curves.size(), 1u) << "nothing while the move is in flight";
  af.callback(1);
  EXPECT_EQ(af.ATF_m_iCurrFocusPosition.load(), 4);
  EXPECT_EQ(af.curveMovePending.load() + af.movePending.load(), 0);
  EXPECT_EQ(af.atfStatus.load() & AF_MOVING, 0u);
  EXPECT_EQ(g_isp.lensLink.flags.G_ATF_NotDataLock.load(), 1);
  // Flat frames step on to the lower bound, which sets its bit, then turn round.
  for (int i = 0; i < 6; ++i) {
    lens.zoom += 1;
    frame(500, 500);
    if (af.curveMovePending.load()) af.callback(1);
  }
  EXPECT_EQ(lens.curves, (std::vector<int32_t>{4, 2, 0, 2, 4, 6})) << "no move on the frame that turns round";
  EXPECT_NE(af.atfLimitHits.load() & 2, 0u);
  // A failed report keeps the number.
  lens.zoom += 1;
  frame(500, 500);
  EXPECT_EQ(lens.curves.back(), 8);
  af.callback(0);
  EXPECT_EQ(af.ATF_m_iCurrFocusPosition.load(), 6);
  // A sharp picture goes to fine mode, which moves nothing.
  const size_t sent = lens.curves.size();
  for (int i = 0; i < 4; ++i) {
    lens.zoom += 1;
    frame(3000, 3000);
  }
  EXPECT_EQ(af.atfStatus.load() & AF_COARSE, 0u);
  EXPECT_EQ(lens.curves.size(), sent);
}

// Both coarse step rules by decision: better goes on the same way, worse turns round first and marks
// the bound it was heading for, flat goes on; where the bound leaves no step the rule turns round
// without a move. The two rules send the same curve numbers.
TEST_F(Tracking, TheCoarseStepRulesByDecision) {
  const struct Row {
    int32_t d, number;
    bool upper;               // heading for the upper bound
    std::vector<int32_t> sent;
    bool upperAfter;
    uint32_t limitHits;
  } rows[] = {{1, 6, true, {8}, true, 0},   {1, 20, true, {}, false, 0}, {-1, 6, true, {4}, false, 1},
              {-1, 6, false, {8}, true, 2}, {0, 6, false, {4}, false, 0}, {0, 0, false, {}, true, 0}};
  for (int (*rule)(CAFControl*, int32_t) : {&ATF_AFSeekCoarse, &ATF_AFSeekCoarse2}) {
    for (const Row& r : rows) {
      lens.curves.clear();
      af.ATF_m_iCurrFocusPosition.store(r.number);
      af.atfStatus.store(AF_SEEK | AF_COARSE | (r.upper ? uint32_t(AF_NEAR) : 0u));
      af.atfLimitHits.store(0);
      rule(&af, r.d);
      EXPECT_EQ(lens.curves, r.sent) << r.d << " from " << r.number;
      EXPECT_EQ((af.atfStatus.load() & AF_NEAR) != 0, r.upperAfter) << r.d << " from " << r.number;
      EXPECT_EQ(af.atfLimitHits.load(), r.limitHits);
      if (!r.sent.empty()) {
        af.callback(1);
        EXPECT_EQ(af.ATF_m_iCurrFocusPosition.load(), r.sent.back());
      }
    }
  }
}

TEST_F(Tracking, ACurveMoveWithoutReportIsGivenUpAfter50FramesAndTrackingGoesOn) {
  af.ATF_m_iCurrFocusPosition.store(6);
  af.atfStatus.store(AF_PRESEEK);
  lens.zoom += 1;
  frame(500, 500);
  lens.zoom += 1;
  frame(500, 500);
  ASSERT_EQ(af.curveMovePending.load(), 1);
  logger::LogCapture log;
  lens.zoom = 250;
  lens.focus = 1234;
  const size_t sent = lens.curves.size();
  for (int i = 0; i < 49; ++i) frame(500, 500);
  EXPECT_EQ(af.curveMovePending.load(), 1);
  EXPECT_FALSE(log.contains("[ATF_Lock]"));
  lens.zoom = 251;
  frame(500, 500);
  EXPECT_TRUE(log.contains("[ATF_Lock]err_code=50.\n"));
  EXPECT_EQ(af.m_iCurrFocusPosition.load(), 1234u) << "positions read back";
  // The move is given up as a whole, so the same frame tracks again: a new move goes out (with the
  // in-flight bit left set, every later frame would wait for the lost report).
  EXPECT_EQ(lens.curves.size(), sent + 1);
  EXPECT_EQ(af.m_iCurrZoomPosition.load(), 251u);
  af.callback(1);
  EXPECT_EQ(af.curveMovePending.load() + af.movePending.load(), 0);
  EXPECT_EQ(af.atfLocked.load(), 1);
  EXPECT_EQ(af.atfStatus.load() & AF_MOVING, 0u);
  // A report with no move in flight is harmless.
  EXPECT_EQ(af.callback(1), 0);
  EXPECT_EQ(af.ATF_m_iCurrFocusPosition.load(), af.expectedCurve.load());
}

}  // namespace
}  // namespace isp
}  // namespace kavo
