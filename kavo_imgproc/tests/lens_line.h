#pragma once
// The lens link's tests: a pseudo-terminal that the test plays the lens MCU on ("/dev/ttyS1" under the
// test root links to its other end), a board set-up in the globals, test-time sleeps, and the fixture
// of the tests that run the server's lens code against the lens-MCU emulator.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "algo_af/CAFControl.h"
#include "fe_subcpu/subcpu.h"
#include "fe_subcpu/subcpu_thread.h"
#include "kavo/test/test_root.h"
#include "mcu_process.h"
#include "kavo/utils/clock.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/isp_globals.h"

namespace lenstest {

class PtyLine {
 public:
  explicit PtyLine(const kavo::test::TestRoot& root) {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || ::grantpt(master_) != 0 || ::unlockpt(master_) != 0) return;
    char name[128] = "";
    ::ptsname_r(master_, name, sizeof name);
    root.mkdirs("/dev");
    ::unlink(root.path("/dev/ttyS1").c_str());
    ::symlink(name, root.path("/dev/ttyS1").c_str());
  }
  ~PtyLine() {
    if (master_ >= 0) ::close(master_);
  }
  bool ok() const { return master_ >= 0; }
  void write(const std::vector<uint8_t>& b) const {
    if (::write(master_, b.data(), b.size()) != static_cast<ssize_t>(b.size())) std::abort();
  }
  // Writes and waits until the server's end `readerFd` can read the bytes: the terminal hands them
  // on from a kernel worker, which a loaded machine may run late.
  void deliver(const std::vector<uint8_t>& b, int readerFd) const {
    int before = 0;
    ::ioctl(readerFd, FIONREAD, &before);
    write(b);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (int held = 0; ::ioctl(readerFd, FIONREAD, &held) == 0 && held < before + static_cast<int>(b.size()) &&
                       std::chrono::steady_clock::now() < end;)
      ::usleep(1000);
  }
  // What the server wrote: waits up to `ms` for `n` bytes (n = 0: whatever comes within `ms`).
  std::vector<uint8_t> read(size_t n, int ms = 2000) const {
    std::vector<uint8_t> out;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (n == 0 || out.size() < n) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      uint8_t buf[256];
      const ssize_t got = ::read(master_, buf, n == 0 ? sizeof buf : std::min(sizeof buf, n - out.size()));
      if (got > 0) out.insert(out.end(), buf, buf + got);
    }
    return out;
  }

 private:
  int master_ = -1;
};

// Sleeps of the code under test advance the test clock instead of taking time.
struct FastSleeps {
  FastSleeps() { kavo::utils::setSleepsAdvanceMomentsForTest(true); }
  ~FastSleeps() {
    kavo::utils::setSleepsAdvanceMomentsForTest(false);
    kavo::utils::resetMomentsForTest();
  }
};

inline int64_t msSince(const timespec& from) { return kavo::utils::momentsDiffMs(from, kavo::utils::moment()); }

// A zoom-lens board (model 2 unless said) with lens id 0, and a clean reply slot.
inline void zoomBoard(int32_t model = kavo::isp::TORVEX_BRISK, int32_t lens = kavo::isp::TAMRON_X3) {
  kavo::isp::g_isp.board = model;
  kavo::isp::g_isp.sys.model = model;
  kavo::isp::g_isp.sys.systemType = kavo::isp::ZOOMLENS;
  kavo::isp::g_isp.sys.lens = lens;
  kavo::isp::g_isp.lensLink.mcuReply.posted.store(0);
  kavo::isp::g_isp.lensLink.mcuReply.length.store(0);
  kavo::isp::g_isp.lensLink.remoteUpgrade.store(0);
}

// The controller's sub-CPU link opened on "/dev/ttyS1" (its start-up waits in test time) and its
// thread pumping replies to the auto focus; the lens flags of manual focus, no search holding the
// lens. False when the link did not open.
inline bool openLensLinkInManualFocus() {
  {
    FastSleeps quick;
    if (kavo::isp::subCpu()->openSubCPU() != 0) return false;
  }
  kavo::isp::subCpu()->setCallback(kavo::isp::afControl());
  if (kavo::isp::startSubCPUThread() != 0) return false;
  kavo::isp::LensMotionFlags& f = kavo::isp::g_isp.lensLink.flags;
  f.G_AF_NotDataLock.store(1);
  f.G_Wait_AF_Off.store(0);
  f.G_AutoFocusMode.store(0);
  f.G_ZoomTrigMode.store(0);
  f.G_ManualFocusMode.store(1);
  f.G_PushMode.store(0);
  f.G_PushPending.store(0);
  f.G_PushTrigger.store(0);
  return true;
}

// The nibble word of a 16-bit value as it stands in a packet, and the combined zoom-and-focus move.
inline std::string nibbles(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%02X %02X %02X %02X", (v >> 12) & 15, (v >> 8) & 15, (v >> 4) & 15, v & 15);
  return b;
}
inline std::string combined(uint32_t zoom, uint32_t focus) {
  return "81 01 04 47 " + nibbles(zoom) + " " + nibbles(focus) + " FF";
}

// A zoom-lens board, the lens-MCU emulator on its line, and the controller with its link open in
// manual focus; the tear-down closes it all and clears the lens words the tests set.
class EmulatedLensTest : public ::testing::Test {
 protected:
  void startLens(int32_t model, int32_t lens, const std::string& config) {
    zoomBoard(model, lens);
    mcu = std::make_unique<McuProcess>(root, config);
    ASSERT_TRUE(mcu->ready());
    root.mkdirs("/etc/ispserver");
    isp = std::make_unique<kavo::isp::CIsp>();
    kavo::isp::g_isp.controller.store(isp.get());
    ASSERT_TRUE(openLensLinkInManualFocus());
  }
  void TearDown() override {
    kavo::isp::stopSubCPUThread();
    kavo::isp::joinSubCPUThread(1000);
    if (isp) {
      kavo::isp::subCpu()->setCallback(nullptr);
      kavo::isp::subCpu()->closeSubCPU();
    }
    kavo::isp::g_isp.controller.store(nullptr);
    isp.reset();
    if (mcu) {
      EXPECT_TRUE(mcu->stop());
    }
    kavo::isp::LensLinkState& l = kavo::isp::g_isp.lensLink;
    l.focus_bias.store(0);
    l.focus_Telebias.store(0);
    l.zoom_bias.store(0);
    l.flags.G_ManualFocusMode.store(0);
    l.flags.G_PushPending.store(0);
    l.flags.G_PushMode.store(0);
  }
  // The packets starting with `head` the emulator journalled; waits (up to 3 s) for at least
  // `atLeast` of them, since a command does not wait for the journal.
  std::vector<std::string> sent(const std::string& head, size_t atLeast = 0) const {
    for (int i = 0; i < 300; ++i) {
      std::vector<std::string> out = sentNow(head);
      if (out.size() >= atLeast) return out;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return sentNow(head);
  }
  std::vector<std::string> sentNow(const std::string& head) const {
    std::vector<std::string> out;
    for (const std::string& p : mcu->bytes("rx"))
      if (p.rfind(head, 0) == 0) out.push_back(p);
    return out;
  }

  kavo::test::TestRoot root;
  std::unique_ptr<McuProcess> mcu;
  std::unique_ptr<kavo::isp::CIsp> isp;
};

inline std::vector<uint8_t> hexBytes(const std::string& text) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i + 1 < text.size() + 1; ++i) {
    if (text[i] == ' ') continue;
    out.push_back(static_cast<uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    ++i;
  }
  return out;
}

}  // namespace lenstest
