// One 3A pass (process3A) as the 3A thread runs it, with the statistics read answered at once by a
// stand-in of "/dev/iav" that copies a prepared frame of statistics (no wait for the frame, no lens
// exchange): the pass's own cost and one driver request. Reported per pass as p50 and p99 (us), over
// the 61-pass cycle (the AGC-driven steps run once in it), on a zoom-lens board and on model 5.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "kavo/os/device.h"
#include "kavo/os/iav.h"
#include "kavo/test/test_root.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/aaa_step.h"

namespace {

using namespace kavo::isp;

// "/dev/iav": every request succeeds; the statistics read fills the caller's buffers.
class InstantDsp : public kavo::os::DeviceProvider {
 public:
  InstantDsp() {
    for (int i = 0; i < IAV_AAA_MAX_AWB_TILES; ++i) {
      awb_[i] = iav_awb_tile_t{12000, 16000, 11000, 0};
      ae_[i] = iav_ae_tile_t{15000, 0};
    }
    for (auto& t : af_) t = iav_af_tile_t{900, 300};
  }
  int open(const char*, int) override { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
  int close(int fd) override { return ::close(fd); }
  int ioctl(int, unsigned long request, uintptr_t arg) override {
    if (request == IAV_IOC_GET_STATE) *reinterpret_cast<uint32_t*>(arg) = IAV_STATE_ENCODING;
    if (request != IAV_IOC_IMG_GET_STATISTICS) return 0;
    auto* r = reinterpret_cast<iav_aaa_stats_request_t*>(arg);
    if (r->awb) std::memcpy(r->awb, awb_, sizeof awb_);
    if (r->ae) std::memcpy(r->ae, ae_, sizeof ae_);
    if (r->af) std::memcpy(r->af, af_, sizeof af_);
    if (r->frame) r->frame->frame_number = ++frame_;
    return 0;
  }

 private:
  iav_awb_tile_t awb_[IAV_AAA_MAX_AWB_TILES];
  iav_ae_tile_t ae_[IAV_AAA_MAX_AWB_TILES];
  iav_af_tile_t af_[IAV_AAA_MAX_AF_TILES];
  uint32_t frame_ = 0;
};

void BM_Process3A(benchmark::State& state) {
  kavo::test::TestRoot root;
  static InstantDsp dsp;
  kavo::os::registerDevice("/dev/iav", &dsp);
  kavo::os::registerDevice("/dev/ambad", &dsp);
  const int32_t model = static_cast<int32_t>(state.range(0));
  const bool zoom = model >= TORVEX_BRISK && model <= TORVEX_WREN;
  g_isp.sys = SystemParameters{model, 1, zoom ? ZOOMLENS : FIXLENS, zoom ? SENSOR_AR0331 : SENSOR_OV9715, 4};
  CIsp isp;
  g_isp.controller.store(&isp);
  isp.openDevices();
  isp.initialize(&g_isp.sys);
  enable_aaa(&isp, 1);
  std::vector<double> us;
  us.reserve(1 << 20);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(process3A(&isp));
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  state.counters["p50_us"] = us[us.size() / 2];
  state.counters["p99_us"] = us[us.size() * 99 / 100];
  isp.closeDevices();
  g_isp.controller.store(nullptr);
  kavo::os::registerDevice("/dev/iav", nullptr);
  kavo::os::registerDevice("/dev/ambad", nullptr);
}
BENCHMARK(BM_Process3A)->ArgName("model")->Arg(TORVEX_BRISK)->Arg(FINCH_IR)->Iterations(61 * 1000);

}  // namespace

BENCHMARK_MAIN();
