#pragma once
// Frames as the analytics readers hand them out: a container of 8-bit luma buffers keyed by buffer
// id, with the time and the input frame number of the picture they were taken from.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace kavo {
namespace analytics {

// Who owns the pixels an MdBuffer points at.
enum MemMode : int {
  MEM_MODE_WRAP = 0,  // someone else's memory, valid as long as its owner says (a DSP buffer)
  MEM_MODE_OWN = 2,   // memory from new uint8_t[], released with the last copy of the buffer
};

// Result of IMdReader::read beside its bool.
enum MdReadStatusCode : int {
  MD_READ_OK = 0,       // no error (a false read may still be retried: source not ready, bad file)
  MD_READ_FATAL = 1,    // the source is gone or broken; reading again will not help
  MD_READ_TIMEOUT = 2,  // nothing arrived in time
};

class MdBuffer {
 public:
  MdBuffer() = default;

  // Takes `data`: `height` rows of `width` bytes, row starts `pitch` bytes apart. `format` 0 is
  // 8-bit luma in `planes` 1, the only layout there is. False (and nothing taken, also in
  // MEM_MODE_OWN) for a null pointer, an empty size, a pitch below the width, another mode or
  // layout.
  bool init(uint8_t* data, uint32_t width, uint32_t height, uint32_t pitch, MemMode mode, uint32_t format,
            uint32_t planes);
  // Size only, no pixels (a reader's dimensions).
  void setDims(uint32_t width, uint32_t height, uint32_t pitch);

  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  uint32_t Pitch() const { return pitch_; }
  uint8_t* Data() const { return data_; }

  // True when both have the same width and height (the pitch may differ).
  bool compareDims(const MdBuffer& other) const { return width_ == other.width_ && height_ == other.height_; }

 private:
  uint8_t* data_ = nullptr;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t pitch_ = 0;
  std::shared_ptr<uint8_t> owned_;  // set in MEM_MODE_OWN; copies share it
};

class MdContainer {
 public:
  std::map<std::string, MdBuffer>& Get() { return buffers_; }
  const std::map<std::string, MdBuffer>& Get() const { return buffers_; }
  // CLOCK_MONOTONIC time in ns of the input frame (0 when the source does not know it).
  uint64_t Timestamp() const { return timestamp_; }
  // Input frame number of the picture (0 when the source does not count).
  uint32_t SeqNum() const { return seqNum_; }
  void setFrame(uint64_t timestamp, uint32_t seqNum) {
    timestamp_ = timestamp;
    seqNum_ = seqNum;
  }

 private:
  std::map<std::string, MdBuffer> buffers_;
  uint64_t timestamp_ = 0;
  uint32_t seqNum_ = 0;
};

}  // namespace analytics
}  // namespace kavo
