#include "IspServer.h"

#include <pthread.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>

#include "IspServerMisc.h"
#include "applysettings.h"
#include "fe_subcpu/subcpu_thread.h"
#include "if_visca/DVisca.h"
#include "if_visca/visca_channel.h"
#include "ispserver_api.h"
#include "kavo/threading/interprocessmutex.h"
#include "kavo/utils/system.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/CIsp.h"
#include "thread_proc/isp_globals.h"
#include "thread_proc/worker_threads.h"

namespace kavo {
namespace isp {

namespace {

#define MAIN_LOG(level, ...) ISPAPP_LOG("IspServer", "main", level, __VA_ARGS__)

constexpr const char* kSettingsFile = "/usr/etc/kavo_ispserver.json";
constexpr useconds_t kPollMicroseconds = 50000;
// What the zoom boards wait after the image pipeline has started.
constexpr useconds_t kZoomBoardWaitMicroseconds = 5000000;

// The last stop signal, for the main loop to log (logging inside the handler could deadlock).
std::atomic<int> lastSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "written from a signal handler");

// Sets the mask of SIGINT and SIGTERM in the calling thread; the mask it had before. Threads
// inherit the mask of their creator, so blocking them while the workers start leaves the signals
// to the main thread, whose poll sleep they then cut short.
sigset_t maskStopSignals(int how) {
  sigset_t set, before;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(how, &set, &before);
  return before;
}

// Sleeps `total` in poll periods until a stop is requested. The stop signals are let in
// meanwhile: start-up blocks them while it starts threads, and would otherwise take a stop
// only once the wait and the rest of start-up are over.
void sleepUnlessStopped(useconds_t total) {
  MAIN_LOG(LOG_LEVEL_DEBUG, "waiting %u ms unless stopped", static_cast<unsigned>(total / 1000));
  const sigset_t before = maskStopSignals(SIG_UNBLOCK);
  for (useconds_t slept = 0; slept < total && g_isp.runState.load() != kRunStateStop; slept += kPollMicroseconds)
    ::usleep(kPollMicroseconds);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
}

void logStopSignal() {
  const int signum = lastSignal.exchange(0);
  if (signum != 0)
    ISPAPP_LOG("IspServer", "signal_callback_handler", LOG_LEVEL_WARNING, "get signal num=%d", signum);
}

// A 3A thread that outlived its stop's time-out leaves at its next turn (a statistics read ends
// within a second); the controller is not deleted under it.
constexpr uint32_t kLastPassMs = 10000;

void stopServer() {
  MAIN_LOG(LOG_LEVEL_WARNING, "ISP Server down...\n");
  // The IPC thread uses the settings document and the controller: it ends before either goes.
  stopExtAPIThread();
  stopViscaThread();
  // A VISCA thread that outlived its stop's bound still uses the controller, the camera object and
  // the segments: they stay until the process ends.
  const bool viscaGone = viscaThreadGone();
  CIsp* isp = g_isp.controller.load();
  enable_aaa(isp, 0);
  if (g_isp.sys.dspId < 4) stop_aaa_thread();
  if (g_isp.board == TORVEX_BRISK) stop_io_thread();
  if (g_isp.board == TORVEX_TARROW) stop_subcpu_pt_thread();
  if (g_isp.sys.systemType == ZOOMLENS) stopSubCPUThread();
  if (isp != nullptr && viscaGone) {
    if (!join_aaa_thread(kLastPassMs)) {
      MAIN_LOG(LOG_LEVEL_ERROR, "the 3A thread did not stop: the devices and the controller are left in place");
    } else if (!joinSubCPUThread(kLastPassMs)) {
      MAIN_LOG(LOG_LEVEL_ERROR, "the sub-CPU thread did not stop: the devices and the controller are left in place");
    } else {
      isp->closeDevices();
      g_isp.controller.store(nullptr);
      delete isp;
    }
  }
  if (!viscaGone) {
    MAIN_LOG(LOG_LEVEL_ERROR,
             "the VISCA thread did not stop: the controller, the camera and the segments are left in place");
  } else {
    if (DVisca* visca = g_isp.visca.exchange(nullptr)) delete visca;
    deleteIspServerShareMemory();
  }
  MAIN_LOG(LOG_LEVEL_DEBUG, "server stop done");
}

}  // namespace

void signal_callback_handler(int signum) {
  lastSignal.store(signum);
  requestStop();
}

void startIspProcessing() {
  CIsp* isp = g_isp.controller.load();
  isp->initialize(&g_isp.sys);
  if (g_isp.sys.dspId < 4) {
    setPauseAAA(0);
    start_aaa_thread();
  }
  enable_aaa(isp, 1);
  if (g_isp.board == TORVEX_BRISK || g_isp.board == TORVEX_TARROW) sleepUnlessStopped(kZoomBoardWaitMicroseconds);
}

void runStateLoop(IspSettings& settings) {
  for (;;) {
    if (g_isp.runState.load() == kRunStateStop) break;
    while (g_isp.runState.load() != kRunStateReinit) {
      ::usleep(kPollMicroseconds);
      if (g_isp.runState.load() == kRunStateStop) {
        logStopSignal();
        return;
      }
    }
    MAIN_LOG(LOG_LEVEL_WARNING, "ISP Server re-init...\n");
    ipc_reset_mirror_state(g_isp.controller.load());
    stop_aaa_thread();
    startIspProcessing();
    if (g_isp.runState.load() != kRunStateStop) {
      IspSettings current = copyLiveSettings(settings);  // the IPC thread may change the document meanwhile
      applyStartupSettings(current);
    }
    MAIN_LOG(LOG_LEVEL_WARNING, "ISP Server re-init done.\n");
    finishReinit();  // a stop that arrived meanwhile stays
  }
  logStopSignal();
}

int ispServerMain() {
  ::openlog("isp", LOG_PID, LOG_LOCAL0);
  if (!kavo::utils::InstallCrashDumpHandler(nullptr)) {
    MAIN_LOG(LOG_LEVEL_ERROR, "Unable to install the crash dump handler");
    return -1;
  }
  kavo::threading::InterProcessMutex singleton("kavo_ispserver_singleton", false);
  if (singleton.acquire() != 0) {
    MAIN_LOG(LOG_LEVEL_ERROR,
             "ispserver already running or kavo_ispserver_singleton already acquired by someone else");
    return -1;
  }
  ::signal(SIGINT, signal_callback_handler);
  ::signal(SIGTERM, signal_callback_handler);
  maskStopSignals(SIG_BLOCK);

  if (set_system_parameters() < 0) MAIN_LOG(LOG_LEVEL_WARNING, "[IspServer_main]system parameters check failed.\n");
  createShareMemoryFiles();
  removeStaleViscaSemaphore();
  createIspServerShareMemory();
  markShareMemoryReady();

  IspSettings settings;
  if (!settings.FromJSONFile(kSettingsFile)) {
    debugPrintf(1, "[IspServer_main] load setting failed.\n");
    return -1;
  }
  debugPrintf(0, "[IspServer_main] load settings done.\n");

  CIsp* isp = new CIsp;
  g_isp.controller.store(isp);
  isp->openDevices();
  g_isp.visca.store(new DVisca);
  debugPrintf(0, "[IspServer_main] Class object created.\n");

  if (g_isp.sys.systemType == ZOOMLENS) startSubCPUThread();
  if (g_isp.board == TORVEX_TARROW) start_subcpu_pt_thread();
  startIspProcessing();
  // A stop during the zoom boards' wait ends start-up without tuning a pipeline about to stop (the
  // settings pass alone waits seconds for the mirror).
  if (g_isp.runState.load() != kRunStateStop) applyStartupSettings(settings);
  if (g_isp.board == TORVEX_BRISK) start_io_thread();
  startExtAPIThread(&settings);
  startViscaThread();

  maskStopSignals(SIG_UNBLOCK);
  runStateLoop(settings);
  stopServer();
  return 0;
}

}  // namespace isp
}  // namespace kavo
