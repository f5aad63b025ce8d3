#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>
#include <vector>

namespace orb {
namespace Stereo {

// First half of the full stitch: estimates the scene's inverse depth from the
// four camera images and returns one depth-aligned 8-bit BGRA part per camera,
// each height x 2*height, transparent outside that camera's regions.
std::vector<cv::Mat> makeStereoDepthAlignedImages(const std::vector<CameraIntrinsics>& cameras,
                                                  const std::vector<cv::Mat>& images,
                                                  int height, int lensVersion);

} // namespace Stereo
} // namespace orb
