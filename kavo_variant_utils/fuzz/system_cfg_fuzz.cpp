// The configuration store reading arbitrary "/tmp/system.cfg" contents. The first input byte picks
// the store's options; what the store has read it must write back and read again unchanged.
#include <ftw.h>
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "kavo/logger/logger.h"
#include "kavo/test/test_root.h"
#include "kavo/variant_utils/system_cfg.h"

using kavo::variant::SystemCfgManager;
using kavo::variant::Variant;

namespace {

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

bool writeAll(const std::string& path, const uint8_t* data, size_t size) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string cfgPath = [] {
    ::setenv("KAVO_LOG_LEVEL", "0", 1);
    kavo::logger::setSink([](const kavo::logger::LogRecord&) {});
    // A root in memory when there is one: every input costs several writes and a rename.
    static char dir[] = "/dev/shm/kvu.XXXXXX";
    if (::mkdtemp(dir) != nullptr && ::mkdir((std::string(dir) + "/tmp").c_str(), 0755) == 0) {
      ::setenv("KAVO_ROOT", dir, 1);
      std::atexit([] { ::nftw(dir, removeEntry, 8, FTW_DEPTH | FTW_PHYS); });
      return std::string(dir) + "/tmp/system.cfg";
    }
    static kavo::test::TestRoot root;
    return root.path("/tmp/system.cfg");
  }();
  if (size == 0) return 0;
  const uint8_t options = data[0];
  const bool escape = options & 1, strings = options & 2, nested = options & 4;
  if (!writeAll(cfgPath, data + 1, size - 1)) std::abort();

  // One store per option set, reused: init() reads the file afresh each time.
  static Variant trees[8];
  static SystemCfgManager* stores[8] = {};
  const int slot = options & 7;
  if (stores[slot] == nullptr) stores[slot] = new SystemCfgManager(&trees[slot], escape, strings, nested);
  Variant& tree = trees[slot];
  SystemCfgManager& store = *stores[slot];
  if (!store.init()) return 0;
  int number = 0;
  std::string text;
  store.get("system.flash.cycles", &number, nullptr);
  store.get("a.1.b", &text, nullptr);
  const Variant first = tree;
  const bool written = store.write();
  if (!store.close(false, false)) std::abort();
  if (!written) return 0;
  // Written from the tree, the file reads back as the same tree (literal "._1" keys excepted,
  // which the escaping cannot tell apart from escaped ones).
  if (!escape) {
    if (!store.init()) std::abort();
    if (!(tree == first)) std::abort();
    // A set is refused only when the tree holds "fuzz" or "fuzz.key" in the other shape.
    const bool stored = store.set("fuzz.key", "v", nullptr);
    if (!stored && tree.Find("fuzz") == nullptr) std::abort();
    std::string back;
    bool missing = true;
    if (stored && (!store.get("fuzz.key", &back, &missing) || missing || back != "v")) std::abort();
    if (!store.close(false, false)) std::abort();
  }
  return 0;
}
