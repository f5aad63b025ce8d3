#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/geometry/ScanImages.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace BaseApi {

// Remaps every camera at the scan's depth into its own panorama-sized CV_8UC4 part
// (scan size, H x 2H): the camera's 90 degree sector widened by a 9 degree margin on
// both sides (camera 2's split over the two edges) plus a top strip of H/100 rows
// over the full width. Everything else is transparent (0, 0, 0, 0). Images are 8-bit
// colour (BGR or BGRA), at least one per camera.
//
// Linear resampling by default. With sharp, colour is resampled with a cubic
// kernel, which keeps fine detail that the linear one blurs; the rim still fades
// as with linear resampling (alpha the share of the linear kernel inside the
// image, colour mixed with zeros in that proportion), so what reads the rim's
// alpha sees the same.
std::vector<cv::Mat> remapPartsWithExtrinsics(const cv::Matx44f& extrinsic, const ScanImages& scan,
                                              const std::vector<CameraIntrinsics>& cameras,
                                              const std::vector<cv::Mat>& images, float maxAngle,
                                              bool sharp = false);

} // namespace BaseApi
} // namespace orb
