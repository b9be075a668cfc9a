#include "kavo/analytics/mdreader_iav.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>

#include "kavo/logger/logger.h"
#include "kavo/os/device.h"
#include "kavo/os/iav.h"
#include "kavo/utils/clock.h"

#define MD_LOG(level, err, ...) logInternal("kavo_analytics", __FILE__, __func__, __LINE__, level, err, 0, __VA_ARGS__)

namespace kavo {
namespace analytics {

namespace {

constexpr uint32_t kDspBuffers = 4;
constexpr uint32_t kInitPollMs = 10;

// Errors that only say the DSP has no picture yet; anything else is a fault.
bool notReady(int err) { return err == EAGAIN || err == EPERM || err == EBUSY || err == EINTR; }

}  // namespace

MdReaderIAV::MdReaderIAV(const std::set<std::string>& bufferIds) {
  for (const std::string& id : bufferIds) {
    // "1" .. "4" exactly: the DSP's buffers 0 .. 3.
    if (id.size() == 1 && id[0] >= '1' && id[0] < static_cast<char>('1' + kDspBuffers))
      buffers_.push_back({id, static_cast<uint32_t>(id[0] - '1')});
    else
      badId_ = true;
  }
}

MdReaderIAV::~MdReaderIAV() { release(); }

void MdReaderIAV::release() {
  // Closing the descriptor also ends the driver's mapping of the DSP memory.
  if (fd_ >= 0) kavo::os::devClose(fd_);
  fd_ = -1;
  dsp_ = nullptr;
  dspLength_ = 0;
  initialized_ = false;
}

bool MdReaderIAV::init(unsigned timeoutMs) {
  release();
  if (badId_ || buffers_.empty()) {
    MD_LOG(LOG_LEVEL_ERROR, 0, "Invalid buffer ids: expected 1 to %u", kDspBuffers);
    return false;
  }
  fd_ = kavo::os::devOpen("/dev/iav", O_RDWR);
  if (fd_ < 0) {
    MD_LOG(LOG_LEVEL_ERROR, errno, "Unable to open /dev/iav");
    return false;
  }
  iav_mmap_info_t map{};
  if (kavo::os::devIoctl(fd_, IAV_IOC_MAP_DSP, &map) != 0 || map.addr == nullptr || map.length == 0) {
    MD_LOG(LOG_LEVEL_ERROR, errno, "Unable to map the DSP memory");
    release();
    return false;
  }
  dsp_ = map.addr;
  dspLength_ = map.length;

  const struct timespec start = kavo::utils::moment();
  MdContainer found;
  for (;;) {
    bool all = true;
    for (const Buffer& b : buffers_) {
      MdBuffer& slot = found.Get()[b.id];
      uint64_t pts = 0;
      uint32_t seq = 0;
      const Query q = query(b, slot, pts, seq);
      if (q == Query::Fatal) {
        release();
        return false;
      }
      if (q == Query::NotReady) {
        all = false;
        break;
      }
    }
    if (all) break;
    if (kavo::utils::momentsDiffMs(start, kavo::utils::moment()) >= static_cast<int64_t>(timeoutMs)) {
      MD_LOG(LOG_LEVEL_ERROR, 0, "No picture from the DSP within %u ms", timeoutMs);
      release();
      return false;
    }
    kavo::utils::sleepMs(kInitPollMs);
  }
  dims_ = MdContainer();
  for (auto& entry : found.Get()) {
    const MdBuffer& b = entry.second;
    dims_.Get()[entry.first].setDims(b.Width(), b.Height(), b.Pitch());
  }
  initialized_ = true;
  return true;
}

bool MdReaderIAV::dims(MdContainer& out) {
  if (!initialized_) return false;
  out = dims_;
  return true;
}

MdReaderIAV::Query MdReaderIAV::query(const Buffer& b, MdBuffer& out, uint64_t& pts, uint32_t& seq) {
  iav_me1_buffer_info_t info{};
  info.buffer_id = b.dspId;
  if (kavo::os::devIoctl(fd_, IAV_IOC_QUERY_ME1_BUFFER_EX, &info) != 0) {
    const int err = errno;
    if (notReady(err)) return Query::NotReady;
    MD_LOG(LOG_LEVEL_ERROR, err, "Unable to query ME1 buffer %u", b.dspId);
    return Query::Fatal;
  }
  // The last row ends at offset + (height - 1) * pitch + width; 64-bit sums cannot overflow here.
  const uint64_t end = info.height == 0 ? 0
                                        : uint64_t{info.offset} + uint64_t{info.height - 1u} * info.pitch + info.width;
  if (info.width == 0 || info.height == 0 || info.pitch < info.width || end > dspLength_) {
    MD_LOG(LOG_LEVEL_ERROR, 0, "ME1 buffer %u outside the DSP memory: offset %u, %ux%u, pitch %u, mapped %u",
           b.dspId, info.offset, info.width, info.height, info.pitch, dspLength_);
    return Query::Fatal;
  }
  // The pixels are the DSP's and read-only: MdBuffer offers a writable pointer, its users must not write.
  if (!out.init(const_cast<uint8_t*>(dsp_) + info.offset, info.width, info.height, info.pitch, MEM_MODE_WRAP, 0, 1))
    return Query::Fatal;
  pts = info.pts;
  seq = info.seq_num;
  return Query::Ok;
}

bool MdReaderIAV::read(MdContainer& out, MdReadStatusCode& status) {
  status = MD_READ_OK;
  if (!initialized_) {
    status = MD_READ_FATAL;
    return false;
  }
  // Entries of this reader's ids are updated in place, so a container kept between reads costs
  // no allocation per frame.
  auto& map = out.Get();
  for (auto it = map.begin(); it != map.end();) {
    bool ours = false;
    for (const Buffer& b : buffers_) ours = ours || it->first == b.id;
    it = ours ? std::next(it) : map.erase(it);
  }
  uint64_t pts = 0;
  uint32_t seq = 0;
  for (const Buffer& b : buffers_) {
    const Query q = query(b, map[b.id], pts, seq);
    if (q != Query::Ok) {
      map.clear();
      if (q == Query::Fatal) status = MD_READ_FATAL;
      return false;
    }
  }
  out.setFrame(pts, seq);
  return true;
}

}  // namespace analytics
}  // namespace kavo
