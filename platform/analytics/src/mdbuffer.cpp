#include "kavo/analytics/mdbuffer.h"

namespace kavo {
namespace analytics {

bool MdBuffer::init(uint8_t* data, uint32_t width, uint32_t height, uint32_t pitch, MemMode mode, uint32_t format,
                    uint32_t planes) {
  if (data == nullptr || width == 0 || height == 0 || pitch < width || format != 0 || planes != 1) return false;
  if (mode == MEM_MODE_OWN) {
    owned_.reset(data, [](uint8_t* p) { delete[] p; });
  } else if (mode == MEM_MODE_WRAP) {
    owned_.reset();
  } else {
    return false;
  }
  data_ = data;
  width_ = width;
  height_ = height;
  pitch_ = pitch;
  return true;
}

void MdBuffer::setDims(uint32_t width, uint32_t height, uint32_t pitch) {
  owned_.reset();
  data_ = nullptr;
  width_ = width;
  height_ = height;
  pitch_ = pitch;
}

}  // namespace analytics
}  // namespace kavo
