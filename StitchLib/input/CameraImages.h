#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orb {
namespace input {

// Reads one camera image safely: a regular file of bounded size whose header is
// checked before decoding (format, dimensions, decoded type) and whose data is
// checked whole; the result is 8-bit BGR (CV_8UC3). Throws ImageError naming the file.
cv::Mat readCameraImage(const std::string& path);

// Reads the images of one frame, one per camera, side by side. All must have one
// size. When several are bad, the first in camera order is reported.
std::vector<cv::Mat> readCameraImages(const std::vector<std::string>& paths);

} // namespace input
} // namespace orb
