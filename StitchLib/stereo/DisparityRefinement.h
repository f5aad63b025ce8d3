#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace Stereo {

// Sub-pixel refinement of a pair's consistent disparities (view pixels, NaN where
// none) by Gauss-Newton steps on the grey values of a 5 x 5 window of the two 8-bit
// rectified views. The matcher's parabola fit pulls disparities towards whole pixels,
// which on a plane shows as steps of a whole pixel's depth (about 12 % of the inverse
// depth on a ceiling 1.2 m away), and the misregistration they cause shows in fine
// texture. Windows that straddle a depth edge (disparities more than a pixel apart) or
// hold no texture keep the matcher's value; a step never moves a disparity by more
// than a pixel. Window means are removed, so a small exposure difference between the
// cameras does not bias the step.
cv::Mat_<float> refineDisparity(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat_<float>& disparity);

// The same, one window after another: what refineDisparity() gives bit for bit, which
// refines four windows at once where the processor allows.
cv::Mat_<float> refineDisparityPlain(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat_<float>& disparity);

} // namespace Stereo
} // namespace orb
