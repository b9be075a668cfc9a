// The drivers from three threads at once, as the ISP server's 3A, IPC and VISCA threads call them
// (run under ThreadSanitizer by the KAVO_TSAN build).
#include <atomic>
#include <thread>

#include "be_i2c/i2c_driver.h"
#include "be_iav/iav_driver.h"
#include "driver_fixture.h"

namespace {

using namespace drivertest;

class DriverThreads : public DriverTest {};

TEST_F(DriverThreads, ThreeThreadsShareTheDrivers) {
  kavo::isp::IAVDriver iav;
  kavo::isp::I2CDriver i2c;
  ASSERT_EQ(iav.open_iav(), 0);
  constexpr int kRounds = 150;
  std::atomic<int> failures{0};
  auto check = [&failures](bool ok) {
    if (!ok) failures.fetch_add(1);
  };
  std::thread aaa([&] {
    iav_awb_tile_t awb[IAV_AAA_MAX_AWB_TILES];
    iav_af_tile_t af[IAV_AAA_MAX_AF_TILES];
    iav_aaa_frame_info_t frame{};
    iav_aaa_stats_request_t r{awb, nullptr, af, nullptr, nullptr, &frame};
    for (int i = 0; i < kRounds; ++i) {
      check(iav.get_aaa_data(&r) == 0);
      check(iav.set_eshutter_time(IAV_FRAME_RATE_CLOCK / (60 + i % 7)) == 0);
      check(iav.set_agc_index((i % 40) * 2509323) == 0);
      i2c.updatelightSensorState();
    }
  });
  std::thread ipc([&] {
    const iav_rgb_to_yuv_t yuv{{306, 601, 117, -173, -339, 512, 512, -429, -83}, 0, 128, 128};
    for (int i = 0; i < kRounds; ++i) {
      const uint32_t gains[3] = {1024u + i, 1024, 1400u - i};
      check(iav.set_wb_gain(gains) == 0);
      check(iav.set_dPTZ(i % 10, 0, 1 + i % 3) == 0);
      check(iav.change_qp_limit(static_cast<unsigned>(i % 11), 10000) == 1);
      check(iav.set_rgb_to_yuv_matrix(&yuv) == 0);
      if (i % 50 == 0) check(iav.set_mirror_mode(static_cast<uint32_t>(i / 50 % 4), 1) == 0);
      uint32_t agc = 0;
      check(iav.get_agc_index(&agc) == 0);
    }
  });
  std::thread visca([&] {
    for (int i = 0; i < kRounds; ++i) {
      i2c.lightSensorStart();
      i2c.lightSensorReadStatus();
      i2c.lightSensorReadValue();
      uint32_t light = 0;
      check(i2c.getLightSensorValue(&light) == 1 && light > 0);
      check(iav.set_sensor_wdr_level(i % 4) == 0);
      iav.get_sensor_RegData(0x2410);
      check(iav.force_set_agc_index((i % 30) * 2509323) == 0);
      uint32_t shutter = 0;
      check(iav.get_eshutter_time(&shutter) == 0 && shutter > 0);
    }
  });
  aaa.join();
  ipc.join();
  visca.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(iav.close_iav(), 0);
}

}  // namespace
