// GetFrame per frame in replay mode (pre-encoded frames, no x264 in the loop), beside the bare
// driver read it wraps, and EncodeFrames with FLV and MJPEG file containers. Allocation calls are
// counted over the timed loop (malloc, calloc and realloc are interposed).
#include <benchmark/benchmark.h>

#include <fcntl.h>


#include "../../kavo_encoder/tests/video_test_support.h"
#include "kavo/encoder/encoder.h"
#include "kavo/os/device.h"
#include "kavo/test/alloc_count.h"

namespace {

using namespace videotest;

json replayStreams() {
  json doc;
  doc["video"]["video1"] = stream(1280, 720, 30, {{"bitRateVbrMax", 2000000}});
  doc["video"]["video2"] = stream(640, 360, 30, {{"bitRateVbrMax", 800000}});
  return doc;
}

void prepare(kavo::test::TestRoot& root) {
  kavo::sim::iav::resetState();
  simConfig(root, {{"mode", "replay"}, {"journalFrames", false}});
  root.mkdirs("/var/media");
}

void finish(benchmark::State& state, uint64_t bytes) {
  const long allocations = kavo::test::stopCountingAllocations();
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations),
                                                benchmark::Counter::kAvgIterations);
  state.counters["frames"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

// The driver read alone, as GetFrame makes it.
void BM_DriverRead(benchmark::State& state) {
  kavo::test::TestRoot root;
  prepare(root);
  EncoderSettings settings = settingsOf(replayStreams());
  Probe encoder(settings, nullptr);
  if (!encoder.Open() || !encoder.StartEncode()) return state.SkipWithError("set-up failed");
  for (int i = 0; i < 128; ++i) encoder.GetFrame();
  iav_bitstream_desc_t desc{};
  uint64_t bytes = 0;
  kavo::test::startCountingAllocations();
  for (auto _ : state) {
    if (kavo::os::devIoctl(encoder.iavFd, IAV_IOC_READ_BITSTREAM_EX, &desc) < 0) {
      state.SkipWithError("read failed");
      break;
    }
    bytes += desc.frameInfo >> 8;
    benchmark::DoNotOptimize(desc);
  }
  finish(state, bytes);
}

void BM_GetFrame(benchmark::State& state) {
  kavo::test::TestRoot root;
  prepare(root);
  EncoderSettings settings = settingsOf(replayStreams());
  VideoEncoder encoder(settings, nullptr);
  if (!encoder.Open() || !encoder.StartEncode()) return state.SkipWithError("set-up failed");
  for (int i = 0; i < 128; ++i) encoder.GetFrame();  // the replay loops are coded, the maps built
  uint64_t bytes = 0;
  kavo::test::startCountingAllocations();
  for (auto _ : state) {
    const kavo::encoder::video_frame_t* f = encoder.GetFrame();
    if (f == nullptr) {
      state.SkipWithError("no frame");
      break;
    }
    bytes += f->frameSize;
    benchmark::DoNotOptimize(f);
  }
  finish(state, bytes);
}

// A frame through the facade into an FLV file per H.264 stream.
void BM_EncodeFramesToFiles(benchmark::State& state) {
  kavo::test::TestRoot root;
  prepare(root);
  json doc = replayStreams();
  doc["video"]["video1"]["avSerializer"] = {{"type", "flv"}, {"streamName", "a"},
                                            {"destinations", {"file:///var/media/a.flv"}}};
  doc["video"]["video2"]["avSerializer"] = {{"type", "flv"}, {"streamName", "b"},
                                            {"destinations", {"file:///var/media/b.flv"}}};
  EncoderSettings settings = settingsOf(doc);
  kavo::encoder::Encoder encoder;
  if (!encoder.Open(settings) || !encoder.StartEncode()) return state.SkipWithError("set-up failed");
  for (int i = 0; i < 400; ++i) encoder.EncodeFrames();
  kavo::test::startCountingAllocations();
  for (auto _ : state) encoder.EncodeFrames();
  finish(state, 0);
}

BENCHMARK(BM_DriverRead);
BENCHMARK(BM_GetFrame);
BENCHMARK(BM_EncodeFramesToFiles);

}  // namespace

BENCHMARK_MAIN();
