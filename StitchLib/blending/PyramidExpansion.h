#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace PyramidExpansion {

// plane = |plane - cv::pyrUp(low, plane.size())| (default border), both 8-bit
// and one channel, plane twice low's size or one less in either direction:
// the same bits as the expansion followed by cv::absdiff, without a
// full-size expansion. Rows are expanded a band at a time straight into the
// difference.
void subtractExpanded(const cv::Mat& low, cv::Mat& plane);

} // namespace PyramidExpansion
} // namespace orb
