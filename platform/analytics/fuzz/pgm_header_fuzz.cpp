// PGM headers of frame files dropped by other processes: any bytes must give a clean refusal or a
// header whose size is within the limits and whose pixels start inside the header's bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "kavo/analytics/pgm.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kavo::analytics::PgmHeader h;
  if (kavo::analytics::pgmParseHeader(data, size, h)) {
    if (h.width == 0 || h.height == 0 || h.width > kavo::analytics::kPgmMaxSide ||
        h.height > kavo::analytics::kPgmMaxSide || uint64_t{h.width} * h.height > kavo::analytics::kPgmMaxPixels ||
        h.maxval == 0 || h.maxval > 255 || h.dataOffset > size || h.dataOffset > kavo::analytics::kPgmMaxHeader)
      std::abort();
  }
  return 0;
}
