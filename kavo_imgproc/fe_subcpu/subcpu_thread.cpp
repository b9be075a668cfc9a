#include "fe_subcpu/subcpu_thread.h"

#include <thread>

#include "fe_subcpu/subcpu.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "subcpu_thread";
constexpr int kStartPolls = 300;  // 1 ms apart
constexpr int kStopPolls = 30;

std::thread g_thread;  // main thread only

ThreadControl& control() { return g_isp.lensLink.thread; }

void SubCPUThread() {
  ThreadControl& c = control();
  LensLinkState& lens = g_isp.lensLink;
  c.alive.store(1, std::memory_order_release);
  while (c.run.load(std::memory_order_acquire) != 0) {
    c.acknowledge.store(0, std::memory_order_release);
    SubCPU* s = subCpu();
    if (lens.remoteUpgrade.load(std::memory_order_acquire) != 0) {
      // What was read before the line went away is of no use after it comes back.
      if (s != nullptr) s->resetRx();
      kavo::utils::sleepMs(50);
      continue;
    }
    kavo::utils::sleepMs(10);
    if (g_isp.sys.systemType == ZOOMLENS && s != nullptr && c.run.load(std::memory_order_acquire) != 0) {
      s->putPacketIntoRxFIFO();
      s->processRxFIFO();
    }
  }
  c.alive.store(0, std::memory_order_release);
}

}  // namespace

int startSubCPUThread() {
  ThreadControl& c = control();
  if (g_thread.joinable()) {
    if (c.run.load(std::memory_order_acquire) != 0) return 0;  // already running
    // One whose stop timed out: never a second reader of the line beside it.
    if (!joinSubCPUThread(kStopPolls * 100)) return -1;
  }
  c.run.store(1, std::memory_order_release);
  c.acknowledge.store(1, std::memory_order_release);
  try {
    g_thread = std::thread(SubCPUThread);
  } catch (const std::system_error&) {
    // Not created: acknowledge stays set and the wait below reports it.
  }
  for (int i = 0; i < kStartPolls; ++i) {
    if (c.acknowledge.load(std::memory_order_acquire) == 0) {
      debugPrintf(0, "[startSubCPUThread]SubCPUThread created.\n");
      return 0;
    }
    kavo::utils::sleepMs(1);
  }
  ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "[startSubCPUThread]SubCPUThread start timeout !!!\n");
  return -1;
}

int stopSubCPUThread() {
  ThreadControl& c = control();
  c.run.store(0, std::memory_order_release);
  if (!g_thread.joinable()) return 0;
  for (int i = 0; i < kStopPolls; ++i) {
    if (c.alive.load(std::memory_order_acquire) == 0) {
      g_thread.join();
      debugPrintf(0, "[Main] SubCPUThread stoped.\n");
      return 0;
    }
    kavo::utils::sleepMs(1);
  }
  ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "[SubCPUThread] stop timeout !!!\n");
  // It ends at its next turn (a remote upgrade's idle turn takes 50 ms); it uses the controller's
  // link until then, so the thread stays joinable for whoever deletes the controller.
  return -1;
}

bool joinSubCPUThread(uint32_t ms) {
  ThreadControl& c = control();
  if (!g_thread.joinable()) return true;
  if (c.run.load(std::memory_order_acquire) != 0) return false;  // not asked to stop
  for (uint32_t waited = 0; c.alive.load(std::memory_order_acquire) != 0; ++waited) {
    if (waited >= ms) {
      // Left to end by itself: what it uses must stay in place.
      g_thread.detach();
      return false;
    }
    kavo::utils::sleepMs(1);
  }
  g_thread.join();
  return true;
}

}  // namespace isp
}  // namespace kavo
