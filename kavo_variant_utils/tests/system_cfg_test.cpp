#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "kavo/threading/interprocessmutex.h"
#include "kavo/utils/system.h"
#include "kavo/variant_utils/system_cfg.h"

using kavo::logger::LogCapture;
using kavo::test::TestRoot;
using kavo::threading::InterProcessMutex;
using kavo::variant::SystemCfgManager;
using kavo::variant::Variant;

namespace {

const char* kCfg = "/tmp/system.cfg";

class SystemCfgTest : public ::testing::Test {
 protected:
  // True when nobody holds the store's lock.
  static bool lockFree() {
    InterProcessMutex probe("system.cfg", false);
    return probe.acquire() == 0;
  }
  std::string file() const { return root.read(kCfg); }
  std::string getString(SystemCfgManager& store, const std::string& key) {
    std::string value = "unset";
    bool missing = false;
    EXPECT_TRUE(store.get(key, &value, &missing));
    return missing ? "<missing>" : value;
  }

  TestRoot root;
};

TEST_F(SystemCfgTest, ReadGetSetWrite) {
  root.write(kCfg, "net.ip=10.0.0.5\nnet.mask=255.255.255.0\nname=cam\ncount=12\n");
  SystemCfgManager store;
  ASSERT_TRUE(store.init());
  EXPECT_FALSE(lockFree());
  EXPECT_EQ(getString(store, "net.ip"), "10.0.0.5");
  EXPECT_EQ(getString(store, "name"), "cam");
  EXPECT_EQ(getString(store, "nothing.here"), "<missing>");
  int n = 0;
  bool missing = true;
  ASSERT_TRUE(store.get("count", &n, &missing));
  EXPECT_EQ(n, 12);
  EXPECT_FALSE(missing);
  ASSERT_TRUE(store.get("name", &n, &missing));  // text reads as atoi does
  EXPECT_EQ(n, 0);
  ASSERT_TRUE(store.get("absent", &n, &missing));
  EXPECT_EQ(n, -1);
  EXPECT_TRUE(missing);
  ASSERT_TRUE(store.get("count", static_cast<int*>(nullptr), nullptr));

  bool changed = false;
  ASSERT_TRUE(store.set("net.ip", "10.0.0.6", &changed));
  EXPECT_TRUE(changed);
  ASSERT_TRUE(store.set("count", 13, &changed));
  EXPECT_TRUE(changed);
  ASSERT_TRUE(store.set("new.deep.key", "v", nullptr));
  // Every set writes the file at once.
  EXPECT_EQ(file(), "count=13\nname=cam\nnet.ip=10.0.0.6\nnet.mask=255.255.255.0\nnew.deep.key=v\n");

  Variant copy;
  ASSERT_TRUE(store.getVariant(copy));
  EXPECT_EQ(copy["net"]["mask"], "255.255.255.0");
  ASSERT_TRUE(store.close(false, false));
  EXPECT_TRUE(lockFree());
}

TEST_F(SystemCfgTest, SwitchWordsAreRewrittenAsWholeValuesOnly) {
  root.write(kCfg,
             "a=enabled\nb=enable\nc=on\nd=disabled\ne=disable\nf=off\n"
             "g=online\nh=offline\ni=enabledX\nj=onboard\nk=disable_all\nl=x=on\nm=on\r\nn= on\no=On\n");
  SystemCfgManager store;
  ASSERT_TRUE(store.init());
  const std::pair<const char*, const char*> expected[] = {
      {"a", "1"},      {"b", "1"},        {"c", "1"},           {"d", "0"},      {"e", "0"},
      {"f", "0"},      {"g", "online"},   {"h", "offline"},     {"i", "enabledX"}, {"j", "onboard"},
      {"k", "disable_all"}, {"l", "x=on"}, {"m", "1"},         {"n", " on"},    {"o", "On"},
  };
  for (const auto& e : expected) EXPECT_EQ(getString(store, e.first), e.second) << e.first;
  ASSERT_TRUE(store.write());
  EXPECT_EQ(file(),
            "a=1\nb=1\nc=1\nd=0\ne=0\nf=0\ng=online\nh=offline\ni=enabledX\nj=onboard\nk=disable_all\nl=x=on\n"
            "m=1\nn= on\no=On\n");
  ASSERT_TRUE(store.close(false, false));
}

TEST_F(SystemCfgTest, EscapedIndexesStayInKeys) {
  root.write(kCfg, "net.1.ip=10.1.2.3\nnet.2.ip=10.2.3.4\nnet.10.ip=10.10.4.1\nlabel=v.1.2\n");
  Variant tree;
  {
    SystemCfgManager store(&tree, true, true, true);
    ASSERT_TRUE(store.init());
    EXPECT_EQ(tree["net"]["_1"]["ip"], "10.1.2.3");
    EXPECT_EQ(tree["net"]["_10"]["ip"], "10.10.4.1");
    EXPECT_EQ(tree["label"], "v.1.2");
    // Keys are given as the file writes them; the escaped form finds the same entry.
    EXPECT_EQ(getString(store, "net.1.ip"), "10.1.2.3");
    EXPECT_EQ(getString(store, "net._2.ip"), "10.2.3.4");
    bool changed = true;
    ASSERT_TRUE(store.set("net.2.ip", "10.2.3.4", &changed));
    EXPECT_FALSE(changed);
    ASSERT_TRUE(store.set("net.3.ip", "10.3.1.1", &changed));
    EXPECT_TRUE(changed);
    EXPECT_EQ(tree["net"]["_3"]["ip"], "10.3.1.1");
    EXPECT_EQ(file(), "label=v.1.2\nnet.1.ip=10.1.2.3\nnet.10.ip=10.10.4.1\nnet.2.ip=10.2.3.4\nnet.3.ip=10.3.1.1\n");
    ASSERT_TRUE(store.close(false, false));
  }
  // The caller's tree outlives the store.
  EXPECT_EQ(tree["net"]["_3"]["ip"], "10.3.1.1");
}

TEST_F(SystemCfgTest, GetAndSetShareOneKeyRule) {
  root.write(kCfg, "x.y=1\n");
  for (const bool nested : {true, false}) {
    SCOPED_TRACE(nested ? "nested keys" : "flat keys");
    Variant tree;
    SystemCfgManager store(&tree, false, true, nested);
    ASSERT_TRUE(store.init());
    EXPECT_EQ(getString(store, "x.y"), "1");
    for (const char* key : {"a.b", "a.c.d", "cam.1.name", "q", "[1].z", "v.[2]"}) {
      ASSERT_TRUE(store.set(key, key, nullptr)) << key;
      EXPECT_EQ(getString(store, key), key);
    }
    ASSERT_TRUE(store.close(false, false));
    // And again after the file went round.
    ASSERT_TRUE(store.init());
    for (const char* key : {"x.y", "a.b", "a.c.d", "cam.1.name", "q", "[1].z", "v.[2]"})
      EXPECT_NE(getString(store, key), "<missing>") << key;
    int cycles = 0;
    ASSERT_TRUE(store.close(false, true));
    ASSERT_TRUE(store.init());
    ASSERT_TRUE(store.get("system.flash.cycles", &cycles, nullptr));
    EXPECT_GE(cycles, 1);
    ASSERT_TRUE(store.close(false, false));
    root.write(kCfg, "x.y=1\n");
  }
}

TEST_F(SystemCfgTest, NumbersWithoutStrings) {
  root.write(kCfg, "n=42\ns=abc\nsw=on\n");
  Variant tree;
  SystemCfgManager store(&tree, false, false, true);
  ASSERT_TRUE(store.init());
  int n = 0;
  bool missing = true;
  ASSERT_TRUE(store.get("n", &n, &missing));
  EXPECT_EQ(n, 42);
  ASSERT_TRUE(store.get("sw", &n, &missing));
  EXPECT_EQ(n, 1);
  ASSERT_TRUE(store.get("s", &n, &missing));  // not a number: not found
  EXPECT_TRUE(missing);
  EXPECT_EQ(n, -1);
  bool changed = true;
  ASSERT_TRUE(store.set("n", 42, &changed));
  EXPECT_FALSE(changed);
  ASSERT_TRUE(store.set("n", -7, &changed));
  EXPECT_TRUE(changed);
  EXPECT_TRUE(tree["n"].IsInteger());
  EXPECT_EQ(file(), "n=-7\ns=abc\nsw=1\n");
  ASSERT_TRUE(store.close(false, false));
}

TEST_F(SystemCfgTest, UnchangedSetStillRewritesTheFile) {
  root.write(kCfg, "a=1\n");
  SystemCfgManager store;
  ASSERT_TRUE(store.init());
  root.write(kCfg, "a=1\nforeign=2\n");
  bool changed = true;
  ASSERT_TRUE(store.set("a", 1, &changed));
  EXPECT_FALSE(changed);
  EXPECT_EQ(file(), "a=1\n");
  // Nothing changed: close(true, false) neither writes nor flashes.
  root.write(kCfg, "a=1\nforeign=3\n");
  const uint64_t flashes = kavo::utils::saveToFlashRawCount();
  ASSERT_TRUE(store.close(true, false));
  EXPECT_EQ(file(), "a=1\nforeign=3\n");
  EXPECT_EQ(kavo::utils::saveToFlashRawCount(), flashes);
  EXPECT_TRUE(lockFree());
}

TEST_F(SystemCfgTest, FlashWriteBack) {
  root.write(kCfg, "a=1\n");
  const uint64_t flashes = kavo::utils::saveToFlashRawCount();
  SystemCfgManager store;

  // Forced: the counter starts at 1.
  ASSERT_TRUE(store.init());
  ASSERT_TRUE(store.close(false, true));
  EXPECT_EQ(file(), "a=1\nsystem.flash.cycles=1\n");
  EXPECT_EQ(kavo::utils::saveToFlashRawCount(), flashes + 1);

  // A change, flashed on close.
  ASSERT_TRUE(store.init());
  ASSERT_TRUE(store.set("a", 2, nullptr));
  ASSERT_TRUE(store.set("a", 2, nullptr));  // the change is not forgotten by an equal set
  ASSERT_TRUE(store.close(true, false));
  EXPECT_EQ(file(), "a=2\nsystem.flash.cycles=2\n");
  EXPECT_EQ(kavo::utils::saveToFlashRawCount(), flashes + 2);

  // A change, written without flashing.
  ASSERT_TRUE(store.init());
  ASSERT_TRUE(store.set("a", 3, nullptr));
  ASSERT_TRUE(store.close(false, false));
  EXPECT_EQ(file(), "a=3\nsystem.flash.cycles=2\n");
  EXPECT_EQ(kavo::utils::saveToFlashRawCount(), flashes + 2);

  // markChanged alone counts as a change.
  ASSERT_TRUE(store.init());
  ASSERT_TRUE(store.markChanged());
  ASSERT_TRUE(store.close(true, false));
  EXPECT_EQ(file(), "a=3\nsystem.flash.cycles=3\n");
  EXPECT_EQ(kavo::utils::saveToFlashRawCount(), flashes + 3);
  EXPECT_TRUE(lockFree());
}

TEST_F(SystemCfgTest, StateErrors) {
  root.write(kCfg, "a=1\n");
  SystemCfgManager store;
  LogCapture log;
  int n = 0;
  std::string s;
  Variant v;
  EXPECT_FALSE(store.read());
  EXPECT_FALSE(store.write());
  EXPECT_FALSE(store.get("a", &n, nullptr));
  EXPECT_FALSE(store.get("a", &s, nullptr));
  EXPECT_FALSE(store.set("a", 1, nullptr));
  EXPECT_FALSE(store.set("a", "x", nullptr));
  EXPECT_FALSE(store.getVariant(v));
  EXPECT_FALSE(store.markChanged());
  EXPECT_FALSE(store.close(false, false));
  EXPECT_EQ(log.count("SystemCfgManager not initialized"), 9u) << log.dump();
  ASSERT_TRUE(store.init());
  EXPECT_FALSE(store.init());
  EXPECT_TRUE(log.has("SystemCfgManager already initialized", LOG_LEVEL_ERROR));
  ASSERT_TRUE(store.read());
  EXPECT_EQ(getString(store, "a"), "1");
}

TEST_F(SystemCfgTest, FailedInitReleasesTheLock) {
  const struct {
    const char* content;  // nullptr: no file
    const char* message;
  } cases[] = {
      {nullptr, "Failed to open system.cfg file"},
      {"a=1\na.b=2\n", "Failed to deserialize system.cfg file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    ::unlink(root.path(kCfg).c_str());
    if (c.content != nullptr) root.write(kCfg, c.content);
    SystemCfgManager store;
    LogCapture log;
    EXPECT_FALSE(store.init());
    EXPECT_TRUE(log.has(c.message, LOG_LEVEL_ERROR)) << log.dump();
    EXPECT_TRUE(log.has("Failed to read system.cfg into variant", LOG_LEVEL_ERROR));
    EXPECT_TRUE(lockFree());
    EXPECT_FALSE(store.set("a", 1, nullptr));
    root.write(kCfg, "a=1\n");
    EXPECT_TRUE(store.init());
    EXPECT_TRUE(store.close(false, false));
  }
}

TEST_F(SystemCfgTest, RefusesWhatTheFileCannotHold) {
  root.write(kCfg, "a=1\nsec.k=2\n");
  SystemCfgManager store;
  ASSERT_TRUE(store.init());
  LogCapture log;
  for (const char* key : {"", ".", "a..b", "x.", ".x", "k=v", "line\nbreak"}) {
    EXPECT_FALSE(store.set(key, "v", nullptr)) << key;
    std::string s;
    EXPECT_FALSE(store.get(key, &s, nullptr)) << key;
  }
  EXPECT_TRUE(log.contains("Invalid system.cfg key", LOG_LEVEL_ERROR));
  EXPECT_FALSE(store.set("k", "two\nlines", nullptr));
  EXPECT_FALSE(store.set("k", "cr\r", nullptr));
  EXPECT_TRUE(log.has("Invalid system.cfg value for `k`", LOG_LEVEL_ERROR));
  // Neither a value nor a section is silently replaced by the other.
  EXPECT_FALSE(store.set("a.b", "x", nullptr));
  EXPECT_FALSE(store.set("sec", "x", nullptr));
  EXPECT_TRUE(log.has("system.cfg key `a.b` conflicts with an existing entry", LOG_LEVEL_ERROR));
  EXPECT_EQ(getString(store, "a"), "1");
  EXPECT_EQ(getString(store, "sec.k"), "2");
  // The store is still writable.
  ASSERT_TRUE(store.set("ok", "1", nullptr));
  EXPECT_EQ(file(), "a=1\nok=1\nsec.k=2\n");
  ASSERT_TRUE(store.close(false, false));
}

TEST_F(SystemCfgTest, FileIsReplacedThroughATemporaryAndARename) {
  root.write(kCfg, "a=1\n");
  const std::string temp = "/tmp/system.cfg." + std::to_string(::getpid());
  SystemCfgManager store;
  ASSERT_TRUE(store.init());
  struct stat before {};
  ASSERT_EQ(::stat(root.path(kCfg).c_str(), &before), 0);
  ASSERT_TRUE(store.set("a", 2, nullptr));
  struct stat after {};
  ASSERT_EQ(::stat(root.path(kCfg).c_str(), &after), 0);
  EXPECT_NE(before.st_ino, after.st_ino);  // a new file, not the old one rewritten
  EXPECT_NE(::access(root.path(temp).c_str(), F_OK), 0);

  LogCapture log;
  // The temporary cannot be created: the file stays as it was.
  root.mkdirs(temp);
  EXPECT_FALSE(store.set("a", 3, nullptr));
  EXPECT_TRUE(log.has("Failed to open system.cfg", LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_EQ(file(), "a=2\n");
  ::rmdir(root.path(temp).c_str());

  // The rename fails: the temporary is removed, the target untouched.
  ::unlink(root.path(kCfg).c_str());
  root.mkdirs(std::string(kCfg) + "/keep");
  EXPECT_FALSE(store.set("a", 4, nullptr));
  EXPECT_TRUE(log.has("Failed to move " + temp + " to /tmp/system.cfg", LOG_LEVEL_ERROR)) << log.dump();
  EXPECT_NE(::access(root.path(temp).c_str(), F_OK), 0);
  ::rmdir(root.path(std::string(kCfg) + "/keep").c_str());
  ::rmdir(root.path(kCfg).c_str());
  EXPECT_TRUE(store.write());
  EXPECT_EQ(file(), "a=4\n");
  ASSERT_TRUE(store.close(false, false));
}

TEST_F(SystemCfgTest, ReaderNeverSeesAPartialFile) {
  const std::string big1(256 * 1024, 'x');
  const std::string big2(192 * 1024, 'y');
  root.write(kCfg, "pad=" + big1 + "\n");
  const std::string v1 = "pad=" + big1 + "\n";
  const std::string v2 = "pad=" + big2 + "\n";
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0}, bad{0};
  std::thread reader([&] {
    while (!stop.load()) {
      const std::string seen = root.read(kCfg);
      if (seen != v1 && seen != v2) ++bad;
      ++reads;
    }
  });
  SystemCfgManager store;
  ASSERT_TRUE(store.init());
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(store.set("pad", i % 2 ? big1 : big2, nullptr));
  ASSERT_TRUE(store.close(false, false));
  stop = true;
  reader.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(bad.load(), 0);
}

TEST_F(SystemCfgTest, SecondProcessBlocksInInitUntilTheFirstCloses) {
  root.write(kCfg, "owner=none\n");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    int status = 1;
    {
      SystemCfgManager store;
      if (store.init() && store.set("owner", "child", nullptr)) {
        const char byte = 1;
        if (::write(ready[1], &byte, 1) == 1) {
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          if (store.set("late", "yes", nullptr) && store.close(false, false)) status = 0;
        }
      }
    }
    ::_exit(status);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  SystemCfgManager store;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(store.init());
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(200));
  // The whole read-modify-write of the first process is seen.
  EXPECT_EQ(getString(store, "owner"), "child");
  EXPECT_EQ(getString(store, "late"), "yes");
  int status = -1;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(store.close(false, false));
}

TEST_F(SystemCfgTest, DestructorWritesAndReleases) {
  root.write(kCfg, "a=1\n");
  {
    SystemCfgManager store;
    ASSERT_TRUE(store.init());
    // A changed store is written when it goes away, over the foreign edit.
    ASSERT_TRUE(store.markChanged());
    root.write(kCfg, "b=2\n");
  }
  EXPECT_EQ(file(), "a=1\n");
  EXPECT_TRUE(lockFree());
}

}  // namespace
