#pragma once

#include <opencv2/core.hpp>

namespace orb {

// One camera's calibration: lens polynomial, image point of the optical axis and
// pose relative to the rig. A plain value; nothing is validated here.
class CameraIntrinsics {
public:
    CameraIntrinsics();

    // Record tag, only carried along; the lens version lives in the stitch interface.
    int version;
    // k0 (pixels per radian), then k1, k2, k3 of theta^3, theta^5, theta^7.
    cv::Matx<float, 4, 1> lensCoeffs;
    // Image point (x = column, y = row) of the optical axis, in pixels.
    cv::Matx<float, 2, 1> centre;
    // Rigid transform from the rig body frame (x forward, y right, z down) to the
    // camera frame (axis 0 optical axis, 1 along columns, 2 along rows).
    cv::Matx<float, 4, 4> tmBToC;
};

// The two halves of tmBToC: x_C = rotation * x_B + translation.
inline cv::Matx<float, 3, 3> rotationBToC(const CameraIntrinsics& camera) { return camera.tmBToC.get_minor<3, 3>(0, 0); }
inline cv::Matx<float, 3, 1> translationBToC(const CameraIntrinsics& camera)
{
    return camera.tmBToC.get_minor<3, 1>(0, 3);
}

} // namespace orb
