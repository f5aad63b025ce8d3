#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

namespace orb {
namespace BaseApi {

// The camera's optical centre in the rig frame: the point that tmBToC maps to
// the camera frame's origin.
cv::Matx<float, 3, 1> getCamPosB(const CameraIntrinsics& camera);

} // namespace BaseApi
} // namespace orb
