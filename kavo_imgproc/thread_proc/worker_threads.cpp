// The worker threads and their handshakes: see worker_threads.h.
#include "thread_proc/worker_threads.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/aaa_step.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

// Run word of a 3A thread: 1 run, 0 asked to stop, kRetired once the thread left its loop (a start
// can no longer take it back and joins it instead).
constexpr uint32_t kRetired = 2;
constexpr uint32_t kIdleMs = 200;
constexpr uint32_t kWaitStepMs = 50;
thread_local bool t_onAaaThread = false;

// The start handshake of every thread: run and acknowledge set, the thread made, acknowledge
// awaited. A thread that was not created leaves acknowledge at 1, which reads as a time-out.
struct StartSpec {
  const char* source;
  const char* function;
  int polls;
  uint32_t pollMs;
  int level;
  const char* timeout;
  const char* created;
};

int awaitStart(ThreadControl& t, const StartSpec& s) {
  if (!waitCleared(t.acknowledge, s.polls, s.pollMs)) {
    ISP_LOG_AS(s.source, s.function, s.level, 0, "%s", s.timeout);
    return -1;
  }
  debugPrintf(0, "%s", s.created);
  return 0;
}

int startThread(ThreadControl& t, void* (*routine)(void*), const StartSpec& s) {
  t.run.store(1, std::memory_order_release);
  t.acknowledge.store(1, std::memory_order_release);
  createWorkerThread(t, routine);
  return awaitStart(t, s);
}

// ---- the 3A thread ------------------------------------------------------------------------------

// Sleeps one frame period of the video mode (a 30 fps frame when it is not known).
void waitOneFrame() {
  const uint32_t period = g_isp.framePeriod.load(std::memory_order_relaxed);
  const uint64_t ms = period ? (uint64_t{period} * 1000 + IAV_FRAME_RATE_CLOCK - 1) / IAV_FRAME_RATE_CLOCK : 34;
  kavo::utils::sleepMs(static_cast<uint32_t>(ms));
}

void* AAAThread(void* arg) {
  auto& t = *static_cast<AaaThreadControl*>(arg);
  t_onAaaThread = true;
  t.alive.store(1, std::memory_order_release);
  for (;;) {
    if (t.run.load(std::memory_order_acquire) != 1) {
      uint32_t asked = 0;
      // Retire, unless a start took the thread back meanwhile.
      if (t.run.compare_exchange_strong(asked, kRetired, std::memory_order_acq_rel) || asked != 1) break;
      continue;
    }
    CIsp* isp = controller();
    if (isp == nullptr || isp->initialised.load(std::memory_order_acquire) != 1 ||
        isp->aaaEnabled.load(std::memory_order_acquire) != 1 || t.pause.load(std::memory_order_relaxed) != 0) {
      kavo::utils::sleepMs(kIdleMs);
    } else if (process3A(isp) < 0) {
      // Without statistics the read would fail again at once: one frame's pause keeps the loop
      // from spinning and logging on every pass.
      waitOneFrame();
    }
    t.acknowledge.store(0, std::memory_order_release);
  }
  t.alive.store(0, std::memory_order_release);
  return nullptr;
}

const StartSpec kAaaStart{"thread_proc/aaa_thread", "start_aaa_thread", 100, 10, LOG_LEVEL_WARNING,
                          "[start_aaa_thread] AAAThread start timeout !!!", "[start_aaa_thread] AAAThread created.\n"};

// ---- the I/O thread -----------------------------------------------------------------------------

constexpr const char* kVportInputs[2] = {"/proc/gpio/vport_in1", "/proc/gpio/vport_in2"};
constexpr const char* kCheckNames[2] = {"check_gpi0", "check_gpi1"};
constexpr uint32_t kIoPassMs = 500;

void* IOThread(void* arg) {
  auto& t = *static_cast<IoThreadControl*>(arg);
  t.alive.store(1, std::memory_order_release);
  while (t.run.load(std::memory_order_acquire) != 0) {
    t.acknowledge.store(0, std::memory_order_release);
    if (t.pause.load(std::memory_order_relaxed) == 0) {
      check_gpi(0);
      check_gpi(1);
    }
    // In steps, so a stop waits at most one step rather than a whole pass.
    for (uint32_t slept = 0; slept < kIoPassMs && t.run.load(std::memory_order_acquire) != 0; slept += kWaitStepMs)
      kavo::utils::sleepMs(kWaitStepMs);
  }
  t.alive.store(0, std::memory_order_release);
  return nullptr;
}

// ---- the pan/tilt thread ------------------------------------------------------------------------

void* SubCPUPTThread(void* arg) {
  auto& t = *static_cast<PanTiltThreadControl*>(arg);
  t.alive.store(1, std::memory_order_release);
  while (t.run.load(std::memory_order_acquire) != 0) {
    t.acknowledge.store(0, std::memory_order_release);
    while (sem_wait(&t.wake) != 0 && errno == EINTR) {
    }
  }
  t.alive.store(0, std::memory_order_release);
  return nullptr;
}

}  // namespace

bool waitCleared(const std::atomic<uint32_t>& word, int polls, uint32_t pollMs) {
  for (int i = 0; i < polls; ++i) {
    if (word.load(std::memory_order_acquire) == 0) return true;
    kavo::utils::sleepMs(pollMs);
  }
  return word.load(std::memory_order_acquire) == 0;
}

bool createWorkerThread(ThreadControl& t, void* (*routine)(void*)) {
  sigset_t stop, old;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, &old);
  const int rc = pthread_create(&t.handle, nullptr, routine, &t);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  t.joinable = rc == 0;
  return rc == 0;
}

void joinWorkerThread(ThreadControl& t) {
  if (!t.joinable) return;
  pthread_join(t.handle, nullptr);
  t.joinable = false;
}

// ---- 3A -----------------------------------------------------------------------------------------

int start_aaa_thread() {
  AaaThreadControl& t = g_isp.aaaThread;
  if (t.joinable) {
    t.acknowledge.store(1, std::memory_order_release);
    uint32_t state = 0;
    // A thread whose stop timed out and that has not left yet goes on: never a second one.
    if (t.run.compare_exchange_strong(state, 1, std::memory_order_acq_rel)) return awaitStart(t, kAaaStart);
    if (state == 1) return 0;  // running already
    joinWorkerThread(t);                   // it left (or is leaving) its loop
  }
  return startThread(t, AAAThread, kAaaStart);
}

int stop_aaa_thread() {
  AaaThreadControl& t = g_isp.aaaThread;
  uint32_t running = 1;
  t.run.compare_exchange_strong(running, 0, std::memory_order_acq_rel);
  if (!waitCleared(t.alive, 100, 10)) {
    // It is inside a pass (a statistics read, a driver call, a lens exchange): it leaves at its
    // next turn.
    ISP_LOG_AS("thread_proc/aaa_thread", __func__, LOG_LEVEL_WARNING, 0, "stop timeout.");
    return 0;
  }
  joinWorkerThread(t);
  debugPrintf(0, "[AAAThread] AAAThread stoped.\n");
  return 0;
}

bool join_aaa_thread(uint32_t ms) {
  AaaThreadControl& t = g_isp.aaaThread;
  if (!t.joinable) return true;
  if (!waitCleared(t.alive, static_cast<int>(ms / 10) + 1, 10)) return false;
  joinWorkerThread(t);
  return true;
}

void setPauseAAA(int pause) { g_isp.aaaThread.pause.store(pause != 0 ? 1 : 0, std::memory_order_relaxed); }

bool aaaWaitMs(uint32_t ms) {
  auto stopAsked = [] { return t_onAaaThread && g_isp.aaaThread.run.load(std::memory_order_acquire) != 1; };
  while (ms > 0) {
    if (stopAsked()) return false;
    const uint32_t step = std::min(ms, kWaitStepMs);
    kavo::utils::sleepMs(step);
    ms -= step;
  }
  return !stopAsked();
}

// ---- I/O ----------------------------------------------------------------------------------------

void check_gpi(int index) {
  IoThreadControl& t = g_isp.ioThread;
  const char* camera = kVportInputs[index];
  const int fd = ::open(kavo::os::path(camera).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    ISP_LOG_AS("thread_proc/io_thread", kCheckNames[index], LOG_LEVEL_WARNING, errno, "\nOpen GPIO %s fail!\n", camera);
    return;
  }
  char buf[2] = {};
  const ssize_t n = ::read(fd, buf, sizeof buf);
  ::close(fd);
  if (n < static_cast<ssize_t>(sizeof buf)) {
    ISP_LOG_AS("thread_proc/io_thread", kCheckNames[index], LOG_LEVEL_WARNING, n < 0 ? errno : 0,
               "\nRead GPIO %s fail!\n", camera);
    return;
  }
  const int value = buf[0] - '0';
  const int level = static_cast<int>(g_isp.image.vportInputLevel[index].load(std::memory_order_relaxed));
  std::atomic<uint8_t>& triggered = t.triggered[index];
  if (triggered.load(std::memory_order_relaxed) == 0 && value == level) {
    ISP_LOG_AS("thread_proc/io_thread", kCheckNames[index], LOG_LEVEL_INFO, 0, "\nGPIO %s triggered!(%d == %d)\n",
               camera, value, value);
    triggered.store(1, std::memory_order_relaxed);
  } else if (triggered.load(std::memory_order_relaxed) != 0 && value != level) {
    ISP_LOG_AS("thread_proc/io_thread", kCheckNames[index], LOG_LEVEL_INFO, 0, "\nGPIO %s ceased!(%d != %d)\n", camera,
               value, level);
    triggered.store(0, std::memory_order_relaxed);
  }
}

int start_io_thread() {
  static const StartSpec spec{"thread_proc/io_thread", "start_io_thread", 100, 10, LOG_LEVEL_WARNING,
                              "[start_io_thread] IOThread start timeout !!!\n", "[start_io_thread] IOThread created.\n"};
  return startThread(g_isp.ioThread, IOThread, spec);
}

int stop_io_thread() {
  IoThreadControl& t = g_isp.ioThread;
  t.run.store(0, std::memory_order_release);
  if (!waitCleared(t.alive, 100, 10)) {
    ISP_LOG_AS("thread_proc/io_thread", __func__, LOG_LEVEL_WARNING, 0, "[stop_io_thread] stop timeout !!!\n");
    return -1;
  }
  joinWorkerThread(t);
  debugPrintf(0, "[IOThread] IOThread stoped.\n");
  return 0;
}

// ---- pan/tilt -----------------------------------------------------------------------------------

int start_subcpu_pt_thread() {
  static const StartSpec spec{"thread_proc/subcpu_pt_thread", "start_subcpu_pt_thread", 100, 10, LOG_LEVEL_WARNING,
                              "[start_subcpu_pt_thread]SubCPUPTThread start timeout !!!\n",
                              "[start_subcpu_pt_thread]SubCPUPTThread created.\n"};
  PanTiltThreadControl& t = g_isp.panTiltThread;
  sem_init(&t.wake, 0, 0);
  return startThread(t, SubCPUPTThread, spec);
}

int stop_subcpu_pt_thread() {
  PanTiltThreadControl& t = g_isp.panTiltThread;
  t.run.store(0, std::memory_order_release);
  // Nothing else posts the semaphore: without this the thread would wait on it for ever.
  if (t.joinable) sem_post(&t.wake);
  if (!waitCleared(t.alive, 100, 10)) {
    ISP_LOG_AS("thread_proc/subcpu_pt_thread", __func__, LOG_LEVEL_WARNING, 0, "[stop_subcpu_pt_thread]stop timeout !!!\n");
    return -1;
  }
  joinWorkerThread(t);
  sem_destroy(&t.wake);
  debugPrintf(0, "[SubCPUPTThread] SubCPUPTThread stoped.\n");
  return 0;
}

}  // namespace isp
}  // namespace kavo
