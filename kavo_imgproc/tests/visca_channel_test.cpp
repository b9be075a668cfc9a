// The VISCA channel in-process: the thread, its start and stop, and requests placed the way a
// client places them (the client's semaphore steps are written out here, not taken from the server).
#include <gtest/gtest.h>
#include <sys/sem.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "if_visca/DVisca.h"
#include "if_visca/visca_channel.h"
#include "kavo/logger/logger.h"
#include "kavo/test/sysv_keys.h"
#include "kavo/test/test_root.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

// The client's side of the ordering the semaphores give (ThreadSanitizer does not see them).
#if defined(__SANITIZE_THREAD__)
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

using kavo::logger::LogCapture;
using Bytes = std::vector<uint8_t>;

constexpr const char* kFocusFile = "/tmp/shm/focus_server";

class ViscaChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_isp.viscaShm.addr = createShareMemoryChar(&g_isp.viscaShm.id, kViscaKeyFile, 64);
    g_isp.focusShm.addr = createShareMemoryChar(&g_isp.focusShm.id, kFocusFile, 64);
    ASSERT_NE(g_isp.viscaShm.addr, nullptr);
    g_isp.visca.store(new DVisca);
  }
  void TearDown() override {
    stopViscaThread();
    delete g_isp.visca.exchange(nullptr);
    for (ShmSegment* s : {&g_isp.viscaShm, &g_isp.focusShm}) {
      deleteShareMemoryChar(s->addr, s->id);
      *s = ShmSegment{};
    }
  }

  int set() const { return ::semget(keys.key(kViscaKeyFile), 0, 0); }

  static bool ops(int id, std::initializer_list<sembuf> list, int timeoutMs = 5000) {
    std::vector<sembuf> v(list);
    timespec ts{timeoutMs / 1000, (timeoutMs % 1000) * 1000000L};
    return ::semtimedop(id, v.data(), v.size(), &ts) == 0;
  }

  // One request as a client makes it; the reply from its length byte on ({0}: none).
  Bytes exchange(const Bytes& packet, uint8_t length) {
    const int id = set();
    uint8_t* seg = g_isp.viscaShm.addr;
    EXPECT_TRUE(ops(id, {{0, 0, 0}, {0, 1, 0}}));
    SEGMENT_ACQUIRED(seg);
    std::memcpy(seg + 1, packet.data(), packet.size());
    seg[0] = length;
    SEGMENT_RELEASED(seg);
    EXPECT_TRUE(ops(id, {{0, -1, 0}, {1, 1, 0}}));
    EXPECT_TRUE(ops(id, {{1, 0, 0}, {0, 0, 0}, {0, 1, 0}}));
    SEGMENT_ACQUIRED(seg);
    Bytes reply(seg, seg + (seg[0] ? seg[0] : 1));
    SEGMENT_RELEASED(seg);
    EXPECT_TRUE(ops(id, {{0, -1, 0}}));
    return reply;
  }
  Bytes exchange(const Bytes& packet) { return exchange(packet, static_cast<uint8_t>(packet.size())); }

  kavo::test::TestRoot root;
  kavo::test::SysvKeyFiles keys{root, {kViscaKeyFile, kFocusFile}};
};

TEST_F(ViscaChannelTest, RequestsRepliesAndLengths) {
  LogCapture log;
  ASSERT_EQ(startViscaThread(), 0);
  EXPECT_EQ(exchange({0x81, 0x09, 0x04, 0x39, 0xFF}), (Bytes{0x05, 0x90, 0x50, 0x01, 0xFF}));
  // A command has no reply: length 0, not the request's header read as a length.
  EXPECT_EQ(exchange({0x81, 0x01, 0x04, 0x39, 0x03, 0xFF}), Bytes{0});
  EXPECT_EQ(g_isp.viscaAeMode.load(), 3u);

  // Lengths outside 4..20 dispatch nothing; 21 would have run past the work buffer.
  Bytes longer = {0x81, 0x01, 0x04, 0x39, 0x00, 0xFF};
  longer.resize(21);
  for (uint8_t n : {0, 3, 21, 63, 255}) EXPECT_EQ(exchange(longer, n), Bytes{0}) << int(n);
  EXPECT_EQ(g_isp.viscaAeMode.load(), 3u);
  EXPECT_TRUE(log.has("[ViscaThread] request of 21 bytes refused (4 to 20)", LOG_LEVEL_WARNING)) << log.dump();
  EXPECT_TRUE(log.has("[ViscaThread] request of 255 bytes refused (4 to 20)", LOG_LEVEL_WARNING)) << log.dump();

  // The work buffer is cleared for each request: a short packet reads zeros past its end, not
  // the bytes of the request before it (level = bytes 6-7).
  EXPECT_EQ(exchange({0x81, 0x01, 0x04, 0x4E, 0x00, 0x00, 0x00, 0x09, 0xFF}), Bytes{0});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 9);
  EXPECT_EQ(exchange({0x81, 0x01, 0x04, 0x4E, 0x00, 0xFF}), Bytes{0});
  EXPECT_EQ(g_isp.viscaCamera.expCompLevel.load(), 0);
}

TEST_F(ViscaChannelTest, AnIdleStopEndsTheThreadAndRemovesTheSet) {
  for (int round = 0; round < 3; ++round) {
    LogCapture log;
    ASSERT_EQ(startViscaThread(), 0);
    ASSERT_NE(set(), -1);
    g_isp.viscaShm.addr[5] = 0x55;
    g_isp.focusShm.addr[0] = 1;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(stopViscaThread(), 0);
    const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
    std::printf("idle stop: %.2f ms\n", ms);
    EXPECT_TRUE(viscaThreadGone());
    EXPECT_EQ(g_isp.viscaThread.alive.load(), 0u);
    EXPECT_EQ(set(), -1);
    EXPECT_EQ(g_isp.viscaShm.addr[5], 0);
    EXPECT_EQ(g_isp.focusShm.addr[0], 0);
    // It woke on the posted empty request: no bound ran out.
    EXPECT_FALSE(log.contains("Timeout")) << log.dump();
    EXPECT_FALSE(log.contains("stayed busy")) << log.dump();
    EXPECT_FALSE(log.contains("refused")) << log.dump();
  }
}

TEST_F(ViscaChannelTest, ASecondStartWithoutAStopFailsAndKeepsTheChannel) {
  LogCapture log;
  ASSERT_EQ(startViscaThread(), 0);
  const int id = set();
  EXPECT_EQ(startViscaThread(), -1);
  EXPECT_TRUE(log.has("[startViscaThread] Create semaphore failed !!!", LOG_LEVEL_WARNING)) << log.dump();
  EXPECT_EQ(set(), id);
  EXPECT_EQ(exchange({0x81, 0x09, 0x04, 0x39, 0xFF}).size(), 5u);
  EXPECT_EQ(stopViscaThread(), 0);
  EXPECT_EQ(set(), -1);
  ASSERT_EQ(startViscaThread(), 0);
  EXPECT_EQ(stopViscaThread(), 0);
}

TEST_F(ViscaChannelTest, WithoutItsSegmentTheChannelDoesNotStart) {
  LogCapture log;
  uint8_t* seg = g_isp.viscaShm.addr;
  g_isp.viscaShm.addr = nullptr;
  EXPECT_EQ(startViscaThread(), -1);
  g_isp.viscaShm.addr = seg;
  EXPECT_EQ(set(), -1);
  EXPECT_TRUE(log.has("[startViscaThread] the VISCA segment does not exist: no channel", LOG_LEVEL_ERROR));
}

TEST_F(ViscaChannelTest, ARemovedSetEndsTheThreadWithoutDispatchOrSpin) {
  LogCapture log;
  ASSERT_EQ(startViscaThread(), 0);
  // A request left in the segment that nobody posted.
  const uint8_t unposted[] = {6, 0x81, 0x01, 0x04, 0x39, 0x03, 0xFF};
  std::memcpy(g_isp.viscaShm.addr, unposted, sizeof unposted);
  ASSERT_EQ(::semctl(set(), 0, IPC_RMID), 0);
  for (int i = 0; i < 2000 && g_isp.viscaThread.alive.load() != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(g_isp.viscaThread.alive.load(), 0u) << "the thread stays in its loop";
  EXPECT_EQ(g_isp.viscaAeMode.load(), 0u) << "a request nobody posted was dispatched";
  // EIDRM when the set goes while the thread waits on it, EINVAL when it is gone before the wait.
  EXPECT_EQ(log.count("[ViscaThread]: semop()-2 failed, err=43.") + log.count("[ViscaThread]: semop()-2 failed, err=22."),
            1u)
      << log.dump();
  EXPECT_EQ(stopViscaThread(), 0);
  EXPECT_TRUE(viscaThreadGone());
}

TEST_F(ViscaChannelTest, AHolderThatDiedDoesNotHangTheStop) {
  LogCapture log;
  ASSERT_EQ(startViscaThread(), 0);
  ASSERT_TRUE(ops(set(), {{0, 0, 0}, {0, 1, 0}}));  // taken and never given back
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(stopViscaThread(), 0);
  const auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  std::printf("stop with the channel held: %.1f ms\n", ms);
  EXPECT_TRUE(log.has("[stopViscaThread] the channel stayed busy for 500 ms: the semaphore set is removed to end "
                      "the thread",
                      LOG_LEVEL_WARNING))
      << log.dump();
  EXPECT_TRUE(viscaThreadGone());
  EXPECT_EQ(set(), -1);
}

TEST_F(ViscaChannelTest, LongWaitsOfHandlersEndAtTheStop) {
  ASSERT_EQ(startViscaThread(), 0);
  EXPECT_TRUE(viscaWaitMs(2));
  bool finished = true;
  std::thread handler([&] { finished = viscaWaitMs(600000); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(stopViscaThread(), 0);
  handler.join();
  EXPECT_FALSE(finished);
}

}  // namespace
}  // namespace isp
}  // namespace kavo
