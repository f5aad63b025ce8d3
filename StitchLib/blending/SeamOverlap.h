#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace SeamOverlap {

// Where both of two contribution masks hold, with a margin: their product
// (a * b / 255 as the seam finder masks, 255 where both are 255) eroded by a
// 7 x 7 square, pixels outside the image never eroding. The same bytes as
// the product followed by cv::erode with its default border. The seam
// between two parts may only run there.
cv::Mat overlap(const cv::Mat& maskA, const cv::Mat& maskB);

} // namespace SeamOverlap
} // namespace orb
