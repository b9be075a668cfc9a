// The FIR and spatial-filter setters and the sharpening-mode switch, each with a no-op request hook:
// what one call holds the driver's mutex (and the thread that made it) for. The spatial filter decides
// the cost: off, a FIR setting is one table kernel; on, it is 18 convolved and quantised kernels.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "img_dsp.h"

namespace {

int noRequest(int, unsigned long, void*) { return 0; }
int noPrint(const char*, ...) { return 0; }

void setUp(const img_dsp_spatial_filter_info& filter) {
  static const img_dsp_mem_ops ops = {std::malloc, std::free, std::memset, std::memcpy};
  img_dsp_set_mem_ops(&ops);
  img_dsp_set_print_op(noPrint);
  img_dsp_set_ioctl_op(noRequest);
  img_dsp_lib_deinit();
  img_dsp_lib_init();
  img_dsp_set_spatial_filter(3, 0, &filter);
}

const img_dsp_spatial_filter_info kFilterOff{0, 0, 2047, 0};
const img_dsp_spatial_filter_info kFilterOn{255, 128, 60, 60};  // as the noise control sets it

void BM_SetSharpenFir(benchmark::State& state) {
  bool filterOn = state.range(0) != 0, list = state.range(1) != 0;
  setUp(filterOn ? kFilterOn : kFilterOff);
  img_dsp_fir_info fir{list ? -1 : 150, {}};
  if (list) fir.coeff[0] = -1, fir.coeff[5] = 4;
  for (auto _ : state) benchmark::DoNotOptimize(img_dsp_set_sharpen_fir(3, 0, &fir));
}
BENCHMARK(BM_SetSharpenFir)->ArgNames({"filter", "coeff"})->Args({0, 0})->Args({1, 0})->Args({0, 1})->Args({1, 1});

void BM_SetSpatialFilter(benchmark::State& state) {
  setUp(kFilterOff);
  const img_dsp_spatial_filter_info& f = state.range(0) ? kFilterOn : kFilterOff;
  for (auto _ : state) benchmark::DoNotOptimize(img_dsp_set_spatial_filter(3, 0, &f));
}
BENCHMARK(BM_SetSpatialFilter)->ArgName("filter")->Arg(0)->Arg(1);

// The FIR wrapper's pair: the switch (spatial filter and FIR once each) then the FIR setting.
void BM_SwitchSharpenMode(benchmark::State& state) {
  setUp(state.range(1) ? kFilterOn : kFilterOff);
  uint8_t on = static_cast<uint8_t>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(img_dsp_switch_sharpen_mode(3, on));
}
BENCHMARK(BM_SwitchSharpenMode)->ArgNames({"on", "filter"})->Args({0, 0})->Args({0, 1})->Args({1, 0})->Args({1, 1});

}  // namespace

BENCHMARK_MAIN();
