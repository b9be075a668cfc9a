// The VISCA thread, its start and stop, and the dispatch entry: see visca_channel.h.
#include "if_visca/visca_channel.h"

#include <signal.h>
#include <sys/sem.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

#include "if_visca/DVisca.h"
#include "kavo/utils/clock.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"
#include "thread_proc/worker_threads.h"

// The semaphores order the segment between a client and the thread; ThreadSanitizer does not see
// System V semaphores, so a client in this process (the tests) would read as a race without these.
#if defined(__SANITIZE_THREAD__)
#define KAVO_VISCA_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KAVO_VISCA_TSAN 1
#endif
#endif
#ifdef KAVO_VISCA_TSAN
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#define SEGMENT_ACQUIRED(p) __tsan_acquire(p)
#define SEGMENT_RELEASED(p) __tsan_release(p)
#else
#define SEGMENT_ACQUIRED(p) ((void)(p))
#define SEGMENT_RELEASED(p) ((void)(p))
#endif

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "if_visca/visca_channel";
constexpr int kStartPolls = 30;
constexpr uint32_t kWaitStepMs = 10;
constexpr size_t kFocusSegmentBytes = 64;
constexpr uint32_t kHolderCheckMs = 200;

// The set id: written by the main thread (start, stop), read by the VISCA thread.
std::atomic<int> viscaSemaphore{-1};

bool setRemoved(int err) { return err == EIDRM || err == EINVAL; }

timespec afterMs(uint32_t ms) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(ms / 1000);
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  return ts;
}

uint32_t elapsedMs(const timespec& since) {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  const int64_t ms = (now.tv_sec - since.tv_sec) * 1000 + (now.tv_nsec - since.tv_nsec) / 1000000;
  return ms < 0 ? 0 : static_cast<uint32_t>(ms);
}

// A client takes the channel without undo, so one that dies before it posts (or while it reads
// its reply) leaves semaphore 0 raised for good. Freed only when nothing is posted and the last
// process on semaphore 0 is gone and nobody touched it since: a live holder, however slow, keeps
// it (a reused process id keeps it too).
void freeDeadHolder(int id) {
  const pid_t holder = ::semctl(id, 0, GETPID);
  if (holder <= 0 || ::kill(holder, 0) == 0 || errno != ESRCH) return;
  if (::semctl(id, 0, GETVAL) != 1 || ::semctl(id, 1, GETVAL) != 0 || ::semctl(id, 0, GETPID) != holder) return;
  sembuf release{0, -1, IPC_NOWAIT};
  if (::semop(id, &release, 1) == 0)
    ISP_LOG_AS(kSource, "ViscaThread", LOG_LEVEL_WARNING, 0,
               "[ViscaThread] the channel was held by process %d, which is gone: freed", static_cast<int>(holder));
}

void* ViscaThread(void*) {
  ThreadControl& t = g_isp.viscaThread;
  t.alive.store(1, std::memory_order_release);
  uint8_t work[kViscaWorkBytes];
  while (t.run.load(std::memory_order_acquire) != 0) {
    if (t.acknowledge.load(std::memory_order_acquire) != 0) {
      t.acknowledge.store(0, std::memory_order_release);
      continue;
    }
    const int id = viscaSemaphore.load(std::memory_order_acquire);
    // Wait for a posted request and take it with the channel, in one step; while none comes, look
    // for a holder that died now and then.
    sembuf take[2] = {{1, -1, 0}, {0, 1, IPC_NOWAIT}};
    timespec bound = afterMs(kHolderCheckMs);
    if (::semtimedop(id, take, 2, &bound) == -1) {
      const int err = errno;
      if (err == EINTR) continue;
      if (err == EAGAIN) {
        freeDeadHolder(id);
        continue;
      }
      ISP_LOG_AS(kSource, "ViscaThread", LOG_LEVEL_WARNING, err, "[%s]: semop()-2 failed, err=%d.", "ViscaThread", err);
      if (setRemoved(err)) break;  // nobody can post again
      kavo::utils::sleepMs(kWaitStepMs);  // nothing was taken: no dispatch, and no spin
      continue;
    }
    SEGMENT_ACQUIRED(g_isp.viscaShm.addr);
    viscaServeRequest(g_isp.viscaShm.addr, work, t.run.load(std::memory_order_acquire) != 0);
    SEGMENT_RELEASED(g_isp.viscaShm.addr);
    sembuf done{0, -1, IPC_NOWAIT};
    if (::semop(id, &done, 1) == -1) {
      const int err = errno;
      ISP_LOG_AS(kSource, "ViscaThread", LOG_LEVEL_WARNING, err, "[%s]: semop()-2 failed, err=%d.", "ViscaThread", err);
      if (setRemoved(err)) break;
    }
  }
  t.alive.store(0, std::memory_order_release);
  return nullptr;
}

// Takes the channel as a client does, for at most `ms`. 0 taken, 1 the bound ran out, -1 failed.
int takeChannel(int id, uint32_t ms) {
  timespec start{};
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const uint32_t spent = elapsedMs(start);
    if (spent >= ms) return 1;
    sembuf take[2] = {{0, 0, 0}, {0, 1, 0}};
    timespec bound = afterMs(ms - spent);
    if (::semtimedop(id, take, 2, &bound) == 0) return 0;
    if (errno == EAGAIN) return 1;
    if (errno != EINTR) return -1;
  }
}

void removeSet() {
  const int id = viscaSemaphore.exchange(-1, std::memory_order_acq_rel);
  if (id != -1) deleteSemaphore(id);
}

}  // namespace

int startViscaThread() {
  ThreadControl& t = g_isp.viscaThread;
  if (g_isp.viscaShm.addr == nullptr) {
    ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "[%s] the VISCA segment does not exist: no channel", __func__);
    return -1;
  }
  // A failed second start must not lose the id of the set in use.
  int id = -1;
  if (createSemaphore(&id, kViscaKeyFile, 2) < 0) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[%s] Create semaphore failed !!!", __func__);
    return -1;
  }
  if (t.joinable) {
    // A thread an earlier stop gave up on: joined when it left, else no second one beside it.
    if (t.alive.load(std::memory_order_acquire) != 0) {
      ISP_LOG(kSource, LOG_LEVEL_ERROR, 0, "[%s] the VISCA thread of the last run still runs", __func__);
      deleteSemaphore(id);
      return -1;
    }
    joinWorkerThread(t);
  }
  viscaSemaphore.store(id, std::memory_order_release);
  t.run.store(1, std::memory_order_release);
  t.acknowledge.store(1, std::memory_order_release);
  createWorkerThread(t, ViscaThread);
  if (!waitCleared(t.acknowledge, kStartPolls, 1)) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[%s] Timeout", __func__);
    return -1;
  }
  debugPrintf(0, "[ViscaThread] ViscaThread created.\n");
  return 0;
}

int stopViscaThread() {
  ThreadControl& t = g_isp.viscaThread;
  const int id = viscaSemaphore.load(std::memory_order_acquire);
  if (id == -1 && !t.joinable) return 0;
  t.run.store(0, std::memory_order_release);
  if (id != -1) {
    const int taken = takeChannel(id, kViscaChannelWaitMs);
    if (taken < 0) {
      const int err = errno;
      ISP_LOG(kSource, LOG_LEVEL_WARNING, err, "[%s]: semop()-2 failed, err=%d.", __func__, err);
      if (!setRemoved(err)) return -1;
      // Someone removed the set: the thread has left its wait (or leaves it now) on its own.
      viscaSemaphore.store(-1, std::memory_order_release);
    } else if (taken == 0) {
      SEGMENT_ACQUIRED(g_isp.viscaShm.addr);
      std::memset(g_isp.viscaShm.addr, 0, kViscaSegmentBytes);
      SEGMENT_RELEASED(g_isp.viscaShm.addr);
      if (g_isp.focusShm.addr != nullptr) std::memset(g_isp.focusShm.addr, 0, kFocusSegmentBytes);
      // Release the channel and post the empty request that wakes the thread.
      sembuf post[2] = {{0, -1, 0}, {1, 1, 0}};
      if (::semop(id, post, 2) == -1) {
        const int err = errno;
        ISP_LOG(kSource, LOG_LEVEL_WARNING, err, "[%s]: semop()-2 failed, err=%d.", __func__, err);
        return -1;
      }
    } else {
      // Held by a client that died with it, or by a handler still at work: removing the set ends
      // the thread's wait (a handler sees the stop at its next wait step).
      ISP_LOG(kSource, LOG_LEVEL_WARNING, 0,
              "[%s] the channel stayed busy for %u ms: the semaphore set is removed to end the thread", __func__,
              kViscaChannelWaitMs);
      removeSet();
    }
  }
  if (!waitCleared(t.alive, static_cast<int>(kViscaLeaveWaitMs), 1)) {
    ISP_LOG(kSource, LOG_LEVEL_WARNING, 0, "[%s] Timeout", __func__);
    ISP_LOG(kSource, LOG_LEVEL_ERROR, 0,
            "[%s] the VISCA thread did not leave within %u ms: what it uses is left in place", __func__,
            kViscaLeaveWaitMs);
  } else {
    joinWorkerThread(t);
  }
  removeSet();
  debugPrintf(0, "[VISCAThread] ViscaThread stoped.\n");
  return 0;
}

bool viscaThreadGone() { return !g_isp.viscaThread.joinable; }

bool viscaStopRequested() { return g_isp.viscaThread.run.load(std::memory_order_acquire) == 0; }

bool viscaWaitMs(uint32_t ms) {
  while (ms > 0) {
    if (viscaStopRequested()) return false;
    const uint32_t step = ms < kWaitStepMs ? ms : kWaitStepMs;
    kavo::utils::sleepMs(step);
    ms -= step;
  }
  return !viscaStopRequested();
}

void viscaServeRequest(uint8_t* segment, uint8_t (&work)[kViscaWorkBytes], bool dispatch) {
  const uint8_t length = segment[0];
  std::memset(work, 0, sizeof work);
  int reply = 0;
  if (length >= kViscaMinRequest && length <= kViscaWorkBytes) {
    std::memcpy(work, segment + 1, length);
    DVisca* visca = g_isp.visca.load(std::memory_order_acquire);
    if (dispatch && visca != nullptr) reply = processViscaCmd(visca, work, segment);
  } else if (dispatch) {
    ISP_LOG_AS(kSource, "ViscaThread", LOG_LEVEL_WARNING, 0, "[ViscaThread] request of %u bytes refused (%u to %zu)",
               length, kViscaMinRequest, kViscaWorkBytes);
  }
  if (reply > 0 && static_cast<size_t>(reply) <= kViscaWorkBytes) {
    std::memcpy(segment, work, static_cast<size_t>(reply));
  } else {
    segment[0] = 0;
  }
}

int processViscaCmd(DVisca* visca, uint8_t* packet, uint8_t* segment) {
  switch (packet[1]) {
    case 0x01:
      return processGeneralCmd(visca, packet);
    case 0x09:
      return processInquiryCmd(visca, packet, segment);
    default:
      return 0;
  }
}

}  // namespace isp
}  // namespace kavo
