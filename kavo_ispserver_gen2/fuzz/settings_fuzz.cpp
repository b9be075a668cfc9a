// Any JSON settings file normalised as the ISP settings: no crash, a complete tree, and
// normalising again changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ispsettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavo::isp::IspSettings once;
  if (once.FromJSON(reinterpret_cast<const char*>(data), size) == 0) return 0;
  once.NormalizeFields();
  kavo::isp::IspSettings twice(once);
  twice.NormalizeFields();
  std::string a, b;
  once.ToJSON(a);
  twice.ToJSON(b);
  if (a != b) abort();
  if (!once.GetKeyChain(kavo::variant::VariantType::String, "misc/powerled/mode")) abort();
  return 0;
}
