#include "kavo/threading/interprocessmutex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "kavo/test/test_root.h"

extern char** environ;

using kavo::threading::InterProcessMutex;

namespace {

// The helper is built into the folder of this test program.
std::string helperPath() {
  char self[4096];
  ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  std::string dir = n > 0 ? std::string(self, static_cast<size_t>(n)) : std::string("./x");
  return dir.substr(0, dir.rfind('/')) + "/kavo_lock_holder";
}

// One run of the helper program with pipes on its standard input and output.
class Holder {
 public:
  Holder(const std::string& name, bool blocking, const char* mode) {
    int in[2], out[2];
    EXPECT_EQ(::pipe(in), 0);
    EXPECT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], 0);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addclose(&fa, in[1]);
    posix_spawn_file_actions_addclose(&fa, out[0]);
    std::string exe = helperPath();
    std::string b = blocking ? "1" : "0";
    std::string n = name, m = mode;
    char* argv[] = {&exe[0], &n[0], &b[0], &m[0], nullptr};
    if (::posix_spawn(&pid_, exe.c_str(), &fa, nullptr, argv, environ) != 0) {
      ADD_FAILURE() << "cannot start " << exe;
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~Holder() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL), wait();
    ::close(stdout_);
  }
  // True when the helper printed "held" within `ms`.
  bool held(int ms) {
    struct pollfd p = {stdout_, POLLIN, 0};
    if (::poll(&p, 1, ms) != 1) return false;
    char buf[8] = {};
    return ::read(stdout_, buf, 5) == 5 && std::string(buf) == "held\n";
  }
  void letGo() {
    ::close(stdin_);
    stdin_ = -1;
  }
  void kill9() {
    if (pid_ > 0) ::kill(pid_, SIGKILL);
  }
  int wait() {
    int status = 0;
    if (pid_ <= 0 || reaped_) return -1;
    ::waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
  }
  int exitCode() {
    int s = wait();
    return WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1;
  bool reaped_ = false;
};

}  // namespace

TEST(InterProcessMutex, KeepsASecondProcessOutAndIsFreeAfterTheHolderIsKilled) {
  kavo::test::TestRoot root;
  Holder holder("kavo_unit_singleton", false, "hold");
  ASSERT_TRUE(holder.held(5000));

  InterProcessMutex mine("kavo_unit_singleton", false);
  EXPECT_EQ(mine.lockPath(), root.path("/tmp/kavo_unit_singleton.lock"));
  EXPECT_EQ(mine.acquire(), EWOULDBLOCK);
  EXPECT_FALSE(mine.isAcquired());
  EXPECT_EQ(Holder("kavo_unit_singleton", false, "try").exitCode(), 1);

  holder.kill9();
  holder.wait();
  EXPECT_EQ(mine.acquire(), 0);
  EXPECT_EQ(mine.acquire(), 0);  // held already
  EXPECT_EQ(Holder("kavo_unit_singleton", false, "try").exitCode(), 1);
  EXPECT_EQ(mine.release(), 0);
  EXPECT_EQ(mine.release(), EPERM);
  EXPECT_EQ(Holder("kavo_unit_singleton", false, "try").exitCode(), 0);
}

TEST(InterProcessMutex, BlockingAcquireWaitsForTheHolder) {
  kavo::test::TestRoot root;
  InterProcessMutex mine("system.cfg", true);
  ASSERT_EQ(mine.acquire(), 0);
  Holder waiter("system.cfg", true, "hold");
  EXPECT_FALSE(waiter.held(300));  // still waiting
  EXPECT_EQ(mine.release(), 0);
  EXPECT_TRUE(waiter.held(5000));

  // And the other way round: a blocking acquire here returns once the helper lets go.
  std::atomic<int> result{-1};
  std::thread t([&] { result = mine.acquire(); });
  ::usleep(300000);
  EXPECT_EQ(result.load(), -1);
  waiter.letGo();
  t.join();
  EXPECT_EQ(result.load(), 0);
  EXPECT_EQ(waiter.exitCode(), 0);
}

TEST(InterProcessMutex, DestructorGivesTheLockUpAndNamesAreIndependent) {
  kavo::test::TestRoot root;
  {
    InterProcessMutex a("kavo_ipc_a", false);
    ASSERT_EQ(a.acquire(), 0);
    // Objects within one process exclude each other too.
    InterProcessMutex same("kavo_ipc_a", false);
    EXPECT_EQ(same.acquire(), EWOULDBLOCK);
    InterProcessMutex other("kavo_ipc_b", false);
    EXPECT_EQ(other.acquire(), 0);
  }
  InterProcessMutex a("kavo_ipc_a", false);
  EXPECT_EQ(a.acquire(), 0);

  InterProcessMutex slash("a/b", false);
  EXPECT_EQ(slash.lockPath(), root.path("/tmp/a_b.lock"));
  EXPECT_EQ(slash.acquire(), 0);
  InterProcessMutex empty("", false);
  EXPECT_NE(empty.acquire(), 0);
}
