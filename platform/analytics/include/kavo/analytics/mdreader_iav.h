#pragma once
// Reads the video DSP's ME1 luma buffers through "/dev/iav": buffer id "1" is the DSP's ME1 buffer
// 0 (taken from the main source buffer), "2" buffer 1, up to "4". The buffers handed out point
// into the DSP memory and are read-only; the DSP reuses the memory after two more input frames,
// so a caller copies what it keeps longer.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kavo/analytics/imdreader.h"

namespace kavo {
namespace analytics {

class MdReaderIAV : public IMdReader {
 public:
  explicit MdReaderIAV(const std::set<std::string>& bufferIds);
  ~MdReaderIAV() override;
  MdReaderIAV(const MdReaderIAV&) = delete;
  MdReaderIAV& operator=(const MdReaderIAV&) = delete;

  // Opens the DSP and maps its memory, then waits up to `timeoutMs` until every buffer has a
  // picture. False at once for an unknown buffer id or a fault of the DSP; false after the
  // time-out while it has no picture (not in preview, input just started).
  bool init(unsigned timeoutMs) override;
  // The sizes found by init (no pixels); false before init succeeded.
  bool dims(MdContainer& out) override;
  // The newest picture of every buffer. Not ready: false with MD_READ_OK. A fault of the DSP, or a
  // picture that does not lie inside the mapped DSP memory: false with MD_READ_FATAL (logged).
  bool read(MdContainer& out, MdReadStatusCode& status) override;

 private:
  struct Buffer {
    std::string id;
    uint32_t dspId;
  };
  enum class Query { Ok, NotReady, Fatal };
  Query query(const Buffer& b, MdBuffer& out, uint64_t& pts, uint32_t& seq);
  void release();

  std::vector<Buffer> buffers_;
  bool badId_ = false;
  int fd_ = -1;
  const uint8_t* dsp_ = nullptr;
  uint32_t dspLength_ = 0;
  bool initialized_ = false;
  MdContainer dims_;
};

}  // namespace analytics
}  // namespace kavo
