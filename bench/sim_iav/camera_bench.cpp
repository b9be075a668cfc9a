// What the simulated camera costs per frame at 1280x720, beside what coding the same picture costs
// (the baseline the main job pays anyway): rendering the picture in focus, with a lens that moves
// (a new blur each frame), at night (IR light through the sensor), and the 3A statistics of a frame,
// computed alone and read through the driver. The time of one iteration is the cost of one frame.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "../../sim/iav/tests/iav_client.h"
#include "codec.h"
#include "render.h"
#include "stats.h"

namespace {

using namespace kavo::sim::iav;

constexpr int kW = 1280, kH = 720;

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

struct Picture {
  std::vector<uint8_t> planes = std::vector<uint8_t>(kW * kH * 3 / 2);
  uint8_t* y() { return planes.data(); }
  uint8_t* u() { return planes.data() + kW * kH; }
  uint8_t* v() { return planes.data() + kW * kH * 5 / 4; }
};

void render(benchmark::State& state, double blurStep, bool night) {
  Renderer r;
  r.configure(kW, kH);
  Picture p;
  FrameView f = view();
  if (night) {
    SceneSample s = f.scene;
    s.lux = 0.5;
    f.lens.irCutIn = 0;
    f.lens.irLed = 255;
    f.sensor.agcDb = 198 * 2509323;
    f.signal = signal(s, f.sensor, f.dsp, f.lens, SensorConfig());
  }
  uint32_t n = 0;
  for (auto _ : state) {
    f.frame = n;
    f.bandShift = (n % 640) * kBandSpeed;
    f.blur = blurStep * (n % 8);
    r.render(f, n++, false, false, MaskView(), p.y(), p.u(), p.v());
    benchmark::DoNotOptimize(p.planes.data());
  }
}

void BM_RenderInFocus(benchmark::State& state) { render(state, 0.0, false); }
void BM_RenderLensMoving(benchmark::State& state) { render(state, 1.5, false); }
void BM_RenderNightIr(benchmark::State& state) { render(state, 0.0, true); }

// The baseline: x264 (as the DSP codes it) on the same rendered picture.
void BM_EncodeX264(benchmark::State& state) {
  StreamEncoder enc;
  EncodeParams p;
  p.type = IAV_ENCODE_H264;
  p.width = kW;
  p.height = kH;
  p.avgBitrate = p.maxBitrate = 2000000;
  std::string error;
  if (!enc.configure(p, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  Renderer r;
  r.configure(kW, kH);
  FrameView f = view();
  uint64_t pts = 0;
  uint32_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    f.bandShift = (n % 640) * kBandSpeed;
    r.render(f, n++, false, false, MaskView(), enc.picture(), enc.picture() + kW * kH, enc.picture() + kW * kH * 5 / 4);
    state.ResumeTiming();
    const uint8_t* data = nullptr;
    uint32_t size = 0, type = 0;
    enc.encode(n % 30 == 1 ? FrameKind::Idr : FrameKind::Predicted, pts += 3000, &data, &size, &type, error);
    benchmark::DoNotOptimize(data);
  }
}

void BM_StatisticsCompute(benchmark::State& state) {
  StatisticsEngine engine;
  auto out = std::make_unique<Statistics>();
  iav_aaa_tile_info_t tiles;
  defaultTiles(tiles);
  FrameView f = view();
  f.vinWidth = 1920;
  f.vinHeight = 1080;
  for (int level = 0; level < 8; ++level) {  // the focus energies of the blurs used below, cached
    f.blur = level;
    engine.compute(f, tiles, SensorConfig(), *out);
  }
  uint64_t n = 0;
  for (auto _ : state) {
    f.frame = n;
    f.blur = static_cast<double>(n++ % 8);
    engine.compute(f, tiles, SensorConfig(), *out);
    benchmark::DoNotOptimize(out->af[0]);
  }
}

// A statistics read through the driver on the virtual clock: the wait costs nothing, so this is
// the request, the view of the frame, the statistics and the copy into the caller's buffers.
void BM_StatisticsRead(benchmark::State& state) {
  kavo::test::TestRoot root;
  simtest::writeConfig(root, R"({"clock": "virtual", "journalFrames": false})");
  simtest::Client c;
  if (c.setup({{IAV_ENCODE_H264, 1280, 720, 30, 30}}) != 0 || c.startStop(true) != 0) {
    state.SkipWithError("set-up failed");
    return;
  }
  int fd = kavo::os::devOpen("/dev/iav", O_RDWR);
  std::vector<iav_awb_tile_t> awb(IAV_AAA_MAX_AWB_TILES);
  std::vector<iav_ae_tile_t> ae(IAV_AAA_MAX_AWB_TILES);
  std::vector<iav_af_tile_t> af(IAV_AAA_MAX_AF_TILES);
  iav_aaa_histogram_t hist{};
  iav_aaa_luma_t luma{};
  iav_aaa_frame_info_t frame{};
  iav_aaa_stats_request_t r{awb.data(), ae.data(), af.data(), &hist, &luma, &frame};
  for (int i = 0; i < 4; ++i) simtest::req(fd, IAV_IOC_IMG_GET_STATISTICS, &r);
  for (auto _ : state) {
    if (simtest::req(fd, IAV_IOC_IMG_GET_STATISTICS, &r) != 0) {
      state.SkipWithError("read failed");
      break;
    }
  }
  kavo::os::devClose(fd);
}

BENCHMARK(BM_EncodeX264)->Unit(benchmark::kMillisecond)->Iterations(90);
BENCHMARK(BM_RenderInFocus)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderLensMoving)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RenderNightIr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StatisticsCompute)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_StatisticsRead)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
