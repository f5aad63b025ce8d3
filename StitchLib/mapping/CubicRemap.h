#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace BaseApi {

// Cubic resampling of an 8-bit BGRA image through a CV_32FC2 map, border replicated:
// the bits of cv::remap(source, target, map, noArray(), INTER_CUBIC, BORDER_REPLICATE).
// That call works a pixel and a channel at a time; this one takes the four channels
// of a pixel at once, which makes the sharp resampling of the parts several times
// cheaper. Positions and weights are quantised as there (1/32 pixel, 15-bit weights
// that sum to one), and the sums are of integers, so the order of the terms does
// not change the result. `target` must already have the map's size and type CV_8UC4
// (it may be a view into a larger matrix); `source` must be CV_8UC4 and not empty.
void remapCubicReplicate(const cv::Mat& source, cv::Mat& target, const cv::Mat& map);

} // namespace BaseApi
} // namespace orb
