// Segments, semaphore sets and prints of the image code, on key files of a private root.
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "kavo/logger/logger.h"
#include "kavo/test/sysv_keys.h"
#include "kavo/test/test_root.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {
namespace {

using kavo::logger::LogCapture;

constexpr const char* kSegFile = "/tmp/shm/seg";
constexpr const char* kSemFile = "/tmp/shm/sem";

class MiscTest : public ::testing::Test {
 protected:
  kavo::test::TestRoot root;
  kavo::test::SysvKeyFiles keys{root, {kSegFile, kSemFile}};

  shmid_ds stat(int id) {
    shmid_ds ds{};
    EXPECT_EQ(::shmctl(id, IPC_STAT, &ds), 0);
    return ds;
  }
};

TEST_F(MiscTest, SegmentsAreCreatedReusedClearedAndRemoved) {
  LogCapture log;
  int id = -1;
  uint8_t* first = createShareMemoryChar(&id, kSegFile, 32);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(stat(id).shm_segsz, 32u);
  EXPECT_EQ(stat(id).shm_perm.mode & 0777, 0666u);
  std::memset(first, 0xA5, 32);

  // Another attach without clearing sees the bytes; creating again reuses the segment and clears it.
  int again = -1;
  uint8_t* seen = getShareMemoryChar(&again, kSegFile, 32);
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(again, id);
  EXPECT_EQ(seen[31], 0xA5);
  uint8_t* reused = createShareMemoryChar(&again, kSegFile, 32);
  ASSERT_NE(reused, nullptr);
  EXPECT_EQ(again, id);
  EXPECT_EQ(std::vector<uint8_t>(first, first + 32), std::vector<uint8_t>(32, 0));
  EXPECT_EQ(detachShareMemoryChar(seen), 0);
  EXPECT_EQ(detachShareMemoryChar(reused), 0);

  // A bad address fails the detach; the segment goes all the same.
  EXPECT_EQ(deleteShareMemoryChar(reinterpret_cast<void*>(0x10), id), 0);
  EXPECT_TRUE(log.has("[deleteShareMemoryChar]detach error=22", LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_EQ(::shmget(keys.key(kSegFile), 0, 0), -1);
  EXPECT_EQ(detachShareMemoryChar(first), 0);

  // Sizes in words; a missing key file is an ftok failure with a null result.
  uint32_t* words = createShareMemory(&id, kSegFile, 16);
  ASSERT_NE(words, nullptr);
  EXPECT_EQ(stat(id).shm_segsz, 64u);
  EXPECT_EQ(deleteShareMemory(words, id), 0);
  int untouched = 1234;
  EXPECT_EQ(createShareMemoryChar(&untouched, "/tmp/shm/none", 32), nullptr);
  EXPECT_EQ(untouched, 1234);
  EXPECT_EQ(getShareMemoryChar(&untouched, kSegFile, 32), nullptr);  // not there any more
  EXPECT_EQ(untouched, -1);
  const auto records = log.records();
  bool ftokLogged = false;
  for (const auto& r : records)
    ftokLogged |= r.function == "createShareMemoryChar" && r.message == "[createShareMemoryChar]ftok error =2" &&
                  r.module == "kavo_ispserver" && r.file == "misc";
  EXPECT_TRUE(ftokLogged) << log.dump();
  EXPECT_TRUE(log.has("[createShareMemoryChar]shmget error=2")) << log.dump();
}

TEST_F(MiscTest, SemaphoreSetsAreExclusiveAndOperationsReportTheirResult) {
  LogCapture log;
  int id = -1;
  ASSERT_EQ(createSemaphore(&id, kSemFile, 2), 0);
  unsigned short values[2] = {9, 9};
  ASSERT_EQ(::semctl(id, 0, GETALL, values), 0);
  EXPECT_EQ(values[0], 0);
  EXPECT_EQ(values[1], 0);

  int other = -1;
  EXPECT_EQ(createSemaphore(&other, kSemFile, 2), -1);
  EXPECT_TRUE(log.has("[createSemaphore]: semget() failed, err=17.")) << log.dump();
  int found = -1;
  EXPECT_EQ(getSemaphore(&found, kSemFile, 2), 0);
  EXPECT_EQ(found, id);

  EXPECT_EQ(semaphoreV(id), 0);
  EXPECT_EQ(::semctl(id, 0, GETVAL), 1);
  EXPECT_EQ(semaphoreP(id), 0);
  EXPECT_EQ(::semctl(id, 0, GETVAL), 0);

  EXPECT_EQ(deleteSemaphore(id), 0);
  EXPECT_EQ(getSemaphore(&found, kSemFile, 2), -1);
  // On a removed set the operations fail, and say so.
  EXPECT_EQ(semaphoreV(id), -1);
  EXPECT_EQ(semaphoreP(id), -1);
  EXPECT_TRUE(log.has("[setSemaphoreOperation]semop " + std::to_string(id) + " failed, err=22")) << log.dump();
  EXPECT_EQ(deleteSemaphore(id), -1);
  EXPECT_TRUE(log.has("[deleteSemaphore]: semctl() remove id failedi, err=22")) << log.dump();
}

TEST(Prints, GateLengthAndThreadsOfTheirOwn) {
  testing::internal::CaptureStdout();
  debugPrintf(0, "[x] never %d\n", 1);
  EXPECT_EQ(debugPrintf(1, "[x] once %d\n", 2), 1);
  consolePrintf("%s", std::string(600, 'a').c_str());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[x] once 2\n" + std::string(511, 'a'));

  // Threads that print at the same moment each keep their own text whole.
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (char c = 'a'; c < 'a' + 6; ++c)
    threads.emplace_back([c] {
      const std::string line = std::string(300, c) + "\n";
      for (int i = 0; i < 200; ++i) debugPrintf(1, "%s", line.c_str());
    });
  for (auto& t : threads) t.join();
  const std::string out = testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (size_t pos = 0; pos < out.size(); ++lines) {
    const size_t end = out.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    ASSERT_EQ(out.substr(pos, end - pos), std::string(300, out[pos])) << "line " << lines;
    pos = end + 1;
  }
  EXPECT_EQ(lines, 1200u);
}

TEST(SdLogs, LevelsSlotsAndReopen) {
  kavo::test::TestRoot root;
  EXPECT_EQ(init_SDlogs(), 0);  // no card
  EXPECT_EQ(SDlogPrintf(0, "x"), 0);

  root.mkdirs("/mnt/sd");
  ASSERT_EQ(init_SDlogs(), 1);
  EXPECT_EQ(SDlogPrintf(0, "zero %d\n", 0), 1);
  EXPECT_EQ(SDlogPrintf(6, "six\n"), 1);
  EXPECT_EQ(SDlogPrintf(7, "seven\n"), 0);
  EXPECT_EQ(SDlogPrintf(-1, "minus\n"), 0);
  const std::string zero = root.read("/mnt/sd/isp_info0.log");
  ASSERT_GE(zero.size(), 19u);
  EXPECT_EQ(zero.substr(16, 2), "->");  // "YYYY-MM-DD HH:MM->"
  EXPECT_EQ(zero.substr(18), "zero 0\n");
  EXPECT_EQ(root.read("/mnt/sd/isp_info6.log").substr(18), "six\n");

  // Out-of-range slots are left alone; a reopened slot starts empty.
  EXPECT_EQ(reopen_SDlog(-1), 1);
  EXPECT_EQ(reopen_SDlog(7), 1);
  EXPECT_EQ(reopen_SDlog(6), 1);
  EXPECT_EQ(root.read("/mnt/sd/isp_info6.log"), "");
  EXPECT_EQ(root.read("/mnt/sd/isp_info0.log"), zero);

  EXPECT_EQ(close_SDlogs(), 1);
  EXPECT_EQ(close_SDlogs(), 0);
  EXPECT_EQ(SDlogPrintf(1, "closed\n"), 0);
}

}  // namespace
}  // namespace isp
}  // namespace kavo
