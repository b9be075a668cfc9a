#include "calibration.h"

#include <algorithm>
#include <cerrno>
#include <opencv2/imgproc.hpp>
#include <set>

#include "kavo/analytics/mdreader_iav.h"
#include "kavo/analytics/pgm.h"
#include "kavo/os/path.h"
#include "kavo/utils/clock.h"
#include "osd.h"

namespace kavo {
namespace osd {

bool CircleMarker::process(const kavo::analytics::MdBuffer& frame, const std::string& path) {
  try {
    // The camera's memory is only read: the marks go into a copy.
    const cv::Mat camera(static_cast<int>(frame.Height()), static_cast<int>(frame.Width()), CV_8UC1, frame.Data(),
                         frame.Pitch());
    camera.copyTo(image_);
    cv::GaussianBlur(image_, image_, cv::Size(9, 9), 2.0, 2.0, cv::BORDER_REFLECT_101);
    // OpenCV refuses a minimum distance of 0, which rows / 8 gives for pictures under 8 rows.
    const double minDist = std::max(1, image_.rows / 8);
    cv::HoughCircles(image_, circles_, cv::HOUGH_GRADIENT, 1, minDist, 200, 100, 0, 0);
    for (const cv::Vec3f& c : circles_) {
      const cv::Point centre(cvRound(c[0]), cvRound(c[1]));
      cv::circle(image_, centre, 3, cv::Scalar(0), cv::FILLED);
      cv::circle(image_, centre, cvRound(c[2]), cv::Scalar(255), 3, cv::LINE_8);
    }
  } catch (const std::exception& e) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "OpenCV error on a %ux%u frame: %s", frame.Width(), frame.Height(), e.what());
    return false;
  }
  const bool written = kavo::analytics::pgmWrite(path, image_.data, static_cast<uint32_t>(image_.cols),
                                                 static_cast<uint32_t>(image_.rows),
                                                 static_cast<uint32_t>(image_.step)) == 0;
  if (!written && !writeFailing_) OSD_LOG(LOG_LEVEL_WARNING, errno, "Failed to write %s", path.c_str());
  writeFailing_ = !written;
  return true;
}

int main_calibration(const std::string&, int meId, const std::string&) {
  kavo::analytics::MdReaderIAV reader(std::set<std::string>{"1", "2"});
  if (!reader.init(10000)) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Failed to initialize IMdReader");
    return -1;
  }
  kavo::analytics::MdContainer dims;
  if (!reader.dims(dims)) {
    OSD_LOG(LOG_LEVEL_ERROR, 0, "Failed to read IMdReader dimensions");
    return -1;
  }
  const std::string id = meId == 0 ? "1" : "2";
  const kavo::analytics::MdBuffer reference = dims.Get()[id];
  OSD_LOG(LOG_LEVEL_INFO, 0, "Camera source resolution: %dx%d", static_cast<int>(reference.Width()),
          static_cast<int>(reference.Height()));

  const std::string debugPath = kavo::os::path("/tmp/debug.pgm");
  struct timespec lastGood = kavo::utils::moment();
  bool ready = true;
  // One container and one marker for the whole run: a frame re-uses the memory of the one before.
  kavo::analytics::MdContainer frame;
  CircleMarker marker;
  while (quitRequested == 0) {
    kavo::utils::sleepMs(30);
    const struct timespec now = kavo::utils::moment();
    kavo::analytics::MdReadStatusCode status = kavo::analytics::MD_READ_OK;
    const bool ok = reader.read(frame, status);
    if (status == kavo::analytics::MD_READ_FATAL) {
      OSD_LOG(LOG_LEVEL_ERROR, 0, "Fatal error reading camera source");
      return -1;
    }
    if (!ok) {
      if (ready) {
        OSD_LOG(LOG_LEVEL_ERROR, 0, "Device not ready");
        ready = false;
      }
      if (kavo::utils::momentsDiffMs(lastGood, now) > 10000) {
        OSD_LOG(LOG_LEVEL_ERROR, 0, "Device not ready for too long");
        return -1;
      }
      continue;
    }
    if (!ready) {
      OSD_LOG(LOG_LEVEL_ERROR, 0, "Device ready");
      ready = true;
    }
    lastGood = now;
    const auto found = frame.Get().find(id);
    if (found == frame.Get().end() || !found->second.compareDims(reference)) {
      OSD_LOG(LOG_LEVEL_ERROR, 0, "Dimensions mismatch");
      return -1;
    }
    if (!marker.process(found->second, debugPath)) return -1;
  }
  OSD_LOG(LOG_LEVEL_INFO, 0, "Gracefully shut down");
  return 0;
}

}  // namespace osd
}  // namespace kavo
