#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace masterlib {

// The one entry point through which the front end asks for a full stitch: returns
// one depth-aligned BGRA panorama part per camera, for the caller to blend.
class StitchInterface {
public:
    virtual ~StitchInterface() = default;
    virtual std::vector<cv::Mat> stitch(std::vector<cv::Mat>& images, std::vector<CameraIntrinsics> intrinsics) = 0;
};

} // namespace masterlib
} // namespace orb
