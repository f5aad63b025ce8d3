#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

namespace orb {
namespace testrig {

// A level camera whose optical axis points at `azimuthDeg` (0 forward, 90 right),
// `radius` metres out from the rig origin along that axis, with an equidistant lens
// of k0 pixels per radian plus optional higher terms.
inline CameraIntrinsics makeCamera(double azimuthDeg, float k0, float cx, float cy, float radius = 0.f,
                                   float k1 = 0.f, float k2 = 0.f, float k3 = 0.f)
{
    const double a = azimuthDeg * 3.14159265358979323846 / 180.0;
    const float c = static_cast<float>(std::cos(a));
    const float s = static_cast<float>(std::sin(a));
    CameraIntrinsics camera;
    camera.lensCoeffs = cv::Matx<float, 4, 1>(k0, k1, k2, k3);
    camera.centre = cv::Matx<float, 2, 1>(cx, cy);
    // Rows of R: optical axis, image x (the viewer's right), image y (down).
    camera.tmBToC = cv::Matx<float, 4, 4>(c, s, 0.f, 0.f,
                                          -s, c, 0.f, 0.f,
                                          0.f, 0.f, 1.f, 0.f,
                                          0.f, 0.f, 0.f, 1.f);
    // t = -R * P with P = radius * (c, s, 0): only the optical-axis component remains.
    camera.tmBToC(0, 3) = -radius;
    return camera;
}

// The four cameras facing forward, right, back and left.
inline std::vector<CameraIntrinsics> makeRig(float k0, float cx, float cy, float radius = 0.f)
{
    std::vector<CameraIntrinsics> rig;
    for (int i = 0; i < 4; ++i)
        rig.push_back(makeCamera(90.0 * i, k0, cx, cy, radius));
    return rig;
}

} // namespace testrig
} // namespace orb
