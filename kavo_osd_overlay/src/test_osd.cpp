#include "test_osd.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "kavo/utils/file.h"
#include "osd.h"

namespace kavo {
namespace osd {

namespace {

// 0, 1, ..., 255 repeated far enough that any row is one copy from it.
struct Ramp {
  uint8_t bytes[256 + kOsdWidth];
  Ramp() {
    for (size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<uint8_t>(i);
  }
};
const Ramp kRamp;

}  // namespace

void fillTestPattern(uint8_t* frame, int32_t t) {
  const int base = (t / 10) & 0xFF;
  for (int r = 0; r < kOsdHeight; ++r)
    std::memcpy(frame + static_cast<size_t>(r) * kOsdWidth, kRamp.bytes + ((base + r) & 0xFF), kOsdWidth);
}

FrameWrite writeTestFrame(const uint8_t* frame, const std::string& produced, const std::string& target) {
  kavo::utils::File file;
  if (!file.Initialize(produced, kavo::utils::FILE_OPEN_MODE_TRUNCATE)) return FrameWrite::OpenFailed;
  // Close flushes what the stream still buffers; a short or failed write fails one of the two.
  if (!file.WriteBuffer(frame, kOsdFrameSize) || !file.Close()) return FrameWrite::WriteFailed;
  if (std::rename(produced.c_str(), target.c_str()) != 0) return FrameWrite::MoveFailed;
  return FrameWrite::Ok;
}

int test_osd() {
  std::unique_ptr<uint8_t[]> frame(new uint8_t[kOsdFrameSize]());
  const std::string produced = kavo::os::path("/tmp/osd.produced");
  const std::string target = kavo::os::path("/tmp/osd");
  while (quitRequested == 0) {
    const int32_t t = static_cast<int32_t>(static_cast<uint32_t>(kavo::utils::nowMs()));
    fillTestPattern(frame.get(), t);
    switch (writeTestFrame(frame.get(), produced, target)) {
      case FrameWrite::Ok:
        continue;
      case FrameWrite::OpenFailed:
        OSD_LOG(LOG_LEVEL_ERROR, errno, "Failed to open osd file");
        return -1;
      case FrameWrite::WriteFailed:
        OSD_LOG(LOG_LEVEL_ERROR, errno, "Failed to save osd to file");
        return -1;
      case FrameWrite::MoveFailed:
        OSD_LOG(LOG_LEVEL_ERROR, errno, "Failed to move osd file");
        return -1;
    }
  }
  OSD_LOG(LOG_LEVEL_INFO, 0, "Gracefully shut down");
  return 0;
}

}  // namespace osd
}  // namespace kavo
