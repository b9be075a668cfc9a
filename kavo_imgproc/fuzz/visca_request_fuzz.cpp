// Arbitrary requests in the VISCA segment (any length byte, any bytes) served as the VISCA thread
// serves them, with the controller's components on the simulated camera. The segment is a heap
// block of exactly its size, so a read or write past it is caught.
#include <cstdint>
#include <cstring>
#include <memory>

#include "iav_client.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_channel.h"
#include "kavo/test/test_root.h"
#include "kavo/utils/clock.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/isp_globals.h"

using namespace kavo::isp;

namespace {

struct Camera {
  kavo::test::TestRoot root;
  simtest::Client streamer;
  std::unique_ptr<CIsp> isp;
  std::unique_ptr<DVisca> visca;
  uint8_t focus[64] = {};

  Camera() {
    kavo::utils::setSleepsAdvanceMomentsForTest(true);  // the handlers' pauses take no time
    simtest::writeConfig(root, R"({"clock": "virtual"})");
    streamer.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}});
    streamer.startStop(true);
    g_isp.sys = SystemParameters{ALDER_IR, 1, FIXLENS, SENSOR_AR0331, BOARD_LENS};
    g_isp.board = ALDER_IR;
    g_isp.aeLimits = AELimits{7500, 0, 198, 5, 161};
    isp = std::make_unique<CIsp>();
    g_isp.controller.store(isp.get());
    isp->openDevices();
    visca = std::make_unique<DVisca>();
    g_isp.visca.store(visca.get());
    g_isp.focusShm.addr = focus;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Camera camera;
  std::unique_ptr<uint8_t[]> segment(new uint8_t[kViscaSegmentBytes]);
  std::memset(segment.get(), 0, kViscaSegmentBytes);
  std::memcpy(segment.get(), data, size < kViscaSegmentBytes ? size : kViscaSegmentBytes);
  uint8_t work[kViscaWorkBytes];
  viscaServeRequest(segment.get(), work, true);
  // The reply never claims more than the work buffer holds.
  if (segment[0] > kViscaWorkBytes) __builtin_trap();
  return 0;
}
