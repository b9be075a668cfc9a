#include "kavo/encoder/frames.h"

namespace kavo {
namespace encoder {

namespace {

// The map's fields of the units before the slice, by unit type 6..9.
struct unit_fields_t {
  uint32_t nal_map_t::*offset;
  uint32_t nal_map_t::*length;
};
constexpr unit_fields_t kUnitFields[] = {
    {&nal_map_t::seiOffset, &nal_map_t::seiLength},  // 6 SEI
    {&nal_map_t::spsOffset, &nal_map_t::spsLength},  // 7 SPS
    {&nal_map_t::ppsOffset, &nal_map_t::ppsLength},  // 8 PPS
    {&nal_map_t::audOffset, &nal_map_t::audLength},  // 9 access unit delimiter
};

}  // namespace

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
    const uint8_t type = walk[s.unit] & 0x1F;
    if (type == 1 || type == 5) {
      map.sliceOffset = p;
      open = nullptr;
    } else if (type >= 6 && type <= 9) {
      const unit_fields_t& fields = kUnitFields[type - 6];
      map.*fields.offset = p;
      open = &(map.*fields.length);
    } else {
      map = nal_map_t{};
      return;
    }
    last = p;
  }
  if (open != nullptr) *open = size - last;
}

}  // namespace encoder
}  // namespace kavo
