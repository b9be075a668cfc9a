// Figures of the lens link against the lens-MCU emulator answering at once (its journal off):
//   kavo_lens_link_bench [inquiries, default 2000] [idle seconds, default 10]
// - inquiry latency: one thread asks the zoom position again and again; p50, p99 and mean from the
//   send to the answer in hand;
// - burst drain: K moves with nowhere to go sent back to back (an acknowledgement and an end report
//   each); the time until the sub-CPU thread has handled all 2K replies, and what an inquiry sent
//   right behind the burst waits;
// - idle cost: the sub-CPU thread alone on a quiet line, CPU time per second and per wake-up,
//   against a bare thread that only sleeps 10 ms and reads the line.
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "lens_line.h"
#include "mcu_process.h"

using namespace kavo::isp;
using Clock = std::chrono::steady_clock;

namespace {

class Count : public CallbackInterface {
 public:
  int callback(int) override { return ++calls; }
  std::atomic<int> calls{0};
};

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int inquiries = argc > 1 ? std::atoi(argv[1]) : 2000;
  const int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
  ::setenv("KAVO_BINARY_DIR", KAVO_BENCH_BINARY_DIR, 0);
  kavo::test::TestRoot root;
  lenstest::zoomBoard();
  lenstest::McuProcess mcu(root, R"({"readyMs": 0, "journal": false, "focusStepsPerSecond": 100000})");
  if (!mcu.ready()) {
    std::fprintf(stderr, "the emulator did not start\n");
    return 1;
  }
  SubCPU s;
  s.openSubCPU();
  Count cb;
  s.setCallback(&cb);
  g_isp.components.subCpu.store(&s);
  startSubCPUThread();

  std::vector<double> lat;
  lat.reserve(inquiries);
  int failed = 0;
  for (int i = 0; i < inquiries; ++i) {
    uint32_t v = 0;
    const auto t0 = Clock::now();
    if (s.inqTemperatureE1(&v) != 0) ++failed;
    lat.push_back(ms(Clock::now() - t0));
  }
  std::sort(lat.begin(), lat.end());
  double sum = 0;
  for (double x : lat) sum += x;
  std::printf("inquiry latency over %d: p50 %.2f ms, p99 %.2f ms, mean %.2f ms, max %.2f ms, %d failed\n", inquiries,
              lat[lat.size() / 2], lat[lat.size() * 99 / 100], sum / lat.size(), lat.back(), failed);

  uint32_t focus = 0;
  s.getFocus(&focus);
  for (int k : {10, 20, 40}) {
    const int before = cb.calls.load();
    const auto t0 = Clock::now();
    for (int i = 0; i < k; ++i) s.setFocus(focus);
    uint32_t v = 0;
    const int rc = s.inqTemperatureE2(&v);
    const double behind = ms(Clock::now() - t0);
    while (cb.calls.load() - before < k && ms(Clock::now() - t0) < 10000) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::printf("burst of %d moves (%d replies): drained in %.0f ms; an inquiry behind it %s after %.0f ms\n", k, 2 * k,
                ms(Clock::now() - t0), rc == 0 ? "answered" : "timed out", behind);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }

  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const double c0 = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double used = cpuSeconds() - c0;
  std::printf("idle sub-CPU thread: %.3f %% of one core (%.1f us per 10 ms pass)\n", 100.0 * used / idleSeconds,
              used / (idleSeconds * 100.0) * 1e6);
  stopSubCPUThread();
  // Baseline: a bare thread that sleeps 10 ms and reads the same quiet line, and nothing else.
  std::atomic<bool> stop{false};
  const int fd = s.m_serial.descriptor.load();
  std::thread bare([&] {
    uint8_t buf[64];
    while (!stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      if (::read(fd, buf, sizeof buf) < 0) continue;
    }
  });
  const double b0 = cpuSeconds();
  std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
  const double bareUsed = cpuSeconds() - b0;
  stop.store(true);
  bare.join();
  std::printf("baseline (sleep 10 ms, read): %.3f %% of one core; the sub-CPU thread costs %.2f times that\n",
              100.0 * bareUsed / idleSeconds, used / bareUsed);

  g_isp.components.subCpu.store(nullptr);
  s.setCallback(nullptr);
  s.closeSubCPU();
  return 0;
}
