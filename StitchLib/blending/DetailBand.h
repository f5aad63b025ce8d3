#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace DetailBand {

// plane = |plane - cv::pyrUp(low, plane.size())|, the same bits as the
// expansion followed by cv::absdiff, but without a full-size expansion: the
// rows are expanded a band at a time straight into the difference. Both
// planes 8-bit, one channel. Planes of other than twice low's height take
// OpenCV's own path (its last row of an odd height is built another way).
void subtractExpanded(const cv::Mat& low, cv::Mat& plane);

} // namespace DetailBand
} // namespace orb
