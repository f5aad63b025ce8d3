#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace FastStitch {

// Panorama of `height` rows and 2 * height columns (CV_8UC3) cut into four 90 degree
// sectors, each remapped from one camera as if the scene were infinitely far away.
cv::Mat makeFastStitchImage(std::vector<CameraIntrinsics> intrinsics, int height, std::vector<cv::Mat>& images,
                            int lensVersion);

} // namespace FastStitch

namespace BaseApi {

// The fast stitch's worker: camera i fills its sector (forward, right, back split over
// both edges, left for i = 0..3), seen through `extrinsic`. Columns that belong to no
// sector stay black. The images must be three-channel and at least as many as the
// calibration records.
cv::Mat remapFastWithExtrinsics(cv::Matx<float, 4, 4> extrinsic, std::vector<CameraIntrinsics> intrinsics,
                                int height, std::vector<cv::Mat>& images, float maxAngle);

} // namespace BaseApi
} // namespace orb
