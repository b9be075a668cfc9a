// Any JSON configuration normalised as the encoder settings: no crash, a complete tree, and
// normalising again changes nothing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kavo/encoder/encodersettings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavo::encoder::EncoderSettings once;
  if (once.FromJSON(reinterpret_cast<const char*>(data), size) == 0) return 0;
  once.NormalizeFields();
  kavo::encoder::EncoderSettings twice(once);
  twice.NormalizeFields();
  std::string a, b;
  once.ToJSON(a);
  twice.ToJSON(b);
  if (a != b) abort();
  if (!once.GetKeyChain(kavo::variant::VariantType::String, "video/mjpg/avSerializer/type")) abort();
  return 0;
}
