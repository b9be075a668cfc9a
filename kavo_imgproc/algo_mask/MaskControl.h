#pragma once
// Privacy masks: up to eight rectangles blanked in a fixed colour. The video DSP takes them as a
// bitmap of 16 x 16-pixel blocks in a set of driver buffers used in turn; this keeps the rectangles,
// turns them into block bits in the buffer in use and hands that buffer to the driver, which then
// moves on to the next one (the bitmap is copied along so the next change starts from it).
//
// Called from the VISCA thread and, at initialisation, the main thread; no lock.
#include <cstdint>

#include "kavo/os/iav.h"

namespace kavo {
namespace isp {

struct MaskRect {
  int32_t x, y, width, height;
};

class MaskControl {
 public:
  static constexpr int kRects = 8;
  static constexpr int kMaxBuffers = 8;

  // The mask memory and the block geometry; logs a failure and returns 0.
  int init();
  int close() { return 0; }

  // Stores rectangle id (0..7; 8 stores nothing) and draws it; ids above 8 are ignored.
  int setMask(int id, int x, int y, int width, int height);
  // Draws rectangle `index` (0..7) into the buffer in use and hands it over; other indexes only
  // hand over the masks in force. 0 or -1.
  int TestDrawMask(int index);
  // Clears the blocks of rectangle 0 only. 0 or -1.
  int TestEraseMask();
  int set_privacy_mask(int enable);

  int mapMaskMemory();
  int readBlockGeometry();
  // -1 when the rectangle is empty or does not fit the picture or the buffer.
  int checkMaskRect(const MaskRect& r) const;
  int fill_privacy_mask_mem(const MaskRect& r);

  // What tests read.
  const MaskRect& rect(int i) const { return rects_[i]; }
  uint8_t bufferId() const { return bufferId_; }
  uint32_t blocksPerRow() const { return blocksX_; }
  uint32_t blockRows() const { return blocksY_; }
  // Block (c, l) of buffer i: 1 masked, 0 clear.
  uint32_t block(int buffer, uint32_t c, uint32_t l) const;

 private:
  uint32_t rowBytes() const { return (blocksX_ * 4u + 31u) / 32u * 32u; }
  // The buffer in use, or null when the geometry does not fit it.
  uint8_t* currentBuffer() const;

  uint8_t colour_[3] = {80, 64, 235};
  MaskRect rects_[kRects] = {{100, 100, 256, 256}, {100, 100, 256, 256}, {100, 100, 256, 256},
                             {100, 100, 256, 256}, {100, 100, 256, 256}, {100, 100, 256, 256},
                             {100, 100, 256, 256}, {100, 100, 256, 256}};
  uint8_t busy_ = 0;
  uint8_t* buffers_[kMaxBuffers] = {};
  uint8_t bufferId_ = 0;
  uint8_t bufferCount_ = 0;
  uint32_t bufferBytes_ = 0;
  uint32_t blocksX_ = 0;
  uint32_t blocksY_ = 0;
  uint32_t erasing_ = 0;
};

}  // namespace isp
}  // namespace kavo
