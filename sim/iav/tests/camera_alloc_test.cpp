// The camera's per-frame paths allocate nothing: rendering a picture (with a lens that moves and
// masks in force), computing the statistics, and a statistics read through the driver.
#include <gtest/gtest.h>

#include "iav_client.h"
#include "kavo/test/alloc_count.h"
#include "render.h"
#include "stats.h"

namespace {

using namespace kavo::sim::iav;

FrameView view() {
  FrameView f;
  CameraShared c{};
  const SensorConfig cfg;
  cameraDefaults(c, cfg);
  f.scene = sceneAt(SceneScript(), 0);
  f.sensor = settingsAt(c.sensor, 0);
  f.dsp = c.dsp;
  f.lens = c.lens;
  f.signal = signal(f.scene, f.sensor, f.dsp, f.lens, cfg);
  return f;
}

TEST(CameraAlloc, RenderingAndStatisticsAllocateNothingPerFrame) {
  if (!kavo::test::allocationsCounted()) GTEST_SKIP() << "the allocator is not ours to count";
  Renderer r;
  r.configure(640, 360);
  std::vector<uint8_t> planes(640 * 360 * 3 / 2);
  std::vector<uint8_t> bitmap(160 * 23, 1);
  MaskView m;
  m.bitmap = bitmap.data();
  m.blocksX = 40;
  m.blocksY = 23;
  m.mainWidth = 640;
  m.mainHeight = 360;
  FrameView f = view();
  auto frame = [&](int i) {
    f.frame = static_cast<uint64_t>(i);
    f.blur = i % 5;  // the lens moves: a new blur radius most frames
    f.signal.ir[1] = (i & 1) ? 100.0 : 0.0;  // with and without IR light
    r.render(f, static_cast<uint32_t>(i), i % 3 == 0, false, m, planes.data(), planes.data() + 640 * 360,
             planes.data() + 640 * 360 * 5 / 4);
  };
  StatisticsEngine engine;
  auto stats = std::make_unique<Statistics>();
  iav_aaa_tile_info_t tiles;
  defaultTiles(tiles);
  for (int i = 0; i < 6; ++i) {
    frame(i);
    f.blur = i;
    engine.compute(f, tiles, SensorConfig(), *stats);
  }
  EXPECT_EQ(kavo::test::allocationsOf([&] {
              for (int i = 0; i < 30; ++i) frame(i);
            }),
            0);
  EXPECT_EQ(kavo::test::allocationsOf([&] {
              for (int i = 0; i < 30; ++i) {
                f.blur = i % 6;
                f.lens.moving = i & 1;
                engine.compute(f, tiles, SensorConfig(), *stats);
              }
            }),
            0);
}

TEST(CameraAlloc, AStatisticsReadAllocatesNothing) {
  if (!kavo::test::allocationsCounted()) GTEST_SKIP() << "the allocator is not ours to count";
  kavo::test::TestRoot root;
  simtest::writeConfig(root, R"({"clock": "virtual"})");
  simtest::Client c;
  ASSERT_EQ(c.setup({{IAV_ENCODE_H264, 320, 180, 30, 30}}), 0);
  ASSERT_EQ(c.startStop(true), 0);
  int fd = kavo::os::devOpen("/dev/iav", O_RDWR);
  ASSERT_GE(fd, 0);
  std::vector<iav_awb_tile_t> awb(IAV_AAA_MAX_AWB_TILES);
  std::vector<iav_af_tile_t> af(IAV_AAA_MAX_AF_TILES);
  iav_aaa_histogram_t hist{};
  iav_aaa_frame_info_t frame{};
  iav_aaa_stats_request_t r{awb.data(), nullptr, af.data(), &hist, nullptr, &frame};
  for (int i = 0; i < 5; ++i) ASSERT_EQ(simtest::req(fd, IAV_IOC_IMG_GET_STATISTICS, &r), 0);
  EXPECT_EQ(kavo::test::allocationsOf([&] {
              for (int i = 0; i < 30; ++i) simtest::req(fd, IAV_IOC_IMG_GET_STATISTICS, &r);
            }),
            0);
  kavo::os::devClose(fd);
}

}  // namespace
