#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// Reduces an 8-bit BGRA image to `size` (no larger than the image) by area averaging:
// the bits of cv::resize(image, out, size, 0, 0, INTER_AREA), with the same weights and
// the same float sums in the same order (integer sums where both factors are whole
// numbers). A pixel of four zero bytes adds nothing to those sums and is passed over,
// a row of them is skipped whole: a part of a panorama is mostly such pixels, and
// averaging them was most of the time exposure matching took.
cv::Mat reduceByArea(const cv::Mat& image, cv::Size size);

// The same samples, computed only inside the rectangles `within` (output
// coordinates); every other sample is four zero bytes. A sample's value depends
// on its own source pixels alone, so it does not change with what else is computed.
cv::Mat reduceByArea(const cv::Mat& image, cv::Size size, const std::vector<cv::Rect>& within);

} // namespace orb
