#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <cstring>
#include <vector>

namespace orb {
namespace testrig {

// A camera whose optical axis points at `azimuthDeg` (0 forward, 90 right) and
// `pitchDeg` above the horizon, `radius` metres out from the rig origin towards that
// azimuth, with the lens k0 (theta + k1 theta^3 + k2 theta^5 + k3 theta^7).
inline CameraIntrinsics makeCamera(double azimuthDeg, float k0, float cx, float cy, float radius = 0.f,
                                   float k1 = 0.f, float k2 = 0.f, float k3 = 0.f, double pitchDeg = 0.0)
{
    const double az = azimuthDeg * CV_PI / 180.0, pitch = pitchDeg * CV_PI / 180.0;
    const cv::Vec3d forward(std::cos(az) * std::cos(pitch), std::sin(az) * std::cos(pitch), -std::sin(pitch));
    const cv::Vec3d right(-std::sin(az), std::cos(az), 0.0);
    const cv::Vec3d axes[3] = {forward, right, forward.cross(right)}; // axis, image x, image y (down)
    const cv::Vec3d position(radius * std::cos(az), radius * std::sin(az), 0.0);
    CameraIntrinsics camera;
    camera.lensCoeffs = cv::Matx<float, 4, 1>(k0, k1, k2, k3);
    camera.centre = cv::Matx<float, 2, 1>(cx, cy);
    camera.tmBToC = cv::Matx<float, 4, 4>::eye();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            camera.tmBToC(r, c) = static_cast<float>(axes[r][c]);
        camera.tmBToC(r, 3) = static_cast<float>(-axes[r].dot(position)); // t = -R P
    }
    return camera;
}

// The four level cameras facing forward, right, back and left.
inline std::vector<CameraIntrinsics> makeRig(float k0, float cx, float cy, float radius = 0.f)
{
    std::vector<CameraIntrinsics> rig;
    for (int i = 0; i < 4; ++i)
        rig.push_back(makeCamera(90.0 * i, k0, cx, cy, radius));
    return rig;
}

// Four 8-bit BGR images of uniform noise.
inline std::vector<cv::Mat> randomImages(int rows, int cols, unsigned seed)
{
    std::vector<cv::Mat> images;
    cv::RNG rng(seed);
    for (int i = 0; i < 4; ++i) {
        images.emplace_back(rows, cols, CV_8UC3);
        rng.fill(images.back(), cv::RNG::UNIFORM, 0, 256);
    }
    return images;
}

inline bool sameBits(const cv::Mat& a, const cv::Mat& b)
{
    return a.size() == b.size() && a.type() == b.type() && a.isContinuous() && b.isContinuous() &&
           std::memcmp(a.data, b.data, a.total() * a.elemSize()) == 0;
}

} // namespace testrig
} // namespace orb
