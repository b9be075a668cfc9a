// The camera model measured as the ISP server measures it: through the statistics record of the
// driver, with the sensor and white-balance requests it sends; and the light sensor on "/dev/i2c-0".
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numeric>
#include <thread>

#include "iav_client.h"
#include "kavo/os/i2c.h"
#include "kavo/sim/core/files.h"

namespace {

using namespace simtest;
namespace sim = kavo::sim::iav;

// 29.6 dB: entry 198 of the ISP server's AGC table; one table step is 2,509,323.3 units.
constexpr double kAgcStep = 2509323.3;

struct Stats : iav_aaa_stats_buffers_t {
  // Mean of a channel (0 R, 1 G, 2 B) over the AWB tiles of the grey wall (the top two rows).
  double wall(int c) const {
    double sum = 0;
    for (int t = 0; t < 24; ++t) sum += c == 0 ? awb[t].r : c == 1 ? awb[t].g : awb[t].b;
    return sum / 24;
  }
  double afTotal() const {
    double sum = 0;
    for (const auto& t : af) sum += t.fv1;
    return sum;
  }
};

// The ISP server's side: the driver requests it makes, on its own descriptor.
class CameraTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeConfig(root, R"({"clock": "virtual"})");
    ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
    ASSERT_EQ(c.startStop(true), 0);
    iav = devOpen("/dev/iav", O_RDWR);
    ASSERT_GE(iav, 0);
  }
  void TearDown() override { devClose(iav); }

  int read(Stats& s) {
    iav_aaa_stats_request_t r = iavStatsRequest(s);
    return req(iav, IAV_IOC_IMG_GET_STATISTICS, &r);
  }
  // Statistics once the settings sent so far are in force (the sensor takes them two frames on).
  Stats settled() {
    Stats s{};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(read(s), 0);
    return s;
  }
  void scene(const std::string& json) { ASSERT_TRUE(sim::setScene(json)); }
  void shutter(uint32_t t) { ASSERT_EQ(req(iav, IAV_IOC_VIN_SRC_SET_SHUTTER_TIME, uintptr_t{t}), 0); }
  void agc(double steps) {
    ASSERT_EQ(req(iav, IAV_IOC_VIN_SRC_SET_AGC_INDEX, static_cast<uintptr_t>(std::lround(steps * kAgcStep))), 0);
  }
  void wb(uint32_t r, uint32_t g, uint32_t b) {
    iav_vin_wb_gain_t w{r, g, g, b};
    ASSERT_EQ(req(iav, IAV_IOC_VIN_SRC_SET_WB_GAIN, &w), 0);
  }

  kavo::test::TestRoot root;
  Client c;
  int iav = -1;
};

TEST_F(CameraTest, ExposureGainAndWhiteBalanceScaleTheTiles) {
  scene(R"({"lux": 100})");
  wb(1024, 1024, 1024);
  agc(0);
  shutter(IAV_FRAME_RATE_CLOCK / 120);
  const Stats base = settled();
  ASSERT_GT(base.wall(1), 500) << "well above the noise";
  shutter(IAV_FRAME_RATE_CLOCK / 60);
  const Stats twice = settled();
  EXPECT_NEAR(twice.wall(1) / base.wall(1), 2.0, 0.06) << "twice the exposure time";
  EXPECT_NEAR(twice.ae[5].lin_y / static_cast<double>(base.ae[5].lin_y), 2.0, 0.06);
  shutter(IAV_FRAME_RATE_CLOCK / 120);
  agc(40);  // +5.98 dB
  const Stats gained = settled();
  EXPECT_NEAR(gained.wall(1) / base.wall(1), 2.0, 0.06) << "+6 dB of gain";
  EXPECT_EQ(gained.frame.agc_db, static_cast<int32_t>(std::lround(40 * kAgcStep)));
  agc(0);
  wb(2048, 1024, 512);
  const Stats balanced = settled();
  EXPECT_NEAR(balanced.wall(0) / base.wall(0), 2.0, 0.06);
  EXPECT_NEAR(balanced.wall(1) / base.wall(1), 1.0, 0.03);
  EXPECT_NEAR(balanced.wall(2) / base.wall(2), 0.5, 0.015);
  // Far above full scale the sensor clips (16383, less the black level, times 4) and no longer
  // follows the exposure.
  wb(1024, 1024, 1024);
  agc(198);
  shutter(IAV_FRAME_RATE_CLOCK / 4);
  const Stats clipped = settled();
  EXPECT_EQ(clipped.awb[0].g, 4 * (16383 - 168));
  shutter(IAV_FRAME_RATE_CLOCK / 2);
  EXPECT_EQ(settled().awb[0].g, clipped.awb[0].g);
}

TEST_F(CameraTest, AGreyUnderEachIlluminantHasItsColourRatios) {
  wb(1024, 1024, 1024);
  struct Case {
    double kelvin, rg, bg;  // the illuminant as the channels see it (README.md)
  };
  for (const Case k : {Case{3000, 0.9366, 0.5814}, Case{6500, 0.6771, 1.0500}}) {
    scene("{\"lux\": 200, \"kelvin\": " + std::to_string(k.kelvin) + "}");
    const Stats s = settled();
    EXPECT_NEAR(s.wall(0) / s.wall(1), k.rg, 0.02 * k.rg) << k.kelvin;
    EXPECT_NEAR(s.wall(2) / s.wall(1), k.bg, 0.02 * k.bg) << k.kelvin;
  }
}

TEST_F(CameraTest, SettingsTakeEffectOneOrTwoFramesLater) {
  Stats s{};
  ASSERT_EQ(read(s), 0);
  const uint32_t before = s.frame.shutter;
  shutter(before / 2);
  agc(20);
  std::vector<uint32_t> shutters;
  std::vector<int32_t> gains;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(read(s), 0);
    shutters.push_back(s.frame.shutter);
    gains.push_back(s.frame.agc_db);
  }
  // Requests made while frame n is captured: gain from n + 1, exposure from n + 2.
  EXPECT_EQ(shutters, (std::vector<uint32_t>{before, before / 2, before / 2, before / 2}));
  EXPECT_EQ(gains[0], static_cast<int32_t>(std::lround(20 * kAgcStep)));
}

TEST_F(CameraTest, FocusValuesPeakWhereTheLensFocuses) {
  scene(R"({"shimmer": 0})");  // the curve's shape, without the scene's frame-to-frame change
  sim::LensInputs lens{};
  ASSERT_TRUE(sim::lensInputs(lens));
  lens.focusInfinity = 400;
  lens.focusPerDioptre = 500;  // at 5 m the scene is in focus at 400 + 100
  ASSERT_TRUE(sim::setLensInputs(lens));
  std::vector<double> fv;
  for (int focus = 300; focus <= 700; focus += 25) {
    lens.focus = focus;
    ASSERT_TRUE(sim::setLensInputs(lens));
    fv.push_back(settled().afTotal());
  }
  const size_t peak = static_cast<size_t>(std::max_element(fv.begin(), fv.end()) - fv.begin());
  EXPECT_EQ(300 + 25 * static_cast<int>(peak), 500);
  for (size_t i = 1; i <= peak; ++i) EXPECT_GT(fv[i], fv[i - 1]) << "rising towards the focus, step " << i;
  // Beyond it the values fall until the blur leaves only the floor of the scaled AF sums.
  for (size_t i = peak + 1; i < fv.size(); ++i) EXPECT_LE(fv[i], fv[i - 1]) << "falling beyond it, step " << i;
  EXPECT_LT(fv[peak + 1], fv[peak]);
  EXPECT_GT(fv[peak], 2 * fv.front());
  EXPECT_GT(fv[peak], 2 * fv.back());
  // A lens that moves during the frame smears it.
  lens.focus = 500;
  ASSERT_TRUE(sim::setLensInputs(lens));
  const double still = settled().afTotal();
  lens.moving = 1;
  ASSERT_TRUE(sim::setLensInputs(lens));
  EXPECT_LT(settled().afTotal(), 0.9 * still);
}

// The ISP server adds the grid's AF tiles up in 16 bits: a sharp chart, exposed up to twice the
// default, sums within that. The scene's shimmer is what moves the sum from frame to frame, and a
// flat wall leaves only the noise floor.
TEST_F(CameraTest, FocusSumsFitSixteenBitsAndVaryByTheScene) {
  auto spread = [&](const std::string& json, double* mean) {
    scene(json);
    settled();
    std::vector<double> v;
    for (int i = 0; i < 40; ++i) v.push_back(settled().afTotal());
    *mean = std::accumulate(v.begin(), v.end(), 0.0) / v.size();
    double var = 0;
    for (double x : v) var += (x - *mean) * (x - *mean);
    return std::sqrt(var / v.size()) / *mean;
  };
  double sharp = 0, flat = 0, m = 0;
  EXPECT_LT(spread(R"({"shimmer": 0})", &sharp), 0.01);
  const double shimmer = spread(R"({"shimmer": 0.05})", &m);
  EXPECT_GT(shimmer, 0.03);
  EXPECT_LT(shimmer, 0.08);
  spread(R"({"texture": 0, "shimmer": 0})", &flat);
  EXPECT_LT(flat, 0.2 * sharp);
  std::printf("AF sum: sharp %.0f, flat %.0f, shimmer 5 %% -> %.1f %%\n", sharp, flat, 100 * shimmer);
  shutter(IAV_FRAME_RATE_CLOCK / 30);  // twice the default exposure
  scene(R"({"shimmer": 0})");
  const double bright = settled().afTotal();
  EXPECT_GT(bright, 1.5 * sharp);
  EXPECT_LT(bright, 65536) << "the grid's sum wraps in the ISP server's 16 bits";
}

TEST_F(CameraTest, InfraredReachesTheSensorOnlyWithoutTheFilter) {
  scene(R"({"lux": 0.5, "ir": 0})");
  wb(1024, 1024, 1024);
  agc(198);
  shutter(IAV_FRAME_RATE_CLOCK / 30);
  sim::LensInputs lens{};
  ASSERT_TRUE(sim::lensInputs(lens));
  lens.irLed = 255;
  ASSERT_TRUE(sim::setLensInputs(lens));
  const double filtered = settled().wall(1);
  lens.irCutIn = 0;
  ASSERT_TRUE(sim::setLensInputs(lens));
  const Stats night = settled();
  EXPECT_GT(night.wall(1), 10 * filtered) << "the IR LEDs light the scene";
  // IR light is nearly colourless: R and B follow G within the sensor's IR response.
  EXPECT_NEAR(night.wall(0) / night.wall(1), 1.0 / 0.85, 0.1);
  EXPECT_NEAR(night.wall(2) / night.wall(1), 0.9 / 0.85, 0.1);
}

TEST_F(CameraTest, TilesAreRefusedWhenTheyDoNotFitAndEveryRecordIsFilled) {
  iav_aaa_tile_info_t t{};
  t.ae_awb_tile_changed = 1;
  t.awb_tile_num_col = 13;  // 13 x 8 > 96
  t.awb_tile_num_row = 8;
  t.awb_tile_width = t.awb_tile_active_width = 300;
  t.awb_tile_height = t.awb_tile_active_height = 500;
  t.awb_pix_max_value = 16383;
  EXPECT_EQ(req(iav, IAV_IOC_IMG_AAA_SETUP_EX, &t), EINVAL);
  t.awb_tile_num_col = 4;
  t.awb_tile_num_row = 2;
  t.awb_tile_col_start = 4096;  // starts outside the picture
  EXPECT_EQ(req(iav, IAV_IOC_IMG_AAA_SETUP_EX, &t), EINVAL);
  t.awb_tile_col_start = 3000;  // reaches past its edge: cut there
  t.ae_tile_num_col = 2;
  t.ae_tile_num_row = 2;
  t.ae_tile_width = t.ae_tile_height = 2048;
  ASSERT_EQ(req(iav, IAV_IOC_IMG_AAA_SETUP_EX, &t), 0);
  const Stats s = settled();
  EXPECT_EQ(s.frame.awb_tiles, 8);
  EXPECT_GT(s.awb[3].g, 0) << "the last column is cut at the edge, not dropped";
  EXPECT_EQ(s.frame.ae_tiles, 4);
  EXPECT_EQ(s.frame.af_tiles, 40) << "the AF grid was left as it was";
  uint64_t pixels = 0;
  for (int i = 0; i < IAV_AAA_HISTOGRAM_BINS; ++i) pixels += s.histogram.g[i];
  EXPECT_NEAR(static_cast<double>(pixels), 1920.0 * 1080.0, 1920.0 * 1080.0 * 0.01) << "counts of the whole picture";
  for (uint32_t q : s.luma.quarter) EXPECT_GT(q, 0u);
  // A null buffer is skipped.
  iav_aaa_frame_info_t frame{};
  iav_aaa_stats_request_t only{nullptr, nullptr, nullptr, nullptr, nullptr, &frame};
  ASSERT_EQ(req(iav, IAV_IOC_IMG_GET_STATISTICS, &only), 0);
  EXPECT_EQ(frame.frame_number, s.frame.frame_number + 1);
}

TEST(CameraClock, StatisticsArriveOncePerFrameAtTheInputRate) {
  kavo::test::TestRoot root;
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  iav_aaa_frame_info_t f[31] = {};
  for (auto& x : f) {
    iav_aaa_stats_request_t r{nullptr, nullptr, nullptr, nullptr, nullptr, &x};
    ASSERT_EQ(req(fd, IAV_IOC_IMG_GET_STATISTICS, &r), 0);
  }
  // Every read gives the next frame, or the latest one with the count of those it skipped (a loaded
  // machine may keep this reader late); frames are one period (1/30 s) apart on the DSP's clock.
  uint64_t frames = 0;
  for (int i = 1; i < 31; ++i) {
    const uint32_t step = 1 + f[i].missed;
    EXPECT_EQ(f[i].frame_number, f[i - 1].frame_number + step);
    EXPECT_NEAR(static_cast<double>(f[i].pts - f[i - 1].pts), step * 1e9 / 30, 2.0 * step);
    frames += step;
  }
  // The reads waited for their frames: 30 frames or more took a second or more of real time.
  const uint64_t now = kavo::sim::iav::clockNs();
  EXPECT_GE(frames, 30u);
  EXPECT_LE(f[30].pts, now);
  EXPECT_GE(f[30].pts - f[0].pts, 999999000ull);
  // A reader that falls behind gets the latest frame and the number it missed.
  ::usleep(200000);
  iav_aaa_frame_info_t late{};
  iav_aaa_stats_request_t r{nullptr, nullptr, nullptr, nullptr, nullptr, &late};
  ASSERT_EQ(req(fd, IAV_IOC_IMG_GET_STATISTICS, &r), 0);
  EXPECT_GE(late.missed, 4u);
  EXPECT_EQ(late.frame_number, f[30].frame_number + 1 + late.missed);
  devClose(fd);
}

// A streamer that restarts the input while the ISP server's read waits: the read gets the next
// frame of the new input, not the frame number it was waiting for (which the new input reaches only
// as many frames later as the old one had run).
TEST(CameraClock, AReadWaitingAcrossANewInputGetsItsNextFrame) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "autoAdvance": false})");
  Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  constexpr uint64_t kFrameNs = 33333334;
  ASSERT_TRUE(kavo::sim::iav::advanceClock(60 * kFrameNs));
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  iav_aaa_frame_info_t frame{};
  iav_aaa_stats_request_t r{nullptr, nullptr, nullptr, nullptr, nullptr, &frame};
  int rc = -1;
  std::thread reader([&] { rc = req(fd, IAV_IOC_IMG_GET_STATISTICS, &r); });
  ::usleep(100000);  // the read waits for input frame 61
  ASSERT_EQ(c.startStop(false), 0);
  ASSERT_EQ(req(c.iav, IAV_IOC_VIN_SRC_SET_FRAME_RATE, uintptr_t{c.mode.frame_rate}), 0);
  ASSERT_EQ(req(c.iav, IAV_IOC_ENABLE_PREVIEW, uintptr_t{0}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  ASSERT_TRUE(kavo::sim::iav::advanceClock(2 * kFrameNs));
  reader.join();
  EXPECT_EQ(rc, 0) << "timed out waiting for a frame the new input has not reached";
  EXPECT_LE(frame.frame_number, 2u);
  devClose(fd);
}

TEST_F(CameraTest, StatisticsReadsFailOrStallAsTheFaultsSay) {
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_IMG_GET_STATISTICS", "nth": 2, "errno": "EIO"},
                                           {"request": "IAV_IOC_IMG_GET_STATISTICS", "nth": 3, "stallMs": 300}]})"));
  Stats s{};
  EXPECT_EQ(read(s), 0);
  EXPECT_EQ(read(s), EIO);
  const uint64_t t0 = kavo::sim::monoNs();
  EXPECT_EQ(read(s), 0);
  EXPECT_GE(kavo::sim::monoNs() - t0, 300000000ull) << "held for the stall";
  ASSERT_TRUE(sim::setFaults(""));
}

TEST(CameraStatistics, WithoutAnInputTheReadTimesOut) {
  kavo::test::TestRoot root;
  Client c;
  ASSERT_EQ(c.loadUcode(), 0);
  int fd = devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  iav_aaa_frame_info_t frame{};
  iav_aaa_stats_request_t r{nullptr, nullptr, nullptr, nullptr, nullptr, &frame};
  EXPECT_EQ(req(fd, IAV_IOC_IMG_GET_STATISTICS, &r), ETIMEDOUT);
  devClose(fd);
}

// The light sensor: its registers, its measuring delay, the light it sees, and an I2C bus that
// fails.
TEST(CameraLightSensor, MeasuresTheSceneWithTheLedLeak) {
  kavo::test::TestRoot root;
  writeConfig(root, R"({"clock": "virtual", "lightSensor": {"noise": 0, "irLeak": 30, "readyMs": 100}})");
  ASSERT_TRUE(sim::setScene(R"({"lux": 250})"));
  int fd = devOpen("/dev/i2c-0", O_RDWR);
  ASSERT_GE(fd, 0);
  auto write = [fd](std::initializer_list<uint8_t> bytes) {
    const std::vector<uint8_t> b(bytes);
    return devWrite(fd, b.data(), b.size());
  };
  auto status = [&] {
    uint8_t s = 0xee;
    EXPECT_EQ(write({ALS_REG_STATUS}), 1);
    EXPECT_EQ(devRead(fd, &s, 1), 1);
    return s;
  };
  auto value = [&] {
    uint8_t v[4] = {};
    EXPECT_EQ(write({ALS_REG_RESULT}), 1);
    EXPECT_EQ(devRead(fd, v, 4), 4);
    return std::make_pair(v[0] | v[1] << 8, v[2] | v[3] << 8);
  };
  EXPECT_EQ(write({ALS_REG_CONTROL, ALS_CONTROL_CONFIGURE}), -1) << "no address yet";
  EXPECT_EQ(errno, ENXIO);
  ASSERT_EQ(devIoctl(fd, I2C_REQUEST_SLAVE_FORCE, uintptr_t{0x29}), 0);
  EXPECT_EQ(write({ALS_REG_CONTROL, ALS_CONTROL_CONFIGURE}), -1) << "nobody at 0x29";
  ASSERT_EQ(devIoctl(fd, I2C_REQUEST_SLAVE_FORCE, uintptr_t{ALS_ADDRESS}), 0);
  EXPECT_EQ(write({ALS_REG_CONTROL, ALS_CONTROL_CONFIGURE}), 2);
  EXPECT_EQ(write({ALS_REG_CONTROL, ALS_CONTROL_START}), 2);
  EXPECT_EQ(status(), 0) << "not ready at once";
  ASSERT_TRUE(sim::advanceClock(100000000ull));
  EXPECT_EQ(status(), 1);
  auto v = value();
  EXPECT_EQ(v.first - v.second, 250) << "channel 0 - channel 1 is the light";
  // With the IR LEDs on, their leak raises the value.
  sim::LensInputs lens{};
  ASSERT_TRUE(sim::lensInputs(lens));
  lens.irLed = 255;
  ASSERT_TRUE(sim::setLensInputs(lens));
  EXPECT_EQ(write({ALS_REG_CONTROL, ALS_CONTROL_START}), 2);
  ASSERT_TRUE(sim::advanceClock(100000000ull));
  EXPECT_EQ(status(), 1);
  v = value();
  EXPECT_EQ(v.first - v.second, 280);

  // A NAK the second time the bus is written to, and a short read.
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "write", "node": "/dev/i2c-0", "nth": 2, "errno": "EREMOTEIO"},
                                           {"request": "read", "node": "/dev/i2c-0", "short": 2}]})"));
  EXPECT_EQ(write({ALS_REG_RESULT}), 1);
  uint8_t b[4] = {};
  EXPECT_EQ(devRead(fd, b, 4), 2);
  EXPECT_EQ(write({ALS_REG_RESULT}), -1);
  EXPECT_EQ(errno, EREMOTEIO);
  ASSERT_TRUE(sim::setFaults(""));
  devClose(fd);
  int nak = 0;
  for (const auto& l : journal())
    if (l.value("node", "") == "/dev/i2c-0" && l.value("fault", false)) ++nak;
  EXPECT_EQ(nak, 2);
}

}  // namespace
