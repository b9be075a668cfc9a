// IAVDriver against the simulated DSP: every wrapper sends its code and argument and reports a
// failure with its own message; the caches, white balance, WDR, QP limits and digital zoom follow
// their rules; the device and microcode set-up, and the faults mended in them.
#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <fstream>
#include <thread>

#include "be_iav/iav_driver.h"
#include "driver_fixture.h"

namespace {

using namespace drivertest;
using kavo::isp::IAVDriver;
namespace sim = kavo::sim::iav;

class IavDriverTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(d.open_iav(), 0);
    ASSERT_GE(d.iavFd(), 0);
  }
  IAVDriver d;
};

// Every request wrapper: its request in the journal, and its message and result when the request
// fails.
TEST_F(IavDriverTest, EveryWrapperSendsItsRequestAndNamesItsFailure) {
  iav_vin_video_info_t video{};
  iav_vin_mirror_mode_t mirror{};
  iav_mmap_info_t memory{};
  iav_privacy_mask_buffer_id_t maskId{};
  iav_source_buffer_format_all_ex_t format{};
  iav_privacy_mask_setup_ex_t mask{1, 80, 64, 235, 20, 12, 0, {}};
  iav_agc_info_t agcInfo{};
  iav_shutter_info_t shutterInfo{};
  iav_aaa_tile_info_t tiles{};
  iav_aaa_frame_info_t frame{};
  iav_aaa_stats_request_t stats{nullptr, nullptr, nullptr, nullptr, nullptr, &frame};
  iav_color_correction_t colour{};
  iav_rgb_to_yuv_t yuv{{306, 601, 117, 0, 0, 0, 0, 0, 0}, 0, 128, 128};
  uint8_t kernel[64] = {};
  uint32_t word = 0;
  int32_t count = 0;
  struct Case {
    const char* request;  // as the journal names it
    std::function<int()> call;
    const char* failure;  // the log message when the request fails
    int failed;           // what the wrapper returns then
  };
  const Case cases[] = {
      {"IAV_IOC_IMG_VIGNETTE_COMPENSATION", [&] { return d.set_vignette_compensation(kernel); }, "[set_vignette_compensation]err_code=-1.", -1},
      {"IAV_IOC_VIN_SRC_GET_VIDEO_MODE", [&] { return d.get_vin_mode(&word); }, "get failed", -1},
      {"IAV_IOC_VIN_GET_SOURCE_NUM", [&] { return d.get_vin_src_number(&count); }, "get failed", -1},
      {"IAV_IOC_VIN_GET_CURRENT_SRC", [&] { return d.get_vin_current_source(&count); }, "get failed", -1},
      {"IAV_IOC_VIN_SRC_GET_VIDEO_INFO", [&] { return d.get_video_info(&video); }, "get failed", -1},
      {"IAV_IOC_VIN_SRC_SET_TRIGGER_MODE", [&] { return d.set_trigger_mode(1); }, "set failed", -1},
      {"IAV_IOC_VIN_SRC_GET_MIRROR_MODE", [&] { return d.get_mirror_mode(&mirror); }, "get failed", -1},
      {"IAV_IOC_VIN_SRC_SET_ANTI_FLICKER", [&] { return d.set_anti_flicker(2); }, "set failed", -1},
      {"IAV_IOC_GET_PRIVACY_MASK_INFO_EX", [&] { return d.GetMapMask(&memory); }, "[GetMapMask]err_code=-1\n", -1},
      {"IAV_IOC_GET_PRIVACY_MASK_BUFFER_ID_EX", [&] { return d.get_privacymask_buffer_id(&maskId); }, "[get_privacymask_buffer_id]err_code=-1\n", -1},
      {"IAV_IOC_GET_SOURCE_BUFFER_FORMAT_ALL_EX", [&] { return d.get_source_buffer_format(&format); }, "[get_source_buffer_format]err_code=-1\n", -1},
      {"IAV_IOC_SET_PRIVACY_MASK_EX", [&] { return d.set_mask(&mask); }, "[set_mask]err_code=-1\n", -1},
      {"IAV_IOC_VIN_SRC_GET_AGC_INDEX", [&] { return d.get_agc_index(&word); }, "rcode=-1", -1},
      {"IAV_IOC_VIN_SRC_GET_AGC_INFO", [&] { return d.get_agc_info(&agcInfo); }, "[get_agc_info]err_code=-1.\n", -1},
      {"IAV_IOC_IMG_AAA_SETUP_EX", [&] { return d.set_aaa_tiles_info(&tiles); }, "[set_aaa_tiles_info]err_code=-1.", -1},
      {"IAV_IOC_IMG_GET_STATISTICS", [&] { return d.get_aaa_data(&stats); }, "[get_aaa_data]err_code=-1.\n", -1},
      {"IAV_IOC_IMG_COLOR_CORRECTION", [&] { return d.set_rgb_to_rgb_matrix(&colour); }, "[set_rgb_to_rgb_matrix]err_code=-1.\n", -1},
      {"IAV_IOC_IMG_RGB_TO_YUV_SETUP", [&] { return d.set_rgb_to_yuv_matrix(&yuv); }, "[set_rgb_to_yuv_matrix]err_code=-1.\n", -1},
      {"IAV_IOC_VIN_SRC_GET_SHUTTER_TIME", [&] { return d.get_eshutter_time(&word); }, "get failed", -1},
      {"IAV_IOC_VIN_SRC_GET_SHUTTER_INFO", [&] { return d.get_shutter_info(&shutterInfo); }, "get failed", -1},
      {"IAV_IOC_IMG_CHROMA_MEDIAN_FILTER_SETUP", [&] { return d.set_chroma_median_filter(kernel); }, "[set_chroma_median_filter]err_code=-1.\n", -1},
      {"IAV_IOC_IMG_CFA_LEAKAGE_FILTER_SETUP", [&] { return d.set_cfa_domain_leakage_filter(kernel); }, "[set_cfa_domain_leakage_filter]err_code=-1.\n", -1},
      {"IAV_IOC_IMG_CFA_NOISE_FILTER_SETUP", [&] { return d.set_cfa_noise_filter(kernel); }, "[set_cfa_noise_filter]err_code=-1.", -1},
      {"IAV_IOC_IMG_NOISE_FILTER_SETUP", [&] { return d.set_image_noise_reduction(kernel); }, "[set_image_noise_reduction]err_code=-1.\n", -1},
  };
  // A set-up that changes no grid.
  tiles.ae_awb_tile_changed = tiles.af_tile_changed = 0;
  for (const auto& k : cases) {
    SCOPED_TRACE(k.request);
    const uint64_t seq = lastSeq();
    EXPECT_GE(k.call(), 0);
    const auto lines = requestsSince(seq);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["req"], k.request);
    EXPECT_EQ(lines[0]["rc"], 0);
    ASSERT_TRUE(sim::setFaults(std::string(R"({"faults": [{"request": ")") + k.request + R"(", "errno": "EIO"}]})"));
    kavo::logger::LogCapture log;
    EXPECT_EQ(k.call(), k.failed);
    EXPECT_TRUE(log.has(k.failure, LOG_LEVEL_WARNING)) << log.dump();
    ASSERT_TRUE(sim::setFaults(""));
  }
  // The filters answer 0 whatever the driver's result; the reads give the driver's records.
  EXPECT_EQ(d.get_vin_mode(&word), 0);
  EXPECT_EQ(word, 0x20u);
  EXPECT_EQ(d.get_agc_info(&agcInfo), 0);
  EXPECT_GT(agcInfo.db_max, 40 * static_cast<int32_t>(IAV_AGC_DB_ONE));
}

TEST_F(IavDriverTest, CachedControlsSendOnlyChangesAndRepeatAFailedOne) {
  struct Case {
    const char* what;
    const char* request;
    std::function<int(int)> set, force;
  };
  const Case cases[] = {
      {"shutter", "IAV_IOC_VIN_SRC_SET_SHUTTER_TIME", [&](int v) { return d.set_eshutter_time(v); },
       [&](int v) { return d.force_set_eshutter_time(v); }},
      {"gain", "IAV_IOC_VIN_SRC_SET_AGC_INDEX", [&](int v) { return d.set_agc_index(v); },
       [&](int v) { return d.force_set_agc_index(v); }},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    uint64_t seq = lastSeq();
    EXPECT_EQ(k.set(496846011), 0);
    EXPECT_EQ(k.set(496846011), 0);
    EXPECT_EQ(requestsSince(seq, k.request).size(), 1u) << "the same value twice is sent once";
    EXPECT_EQ(k.force(496846011), 0);
    EXPECT_EQ(requestsSince(seq, k.request).size(), 2u) << "forced, it is sent again";
    // A failed request is sent again by the next identical call.
    ASSERT_TRUE(sim::setFaults(std::string(R"({"faults": [{"request": ")") + k.request + R"(", "errno": "EIO"}]})"));
    EXPECT_EQ(k.set(1000), -1);
    ASSERT_TRUE(sim::setFaults(""));
    seq = lastSeq();
    EXPECT_EQ(k.set(1000), 0);
    const auto lines = requestsSince(seq, k.request);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["arg"]["value"], 1000);
  }
  kavo::logger::LogCapture log;
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_VIN_SRC_SET_AGC_INDEX", "errno": "EIO"}]})"));
  d.set_agc_index(7);
  EXPECT_TRUE(log.has("agc_db=7", LOG_LEVEL_WARNING));
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_VIN_SRC_SET_SHUTTER_TIME", "errno": "EIO"}]})"));
  d.set_eshutter_time(51200);
  EXPECT_TRUE(log.has("set value=51200 failed", LOG_LEVEL_WARNING));
  ASSERT_TRUE(sim::setFaults(""));
}

TEST_F(IavDriverTest, MirrorSetUpIsCachedAndSleepsASecondEvenWhenItFails) {
  const auto sent = [](uint64_t seq) { return requestsSince(seq, "IAV_IOC_VIN_SRC_SET_MIRROR_MODE").size(); };
  uint64_t seq = lastSeq();
  timespec a = kavo::utils::moment();
  EXPECT_EQ(d.set_mirror_mode(2, 1), 0);
  EXPECT_GE(kavo::utils::momentsDiffMs(a, kavo::utils::moment()), 1000);
  EXPECT_EQ(d.set_mirror_mode(2, 1), 0);
  EXPECT_EQ(sent(seq), 1u);
  iav_vin_mirror_mode_t m{};
  EXPECT_EQ(d.get_mirror_mode(&m), 0);
  EXPECT_EQ(m.pattern, 2u);
  EXPECT_EQ(m.bayer_pattern, 1u);
  d.reset_mirror_cache();
  EXPECT_EQ(d.set_mirror_mode(2, 1), 0);
  EXPECT_EQ(sent(seq), 2u) << "after the reset the same pair is sent again";
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_VIN_SRC_SET_MIRROR_MODE", "errno": "EIO"}]})"));
  a = kavo::utils::moment();
  EXPECT_EQ(d.set_mirror_mode(0, 1), -1);
  EXPECT_GE(kavo::utils::momentsDiffMs(a, kavo::utils::moment()), 1000);
  ASSERT_TRUE(sim::setFaults(""));
  EXPECT_EQ(d.set_mirror_mode(0, 1), 0);
  EXPECT_EQ(sent(seq), 4u) << "a failed set-up is sent again";
}

TEST(IavDriverMirror, TheSecondAfterASetUpLeavesTheDriverToOtherThreads) {
  kavo::test::TestRoot root;
  simtest::writeConfig(root, R"({"clock": "virtual"})");
  simtest::Client streamer;
  ASSERT_EQ(streamer.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
  ASSERT_EQ(streamer.startStop(true), 0);
  IAVDriver d;
  ASSERT_EQ(d.open_iav(), 0);
  std::atomic<bool> mirrored{false};
  std::thread t([&] {
    d.set_mirror_mode(1, 1);  // a real second of sleep
    mirrored.store(true);
  });
  // Once its request is in, the other thread sleeps.
  for (int i = 0; i < 500 && requestsSince(0, "IAV_IOC_VIN_SRC_SET_MIRROR_MODE").empty(); ++i) ::usleep(10000);
  EXPECT_EQ(d.set_agc_index(1234), 0);
  EXPECT_EQ(d.set_mirror_mode(1, 1), 0) << "cached: no second sleep";
  EXPECT_FALSE(mirrored.load()) << "the other thread's requests did not wait for the sleep";
  t.join();
}

TEST_F(IavDriverTest, WhiteBalanceGainsAreCheckedThenSentAsTheSensorTakesThem) {
  struct Case {
    uint32_t r, g, b;
    int32_t sensor;
    int result;
    const char* message;  // logged; empty: none
    bool sent;
  };
  const Case cases[] = {
      {1400, 1024, 1100, kavo::isp::SENSOR_AR0331, 0, "", true},
      {0, 1024, 1100, kavo::isp::SENSOR_AR0331, -1, "[set_wb_gain]err_code=0.\n", false},
      {1400, 1024, 0, kavo::isp::SENSOR_AR0331, -1, "[set_wb_gain]err_code=0.\n", false},
      {14000, 1024, 1100, kavo::isp::SENSOR_AR0331, -1, "[set_wb_gain]err_code=14000_1024_1100.\n", false},
      {1400, 13999, 1100, kavo::isp::SENSOR_AR0331, 0, "", true},
      {1400, 1024, 1100, 7, 0, "", false},  // a sensor the driver does not know: nothing sent
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.r) + " " + std::to_string(k.g) + " " + std::to_string(k.b));
    kavo::isp::g_isp.sys.sensor = k.sensor;
    kavo::logger::LogCapture log;
    const uint64_t seq = lastSeq();
    const uint32_t gains[3] = {k.r, k.g, k.b};
    EXPECT_EQ(d.set_wb_gain(gains), k.result);
    if (k.message[0]) {
      EXPECT_TRUE(log.has(k.message, LOG_LEVEL_WARNING)) << log.dump();
    }
    const auto lines = requestsSince(seq, "IAV_IOC_VIN_SRC_SET_WB_GAIN");
    ASSERT_EQ(lines.size(), k.sent ? 1u : 0u);
    if (k.sent) {
      EXPECT_EQ(lines[0]["arg"]["r"], k.r);
      EXPECT_EQ(lines[0]["arg"]["g"], k.g);
      EXPECT_EQ(lines[0]["arg"]["b"], k.b);
    }
  }
  kavo::isp::g_isp.sys.sensor = kavo::isp::SENSOR_AR0331;
  kavo::logger::LogCapture log;
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_VIN_SRC_SET_WB_GAIN", "errno": "EIO"}]})"));
  const uint32_t gains[3] = {1400, 1024, 1100};
  EXPECT_EQ(d.set_wb_gain(gains), -1);
  EXPECT_TRUE(log.has("set gain error.", LOG_LEVEL_WARNING));
  ASSERT_TRUE(sim::setFaults(""));
}

TEST_F(IavDriverTest, SensorWdrLevelsWriteTheirRegistersAndNoOtherLevelDoes) {
  const uint32_t want[4][3] = {{31, 15, 20}, {63, 13, 16}, {79, 12, 8}, {95, 11, 0}};
  for (int level = 0; level < 4; ++level) {
    EXPECT_EQ(d.set_wdr_level(level), 0);
    EXPECT_EQ(d.get_sensor_RegData(0x2410), want[level][0]) << level;
    EXPECT_EQ(d.get_sensor_RegData(0x2412), want[level][1]) << level;
    EXPECT_EQ(d.get_sensor_RegData(0x2438), want[level][2]) << level;
  }
  kavo::logger::LogCapture log;
  const uint64_t seq = lastSeq();
  EXPECT_EQ(d.set_sensor_wdr_level(4), -1);
  EXPECT_EQ(d.set_sensor_wdr_level(-1), -1);
  EXPECT_TRUE(requestsSince(seq, "IAV_IOC_SET_SENSOR_REG").empty()) << "no row, nothing written";
  EXPECT_EQ(d.get_sensor_RegData(0x2410), 95u);
  EXPECT_EQ(d.set_2shutWD_level(2), 0);
  const auto two = requestsSince(seq, "IAV_IOC_VIN_SRC_SET_ANTI_FLICKER");
  ASSERT_EQ(two.size(), 1u);
  EXPECT_EQ(two[0]["arg"]["value"], 2) << "the level itself";
  // A register read that fails gives 0, not what the record held.
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_GET_SENSOR_REG", "errno": "EIO"}]})"));
  EXPECT_EQ(d.get_sensor_RegData(0x2410), 0u);
  ASSERT_TRUE(sim::setFaults(""));
}

TEST_F(IavDriverTest, QpLimitsByModelLevelAndLight) {
  struct Case {
    int32_t model;
    unsigned level, light;
    uint8_t minI, maxI, minP, maxP, reduce, adapt;
  };
  const Case cases[] = {
      {kavo::isp::ALDER_IR, 2, 0, 20, 41, 1, 51, 6, 2},     // other fields kept from the defaults below
      {kavo::isp::ALDER_IR, 0, 0, 1, 51, 1, 51, 6, 2},
      {kavo::isp::ALDER_IR, 5, 0, 18, 38, 1, 51, 6, 2},
      {kavo::isp::ALDER_IR, 9, 0, 15, 35, 1, 51, 6, 2},
      {kavo::isp::ALDER_IR, 10, 0, 1, 51, 1, 51, 6, 2},
      {kavo::isp::TORVEX_BRISK, 1, 14499, 38, 43, 14, 45, 10, 2},
      {kavo::isp::TORVEX_TARROW, 1, 14500, 35, 40, 14, 45, 10, 2},
      {kavo::isp::TORVEX_BRISK, 3, 0, 32, 37, 14, 45, 10, 2},
      {kavo::isp::TORVEX_BRISK, 5, 0, 30, 35, 14, 45, 10, 2},
      {kavo::isp::TORVEX_BRISK, 6, 0, 1, 51, 1, 51, 6, 2},
  };
  d.change_qp_limit(0, 0);  // the defaults, so that kept fields are known
  for (const auto& k : cases) {
    SCOPED_TRACE(std::to_string(k.model) + " level " + std::to_string(k.level));
    kavo::isp::g_isp.sys.model = k.model;
    const uint64_t seq = lastSeq();
    EXPECT_EQ(d.change_qp_limit(k.level, k.light), 1);
    EXPECT_EQ(d.qpLevel(), static_cast<int>(k.level));
    EXPECT_EQ(requestsSince(seq, "IAV_IOC_SET_QP_LIMIT_EX").size(), 4u) << "streams 1, 2, 4 and 8";
    for (uint32_t id : {1u, 2u, 4u, 8u}) {
      iav_qp_limit_ex_t q{};
      q.id = id;
      ASSERT_EQ(simtest::req(d.iavFd(), IAV_IOC_GET_QP_LIMIT_EX, &q), 0);
      EXPECT_EQ((std::vector<int>{q.qp_min_on_I, q.qp_max_on_I, q.qp_min_on_P, q.qp_max_on_P, q.i_qp_reduce, q.adapt_qp}),
                (std::vector<int>{k.minI, k.maxI, k.minP, k.maxP, k.reduce, k.adapt}));
    }
  }
  EXPECT_EQ(d.change_qp_limit_manual(40, 25), 1);
  iav_qp_limit_ex_t q{};
  q.id = 4;
  ASSERT_EQ(simtest::req(d.iavFd(), IAV_IOC_GET_QP_LIMIT_EX, &q), 0);
  EXPECT_EQ((std::vector<int>{q.qp_min_on_I, q.qp_max_on_I, q.qp_min_on_P, q.qp_max_on_P, q.i_qp_reduce, q.adapt_qp}),
            (std::vector<int>{25, 40, 1, 51, 1, 0}));
  // Without the current record nothing is written.
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_GET_QP_LIMIT_EX", "times": 2, "errno": "EIO"}]})"));
  const uint64_t seq = lastSeq();
  EXPECT_EQ(d.change_qp_limit(3, 0), -1);
  EXPECT_EQ(d.change_qp_limit_manual(40, 20), -1);
  EXPECT_TRUE(requestsSince(seq, "IAV_IOC_SET_QP_LIMIT_EX").empty());
  ASSERT_TRUE(sim::setFaults(""));
}

TEST_F(IavDriverTest, DigitalZoomBelowTwoShowsTheWholePicture) {
  struct Case {
    int x, y, zoom;
    long fx, ox, oy;
  };
  const Case cases[] = {{300, -200, 1, 0x10000, 0, 0}, {300, -200, 0, 0x10000, 0, 0},
                        {436, 0, 2, 0x20000, 436 << 16, 0}, {-100, -50, 8, 0x80000, -100 * 65536L, -50 * 65536L}};
  for (const auto& k : cases) {
    const uint64_t seq = lastSeq();
    EXPECT_EQ(d.set_dPTZ(k.x, k.y, k.zoom), 0);
    const auto lines = requestsSince(seq, "IAV_IOC_SET_DIGITAL_ZOOM_EX");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0]["arg"]["zoomX"], k.fx);
    EXPECT_EQ(lines[0]["arg"]["zoomY"], k.fx);
    EXPECT_EQ(lines[0]["arg"]["x"], k.ox);
    EXPECT_EQ(lines[0]["arg"]["y"], k.oy);
  }
}

TEST_F(IavDriverTest, BlackLevelAndStatisticsReachTheSensorModel) {
  const int16_t levels[4] = {200, 201, 202, 203};
  kavo::logger::LogCapture log;
  EXPECT_EQ(d.set_black_correction(levels), 0);
  EXPECT_TRUE(log.has("set_blc 200 201 202 203\n", LOG_LEVEL_DEBUG));
  // The gain reaches the statistics a frame later, the exposure two frames later.
  EXPECT_EQ(d.set_agc_index(static_cast<int>(40 * 2509323.3)), 0);
  EXPECT_EQ(d.set_eshutter_time(IAV_FRAME_RATE_CLOCK / 100), 0);
  iav_aaa_frame_info_t f{};
  iav_aaa_stats_request_t r{nullptr, nullptr, nullptr, nullptr, nullptr, &f};
  for (int i = 0; i < 2; ++i) ASSERT_EQ(d.get_aaa_data(&r), 0);
  EXPECT_EQ(f.agc_db, static_cast<int32_t>(40 * 2509323.3));
  EXPECT_EQ(f.shutter, IAV_FRAME_RATE_CLOCK / 100);
}

// ---- devices and set-up --------------------------------------------------------------------------

TEST(IavDriverDevices, WithoutAnEncodingDspTheWaitGivesUpAfterFivePolls) {
  kavo::test::TestRoot root;
  FastSleeps sleeps;
  kavo::logger::LogCapture log;
  IAVDriver d;
  const timespec a = kavo::utils::moment();
  EXPECT_EQ(d.open_iav(), 0);
  EXPECT_GE(kavo::utils::momentsDiffMs(a, kavo::utils::moment()), 5000);
  EXPECT_TRUE(log.has("check iav status timeout, streamer is not start?", LOG_LEVEL_WARNING)) << log.dump();
  EXPECT_EQ(requestsSince(0, "IAV_IOC_GET_STATE").size(), 5u);
  // Closed twice, the descriptors are closed once.
  EXPECT_EQ(d.close_iav(), 0);
  EXPECT_EQ(d.close_iav(), 0);
  EXPECT_EQ(d.iavFd(), -1);
}

TEST(IavDriverDevices, MissingSensorNodeStillOpensTheDsp) {
  kavo::test::TestRoot root;
  simtest::writeConfig(root, R"({"clock": "virtual", "absent": ["/dev/ambad"]})");
  FastSleeps sleeps;
  kavo::logger::LogCapture log;
  IAVDriver d;
  EXPECT_EQ(d.open_iav(), 0);
  EXPECT_TRUE(log.has("[open_iav_device]err_code=-2.\n", LOG_LEVEL_WARNING));
  EXPECT_GE(d.iavFd(), 0);
  EXPECT_EQ(d.sensorFd(), -1);
  EXPECT_LT(d.set_sensor_RegData(0x2420, 0, 0), 0) << "registers fail without the node";
}

// The class brings a DSP up as a streamer would: microcode, input, limits, buffers, preview.
TEST(IavDriverDevices, BringsTheDspUpAndChoosesTheWidestInput) {
  kavo::test::TestRoot root;
  simtest::writeConfig(root, R"({"clock": "virtual",
    "vin": [{"name": "a", "modes": [{"mode": 1, "width": 1280, "height": 720, "fps": [30]}]},
            {"name": "b", "modes": [{"mode": 2, "width": 1920, "height": 1080, "fps": [600000000]}]},
            {"name": "c", "modes": [{"mode": 3, "width": 1920, "height": 1080, "fps": [25]}]},
            {"name": "d", "modes": [{"mode": 4, "width": 1920, "height": 1080, "fps": [30]}]}]})");
  FastSleeps sleeps;
  kavo::logger::LogCapture log;
  IAVDriver d;
  EXPECT_EQ(d.load_ucode(), 0);
  EXPECT_EQ(requestsSince(0, "open").at(0)["flags"], "O_RDWR") << "the region is mapped writable";
  EXPECT_TRUE(log.contains("Microcode version 3.1 - 3/6/2014", LOG_LEVEL_INFO)) << log.dump();
  ASSERT_EQ(d.open_iav_device(), 0);
  EXPECT_EQ(d.enter_idle(), 0);
  EXPECT_EQ(d.get_max_capabilities(), 0);
  // Source b reports no frame period: skipped, not divided by. Of c and d the lower index wins.
  EXPECT_TRUE(log.contains("mode 0x0002 has no frame period, skipped", LOG_LEVEL_WARNING)) << log.dump();
  EXPECT_EQ(d.selectedVin().sourceId, 2);
  EXPECT_EQ(d.selectedVin().frameRate, 25u);
  EXPECT_EQ(d.selectedVin().width, 1920u);
  EXPECT_EQ(d.set_vin(), 0);
  EXPECT_EQ(d.set_resource_limits(), 0);
  EXPECT_EQ(d.setup_source_buffers(), 0);
  EXPECT_EQ(d.enter_preview(), 0);
  EXPECT_EQ(d.get_iav_state(), static_cast<int>(IAV_STATE_PREVIEW));
  EXPECT_EQ(d.set_vout(), 0);
  EXPECT_STREQ(d.vout().name, "sim-cvbs");
  EXPECT_EQ(d.map_dsp(), 0);
  EXPECT_EQ(d.map_dsp(), 0);
  EXPECT_EQ(requestsSince(0, "IAV_IOC_MAP_DSP").size(), 1u);
  const auto limits = requestsSince(0, "IAV_IOC_SET_SYSTEM_RESOURCE_LIMIT_EX");
  ASSERT_EQ(limits.size(), 1u);
  EXPECT_EQ(limits[0]["arg"]["mainWidth"], 1280);
  EXPECT_EQ(limits[0]["arg"]["gopM0"], 3);
  EXPECT_EQ(limits[0]["rc"], 0);
  // Already running: the version is logged and nothing is mapped.
  IAVDriver again;
  const uint64_t seq = lastSeq();
  EXPECT_EQ(again.load_ucode(), 0);
  EXPECT_TRUE(requestsSince(seq, "mmap").empty());
}

TEST(IavDriverDevices, MicrocodeFailuresCloseAndUnmapWhatTheyOpened) {
  kavo::test::TestRoot root;
  auto openFds = [] {
    int n = 0;
    for (int fd = 0; fd < 1024; ++fd) n += ::fcntl(fd, F_GETFD) != -1;
    return n;
  };
  struct Case {
    const char* what;
    std::function<void()> prepare;
    const char* message;
  };
  const Case cases[] = {
      {"a missing module", [&] { ::unlink(root.path("/lib/firmware/dsp_memd.bin").c_str()); }, "ucode file open failed"},
      {"a module beyond the region", [&] { root.write("/lib/firmware/dsp_data.bin", std::string(2 << 20, 'x')); },
       "ucode file read failed"},
      {"a module that does not boot", [&] { root.write("/lib/firmware/dsp_code.bin", std::string(100, 'x')); },
       "Loading microcode failed"},
      {"no mapping", [&] { ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "mmap", "errno": "ENOMEM"}]})")); },
       "mmap failed"},
      {"no device", [&] { ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "open", "node": "/dev/ucode", "errno": "ENOENT"}]})")); },
       "Opening ucode failed"},
  };
  auto regionMaps = [] {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    int n = 0;
    while (std::getline(maps, line)) n += line.find("ucode.region") != std::string::npos;
    return n;
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    ASSERT_TRUE(sim::resetState());
    ASSERT_TRUE(sim::setFaults(""));
    sim::dspState();  // a new state installs the module files
    k.prepare();
    kavo::logger::LogCapture log;
    const int before = openFds();
    IAVDriver d;
    EXPECT_EQ(d.load_ucode(), -1);
    EXPECT_TRUE(log.has(k.message, LOG_LEVEL_ERROR)) << log.dump();
    EXPECT_EQ(openFds(), before) << "nothing left open";
    EXPECT_EQ(regionMaps(), 0) << "nothing left mapped";
    EXPECT_EQ(sim::dspState(), IAV_STATE_INIT);
    ::unlink(root.path("/lib/firmware/dsp_code.bin").c_str());
    ::unlink(root.path("/lib/firmware/dsp_memd.bin").c_str());
    ::unlink(root.path("/lib/firmware/dsp_data.bin").c_str());
  }
  ASSERT_TRUE(sim::setFaults(""));
}

}  // namespace
