// Test frames per second (the mode's own write, close and rename beside raw system calls on the
// same bytes) and the time of one 640 x 368 calibration frame beside its blur and circle search
// alone. Files go under a private root in /tmp; the file benchmarks count in wall-clock time.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <opencv2/imgproc.hpp>
#include <vector>

#include "calibration.h"
#include "kavo/test/test_root.h"
#include "test_osd.h"

namespace {

void BM_TestFrame(benchmark::State& state) {
  kavo::test::TestRoot root;
  std::vector<uint8_t> frame(kavo::osd::kOsdFrameSize);
  const std::string produced = root.path("/tmp/osd.produced"), target = root.path("/tmp/osd");
  int32_t t = 0;
  for (auto _ : state) {
    kavo::osd::fillTestPattern(frame.data(), t += 10);
    if (kavo::osd::writeTestFrame(frame.data(), produced, target) != kavo::osd::FrameWrite::Ok)
      state.SkipWithError("write failed");
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TestFrame)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Baseline: the least the file system asks for one frame (open, one write, close, rename).
void BM_TestFrameRawCalls(benchmark::State& state) {
  kavo::test::TestRoot root;
  std::vector<uint8_t> frame(kavo::osd::kOsdFrameSize, 7);
  const std::string produced = root.path("/tmp/osd.produced"), target = root.path("/tmp/osd");
  for (auto _ : state) {
    int fd = ::open(produced.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::write(fd, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size()))
      state.SkipWithError("write failed");
    ::close(fd);
    std::rename(produced.c_str(), target.c_str());
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TestFrameRawCalls)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Four anti-aliased discs on a plain background, rows padded to 704 bytes as the DSP pads them.
struct CalibrationFrame {
  static constexpr int kW = 640, kH = 368, kPitch = 704;
  std::vector<uint8_t> rows = std::vector<uint8_t>(size_t{kPitch} * kH, 255);
  kavo::analytics::MdBuffer buffer;
  CalibrationFrame() {
    const double discs[][3] = {{120.5, 120.5, 40}, {320.5, 250.5, 70}, {520.5, 110.5, 35}, {560.5, 290.5, 50}};
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x) {
        double cover = 0;
        for (const auto& d : discs)
          for (int i = 0; i < 4; ++i)
            for (int j = 0; j < 4; ++j) {
              const double dx = x + (i + 0.5) / 4 - 0.5 - d[0], dy = y + (j + 0.5) / 4 - 0.5 - d[1];
              cover += (dx * dx + dy * dy <= d[2] * d[2]) / 16.0;
            }
        rows[static_cast<size_t>(y) * kPitch + x] = static_cast<uint8_t>(std::lround(40 + 160 * std::min(cover, 1.0)));
      }
    buffer.init(rows.data(), kW, kH, kPitch, kavo::analytics::MEM_MODE_WRAP, 0, 1);
  }
};

void BM_CalibrationFrame(benchmark::State& state) {
  kavo::test::TestRoot root;
  CalibrationFrame frame;
  kavo::osd::CircleMarker marker;
  const std::string path = root.path("/tmp/debug.pgm");
  for (auto _ : state)
    if (!marker.process(frame.buffer, path)) state.SkipWithError("processing failed");
  state.counters["circles"] = static_cast<double>(marker.circles().size());
}
BENCHMARK(BM_CalibrationFrame)->Unit(benchmark::kMillisecond);

// Baselines: the blur alone, and the circle search alone on the blurred picture.
void BM_CalibrationBlurOnly(benchmark::State& state) {
  CalibrationFrame frame;
  cv::Mat camera(CalibrationFrame::kH, CalibrationFrame::kW, CV_8UC1, frame.rows.data(), CalibrationFrame::kPitch);
  cv::Mat image;
  for (auto _ : state) {
    camera.copyTo(image);
    cv::GaussianBlur(image, image, cv::Size(9, 9), 2.0, 2.0, cv::BORDER_REFLECT_101);
  }
}
BENCHMARK(BM_CalibrationBlurOnly)->Unit(benchmark::kMillisecond);

void BM_CalibrationHoughOnly(benchmark::State& state) {
  CalibrationFrame frame;
  cv::Mat camera(CalibrationFrame::kH, CalibrationFrame::kW, CV_8UC1, frame.rows.data(), CalibrationFrame::kPitch);
  cv::Mat image;
  cv::GaussianBlur(camera, image, cv::Size(9, 9), 2.0, 2.0, cv::BORDER_REFLECT_101);
  std::vector<cv::Vec3f> circles;
  for (auto _ : state) cv::HoughCircles(image, circles, cv::HOUGH_GRADIENT, 1, image.rows / 8, 200, 100, 0, 0);
  state.counters["circles"] = static_cast<double>(circles.size());
}
BENCHMARK(BM_CalibrationHoughOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
