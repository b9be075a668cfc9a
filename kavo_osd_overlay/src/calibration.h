#pragma once
// One frame of the circle-finding calibration: the luma is copied, blurred (9 x 9, sigma 2,
// reflect-101 borders), searched for circles (Hough gradient: inverse accumulator ratio 1, minimum
// distance between centres rows / 8 but at least 1, Canny upper threshold 200, accumulator
// threshold 100, any radius), each circle marked (a filled disc of radius 3 and value 0 at its
// centre, its outline in 255, 3 pixels thick) and the picture written as a PGM file.
#include <opencv2/core.hpp>
#include <string>
#include <vector>

#include "kavo/analytics/mdbuffer.h"

namespace kavo {
namespace osd {

class CircleMarker {
 public:
  // False when OpenCV failed (logged); a failed write of the file is logged once per run of failures.
  bool process(const kavo::analytics::MdBuffer& frame, const std::string& path);
  // The circles of the last frame (x, y, radius), in OpenCV's order.
  const std::vector<cv::Vec3f>& circles() const { return circles_; }
  const cv::Mat& image() const { return image_; }

 private:
  // Kept between frames so that a frame of the same size allocates no picture of its own.
  cv::Mat image_;
  std::vector<cv::Vec3f> circles_;
  bool writeFailing_ = false;
};

}  // namespace osd
}  // namespace kavo
