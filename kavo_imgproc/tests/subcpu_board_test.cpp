// The sub-CPU object's GPIO, backlight and SPI pan/tilt operations against the board's simulated
// devices: what each request carried (the devices' journal), what the devices did, and how failures
// are reported.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "fe_subcpu/subcpu.h"
#include "kavo/logger/logger.h"
#include "kavo/os/board_io.h"
#include "kavo/sim/board_sim.h"
#include "kavo/sim/iav_sim.h"
#include "lens_line.h"

namespace kavo {
namespace isp {
namespace {

using kavo::logger::LogCapture;
using lenstest::FastSleeps;
namespace board = kavo::sim::board;

std::vector<nlohmann::json> journal(const std::string& node = "") {
  std::vector<nlohmann::json> out;
  std::ifstream in(board::journalFile());
  for (std::string l; std::getline(in, l);) {
    nlohmann::json j = nlohmann::json::parse(l, nullptr, false);
    if (!j.is_discarded() && (node.empty() || j.value("node", "") == node)) out.push_back(j);
  }
  return out;
}

std::vector<std::string> requests(const std::string& node) {
  std::vector<std::string> out;
  for (const auto& j : journal(node)) out.push_back(j.value("req", "") + (j.contains("arg") ? "=" + j["arg"].dump() : ""));
  return out;
}

class SubCpuBoard : public ::testing::Test {
 protected:
  kavo::test::TestRoot root;
  lenstest::PtyLine line{root};
  FastSleeps quick;  // the links' settling sleeps
};

TEST_F(SubCpuBoard, TheIrLedSwitchesAndTheBacklightOfBoardFive) {
  lenstest::zoomBoard(FINCH_IR);
  g_isp.sys.systemType = FIXLENS;
  {
    SubCPU s;
    EXPECT_EQ(s.openGPIO_xBrisk(), 0);
    EXPECT_EQ(s.setIrLedon_xBrisk(5), 1);
    kavo::sim::iav::LensInputs l{};
    ASSERT_TRUE(kavo::sim::iav::lensInputs(l));
    EXPECT_EQ(l.irLed, 255u) << "the LEDs light the camera's scene";
    EXPECT_EQ(s.setIrLedon_xBrisk(0), 1);
    EXPECT_EQ(s.closeGPIO(), 0);
  }
  const std::vector<std::string> gpio = {
      "open", "GPIO_REQUEST_IR_LED2={\"value\":0}", "GPIO_REQUEST_IR_LED={\"value\":0}",
      "GPIO_REQUEST_IR_LED2={\"value\":1}", "GPIO_REQUEST_IR_LED={\"value\":1}", "GPIO_REQUEST_IR_LED2={\"value\":0}",
      "GPIO_REQUEST_IR_LED={\"value\":0}", "close"};
  EXPECT_EQ(requests("/dev/gpiodev"), gpio);
  // The backlight is powered at the first switch only (the one opening the device makes).
  const auto bl = journal(kIrLedBacklightPower);
  ASSERT_EQ(bl.size(), 3u);
  EXPECT_EQ(bl[1].value("bytes", ""), "31 0A");
  board::Gpio g{};
  ASSERT_TRUE(board::gpio(g));
  EXPECT_EQ(g.backlightPower, 1u);

  // Another board: one switch, no backlight.
  kavo::test::TestRoot other;
  lenstest::zoomBoard(TORVEX_BRISK);
  SubCPU s;
  s.openGPIO_xBrisk();
  s.closeGPIO();
  EXPECT_EQ(requests("/dev/gpiodev"), (std::vector<std::string>{"open", "GPIO_REQUEST_IR_LED={\"value\":0}", "close"}));
  EXPECT_TRUE(journal(kIrLedBacklightPower).empty());
}

TEST_F(SubCpuBoard, VideoPortsAndTheResetButton) {
  lenstest::zoomBoard();
  SubCPU s;
  s.openGPIO_xBrisk();
  ASSERT_TRUE(board::setGpioInputs(1, 0, 1));
  uint32_t in0 = 9, in1 = 9;
  EXPECT_EQ(s.getVportInput(0, &in0), 1);
  EXPECT_EQ(s.getVportInput(1, &in1), 1);
  EXPECT_EQ(in0, 0u);
  EXPECT_EQ(in1, 1u);
  EXPECT_EQ(s.getResetButton_xBrisk(), 1);
  EXPECT_EQ(s.setVportOutput(1, 1), 1);
  EXPECT_EQ(s.setVportOutput(0, 0), 1);
  board::Gpio g{};
  ASSERT_TRUE(board::gpio(g));
  EXPECT_EQ(g.vportOut[1], 1u);
  EXPECT_EQ(g.vportOut[0], 0u);

  // Refused requests: logged, the operations still report 1, read values stay as they were.
  LogCapture log;
  ASSERT_TRUE(board::setFaults(R"({"faults": [
      {"request": "GPIO_REQUEST_VPORT_IN1", "errno": "EIO", "times": 9},
      {"request": "GPIO_REQUEST_VPORT_OUT0", "errno": "EIO", "times": 9},
      {"request": "GPIO_REQUEST_RESET_BUTTON", "errno": "EIO", "times": 9}]})"));
  in1 = 7;
  EXPECT_EQ(s.getVportInput(1, &in1), 1);
  EXPECT_EQ(in1, 7u);
  EXPECT_TRUE(log.has("[getVportInput]err_code=-2.", LOG_LEVEL_WARNING));
  EXPECT_EQ(s.setVportOutput(0, 1), 1);
  EXPECT_TRUE(log.has("[setVportOutput]err_code=-1.", LOG_LEVEL_INFO));
  EXPECT_EQ(s.getResetButton_xBrisk(), 0) << "a failed read is not a pressed button";
  EXPECT_TRUE(log.has("[getResetButton_xBrisk]err_code=-1.", LOG_LEVEL_INFO));
  s.closeGPIO();

  // No device at all: the open is logged and every operation goes on reporting.
  ASSERT_TRUE(board::setFaults(R"({"faults": [{"request": "open", "node": "/dev/gpiodev", "errno": "ENOENT"}]})"));
  SubCPU none;
  EXPECT_EQ(none.openGPIO_xBrisk(), 0);
  EXPECT_TRUE(log.has("[openGPIO_xBriskA]err_code=-1.", LOG_LEVEL_WARNING));
  EXPECT_EQ(none.m_gpioOpen.load(), 1u);
  EXPECT_TRUE(log.has("[setIrLedon_xBrisk]err_code=-1.", LOG_LEVEL_INFO));
  EXPECT_EQ(none.getVportInput(0, &in0), 1);
  EXPECT_TRUE(log.has("[getVportInput]err_code=-1.", LOG_LEVEL_WARNING));
  EXPECT_EQ(none.closeGPIO(), 0);
}

TEST_F(SubCpuBoard, PanTiltGoesOnTheSpiBusOfBoardThree) {
  lenstest::zoomBoard(TORVEX_TARROW);
  SubCPU s;
  ASSERT_EQ(s.openSubCPU(), 0);
  ASSERT_GE(s.m_spi.descriptor.load(), 0);
  const auto setup = requests("/dev/spidev0.0");
  ASSERT_GE(setup.size(), 4u);
  EXPECT_EQ(setup[1], "SPI_REQUEST_WR_MODE={\"mode\":1}");
  EXPECT_EQ(setup[2], "SPI_REQUEST_WR_BITS_PER_WORD={\"bits\":8}");
  EXPECT_EQ(setup[3], "SPI_REQUEST_WR_MAX_SPEED_HZ={\"hz\":1000000}");

  EXPECT_EQ(s.ptAbsolute(0x18, 0x14, -100, 50), kViscaOk);
  EXPECT_EQ(s.ptLimitSetUpRight(2000, 1000), kViscaOk);
  EXPECT_EQ(s.ptLimitClearDownLeft(), kViscaOk);
  EXPECT_EQ(s.ptUpLeft(3, 4), kViscaOk);
  EXPECT_EQ(s.ptStop(3, 4), kViscaOk);
  EXPECT_EQ(s.ptHome(), kViscaOk);
  std::vector<std::string> writes;
  for (const auto& j : journal("/dev/spidev0.0"))
    if (j.value("req", "") == "write") writes.push_back(j.value("bytes", "") + " " + j.value("command", ""));
  const std::vector<std::string> expected = {
      "81 01 06 02 18 14 0F 0F 09 0C 00 00 03 02 FF absolute",
      "81 01 06 07 00 01 00 07 0D 00 00 03 0E 08 FF limitSet",
      "81 01 06 07 01 00 07 0F 0F 0F 07 0F 0F 0F FF limitClear",
      "81 01 06 01 03 04 01 01 FF drive",
      "81 01 06 01 03 04 03 03 FF drive",
      "81 01 06 04 FF home"};
  EXPECT_EQ(writes, expected);
  s.closeSubCPU();
  EXPECT_EQ(s.ptHome(), kViscaFail) << "closed";
}

TEST_F(SubCpuBoard, ThePanTiltUnitTravelsToWhereItIsSent) {
  lenstest::zoomBoard(TORVEX_TARROW);
  SubCPU s;
  ASSERT_EQ(s.openSubCPU(), 0);
  ASSERT_EQ(s.ptAbsolute(0x18, 0x14, -100, 50), kViscaOk);
  board::PanTiltNow p{};
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(board::panTiltNow(p));
    if (!p.moving) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(p.pan, -100);
  EXPECT_EQ(p.tilt, 50);
  EXPECT_EQ(p.spiMode, 1u);
  EXPECT_EQ(p.spiSpeedHz, 1000000u);
  s.closeSubCPU();

  // A bus that refuses its mode leaves the link closed.
  LogCapture log;
  ASSERT_TRUE(board::setFaults(R"({"faults": [{"request": "SPI_REQUEST_WR_MODE", "errno": "EINVAL"}]})"));
  SubCPU refused;
  refused.openSubCPU();
  EXPECT_TRUE(log.has("[openSPI2PT]err_code=-1.", LOG_LEVEL_WARNING));
  EXPECT_EQ(refused.m_spi.descriptor.load(), -1);
  EXPECT_EQ(refused.ptAbsolute(1, 1, 0, 0), kViscaFail);
  EXPECT_GE(refused.m_serial.descriptor.load(), 0) << "the lens link is not affected";
  refused.closeSubCPU();
}

}  // namespace
}  // namespace isp
}  // namespace kavo
