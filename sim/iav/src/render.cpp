// The pictures the DSP encodes: a moving test scene that carries its picture number in large black
// and white cells (tools/read_frame_numbers.py reads it back).
#include "render.h"

#include <algorithm>
#include <cstring>

namespace kavo {
namespace sim {
namespace iav {

namespace {

constexpr int kTexSize = 256;

// A fixed pseudo-random texture, built once.
const uint8_t* texture() {
  static uint8_t* tex = [] {
    static uint8_t t[kTexSize * kTexSize];
    uint32_t s = 0x12345678u;
    for (auto& b : t) {
      s = s * 1664525u + 1013904223u;
      b = static_cast<uint8_t>(40 + ((s >> 24) % 176));
    }
    return t;
  }();
  return tex;
}

void flipPlane(uint8_t* p, int w, int h, bool hflip, bool vflip) {
  if (hflip)
    for (int y = 0; y < h; ++y) std::reverse(p + static_cast<size_t>(y) * w, p + static_cast<size_t>(y + 1) * w);
  if (vflip)
    for (int y = 0; y < h / 2; ++y)
      std::swap_ranges(p + static_cast<size_t>(y) * w, p + static_cast<size_t>(y + 1) * w,
                       p + static_cast<size_t>(h - 1 - y) * w);
}

}  // namespace

uint16_t sceneCheck(uint32_t number) {
  return static_cast<uint16_t>(((number >> 16) ^ (number & 0xffffu) ^ 0x5a5au) & 0xffffu);
}

void drawScene(uint8_t* y, uint8_t* u, uint8_t* v, int w, int h, uint32_t number, bool hflip, bool vflip) {
  const uint8_t* tex = texture();
  const int cellW = w / kCellCols;
  const int cellH = (h / 4) / kCellRows;
  const int bandH = cellH * kCellRows;
  const uint64_t bits = (static_cast<uint64_t>(number) << 16) | sceneCheck(number);
  // The texture repeats every kTexSize blocks of 8 pixels, so the scroll offset wraps there.
  const int shift = static_cast<int>((number * 3u) % (kTexSize * 8u));

  for (int row = 0; row < bandH; ++row) {
    uint8_t* line = y + static_cast<size_t>(row) * w;
    const int r = row / cellH;
    for (int c = 0; c < kCellCols; ++c) {
      const int b = r * kCellCols + c;
      const bool one = (bits >> (47 - b)) & 1u;
      std::memset(line + c * cellW, one ? 235 : 16, static_cast<size_t>(cellW));
    }
    std::memset(line + kCellCols * cellW, 16, static_cast<size_t>(w - kCellCols * cellW));
  }
  uint32_t noise = number * 2654435761u + 1u;
  for (int row = bandH; row < h; ++row) {
    uint8_t* line = y + static_cast<size_t>(row) * w;
    const uint8_t* texRow = tex + ((row >> 3) & (kTexSize - 1)) * kTexSize;
    for (int x = 0; x < w; ++x) line[x] = texRow[((x + shift) >> 3) & (kTexSize - 1)];
    if (row >= h / 2) {
      // Fresh noise in the lower right quarter keeps the encoder short of bits, so bit-rate limits show.
      for (int x = w / 2; x < w; ++x) {
        noise = noise * 1664525u + 1013904223u;
        int val = line[x] + static_cast<int>((noise >> 27) & 31u) - 16;
        line[x] = static_cast<uint8_t>(std::min(235, std::max(16, val)));
      }
    }
  }
  const int cw = w / 2, ch = h / 2, cBand = bandH / 2;
  for (int row = 0; row < ch; ++row) {
    uint8_t* lu = u + static_cast<size_t>(row) * cw;
    uint8_t* lv = v + static_cast<size_t>(row) * cw;
    if (row < cBand) {
      std::memset(lu, 128, static_cast<size_t>(cw));
      std::memset(lv, 128, static_cast<size_t>(cw));
      continue;
    }
    const uint8_t vv = static_cast<uint8_t>(96 + ((row >> 2) & 63));
    for (int x = 0; x < cw; ++x) lu[x] = static_cast<uint8_t>(96 + ((static_cast<uint32_t>(x >> 2) + number) & 63u));
    std::memset(lv, vv, static_cast<size_t>(cw));
  }
  if (hflip || vflip) {
    flipPlane(y, w, h, hflip, vflip);
    flipPlane(u, cw, ch, hflip, vflip);
    flipPlane(v, cw, ch, hflip, vflip);
  }
}

bool readSceneNumber(const uint8_t* y, int w, int h, uint32_t* number) {
  const int cellW = w / kCellCols;
  const int cellH = (h / 4) / kCellRows;
  if (cellW < 2 || cellH < 2) return false;
  uint64_t bits = 0;
  for (int b = 0; b < kCellCols * kCellRows; ++b) {
    const int x0 = (b % kCellCols) * cellW, y0 = (b / kCellCols) * cellH;
    int sum = 0;
    for (int j = 1; j <= 3; ++j)
      for (int i = 1; i <= 3; ++i) sum += y[static_cast<size_t>(y0 + cellH * j / 4) * w + x0 + cellW * i / 4];
    bits = (bits << 1) | (sum / 9 >= 128 ? 1u : 0u);
  }
  const uint32_t n = static_cast<uint32_t>(bits >> 16);
  if (static_cast<uint16_t>(bits & 0xffffu) != sceneCheck(n)) return false;
  *number = n;
  return true;
}

}  // namespace iav
}  // namespace sim
}  // namespace kavo
