#include "src_ext_reader.h"

#include <cerrno>
#include <cstdio>
#include <memory>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include "kavo/analytics/pgm.h"
#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "osd.h"

namespace kavo {
namespace osd {

using kavo::analytics::MdBuffer;
using kavo::analytics::MdContainer;
using kavo::analytics::MdReadStatusCode;

SrcExtReader::SrcExtReader() = default;

bool SrcExtReader::init(unsigned) {
  OSD_LOG(LOG_LEVEL_ERROR, 0, "The external source needs a path");
  return false;
}

bool SrcExtReader::init(const std::string& path, unsigned timeoutMs) {
  source_ = path;
  claim_ = path + "." + std::to_string(::getpid());
  sourceFile_ = kavo::os::path(source_);
  claimFile_ = kavo::os::path(claim_);
  timeoutMs_ = timeoutMs;
  ready_ = false;
  MdReadStatusCode status = kavo::analytics::MD_READ_OK;
  if (!read(dims_, status)) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Failed to read dims");
    return false;
  }
  ready_ = true;
  return true;
}

bool SrcExtReader::dims(MdContainer& out) {
  out = dims_;
  return true;
}

bool SrcExtReader::read(MdContainer& out, MdReadStatusCode& status) {
  status = kavo::analytics::MD_READ_OK;
  out.Get().clear();
  const struct timespec start = kavo::utils::moment();
  bool toldNotRegular = false;
  for (;;) {
    if (kavo::utils::momentsDiffMs(start, kavo::utils::moment()) >= static_cast<int64_t>(timeoutMs_)) {
      status = kavo::analytics::MD_READ_TIMEOUT;
      return false;
    }
    // A FIFO (or a link to one) would block its reader for ever: it is waited past as no file.
    struct stat st;
    if (::stat(sourceFile_.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
      if (!toldNotRegular) OSD_LOG(LOG_LEVEL_ERROR, 0, "%s is not a regular file", source_.c_str());
      toldNotRegular = true;
      kavo::utils::sleepMs(10);
      continue;
    }
    if (std::rename(sourceFile_.c_str(), claimFile_.c_str()) == 0) break;
    if (errno != ENOENT) {
      OSD_LOG(LOG_LEVEL_ERROR, errno, "Failed to move %s to %s", source_.c_str(), claim_.c_str());
      status = kavo::analytics::MD_READ_FATAL;
      return false;
    }
    kavo::utils::sleepMs(10);
  }

  uint32_t width = 0, height = 0;
  if (kavo::analytics::pgmReadHeader(claimFile_, width, height) != 0) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Failed to read PGM dims from %s", claim_.c_str());
    return false;
  }
  if (ready_) {
    const MdBuffer& expected = dims_.Get()["1"];
    if (width != expected.Width() || height != expected.Height()) {
      OSD_LOG(LOG_LEVEL_ERROR, 0, "Invalid PGM MdBuffer dimensions, expected [%dx%d], read [%dx%d]",
              static_cast<int>(expected.Width()), static_cast<int>(expected.Height()), static_cast<int>(width),
              static_cast<int>(height));
      status = kavo::analytics::MD_READ_FATAL;
      return false;
    }
  }
  // The header's size is bounded by the PGM checks, so this cannot be asked for more than 32 MiB.
  std::unique_ptr<uint8_t[]> pixels(new (std::nothrow) uint8_t[size_t{width} * height]);
  if (!pixels || kavo::analytics::pgmRead(claimFile_, pixels.get(), width, width, height) != 0) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Failed to read PGM data from %s", claim_.c_str());
    return false;
  }
  ::unlink(claimFile_.c_str());
  MdBuffer buffer;
  if (!buffer.init(pixels.get(), width, height, width, kavo::analytics::MEM_MODE_OWN, 0, 1)) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Failed to wrap PGM buffer");
    status = kavo::analytics::MD_READ_FATAL;
    return false;
  }
  pixels.release();  // the buffer owns them now
  out.Get()["1"] = buffer;
  return true;
}

}  // namespace osd
}  // namespace kavo
