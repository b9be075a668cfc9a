// Cost of one frame read from the simulated DSP: in replay mode (pre-encoded frames, the case the
// encoder's GetFrame benchmark runs against), with and without per-frame journal lines, and with
// live x264 coding for comparison. "allocs" counts heap allocations per read (it must stay 0).
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "../../sim/iav/tests/iav_client.h"

namespace {
std::atomic<uint64_t> g_allocs{0};
}

// Counting replacements of the global allocation functions (they pair malloc with free on purpose).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t n) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }

namespace {

using namespace simtest;

void readFrames(benchmark::State& state, const char* config, const std::vector<StreamSpec>& streams) {
  kavo::test::TestRoot root;
  writeConfig(root, config);
  Client c;
  if (c.setup(streams) != 0 || c.startStop(true) != 0) {
    state.SkipWithError("set-up failed");
    return;
  }
  iav_bitstream_desc_t d{};
  for (int i = 0; i < 64; ++i) c.read(d);  // encoders open, replay sets ready
  uint64_t bytes = 0;
  const uint64_t before = g_allocs.load();
  for (auto _ : state) {
    if (c.read(d) != 0) {
      state.SkipWithError("read failed");
      break;
    }
    bytes += d.frameInfo >> 8;
    benchmark::DoNotOptimize(d);
  }
  state.counters["allocs"] = benchmark::Counter(static_cast<double>(g_allocs.load() - before),
                                                benchmark::Counter::kAvgIterations);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}

const std::vector<StreamSpec> kReplayStreams = {
    {IAV_ENCODE_H264, 1280, 720, 30, 30, IAV_VBR, 16384, 2000000},
    {IAV_ENCODE_H264, 640, 360, 30, 30, IAV_VBR, 16384, 800000},
};

void BM_ReadReplay(benchmark::State& state) {
  readFrames(state, R"({"clock": "virtual", "mode": "replay", "journalFrames": false})", kReplayStreams);
}
void BM_ReadReplayJournalled(benchmark::State& state) {
  readFrames(state, R"({"clock": "virtual", "mode": "replay"})", kReplayStreams);
}
void BM_ReadLiveX264(benchmark::State& state) {
  readFrames(state, R"({"clock": "virtual", "journalFrames": false})", {{IAV_ENCODE_H264, 640, 360, 30, 30}});
}

BENCHMARK(BM_ReadReplay);
BENCHMARK(BM_ReadReplayJournalled);
BENCHMARK(BM_ReadLiveX264)->Iterations(300);

}  // namespace

BENCHMARK_MAIN();
