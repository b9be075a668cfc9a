// Privacy masks on the driver's mask buffers (see MaskControl.h).
#include "algo_mask/MaskControl.h"

#include <cstring>

#include "be_iav/iav_driver.h"
#include "misc/isp_log.h"
#include "misc/misc.h"
#include "thread_proc/isp_globals.h"

namespace kavo {
namespace isp {

namespace {

constexpr const char* kSource = "mask_boundary_check";

void warn(const char* function, const char* text) { ISP_LOG_AS(kSource, function, LOG_LEVEL_WARNING, 0, "%s", text); }

uint32_t ceil16(int32_t v) { return (static_cast<uint32_t>(v) + 15u) / 16u * 16u; }

}  // namespace

int MaskControl::init() {
  if (mapMaskMemory() < 0) warn("init", "[TestEraseMask]err_code=-1\n");
  if (readBlockGeometry() < 0) warn("init", "[TestEraseMask]err_code=-2\n");
  return 0;
}

int MaskControl::mapMaskMemory() {
  IAVDriver* d = iavDriver();
  iav_mmap_info_t memory{};
  iav_privacy_mask_buffer_id_t id{};
  if (d == nullptr || d->GetMapMask(&memory) < 0 || d->get_privacymask_buffer_id(&id) < 0) return -1;
  debugPrintf(0, "pm_buffer_id %d, pm_buffer_max_num %d \n", id.buffer_id, id.buffer_count);
  // A count the buffer table cannot hold, or an id outside it, would index past the table.
  if (id.buffer_count == 0 || id.buffer_count > kMaxBuffers || id.buffer_id >= id.buffer_count ||
      memory.addr == nullptr) {
    warn(__func__, "privacy mask buffer count error \n");
    bufferCount_ = 0;
    return -1;
  }
  bufferId_ = id.buffer_id;
  bufferCount_ = id.buffer_count;
  bufferBytes_ = memory.length / id.buffer_count;
  for (int i = 0; i < kMaxBuffers; ++i)
    buffers_[i] = i < bufferCount_ ? memory.addr + static_cast<size_t>(i) * bufferBytes_ : nullptr;
  return 0;
}

int MaskControl::readBlockGeometry() {
  IAVDriver* d = iavDriver();
  iav_source_buffer_format_all_ex_t format{};
  if (d == nullptr || d->get_source_buffer_format(&format) < 0) return -1;
  blocksX_ = (format.main_width + 15u) / 16u;
  blocksY_ = (format.main_height + 15u) / 16u;
  debugPrintf(0, "num_block_x %d, num_block_y %d \n", blocksX_, blocksY_);
  return 0;
}

uint8_t* MaskControl::currentBuffer() const {
  if (bufferId_ >= bufferCount_) return nullptr;
  if (static_cast<uint64_t>(rowBytes()) * blocksY_ > bufferBytes_) return nullptr;
  return buffers_[bufferId_];
}

uint32_t MaskControl::block(int buffer, uint32_t c, uint32_t l) const {
  if (buffer < 0 || buffer >= bufferCount_ || c >= blocksX_ || l >= blocksY_) return 0;
  return reinterpret_cast<const uint32_t*>(buffers_[buffer] + static_cast<size_t>(l) * rowBytes())[c];
}

int MaskControl::setMask(int id, int x, int y, int width, int height) {
  if (id < 0 || id > 8) return 0;
  debugPrintf(0, "[setMask]:idnum=%d\n", id);
  if (id < kRects) rects_[id] = MaskRect{x, y, width, height};
  return TestDrawMask(id);
}

int MaskControl::TestDrawMask(int index) {
  busy_ = 1;
  erasing_ = 0;
  debugPrintf(0, "[TestDrawMask]:index=%d pm_buffer_id=%d\n", index, bufferId_);
  if (index >= 0 && index < kRects) {
    if (checkMaskRect(rects_[index]) < 0) {
      warn(__func__, "[TestDrawMask]err_code=-3\n");
      return -1;
    }
    if (fill_privacy_mask_mem(rects_[index]) < 0) {
      warn(__func__, "[TestDrawMask]err_code=-4\n");
      return -1;
    }
  }
  if (set_privacy_mask(1) < 0) {
    warn(__func__, "[TestDrawMask]err_code=-5\n");
    return -1;
  }
  return 0;
}

int MaskControl::TestEraseMask() {
  busy_ = 1;
  erasing_ = 1;
  const char* failure = nullptr;
  if (mapMaskMemory() < 0)
    failure = "[TestEraseMask]err_code=-1\n";
  else if (readBlockGeometry() < 0)
    failure = "[TestEraseMask]err_code=-2\n";
  else if (checkMaskRect(rects_[0]) < 0)
    failure = "[TestEraseMask]err_code=-3\n";
  else if (fill_privacy_mask_mem(rects_[0]) < 0)
    failure = "[TestEraseMask]err_code=-4\n";
  else if (set_privacy_mask(1) < 0)
    failure = "[TestEraseMask]err_code=-5\n";
  if (failure == nullptr) return 0;
  warn(__func__, failure);
  return -1;
}

int MaskControl::checkMaskRect(const MaskRect& r) const {
  debugPrintf(0, "start_x : %d, start_y : %d, width : %d, height : %d\n", r.x, r.y, r.width, r.height);
  if (r.width < 1 || r.height < 1) {
    debugPrintf(0, "input mask rect size error \n");
    return -1;
  }
  // In 64 bits: a large width or offset must not wrap into range.
  const int64_t right = static_cast<int64_t>(r.x) + r.width, bottom = static_cast<int64_t>(r.y) + r.height;
  if (r.x < 0 || r.y < 0 || right > static_cast<int64_t>(blocksX_) * 16 || bottom > static_cast<int64_t>(blocksY_) * 16) {
    debugPrintf(0, "input mask rect error, start_x %d, start_y %d, width %d, height %d \n", r.x, r.y, r.width, r.height);
    return -1;
  }
  return 0;
}

int MaskControl::fill_privacy_mask_mem(const MaskRect& r) {
  if (blocksX_ == 0 || blocksY_ == 0) {
    debugPrintf(0, "privacy mask block number error \n");
    return -1;
  }
  iav_privacy_mask_buffer_id_t id{};
  if (iavDriver()->get_privacymask_buffer_id(&id) < 0) {
    debugPrintf(0, "Get wrong privacy mask buffer id.\n");
    return -1;
  }
  bufferId_ = id.buffer_id;
  uint8_t* buffer = currentBuffer();
  // Rows times the padded stride must fit one buffer, and the id must name one of them.
  if (buffer == nullptr || checkMaskRect(r) < 0) {
    warn(__func__, "privacy mask buffer too small or rect out of range\n");
    return -1;
  }
  const uint32_t bx = static_cast<uint32_t>(r.x) / 16, by = static_cast<uint32_t>(r.y) / 16;
  const uint32_t ex = ceil16(r.x + r.width) / 16, ey = ceil16(r.y + r.height) / 16;
  const uint32_t stride = rowBytes();
  for (uint32_t l = by; l < ey; ++l) {
    auto* row = reinterpret_cast<uint32_t*>(buffer + static_cast<size_t>(l) * stride);
    for (uint32_t c = bx; c < ex; ++c) row[c] = erasing_ ? 0u : 1u;
  }
  debugPrintf(0, "[fill_privacy_mask_mem]num_block_y =%d wp=%d\n", blocksY_, stride);
  return 0;
}

int MaskControl::set_privacy_mask(int enable) {
  IAVDriver* d = iavDriver();
  const iav_privacy_mask_setup_ex_t setup{static_cast<uint8_t>(enable), colour_[0], colour_[1], colour_[2],
                                          static_cast<uint16_t>(blocksX_), static_cast<uint16_t>(blocksY_),
                                          bufferId_, {}};
  d->set_mask(&setup);
  iav_privacy_mask_buffer_id_t id{};
  if (d->get_privacymask_buffer_id(&id) < 0) {
    warn(__func__, "Get wrong privacy mask buffer id.\n");
    return -1;
  }
  const uint8_t handed = bufferId_;
  bufferId_ = id.buffer_id;
  if (handed < bufferCount_ && bufferId_ < bufferCount_ && handed != bufferId_)
    std::memcpy(buffers_[bufferId_], buffers_[handed], bufferBytes_);
  debugPrintf(0, "privacy_mask_setup.enable %d.\n", setup.enable);
  debugPrintf(0, "privacy_mask_setup.y %d.\n", setup.y);
  debugPrintf(0, "privacy_mask_setup.u %d.\n", setup.u);
  debugPrintf(0, "privacy_mask_setup.v %d.\n", setup.v);
  debugPrintf(0, "privacy_mask_setup.block_count_x %d.\n", setup.block_count_x);
  debugPrintf(0, "privacy_mask_setup.block_count_y %d.\n", setup.block_count_y);
  debugPrintf(0, "privacy_mask_setup.buffer_id %d.\n", setup.buffer_id);
  return 0;
}

}  // namespace isp
}  // namespace kavo
