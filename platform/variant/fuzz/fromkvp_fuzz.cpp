// FromKVP on arbitrary text with every flag combination (taken from the first byte).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "kavo/variant/variant.h"

using kavo::variant::Variant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t flags = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);
  Variant v;
  v["seed"]["k"] = 1;
  if (!v.FromKVP(text, flags & 1, flags & 2, flags & 4)) return 0;
  std::string out;
  if (v.ToKVP(out, "=", "\n")) {
    // What was written reads back (as text values) into a tree of the same shape.
    Variant back;
    if (!back.FromKVP(out, true, true, flags & 4)) __builtin_trap();
  }
  std::string json;
  v.ToJSON(json, false);
  Variant again;
  if (again.FromJSON(json) != json.size()) __builtin_trap();
  return 0;
}
