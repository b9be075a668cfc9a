// The image controller against the simulated camera: its components, the open sequence and the
// initialisation of every board as the DSP's journal shows them, the one-time 3A enable, and the
// per-model configuration with its missing and short files.
#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include "algo_ae/AEControl.h"
#include "be_iav/iav_driver.h"
#include "driver_fixture.h"
#include "algo_af/CAFControl.h"
#include "fe_subcpu/subcpu.h"
#include "lens_line.h"
#include "thread_proc/CIsp.h"

namespace {

using namespace drivertest;
using namespace kavo::isp;

struct Board {
  int32_t model, systemType, sensor;
  const char* reg;
  const char* table3d;
  int16_t u0, v0, yOffset;  // of the model's RGB-to-YUV set
  bool localExposure;
};
// clang-format off
const Board kBoards[] = {
    {ALDER_IR,      FIXLENS,  SENSOR_OV9715, "reg_alder.bin",  "3D_alder.bin",  -173, 486, 0, true},
    {HALDEN_IR,     FIXLENS,  SENSOR_OV9715, "reg_halden.bin", "3D_halden.bin", -173, 512, 0, true},
    {TORVEX_BRISK,  ZOOMLENS, SENSOR_AR0331, "reg.bin",        "3D.bin",        -147, 473, 8, false},
    {TORVEX_TARROW, ZOOMLENS, SENSOR_AR0331, "reg.bin",        "3D.bin",        -147, 473, 8, false},
    {TORVEX_WREN,   ZOOMLENS, SENSOR_AR0331, "reg.bin",        "3D.bin",        -147, 473, 8, false},
    {FINCH_IR,      FIXLENS,  SENSOR_OV9715, "reg_finch.bin",  "3D_finch.bin",  -207, 614, 0, true},
};
// clang-format on

std::string shipped(const std::string& name) {
  std::ifstream f(std::string(KAVO_TEST_SOURCE_DIR) + "/kavo_ispserver_gen2/etc/ispserver/" + name, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}


class ControllerTest : public DriverTest {
 protected:
  void SetUp() override {
    DriverTest::SetUp();
    for (const char* f : {"reg.bin", "3D.bin", "reg_alder.bin", "3D_alder.bin", "reg_halden.bin", "3D_halden.bin",
                          "reg_finch.bin", "3D_finch.bin"})
      root.write(std::string("/etc/ispserver/") + f, shipped(f));
    board(kBoards[0]);
  }
  void TearDown() override { g_isp.controller.store(nullptr); }
  void board(const Board& b) {
    g_isp.sys = SystemParameters{b.model, 1, b.systemType, b.sensor, b.systemType == ZOOMLENS ? 0 : 4};
    g_isp.board = b.model;
  }
  // The image requests of this process from `seq` on, as "name" or "name:detail".
  static std::vector<std::string> imageRequests(uint64_t seq) {
    std::vector<std::string> out;
    for (const auto& l : requestsSince(seq)) {
      const std::string r = l.value("req", "");
      if (r.rfind("IAV_IOC_IMG_", 0) == 0 || r.rfind("IAV_IOC_VIN_SRC_GET_", 0) == 0 || r == "IAV_IOC_SET_SENSOR_REG")
        out.push_back(r.substr(8));
    }
    return out;
  }
};

// The controller creates the ten components and its destructor deletes every one (the I2C driver
// too) and clears their slots and the controller pointer; a mirror reset without a controller does
// nothing.
TEST_F(ControllerTest, ComponentsLiveAndDieWithTheController) {
  auto* isp = new CIsp;
  g_isp.controller.store(isp);
  const ComponentTable& c = g_isp.components;
  const void* slots[] = {c.iav.load(), c.threadProc.load(), c.subCpuStub.load(), c.subCpu.load(), c.ae.load(),
                         c.awb.load(), c.af.load(), c.atf.load(), c.mask.load(), c.i2c.load()};
  for (const void* s : slots) EXPECT_NE(s, nullptr);
  EXPECT_EQ(isp->statsRequest.frame, &isp->stats.frame);
  EXPECT_EQ(isp->wordTen.load(), 10);
  EXPECT_EQ(isp->wordAfterBlackAndWhite.load(), 100u);
  delete isp;
  const void* after[] = {c.iav.load(), c.threadProc.load(), c.subCpuStub.load(), c.subCpu.load(), c.ae.load(),
                         c.awb.load(), c.af.load(), c.atf.load(), c.mask.load(), c.i2c.load()};
  for (const void* s : after) EXPECT_EQ(s, nullptr);
  EXPECT_EQ(controller(), nullptr);
  EXPECT_EQ(ipc_reset_mirror_state(controller()), 0);
}

// Per board: the open sequence (the AR0331's register write, the serial link only on zoom-lens
// boards, the auto focus as the link's callback) and the initialisation's requests in order, with
// the tile grid, the model's colour-correction table and tone curve, and its RGB-to-YUV set.
TEST_F(ControllerTest, OpenAndInitialiseEveryBoard) {
  for (const Board& b : kBoards) {
    SCOPED_TRACE(b.model);
    board(b);
    // The lens MCU's line exists on every board: only a zoom-lens board may open it.
    lenstest::PtyLine line(root);
    CIsp isp;
    g_isp.controller.store(&isp);
    uint64_t seq = lastSeq();
    EXPECT_EQ(isp.openDevices(), 0);
    const auto open = requestsSince(seq, "IAV_IOC_SET_SENSOR_REG");
    ASSERT_EQ(open.size(), b.sensor == SENSOR_AR0331 ? 1u : 0u);
    if (!open.empty()) {
      EXPECT_EQ(open[0]["arg"]["reg"], "0x00002420");
      EXPECT_EQ(open[0]["arg"]["data"], "0x00000000");
      EXPECT_EQ(open[0]["node"], "/dev/ambad");
    }
    EXPECT_EQ(subCpu()->m_serialOpen.load(), b.systemType == ZOOMLENS ? 1u : 0u);
    EXPECT_EQ(subCpu()->m_callback.load(), static_cast<CallbackInterface*>(afControl()));

    seq = lastSeq();
    EXPECT_EQ(isp.initialize(&g_isp.sys), 0);
    EXPECT_EQ(isp.initialised.load(), 1u);
    std::vector<std::string> want = {"VIN_SRC_GET_VIDEO_MODE", "IMG_AAA_SETUP_EX"};
    if (b.model == FINCH_IR) want.push_back("IMG_CHROMA_SCALE");  // the model's chroma scale starts at 40
    for (const char* r : {"IMG_BLACK_LEVEL_GLOBAL_OFFSET", "IMG_CHROMA_MEDIAN_FILTER_SETUP", "IMG_BAD_PIXEL_CORRECTION"})
      want.push_back(r);
    std::vector<std::string> got = imageRequests(seq);
    // The colour correction goes out once a tone curve is loaded: once at the first initialisation
    // of the process, three times (table, write, curve) at the later ones.
    got.erase(std::unique(got.begin(), got.end(),
                          [](const std::string& a, const std::string& b) { return a == b && a == "IMG_COLOR_CORRECTION"; }),
              got.end());
    want.push_back("IMG_COLOR_CORRECTION");
    if (b.localExposure) want.push_back("IMG_LOCAL_EXPOSURE");
    for (const char* r : {"IMG_RGB_TO_YUV_SETUP", "VIN_SRC_GET_AGC_INFO", "VIN_SRC_GET_SHUTTER_INFO"}) want.push_back(r);
    EXPECT_EQ(got, want);

    const auto tiles = requestsSince(seq, "IAV_IOC_IMG_AAA_SETUP_EX").at(0)["arg"];
    EXPECT_EQ((std::vector<int>{tiles["aeAwb"], tiles["af"], tiles["awbCols"], tiles["awbRows"], tiles["afCols"], tiles["afRows"]}),
              (std::vector<int>{1, 1, 12, 8, 8, 5}));
    const auto cc = requestsSince(seq, "IAV_IOC_IMG_COLOR_CORRECTION").back()["arg"];
    const std::string table = shipped(b.table3d);
    EXPECT_EQ(cc["lut3d"]["fnv"], simtest::fnvHex(table.data() + 128, 16384));
    const std::string reg = shipped(b.reg);
    EXPECT_EQ(cc["inputTable"]["fnv"], simtest::fnvHex(reg.data() + 16256, 2304)) << "the second table set";
    uint32_t tone[256];
    const uint16_t* curve = b.model >= TORVEX_BRISK && b.model <= TORVEX_WREN ? kToneCurveS : img_dsp_linear_tone_curve;
    for (int i = 0; i < 256; ++i) tone[i] = curve[i] | curve[i] << 10 | uint32_t{curve[i]} << 20;
    EXPECT_EQ(cc["toneCurve"]["fnv"], simtest::fnvHex(tone, sizeof tone));
    const auto yuv = requestsSince(seq, "IAV_IOC_IMG_RGB_TO_YUV_SETUP").at(0)["arg"];
    EXPECT_EQ((std::vector<int>{yuv["y0"], yuv["u0"], yuv["v0"], yuv["yOffset"]}), (std::vector<int>{306, b.u0, b.v0, b.yOffset}));
    const auto black = requestsSince(seq, "IAV_IOC_IMG_BLACK_LEVEL_GLOBAL_OFFSET").at(0)["arg"];
    // Model 5 starts at -295 (offsets from the reference -512), the others at what the library held.
    if (b.model == FINCH_IR) {
      EXPECT_EQ((std::vector<int>{black["o0"], black["o1"], black["o2"], black["o3"]}), std::vector<int>(4, 217));
    }
    EXPECT_EQ(isp.modelYuv.get(3), b.u0);
    EXPECT_EQ(isp.toneCurve.get(512 + 100), curve[100]);
    EXPECT_EQ(isp.agcTable.get(198), 496846011);
    EXPECT_EQ(isp.shutterTable.get(46), 5120000);
    EXPECT_GT(g_isp.framePeriod.load(), 0u);
    EXPECT_EQ(isp.closeDevices(), 0);
  }
}

// enable_aaa: -1 before the controller is initialised; then AE and AWB (and AF on zoom-lens boards)
// are initialised once, whatever later calls say; 0 only stops the passes.
TEST_F(ControllerTest, EnableAaaInitialisesOnce) {
  for (const Board& b : {kBoards[0], kBoards[2]}) {
    board(b);
    CIsp isp;
    g_isp.controller.store(&isp);
    kavo::logger::LogCapture log;
    EXPECT_EQ(enable_aaa(&isp, 1), -1);
    EXPECT_TRUE(log.has("[enable_aaa]Parameters do not initial.\n", LOG_LEVEL_WARNING));
    EXPECT_EQ(isp.aaaEnabled.load(), 0u);
    EXPECT_EQ(enable_aaa(nullptr, 1), -1);
    isp.openDevices();
    isp.initialize(&g_isp.sys);
    EXPECT_EQ(enable_aaa(&isp, 1), 0);
    EXPECT_EQ(isp.aaaEnabled.load(), 1u);
    EXPECT_EQ(isp.aeEnable.load(), 1);
    EXPECT_EQ(isp.awbEnable.load(), 1);
    EXPECT_EQ(isp.afEnable.load(), b.systemType == ZOOMLENS ? 1 : 0);
    EXPECT_EQ(aeControl()->previousMode.load(), 10);
    // A second enable does not initialise again (the AE step would be enabled anew).
    isp.aeEnable.store(0);
    aeControl()->previousMode.store(0);
    EXPECT_EQ(enable_aaa(&isp, 1), 0);
    EXPECT_EQ(isp.aeEnable.load(), 0);
    EXPECT_EQ(aeControl()->previousMode.load(), 0);
    EXPECT_EQ(enable_aaa(&isp, 0), 0);
    EXPECT_EQ(isp.aaaEnabled.load(), 0u);
    EXPECT_EQ(isp.aeInitialised.load(), 1);
    isp.closeDevices();
  }
}

// Missing and short colour-correction files: each model's messages. A missing file loads nothing
// into the DSP, but the model's RGB-to-YUV set and tone curve are in the controller (the base of
// the contrast curve). A short file is used as far as it goes.
TEST_F(ControllerTest, MissingAndShortColourFiles) {
  struct Case {
    int32_t model;
    const char* file;       // removed or cut
    bool cut;
    const char* message;
  };
  const Case cases[] = {
      {TORVEX_BRISK, "reg.bin", false, "[init_image_params]X5M_CC_reg_1.1.bin cannot be opened\n"},
      {HALDEN_IR, "reg_halden.bin", false, "[init_image_params]reg_halden.bin cannot be opened\n"},
      {ALDER_IR, "reg_alder.bin", false, "[init_image_params]reg_alder.bin cannot be opened\n"},
      {FINCH_IR, "reg_finch.bin", false, "[init_image_params]reg_finch.bin cannot be opened\n"},
      {TORVEX_WREN, "3D.bin", false, "[init_image_params]/etc/ispserver/3D.bin cannot be opened\n"},
      {HALDEN_IR, "3D_halden.bin", false, "[init_image_params]3D_halden.bin cannot be opened\n"},
      {ALDER_IR, "3D_alder.bin", false, "[init_image_params]3D_alder cannot be opened\n"},
      {FINCH_IR, "3D_finch.bin", false, "[init_image_params]3D_finch cannot be opened\n"},
      {7, "reg.bin", false, "[init_image_params]X5M_CC_reg_1.1.bin cannot be opened\n"},
      {TORVEX_TARROW, "reg.bin", true, "[init_image_params]read X5M_CC_reg_1.1.bin error\n"},
      {FINCH_IR, "reg_finch.bin", true, "[init_image_params]read X5M_CC_reg_1.1.bin error\n"},
      {ALDER_IR, "3D_alder.bin", true, "[init_image_params]read /etc/ispserver/3D.bin error\n"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.model) + " " + k.file);
    Board b = kBoards[0];
    for (const Board& x : kBoards)
      if (x.model == k.model) b = x;
    b.model = k.model;
    board(b);
    const std::string path = std::string("/etc/ispserver/") + k.file;
    const std::string whole = shipped(k.file);
    if (k.cut)
      root.write(path, whole.substr(0, whole.size() - 100));
    else
      ::unlink(root.path(path).c_str());
    CIsp isp;
    g_isp.controller.store(&isp);
    isp.openDevices();
    kavo::logger::LogCapture log;
    const uint64_t seq = lastSeq();
    isp.initialize(&g_isp.sys);
    EXPECT_TRUE(log.has(k.message, LOG_LEVEL_WARNING)) << log.dump();
    const auto cc = requestsSince(seq, "IAV_IOC_IMG_COLOR_CORRECTION");
    const auto yuv = requestsSince(seq, "IAV_IOC_IMG_RGB_TO_YUV_SETUP");
    if (k.cut) {
      EXPECT_FALSE(cc.empty()) << "a short file is still loaded";
      EXPECT_EQ(yuv.size(), 1u);
    } else {
      EXPECT_TRUE(cc.empty());
      EXPECT_TRUE(yuv.empty());
      EXPECT_TRUE(requestsSince(seq, "IAV_IOC_IMG_LOCAL_EXPOSURE").empty());
    }
    const bool sCurve = k.model >= TORVEX_BRISK && k.model <= TORVEX_WREN;
    EXPECT_EQ(isp.toneCurve.get(128), sCurve ? 522 : 514) << "the model's curve, not a leftover";
    EXPECT_EQ(isp.modelYuv.get(0), 306);
    EXPECT_EQ(isp.modelYuv.get(5), k.model == FINCH_IR ? 614 : (sCurve ? 435 : 512));
    if (k.model == 7) {
      EXPECT_TRUE(log.has("[init_image_params]System.model unknown. Please check ispserver.conf \n", LOG_LEVEL_WARNING));
    }
    if (k.model == FINCH_IR) {
      EXPECT_TRUE(log.has("[init_image_params]For FINCH_IR\n", LOG_LEVEL_WARNING));
    }
    root.write(path, whole);
    isp.closeDevices();
  }
}

}  // namespace
