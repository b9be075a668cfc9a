#include "kavo/encoder/frames.h"

namespace kavo {
namespace encoder {

void parseNalMap(const video_frame_t& frame, nal_map_t& map) {
  map = nal_map_t{};
  NalWalker walk(frame);
  const uint32_t size = walk.size();
  uint32_t* open = nullptr;
  uint32_t last = 0;
  // Codes are met in order: the first one with fewer than two bytes after it ends the walk.
  for (nal_start_t s; walk.next(s) && s.unit + 1 < size;) {
    if (s.unit - s.code != 4) continue;  // a 3-byte code belongs to the unit before it
    const uint32_t p = s.code;
    if (open != nullptr) *open = p - last;
    switch (walk[s.unit] & 0x1F) {
      case 1:
      case 5:
        map.sliceOffset = p;
        open = nullptr;
        break;
      case 6:
        map.seiOffset = p;
        open = &map.seiLength;
        break;
      case 7:
        map.spsOffset = p;
        open = &map.spsLength;
        break;
      case 8:
        map.ppsOffset = p;
        open = &map.ppsLength;
        break;
      case 9:
        map.audOffset = p;
        open = &map.audLength;
        break;
      default:
        map = nal_map_t{};
        return;
    }
    last = p;
  }
  if (open != nullptr) *open = size - last;
}

}  // namespace encoder
}  // namespace kavo
