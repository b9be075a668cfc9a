#pragma once
// 8-bit binary PGM files ("P5"). Headers are checked before any pixel memory is sized from them:
// maxval 1..255, each side 1..kPgmMaxSide, at most kPgmMaxPixels pixels. Paths are used as given
// (callers apply kavo::os::path). Results: 0 on success, -1 on failure.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kavo {
namespace analytics {

constexpr uint32_t kPgmMaxSide = 8192;
constexpr uint32_t kPgmMaxPixels = 32u << 20;
// A header longer than this (long comments) is refused.
constexpr size_t kPgmMaxHeader = 4096;

struct PgmHeader {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t maxval = 0;
  size_t dataOffset = 0;  // bytes before the first pixel
};

// Parses the header at the start of `data` (the rest of the file may follow or be missing).
// Comments ("#" to the end of the line) may stand wherever white space may.
bool pgmParseHeader(const uint8_t* data, size_t size, PgmHeader& header);

int pgmReadHeader(const std::string& path, uint32_t& width, uint32_t& height);
// Reads the pixels into `buffer` (rows `pitch` bytes apart); the file must be `width` x `height`
// and hold all of its pixels.
int pgmRead(const std::string& path, uint8_t* buffer, uint32_t pitch, uint32_t width, uint32_t height);
// Writes `height` rows of `width` bytes taken `pitch` bytes apart, in place (the file is truncated
// first, so a reader may see it short while it is written).
int pgmWrite(const std::string& path, const uint8_t* data, uint32_t width, uint32_t height, uint32_t pitch);

}  // namespace analytics
}  // namespace kavo
