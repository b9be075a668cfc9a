// Lens positions and the bias file against the lens-MCU emulator on a real pseudo-terminal: what the
// server writes on the line (read back from the emulator's journal), the move guard, the focus
// refusal in the AF modes, and the bias files' exact contents.
#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "algo_ae/AEControl.h"
#include "algo_af/CAFControl.h"
#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "kavo/logger/logger.h"
#include "lens_line.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/CIsp_Motor.h"

namespace kavo {
namespace isp {
namespace {

using kavo::logger::LogCapture;
using lenstest::combined;
using lenstest::nibbles;

class LensMotor : public lenstest::EmulatedLensTest {
 protected:
  void start(int32_t lens = TAMRON_X3, const std::string& config = R"({"readyMs": 0})") {
    startLens(TORVEX_BRISK, lens, config);
  }
};

TEST_F(LensMotor, AbsoluteZoomSendsTheStopAndTheBiasedFocusTarget) {
  start();
  g_isp.lensLink.focus_bias.store(-5);
  g_isp.lensLink.focus_Telebias.store(30);
  EXPECT_EQ(set_zoom_abs_normalize(isp.get(), 100), 0);
  EXPECT_EQ(set_zoom_abs_normalize(isp.get(), 0), 0);
  EXPECT_EQ(set_zoom_abs_normalize(isp.get(), 250), 0) << "above 100 counts as 100";
  g_isp.lensLink.focus_Telebias.store(60);
  EXPECT_EQ(set_zoom_abs_normalize(isp.get(), 100), 0);
  const std::vector<std::string> moves = sentNow("81 01 04 47 ");
  ASSERT_GE(moves.size(), 4u);
  EXPECT_EQ(moves.front(), combined(607, 1878));
  EXPECT_NE(std::find(moves.begin(), moves.end(), combined(0, 75)), moves.end());
  EXPECT_EQ(moves.back(), combined(607, 1888)) << "the lens limit caps the tele focus";
  CAFControl* af = afControl();
  EXPECT_EQ(af->m_iCurrZoomPosition.load(), 607);
  EXPECT_EQ(af->m_iCurrFocusPosition.load(), 1888);
  EXPECT_EQ(isp->zoomMoving.load() | isp->focusMoving.load(), 0);
}

TEST_F(LensMotor, ASecondMoveWhileOneRunsIsRefused) {
  start();
  auto first = std::async(std::launch::async, [&] { return set_zoom_abs_normalize(isp.get(), 100); });
  while (isp->zoomMoving.load() == 0) std::this_thread::yield();
  LogCapture log;
  EXPECT_EQ(set_zoom_abs_normalize(isp.get(), 10), -1);
  EXPECT_EQ(set_focus_abs_normalize(isp.get(), 10), -1);
  EXPECT_TRUE(log.contains("Zoom or Focus is moving."));
  EXPECT_EQ(first.get(), 0);
  EXPECT_EQ(sentNow("81 01 04 47 ").size(), 1u) << "only the first move reached the line";
}

TEST_F(LensMotor, AbsoluteFocusOnlyInManualAndPushModes) {
  start();
  LensMotionFlags& f = g_isp.lensLink.flags;
  afControl()->m_iCurrZoomPosition.store(300);
  f.G_AutoFocusMode.store(1);
  EXPECT_EQ(set_focus_abs_normalize(isp.get(), 50), -1);
  f.G_AutoFocusMode.store(0);
  f.G_ZoomTrigMode.store(1);
  EXPECT_EQ(set_focus_abs_normalize(isp.get(), 50), -1);
  EXPECT_TRUE(sentNow("81 01 04 47 ").empty()) << "a refused focus leaves the lens alone";
  f.G_ZoomTrigMode.store(0);
  EXPECT_EQ(set_focus_abs_normalize(isp.get(), 100), 1);
  int32_t hi = 0, lo = 0;
  updateMinMaxFocusFromTrackingCurve(afControl(), &hi, &lo);
  EXPECT_EQ(sentNow("81 01 04 47 ").front(), combined(300, hi));
  EXPECT_EQ(afControl()->m_iCurrFocusPosition.load(), hi);
}

TEST_F(LensMotor, BiasesGoToTheMcuInOrderNegativeOnesAsOneByte) {
  start();
  root.mkdirs("/etc/ispserver");
  root.write("/etc/ispserver/lensbias.conf", "zoom_bias=12\nfocus_bias=-10\nfocus_Telebias=-3\niris_bias=40\niris_status=2\n");
  EXPECT_EQ(setZFBias2Mcu(afControl()), 1);
  int32_t wide = 0, tele = 0;
  EXPECT_EQ(subCpu()->getFocusWideBias(&wide), 1);
  EXPECT_EQ(subCpu()->getFocusTeleBias(&tele), 1);
  EXPECT_EQ(wide, -10) << "the MCU answers the byte as a signed value";
  EXPECT_EQ(tele, -3);
  // The inquiries above came after the commands, so the journal holds them all.
  const std::vector<std::string> bias = sentNow("81 01 04 D");
  const std::vector<std::string> want = {"81 01 04 DA " + nibbles(246) + " FF", "81 01 04 DC " + nibbles(253) + " FF",
                                         "81 01 04 D6 " + nibbles(12) + " FF", "81 01 04 D5 " + nibbles(40) + " FF"};
  EXPECT_EQ(bias, want);
  EXPECT_EQ(g_isp.lensLink.focus_bias.load(), -10);
  EXPECT_EQ(aeControl()->irisTarget.load(), 40) << "the exposure control's iris target";

  // Saved as read, in the file's own format.
  EXPECT_EQ(SaveZFBias(afControl()), 1);
  EXPECT_EQ(root.read("/etc/ispserver/lensbias1.conf"),
            "zoom_bias=12\nfocus_bias=-10\nfocus_Telebias=-3\niris_bias=40\niris_status=2\n");
}

}  // namespace

// The bias files and the focus targets without a line.
TEST(LensBiasFile, AMissingFileIsCreatedWithZerosAndIrisBiasNeedsItsStatus) {
  kavo::test::TestRoot root;
  root.mkdirs("/etc/ispserver");
  lenstest::zoomBoard();
  CAFControl af;
  AEControl ae;
  g_isp.components.ae.store(&ae);
  LogCapture log;
  EXPECT_EQ(setZFBias2Mcu(&af), 1);
  EXPECT_TRUE(log.contains("[setZFBias2Mcu]err_code=-1.\n"));
  EXPECT_EQ(root.read("/etc/ispserver/lensbias.conf"),
            "zoom_bias=0\nfocus_bias=0\nfocus_Telebias=0\niris_bias=0\niris_status=0\n");
  root.write("/etc/ispserver/lensbias.conf", "zoom_bias=3\nfocus_bias=4\nfocus_Telebias=5\niris_bias=40\niris_status=1\n");
  EXPECT_EQ(setZFBias2Mcu(&af), 1);
  EXPECT_EQ(g_isp.lensLink.focus_Telebias.load(), 5);
  EXPECT_EQ(ae.irisTarget.load(), 128) << "iris_bias counts only with status 2";
  root.write("/etc/ispserver/lensbias.conf", "");
  EXPECT_EQ(setZFBias2Mcu(&af), 0) << "an empty file";
  lenstest::zoomBoard(TORVEX_BRISK, T5289_X3);
  root.write("/etc/ispserver/lensbias.conf", "zoom_bias=3\nfocus_bias=4\nfocus_Telebias=5\niris_bias=40\niris_status=2\n");
  EXPECT_EQ(setZFBias2Mcu(&af), 1);
  EXPECT_EQ(g_isp.lensLink.focus_bias.load(), -9) << "lens id 3 keeps its own values";
  EXPECT_EQ(g_isp.lensLink.focus_Telebias.load(), 59);
  g_isp.lensLink.focus_bias.store(0);
  g_isp.lensLink.focus_Telebias.store(0);
  g_isp.components.ae.store(nullptr);
}

TEST(LensFocusTarget, TheBiasedTargetStaysInsideTheLens) {
  lenstest::zoomBoard();
  g_isp.lensLink.focus_bias.store(-100);
  g_isp.lensLink.focus_Telebias.store(0);
  EXPECT_EQ(zoomFocusTarget(TAMRON_X3, 0), 0) << "80 - 100 stops at 0 instead of wrapping to the far end";
  EXPECT_EQ(zoomFocusTarget(TAMRON_X3, 280), 1575);
  g_isp.lensLink.focus_Telebias.store(-100);
  EXPECT_EQ(zoomFocusTarget(T5289_X3, 1179), 0);
  EXPECT_EQ(zoomFocusTarget(T5289_X3, 1050), 214) << "lens id 3 at 1050 uses the wide bias alone";
  g_isp.lensLink.focus_bias.store(200);
  EXPECT_EQ(zoomFocusTarget(T5289_X3, 0), 900);
  EXPECT_EQ(zoomFocusTarget(CANON_X20, 0), -1);
  EXPECT_EQ(biasByte(-1), 255u);
  EXPECT_EQ(biasByte(-128), 128u);
  EXPECT_EQ(biasByte(59), 59u);
  g_isp.lensLink.focus_bias.store(0);
  g_isp.lensLink.focus_Telebias.store(0);
}

}  // namespace isp
}  // namespace kavo
