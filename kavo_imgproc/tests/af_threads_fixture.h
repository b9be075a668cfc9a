#pragma once
// The auto focus on its real threads, in real time: a model-2 board with lens id 0 on the simulated
// camera, whose AF statistics the 3A thread reads, and a controller whose sub-CPU thread carries the
// moves to the lens-MCU emulator on a real serial line.
#include <cstdint>
#include <memory>

#include "algo_af/CAFControl.h"
#include "driver_fixture.h"
#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "lens_line.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/worker_threads.h"

namespace drivertest {

class AfThreadsTest : public DriverTest {
 protected:
  std::string config() const override { return R"({"clock": "realtime"})"; }
  void SetUp() override {
    using namespace kavo::isp;
    DriverTest::SetUp();
    kavo::utils::setSleepsAdvanceMomentsForTest(false);  // the threads run in real time
    lenstest::zoomBoard(TORVEX_BRISK, TAMRON_X3);
    g_isp.sys = SystemParameters{TORVEX_BRISK, 1, ZOOMLENS, SENSOR_AR0331, TAMRON_X3};
    g_isp.aeLimits = AELimits{20720, 0, 198, 5, 161};
    g_isp.image.wdrLevel.store(0);
    g_isp.irLedAuto.store(1);
    g_isp.irLedDriveLevel.store(215);
    g_isp.lensLink.focus_bias.store(0);
    g_isp.lensLink.focus_Telebias.store(0);
    g_isp.lensLink.zoom_bias.store(0);
  }

  // A controller on the emulator's line (already running) with its sub-CPU thread, the AF past its
  // start-up (the bias exchange and its five-second wait are tested elsewhere) at the lens's
  // positions, in manual focus, 3A enabled; the 3A thread is not started.
  static std::unique_ptr<kavo::isp::CIsp> startController() {
    using namespace kavo::isp;
    auto isp = std::make_unique<CIsp>();
    g_isp.controller.store(isp.get());
    isp->openDevices();
    isp->initialize(&g_isp.sys);
    EXPECT_TRUE(lenstest::openLensLinkInManualFocus());
    CAFControl* af = afControl();
    resetAF(isp.get());
    uint32_t z = 0, fo = 0;
    EXPECT_TRUE(subCpu()->getZoom(&z) && subCpu()->getFocus(&fo));
    af->m_iCurrZoomPosition.store(z);
    af->m_iCurrFocusPosition.store(fo);
    refreshFocusRange(af);
    EXPECT_EQ(enable_aaa(isp.get(), 1), 0);
    af->afInitState.store(2);
    return isp;
  }

  // The threads stopped and the controller gone.
  static void stopController(std::unique_ptr<kavo::isp::CIsp>& isp) {
    using namespace kavo::isp;
    EXPECT_EQ(stop_aaa_thread(), 0);
    EXPECT_TRUE(join_aaa_thread(5000));
    stopSubCPUThread();
    joinSubCPUThread(1000);
    subCpu()->setCallback(nullptr);
    isp->closeDevices();
    subCpu()->closeGPIO();  // a zoom board keeps it to the end of the process; the next test has its own root
    g_isp.controller.store(nullptr);
    isp.reset();
  }
};

}  // namespace drivertest
