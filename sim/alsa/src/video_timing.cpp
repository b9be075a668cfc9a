#include "video_timing.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

// The video simulator's own record: the layout is taken from its header, so both stay in step.
#include "state.h"

namespace kavo {
namespace sim {
namespace alsa {

using kavo::sim::iav::SharedState;

VideoTimingReader::~VideoTimingReader() { unmap(); }

void VideoTimingReader::unmap() {
  if (map_ != nullptr) ::munmap(const_cast<void*>(map_), sizeof(SharedState));
  map_ = nullptr;
  ino_ = 0;
}

VideoTiming VideoTimingReader::read(uint64_t nowNs) {
  // A state made anew (another inode) replaces the one mapped; looked at once a second.
  if (!looked_ || nowNs - lastLook_ >= 1000000000ull) {
    looked_ = true;
    lastLook_ = nowNs;
    struct stat sb{};
    if (::stat(file_.c_str(), &sb) != 0 || static_cast<size_t>(sb.st_size) < sizeof(SharedState)) {
      unmap();
    } else if (map_ == nullptr || sb.st_ino != ino_) {
      unmap();
      int fd = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd >= 0) {
        void* m = ::mmap(nullptr, sizeof(SharedState), PROT_READ, MAP_SHARED, fd, 0);
        ::close(fd);
        if (m != MAP_FAILED) {
          map_ = m;
          ino_ = sb.st_ino;
        }
      }
    }
  }
  VideoTiming t;
  if (map_ == nullptr) {
    why_ = "no video state";
    return t;
  }
  if (!sharedStateValid(map_, iav::kStateMagic, iav::kStateVersion)) {
    why_ = "no video state";
    return t;
  }
  const volatile SharedState* st = static_cast<const volatile SharedState*>(map_);
  if (st->virtualClock != 0) {
    why_ = "virtual clock";
    return t;
  }
  // Read until two passes agree: the fields are written under the simulator's lock, not ours.
  for (int i = 0; i < 4; ++i) {
    const uint64_t s = st->vinStartNs;
    const uint32_t p = st->vinRate;
    const uint32_t set = st->vinRateSet;
    if (s == st->vinStartNs && p == st->vinRate) {
      t.startNs = s;
      t.period = p;
      t.valid = p != 0 && set != 0 && st->vinSource >= 0;
      break;
    }
  }
  why_ = t.valid ? "" : "no input";
  return t;
}

}  // namespace alsa
}  // namespace sim
}  // namespace kavo
