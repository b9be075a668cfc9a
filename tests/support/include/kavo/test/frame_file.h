#pragma once
// Frame files of kavo_encoder/tests/data/flv_make_fixtures.py: one record a frame, a 16-byte
// header (size and picture type as 32-bit, pts in ns as 64-bit, host byte order) and the frame's
// bytes. A record cut short ends the list.
#include <cstdint>
#include <string>
#include <vector>

namespace kavo {
namespace test {

struct FrameRecord {
  std::vector<uint8_t> bytes;
  uint32_t type = 0;  // 1 key frame, 3 other, 5 picture
  uint64_t pts = 0;   // ns
};

std::vector<FrameRecord> readFrameFile(const std::string& path);

}  // namespace test
}  // namespace kavo
