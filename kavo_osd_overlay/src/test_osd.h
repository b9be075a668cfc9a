#pragma once
// The OSD test frame: 640 x 368 grey bytes, row after row, no header. Pixel (r, c) is
// (base + r + c) mod 256 with base = (t / 10) mod 256, t the millisecond clock as a signed 32-bit
// value, so the pattern moves one grey level every 10 ms.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavo {
namespace osd {

constexpr int kOsdWidth = 640;
constexpr int kOsdHeight = 368;
constexpr size_t kOsdFrameSize = size_t{kOsdWidth} * kOsdHeight;  // 235,520

void fillTestPattern(uint8_t* frame, int32_t t);

enum class FrameWrite { Ok, OpenFailed, WriteFailed, MoveFailed };

// Writes the whole frame to `produced`, closes it and only then renames it to `target`, so that a
// reader of `target` never sees a short frame.
FrameWrite writeTestFrame(const uint8_t* frame, const std::string& produced, const std::string& target);

}  // namespace osd
}  // namespace kavo
