// What the library's fuzzers share: a print hook that formats and discards, and a reader of typed
// records from the fuzzer's bytes (missing bytes read as zero).
#pragma once
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace imgdsp_fuzz {

inline int print(const char* format, ...) {
  char text[256];
  va_list ap;
  va_start(ap, format);
  int n = std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  return n;
}

struct Input {
  const uint8_t* data;
  size_t size;
  template <class T>
  T take() {
    T v{};
    size_t n = std::min(sizeof v, size);
    std::memcpy(&v, data, n);
    data += n, size -= n;
    return v;
  }
  // A file of `bytes` whose first `head` bytes come from the input (the rest stays zero).
  std::vector<uint8_t> file(size_t bytes, size_t head) {
    std::vector<uint8_t> f(bytes);
    size_t n = std::min(head, size);
    std::memcpy(f.data(), data, n);
    data += n, size -= n;
    return f;
  }
};

}  // namespace imgdsp_fuzz
