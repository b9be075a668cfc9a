// IAVDriver's entries into the image-DSP library against the simulated DSP: the requests each sends
// and the records they carry (as the simulator copied them when they arrived), the temporal filter
// and its refused levels, the OV9715's white balance, the local-tone WDR, the lens-shading file, and
// every entry under the driver's mutex while three threads call them (ThreadSanitizer build).
#include <atomic>
#include <functional>
#include <thread>

#include "be_iav/iav_driver.h"
#include "design.h"
#include "driver_fixture.h"
#include "img_dsp_records.h"
#include "tables.h"

namespace {

using namespace drivertest;
using kavo::isp::IAVDriver;
namespace sim = kavo::sim::iav;


std::vector<std::string> names(const std::vector<nlohmann::json>& lines) {
  std::vector<std::string> out;
  for (const auto& l : lines)
    if (l.value("req", "").rfind("IAV_IOC_IMG_", 0) == 0) out.push_back(l["req"]);
  return out;
}

class IavDspTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    ASSERT_EQ(d.open_iav(), 0);
    d.dsp_lib_init();  // -1 when an earlier case of this process initialised the library
  }
  IAVDriver d;
};

const char* const kFir = "IAV_IOC_IMG_LUMA_SHARPENING_FIR_CONFIG";
const char* const kLevel = "IAV_IOC_IMG_LUMA_SHARPENING_LEVEL_CONTROL";
const char* const kEdge = "IAV_IOC_IMG_LUMA_SHARPENING_EDGE_CONTROL";
const char* const kMisc = "IAV_IOC_IMG_LUMA_SHARPENING_MISC";

// The wrappers of the picture controls: each sends the requests of its library calls in their
// order, with mode 0's records, and answers 0 also when the driver refuses them.
TEST_F(IavDspTest, PictureWrappersSendTheirLibraryRequestsAndAnswerZero) {
  const img_dsp_alpha_info alpha{{200, 100}};
  const img_dsp_level_info level{10, 5, 3, 3, 254, 0, 3};
  img_dsp_coring_info coring{};
  const img_dsp_chroma_scale_info scale{1, 0, {}};
  const img_dsp_fir_info fir{64, {}};
  const img_dsp_spatial_filter_info spatial{255, 128, 40, 40};
  const img_dsp_bad_pixel_info bad{3, 8, 8};
  struct Case {
    const char* what;
    std::function<int()> call;
    std::vector<std::string> requests;
  };
  const Case cases[] = {
      {"alpha", [&] { return d.set_sharpen_alpha(&alpha); }, {"IAV_IOC_IMG_LUMA_SHARPENING"}},
      {"level overall", [&] { return d.set_sharpen_level_overall(&level); }, {kLevel}},
      {"level min", [&] { return d.set_sharpen_level_min(&level); }, {kLevel}},
      {"coring", [&] { return d.set_sharpen_coring(&coring, 0); }, {kFir, kFir}},
      {"chroma scale", [&] { return d.set_chroma_scale(&scale); }, {"IAV_IOC_IMG_CHROMA_SCALE"}},
      // The 7x7 switch (off) re-sends the spatial filter and the FIR, then the FIR is set.
      {"fir", [&] { return d.set_sharpen_fir(&fir, 0x100); }, {kEdge, kMisc, kFir, kLevel, kLevel, kFir, kFir}},
      {"spatial filter", [&] { return d.set_spatial_filter(0, &spatial); }, {kEdge, kMisc, kFir, kLevel, kLevel}},
      {"bad pixels", [&] { return d.set_bad_pixel_correction(&bad); }, {"IAV_IOC_IMG_BAD_PIXEL_CORRECTION"}},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    uint64_t seq = lastSeq();
    EXPECT_EQ(k.call(), 0);
    EXPECT_EQ(names(requestsSince(seq)), k.requests);
    ASSERT_TRUE(sim::setFaults(std::string(R"({"faults": [{"request": ")") + k.requests[0] + R"(", "errno": "EIO"}]})"));
    seq = lastSeq();
    EXPECT_EQ(k.call(), 0) << "a refused request still answers 0";
    EXPECT_EQ(requestsSince(seq).at(0)["errno"], EIO);
    ASSERT_TRUE(sim::setFaults(""));
  }
  // What the records carried: the alpha pair reversed, the overall level record (select 10),
  // strength 64's FIR with nine directions at one shift, dynamic bad-pixel correction.
  uint64_t seq = lastSeq();
  d.set_sharpen_alpha(&alpha);
  d.set_sharpen_level_overall(&level);
  d.set_sharpen_fir(&fir, 0);
  d.set_bad_pixel_correction(&bad);
  const auto lines = requestsSince(seq);
  EXPECT_EQ(lines.at(0)["arg"]["alpha0"], 100);
  EXPECT_EQ(lines.at(0)["arg"]["alpha1"], 200);
  EXPECT_EQ(lines.at(1)["arg"]["select"], 10);
  EXPECT_EQ(lines.at(1)["arg"]["low0"], 10 + 32);
  EXPECT_EQ(lines.at(1)["arg"]["group"], 0);
  EXPECT_EQ(lines.at(8)["req"], kFir);
  EXPECT_EQ(lines.at(8)["arg"]["fir1Shift"], "0x04924924");
  EXPECT_EQ(lines.at(9)["arg"]["mode"], 3);
  EXPECT_EQ(lines.at(9)["arg"]["enable"], 3);
}

// The coring wrapper's two requests carry the coring block as it was at each: the table scaled by
// the old retain level, then by the new one.
TEST_F(IavDspTest, CoringBlocksAreTheOnesOfEachRequest) {
  img_dsp_coring_info flat{};
  d.set_sharpen_coring(&flat, 0);
  const uint64_t seq = lastSeq();
  d.set_sharpen_coring(&flat, 1);
  const auto lines = requestsSince(seq, kFir);
  ASSERT_EQ(lines.size(), 2u);
  uint32_t block[IMG_DSP_CORING_BLOCK_WORDS];
  uint8_t table[256] = {};
  img_dsp_pack_coring_table(table, block);
  EXPECT_EQ(lines[0]["arg"]["coring"]["fnv"], simtest::fnvHex(block, sizeof block));
  img_dsp_apply_signal_retain(table, 1);
  EXPECT_EQ(table[128], 4);
  img_dsp_pack_coring_table(table, block);
  EXPECT_EQ(lines[1]["arg"]["coring"]["fnv"], simtest::fnvHex(block, sizeof block));
}

TEST_F(IavDspTest, TemporalFilterLevels) {
  struct Case {
    int level;
    int result;
    bool sent;
    int enable;  // of the record sent; the curve is flat at the level (t1 80 lies beyond it)
  };
  const Case cases[] = {{0, 0, true, 0}, {100, 0, true, 1}, {255, 0, true, 1}, {256, -1, false, 0}, {-1, -1, false, 0},
                        {-300, -1, false, 0}};
  for (const auto& k : cases) {
    SCOPED_TRACE(k.level);
    kavo::logger::LogCapture log;
    const uint64_t seq = lastSeq();
    EXPECT_EQ(d.set_3Dnr(k.level), k.result);
    const auto lines = requestsSince(seq, "IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP");
    ASSERT_EQ(lines.size(), k.sent ? 1u : 0u);
    if (k.sent) {
      EXPECT_EQ(lines[0]["arg"]["enable"], k.enable);
      EXPECT_EQ(lines[0]["arg"]["curve0"], k.level);
      EXPECT_EQ(lines[0]["arg"]["curve63"], k.level);
    }
    if (k.level < 0) {
      EXPECT_TRUE(log.has("[set_3Dnr]level=" + std::to_string(k.level) + " refused", LOG_LEVEL_WARNING));
    }
  }
  img_dsp_mctf_info info{};
  img_dsp_get_mctf_info(&info);
  EXPECT_EQ(info.threshold[1], 80);
  EXPECT_EQ(info.threshold[2], 160);
  EXPECT_EQ(info.threshold[7], 32);
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_IMG_MCTF_MV_STABILIZER_SETUP", "errno": "EIO"}]})"));
  kavo::logger::LogCapture log;
  EXPECT_EQ(d.set_3Dnr(10), -1);
  EXPECT_TRUE(log.has("set failed", LOG_LEVEL_WARNING));
  ASSERT_TRUE(sim::setFaults(""));
}

// On the OV9715 the white balance is the DSP's RGB gain (x64), not the sensor's.
TEST_F(IavDspTest, Ov9715WhiteBalanceGoesThroughTheLibrary) {
  kavo::isp::g_isp.sys.sensor = kavo::isp::SENSOR_OV9715;
  const uint64_t seq = lastSeq();
  const uint32_t gains[3] = {1400, 1024, 1100};
  EXPECT_EQ(d.set_wb_gain(gains), 0);
  EXPECT_TRUE(requestsSince(seq, "IAV_IOC_VIN_SRC_SET_WB_GAIN").empty());
  const auto lines = requestsSince(seq, "IAV_IOC_IMG_RGB_GAIN_ADJUST");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["arg"]["r"], 1400 * 64);
  EXPECT_EQ(lines[0]["arg"]["gr"], 1024 * 64);
  EXPECT_EQ(lines[0]["arg"]["gb"], 1024 * 64);
  EXPECT_EQ(lines[0]["arg"]["b"], 1100 * 64);
  ASSERT_TRUE(sim::setFaults(R"({"faults": [{"request": "IAV_IOC_IMG_RGB_GAIN_ADJUST", "errno": "EIO"}]})"));
  kavo::logger::LogCapture log;
  const uint32_t warmer[3] = {1500, 1024, 1100};
  EXPECT_EQ(d.set_wb_gain(warmer), -1);
  EXPECT_TRUE(log.has("set gain error.", LOG_LEVEL_WARNING));
  ASSERT_TRUE(sim::setFaults(""));
}

// Both sensors' white balance: gains equal to the last sent are not sent again, unless that request
// failed or a re-initialisation forgot them.
TEST_F(IavDspTest, WhiteBalanceSendsOnlyChangedGains) {
  struct Case {
    int32_t sensor;
    const char* request;
  };
  for (const Case& k : {Case{kavo::isp::SENSOR_AR0331, "IAV_IOC_VIN_SRC_SET_WB_GAIN"},
                        Case{kavo::isp::SENSOR_OV9715, "IAV_IOC_IMG_RGB_GAIN_ADJUST"}}) {
    SCOPED_TRACE(k.request);
    kavo::isp::g_isp.sys.sensor = k.sensor;
    d.reset_wb_cache();
    const uint64_t seq = lastSeq();
    const auto sent = [&] { return requestsSince(seq, k.request).size(); };
    const uint32_t a[3] = {1400, 1024, 1100}, b[3] = {1400, 1024, 1101};
    EXPECT_EQ(d.set_wb_gain(a), 0);
    EXPECT_EQ(d.set_wb_gain(a), 0);
    EXPECT_EQ(sent(), 1u) << "the same gains twice are sent once";
    EXPECT_EQ(d.set_wb_gain(b), 0);
    EXPECT_EQ(sent(), 2u);
    ASSERT_TRUE(sim::setFaults(std::string(R"({"faults": [{"request": ")") + k.request + R"(", "errno": "EIO"}]})"));
    EXPECT_EQ(d.set_wb_gain(a), -1);
    ASSERT_TRUE(sim::setFaults(""));
    EXPECT_EQ(d.set_wb_gain(a), 0);
    EXPECT_EQ(sent(), 4u) << "after a failure the same gains are sent again";
    d.reset_wb_cache();
    EXPECT_EQ(d.set_wb_gain(a), 0);
    EXPECT_EQ(sent(), 5u) << "after the reset the same gains are sent again";
  }
}

// Other sensors than the AR0331 take WDR as local tone: level 0 off, another level the radius, with
// the default weights, shift and gain curve; the gamma WDR only changes the record.
TEST_F(IavDspTest, LocalToneWdr) {
  kavo::isp::g_isp.sys.sensor = kavo::isp::SENSOR_OV9715;
  struct Case {
    int level;
    int enable, radius;
  };
  for (const Case& k : {Case{2, 1, 2}, Case{0, 0, 2}, Case{3, 1, 3}}) {
    SCOPED_TRACE(k.level);
    const uint64_t seq = lastSeq();
    EXPECT_EQ(d.set_wdr_level(k.level), 0);
    EXPECT_TRUE(requestsSince(seq, "IAV_IOC_SET_SENSOR_REG").empty());
    const auto lines = requestsSince(seq, "IAV_IOC_IMG_LOCAL_EXPOSURE");
    ASSERT_EQ(lines.size(), 1u);
    const auto& a = lines[0]["arg"];
    EXPECT_EQ(a["enable"], k.enable);
    EXPECT_EQ(a["radius"], k.radius);
    EXPECT_EQ((std::vector<int>{a["w0"], a["w1"], a["w2"], a["shift"]}), (std::vector<int>{16, 16, 16, 6}));
  }
  const uint64_t seq = lastSeq();
  EXPECT_EQ(d.set_gammaWD_level(5), 0);
  EXPECT_TRUE(requestsSince(seq).empty());
  EXPECT_EQ(d.localExposure().radius, 5);
  EXPECT_EQ(d.set_local_exposure(), 0);
  EXPECT_EQ(requestsSince(seq, "IAV_IOC_IMG_LOCAL_EXPOSURE").at(0)["arg"]["radius"], 5);
}

// The lens-shading file: tables softened towards the left and right edges (and there towards the
// top and bottom), the fourth sent as read, the gain shift's low byte; a short file still sends.
TEST_F(IavDspTest, LensShadingFile) {
  kavo::logger::LogCapture log;
  EXPECT_EQ(d.set_lens_shading_correct(1), -1);
  EXPECT_TRUE(log.has("lens_shading.bin cannot be opened", LOG_LEVEL_WARNING));

  std::vector<uint16_t> file(4 * 1089 + 2, 1000);
  const uint32_t shift = 0x1207;
  std::memcpy(&file[4 * 1089], &shift, 4);
  root.write("/etc/ispserver/lens_shading.bin", std::string(reinterpret_cast<const char*>(file.data()), 8716));
  // The rule, entry by entry: columns 0-7 by (c + 92) %, 25-32 by (124 - c) %; there, rows 0-4 by
  // (r + 95) % and rows 28-32 by (127 - r) %.
  std::vector<uint16_t> soft(1089);
  for (int r = 0; r < 33; ++r)
    for (int c = 0; c < 33; ++c) {
      uint32_t v = 1000;
      if (c < 8 || c > 24) {
        v = v * (c < 8 ? c + 92 : 124 - c) / 100;
        if (r < 5) v = v * (r + 95) / 100;
        if (r > 27) v = v * (127 - r) / 100;
      }
      soft[r * 33 + c] = static_cast<uint16_t>(v);
    }
  EXPECT_EQ(soft[0], 874);
  EXPECT_EQ(soft[16 * 33 + 0], 920);
  EXPECT_EQ(soft[0 * 33 + 16], 1000);
  uint64_t seq = lastSeq();
  EXPECT_EQ(d.set_lens_shading_correct(1), 0);
  auto lines = requestsSince(seq, "IAV_IOC_IMG_VIGNETTE_COMPENSATION");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["arg"]["enable"], 1);
  EXPECT_EQ(lines[0]["arg"]["gainShift"], 7);
  EXPECT_EQ(kavo::isp::g_isp.lensShadingGainShift.load(), shift);
  for (const char* t : {"table0", "table1", "table2"}) EXPECT_EQ(lines[0]["arg"][t]["fnv"], simtest::fnvHex(soft.data(), 2178)) << t;
  EXPECT_EQ(lines[0]["arg"]["table3"]["fnv"], simtest::fnvHex(file.data() + 3 * 1089, 2178));

  root.write("/etc/ispserver/lens_shading.bin", std::string(reinterpret_cast<const char*>(file.data()), 8000));
  seq = lastSeq();
  EXPECT_EQ(d.set_lens_shading_correct(0), 0);
  EXPECT_TRUE(log.has("read vignette_table error", LOG_LEVEL_WARNING));
  EXPECT_TRUE(log.has("read gain_shift error", LOG_LEVEL_WARNING));
  lines = requestsSince(seq, "IAV_IOC_IMG_VIGNETTE_COMPENSATION");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0]["arg"]["enable"], 0);
  std::vector<uint16_t> last(file.begin() + 3 * 1089, file.begin() + 4 * 1089);
  std::fill(last.begin() + (8000 - 3 * 2178) / 2, last.end(), 0);  // zero-filled past the end
  EXPECT_EQ(lines[0]["arg"]["table3"]["fnv"], simtest::fnvHex(last.data(), 2178));
}

// The library has no lock: its entries from three threads at once must leave every request whole
// (and, in the ThreadSanitizer build, race on nothing).
TEST_F(IavDspTest, LibraryEntriesFromThreeThreads) {
  root.write("/etc/ispserver/lens_shading.bin", std::string(8716, '\x10'));
  constexpr int kRounds = 60;
  std::atomic<int> failures{0};
  std::thread ipc([&] {
    for (int i = 0; i < kRounds; ++i) {
      const img_dsp_fir_info fir{(i % 3) * 64, {}};
      if (d.set_sharpen_fir(&fir, 0) != 0) failures.fetch_add(1);
      img_dsp_coring_info coring{};
      std::memset(coring.coring, i % 8, sizeof coring.coring);
      d.set_sharpen_coring(&coring, static_cast<uint8_t>(i % 3));
    }
  });
  std::thread visca([&] {
    for (int i = 0; i < kRounds; ++i) {
      const img_dsp_bad_pixel_info bad{3, static_cast<uint8_t>(1 + i % 10), static_cast<uint8_t>(10 - i % 10)};
      d.set_bad_pixel_correction(&bad);
      if (i % 10 == 0 && d.set_lens_shading_correct(1) != 0) failures.fetch_add(1);
      d.set_wdr_level(i % 4);
    }
  });
  std::thread aaa([&] {
    for (int i = 0; i < kRounds; ++i) {
      if (d.set_3Dnr(i % 256) != 0) failures.fetch_add(1);
      img_dsp_spatial_filter_info now{};
      d.dsp_get_spatial_filter(&now);
      const uint32_t gains[3] = {1024u + i, 1024, 1024};
      d.set_wb_gain(gains);
    }
  });
  ipc.join();
  visca.join();
  aaa.join();
  EXPECT_EQ(failures.load(), 0);
  // Each bad-pixel request carries the halves of one strength pair (hot s, dark 11 - s), never a
  // half that another thread's call left in the library's buffers.
  int whole = 0;
  for (const auto& l : requestsSince(0, "IAV_IOC_IMG_BAD_PIXEL_CORRECTION")) {
    for (int s = 1; s <= 10; ++s)
      whole += l["arg"]["hotTable"]["fnv"] == simtest::fnvHex(imgdsp::kBadPixelRows[1][s - 1], 768) &&
               l["arg"]["darkTable"]["fnv"] == simtest::fnvHex(imgdsp::kBadPixelRows[1][10 - s] + 768, 768);
  }
  EXPECT_EQ(whole, kRounds);
}

}  // namespace
