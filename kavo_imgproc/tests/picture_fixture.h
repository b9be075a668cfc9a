#pragma once
// A controller opened and initialised on the simulated camera, for the picture, mask and settings
// tests: the board is chosen before SetUp runs the initialisation.
#include "be_iav/iav_driver.h"
#include "driver_fixture.h"
#include "thread_proc/CIsp.h"

namespace drivertest {

class ControllerFixture : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    g_isp_board(kavo::isp::ALDER_IR, kavo::isp::FIXLENS, kavo::isp::SENSOR_OV9715);
    start();
  }
  void TearDown() override {
    if (isp != nullptr) {
      isp->closeDevices();
      delete isp;
      isp = nullptr;
    }
  }
  static void g_isp_board(int32_t model, int32_t systemType, int32_t sensor) {
    kavo::isp::g_isp.sys = kavo::isp::SystemParameters{model, 1, systemType, sensor, systemType == 0 ? 0 : 4};
    kavo::isp::g_isp.board = model;
  }
  // A new controller for the board in g_isp.sys (the previous one goes).
  void start() {
    TearDown();
    isp = new kavo::isp::CIsp;
    kavo::isp::g_isp.controller.store(isp);
    isp->openDevices();
    isp->initialize(&kavo::isp::g_isp.sys);
  }
  kavo::isp::CIsp* isp = nullptr;
};

}  // namespace drivertest
