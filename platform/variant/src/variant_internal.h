#pragma once
// Helpers shared by the codecs of the value library.
#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "kavo/variant/variant.h"

namespace kavo {
namespace variant {
namespace internal {

// Reads a whole file given by its camera path (see variant.h); false when it cannot be read or is
// no regular file (kavo::os::readRegularFile).
bool readFile(const std::string& path, std::string& out);

// Appends the decimal form of a number kind; doubles in their shortest round-trip form, with
// ".0" added when integral so that they read back as doubles; NaN and infinities as "nan"/"inf"
// (the JSON writer handles those itself).
void appendNumber(std::string& out, const Variant& v);

// Appends a time value as seconds with six decimals.
void appendTimeval(std::string& out, const timeval& tv);

// Calls fn(key, value) for every entry of a map in byte order of the key text (numeric keys as
// decimal text). fn returns false to stop; the result is false when it stopped.
template <typename Fn>
bool forEachMapEntry(const Variant& v, Fn&& fn) {
  if (v.NumericKeysCount() == 0) {
    for (auto it = v.begin(); it != v.end(); ++it)
      if (!fn(std::string_view(it->first), it->second)) return false;
    return true;
  }
  std::vector<std::pair<std::string, const Variant*>> numeric;
  numeric.reserve(v.NumericKeysCount());
  for (auto it = v.num_begin(); it != v.num_end(); ++it) numeric.emplace_back(std::to_string(it->first), &it->second);
  std::sort(numeric.begin(), numeric.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  auto s = v.begin();
  auto n = numeric.begin();
  while (s != v.end() || n != numeric.end()) {
    if (n == numeric.end() || (s != v.end() && s->first <= n->first)) {
      if (!fn(std::string_view(s->first), s->second)) return false;
      ++s;
    } else {
      if (!fn(std::string_view(n->first), *n->second)) return false;
      ++n;
    }
  }
  return true;
}

}  // namespace internal
}  // namespace variant
}  // namespace kavo
