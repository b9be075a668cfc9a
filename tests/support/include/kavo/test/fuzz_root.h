#pragma once
// A private camera root for fuzzers whose input is a file at a fixed camera path (header only, so
// fuzzers need not link the GoogleTest support library).
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kavo {
namespace test {

inline const std::string& fuzzRoot();

inline int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

// Made once per process under $TMPDIR and set as KAVO_ROOT; removed when the fuzzer exits (a
// crash leaves it, and its input is in the crash file anyway).
inline const std::string& fuzzRoot() {
  static const std::string root = [] {
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kavo_fuzz_XXXXXX";
    if (::mkdtemp(&templ[0]) == nullptr) std::abort();
    ::setenv("KAVO_ROOT", templ.c_str(), 1);
    return templ;
  }();
  static const bool cleanup = [] {
    std::atexit([] { ::nftw(fuzzRoot().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS); });
    return true;
  }();
  (void)cleanup;
  return root;
}

// Writes `size` bytes to the camera path `abs`, making its folders under the root first.
inline void writeFuzzFile(const std::string& abs, const uint8_t* data, size_t size) {
  const std::string file = fuzzRoot() + abs;
  for (size_t i = fuzzRoot().size() + 1; i < file.size(); ++i)
    if (file[i] == '/') ::mkdir(file.substr(0, i).c_str(), 0755);
  FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, out) != size) std::abort();
  std::fclose(out);
}

}  // namespace test
}  // namespace kavo
