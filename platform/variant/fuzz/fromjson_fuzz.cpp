// FromJSON on arbitrary bytes; what it accepts must write and read back unchanged.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "kavo/variant/variant.h"

using kavo::variant::Variant;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Variant v;
  const size_t used = v.FromJSON(reinterpret_cast<const char*>(data), size);
  if (used > size) __builtin_trap();
  if (used == 0) return 0;
  for (bool pretty : {false, true}) {
    std::string text;
    v.ToJSON(text, pretty);
    Variant again;
    if (again.FromJSON(text) != text.size()) __builtin_trap();
    if (!(again == v)) __builtin_trap();
  }
  std::string kvp;
  v.ToKVP(kvp);
  std::vector<uint8_t> amf;
  v.ToAMF(amf);
  (void)v.GetKeyChain(kavo::variant::VariantType::Any, "a/[0]/b", true);
  return 0;
}
