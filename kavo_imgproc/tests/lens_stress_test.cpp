// Three threads inquiring at once while a fourth sends a focus step every frame, against the lens-MCU
// emulator: every answer reaches the inquiry it answers. The emulator numbers its answers, even for
// zoom positions and odd for focus positions, so an answer taken by the wrong caller, taken twice or
// taken late shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "lens_line.h"
#include "mcu_process.h"

#ifndef KAVO_LENS_STRESS_INQUIRIES
#define KAVO_LENS_STRESS_INQUIRIES 10000
#endif

namespace kavo {
namespace isp {
namespace {

class CountingCallback : public CallbackInterface {
 public:
  int callback(int) override { return ++calls; }
  std::atomic<int> calls{0};
};

TEST(LensLinkStress, EveryAnswerReachesItsInquiry) {
  kavo::test::TestRoot root;
  lenstest::zoomBoard();
  lenstest::McuProcess mcu(root, R"({"tagAnswers": true, "readyMs": 0, "journal": false, "focusStepsPerSecond": 2000})");
  ASSERT_TRUE(mcu.ready());
  SubCPU s;
  {
    lenstest::FastSleeps quick;
    ASSERT_EQ(s.openSubCPU(), 0);
  }
  CountingCallback cb;
  s.setCallback(&cb);
  g_isp.components.subCpu.store(&s);
  ASSERT_EQ(startSubCPUThread(), 0);

  constexpr int kThreads = 3;
  constexpr int kTotal = KAVO_LENS_STRESS_INQUIRIES;
  std::atomic<int> next{0};
  std::atomic<int> wrongKind{0}, stale{0}, failed{0};
  std::mutex tagsMutex;
  std::vector<int32_t> tags;
  auto inquirer = [&](int id) {
    int32_t last = -1;
    std::vector<int32_t> mine;
    while (next.fetch_add(1) < kTotal) {
      const bool zoom = (mine.size() + id) % 2 == 0;
      ViscaAnswerOut out{};
      const uint8_t rc = viscaSend(s.m_serial, s.m_serialPeer,
                                   viscaBuilder(zoom ? ViscaOp::ZoomPositionInq : ViscaOp::FocusPositionInq), nullptr, 0, &out);
      if (rc != kViscaOk) {
        ++failed;
        continue;
      }
      const int32_t v = out.v[0];
      if ((v % 2 == 0) != zoom) ++wrongKind;
      if (v / 2 <= last) ++stale;
      last = v / 2;
      mine.push_back(v / 2);
    }
    std::lock_guard<std::mutex> lock(tagsMutex);
    tags.insert(tags.end(), mine.begin(), mine.end());
  };
  std::atomic<bool> stop{false};
  int steps = 0;
  std::thread focusSteps([&] {
    // The 3A thread's focus step, once a frame, without waiting for anything.
    for (uint32_t focus = 500; !stop.load(); focus = focus == 500 ? 508 : 500) {
      EXPECT_EQ(s.setFocus(focus), 1);
      ++steps;
      std::this_thread::sleep_for(std::chrono::microseconds(33333));
    }
  });
  const auto t0 = std::chrono::steady_clock::now();
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back(inquirer, i);
  for (auto& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  stop.store(true);
  focusSteps.join();
  EXPECT_EQ(stopSubCPUThread(), 0);
  joinSubCPUThread(1000);
  g_isp.components.subCpu.store(nullptr);
  s.setCallback(nullptr);
  s.closeSubCPU();

  std::sort(tags.begin(), tags.end());
  const auto duplicates = tags.size() - static_cast<size_t>(std::unique(tags.begin(), tags.end()) - tags.begin());
  std::printf("%d inquiries in %.1f s (%zu answered), %d focus steps, %d end reports\n", kTotal, seconds, tags.size(),
              steps, cb.calls.load());
  EXPECT_EQ(wrongKind.load(), 0) << "a zoom answer reached a focus inquiry or the other way round";
  EXPECT_EQ(stale.load(), 0) << "an answer older than the caller's last one";
  EXPECT_EQ(duplicates, 0u) << "one answer reached two callers";
  EXPECT_EQ(failed.load(), 0) << "inquiries timed out";
  EXPECT_EQ(tags.size() + failed.load(), static_cast<size_t>(kTotal));
  EXPECT_GT(cb.calls.load(), steps / 2) << "the focus steps' end reports came through the same line";
}

}  // namespace
}  // namespace isp
}  // namespace kavo
