#include "kavo/utils/fs.h"
#include "kavo/utils/system.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "kavo/os/path.h"
#include "kavo/test/test_root.h"

using namespace kavo::utils;

TEST(System, SaveToFlashIsCounted) {
  uint64_t before = saveToFlashRawCount();
  EXPECT_TRUE(saveToFlashRaw(false));
  EXPECT_TRUE(saveToFlashRaw(true));
  EXPECT_EQ(saveToFlashRawCount(), before + 2);
}

// The IPC broadcast takes the endpoint names as the listed paths behind the resolved folder.
TEST(FileSystem, ResolvedFolderIsThePrefixOfItsListedEntries) {
  kavo::test::TestRoot root;
  root.write("/var/run/ipc/kavo_streamer", "");
  root.write("/var/run/ipc/kavo_avclient", "");
  root.mkdirs("/var/run/ipc/sub");
  root.write("/var/run/ipc/sub/deep", "");
  ASSERT_EQ(::symlink(root.path("/var/run/ipc").c_str(), root.path("/tmp/ipclink").c_str()), 0);

  std::string resolved;
  struct stat st {};
  ASSERT_TRUE(resolvePath(kavo::os::path("/tmp/ipclink/../ipc/."), resolved, true, &st));
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  ASSERT_FALSE(resolved.empty());
  EXPECT_EQ(resolved.back(), '/');

  std::map<std::string, bool> entries = {{"stale", false}};
  ASSERT_TRUE(listFolder(resolved, entries, false));
  std::map<std::string, bool> names;
  for (const auto& e : entries) {
    ASSERT_EQ(e.first.compare(0, resolved.size(), resolved), 0) << e.first;
    names[e.first.substr(resolved.size())] = e.second;
  }
  EXPECT_EQ(names, (std::map<std::string, bool>{{"kavo_avclient", false}, {"kavo_streamer", false}, {"sub", true}}));

  ASSERT_TRUE(listFolder(resolved.substr(0, resolved.size() - 1), entries, true));
  EXPECT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries.count(resolved + "sub/deep"), 1u);
}

TEST(FileSystem, ResolveRefusesMissingPathsAndFilesWhereFoldersAreWanted) {
  kavo::test::TestRoot root;
  root.write("/etc/board.info", "x");
  std::string r = "stale";
  EXPECT_FALSE(resolvePath(kavo::os::path("/var/run/none"), r));
  EXPECT_EQ(r, "");
  EXPECT_FALSE(resolvePath("", r));
  EXPECT_FALSE(resolvePath(kavo::os::path("/etc/board.info"), r, true));
  ASSERT_TRUE(resolvePath(kavo::os::path("/etc/../etc/board.info"), r));
  EXPECT_EQ(r.substr(r.size() - 15), "/etc/board.info");
  std::map<std::string, bool> entries;
  EXPECT_FALSE(listFolder(kavo::os::path("/var/run/none"), entries));
  EXPECT_FALSE(listFolder(kavo::os::path("/etc/board.info"), entries));
}

TEST(CrashDump, ForcedCrashLeavesADumpUnderTheTestRoot) {
  kavo::test::TestRoot root;
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!InstallCrashDumpHandler("unit")) ::_exit(3);
    if (crashDumpPath(::getpid()) != kavo::os::path("/tmp/crash_unit_" + std::to_string(::getpid()) + ".txt"))
      ::_exit(4);
    forceCrash();
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFSIGNALED(status)) << "exit status " << WEXITSTATUS(status);
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  std::string dump = root.read("/tmp/crash_unit_" + std::to_string(pid) + ".txt");
  EXPECT_NE(dump.find("crash: SIGABRT (6)"), std::string::npos) << dump;
  EXPECT_NE(dump.find("backtrace:"), std::string::npos);
}
