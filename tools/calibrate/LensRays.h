#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <cmath>

namespace calibrate {

// Camera pixels and camera-frame rays through the rig's fisheye lens model
// (radius = k0 (theta + k1 theta^3 + k2 theta^5 + k3 theta^7)), in double precision.
// Camera frame: axis 0 the optical axis, 1 along image columns, 2 along rows.

// Pixel seen along the camera-frame direction `ray` (any length). False when the ray
// is more than `maxAngle` radians from the optical axis.
bool rayToPixel(const orb::CameraIntrinsics& camera, const cv::Vec3d& ray, double maxAngle, cv::Point2d& pixel);

// Unit camera-frame ray seen at `pixel`.
cv::Vec3d pixelToRay(const orb::CameraIntrinsics& camera, const cv::Point2d& pixel);

// The rotation part of tmBToC (rig to camera) and the camera centre in the rig frame.
cv::Matx33d rigToCamera(const orb::CameraIntrinsics& camera);
cv::Vec3d cameraCentre(const orb::CameraIntrinsics& camera);

// The angle of a ray from the optical axis for an image radius: Newton's method on
// the lens polynomial from the equidistant guess. Templated so that the solver can
// differentiate through it; a fixed number of steps keeps it branch-free. The lens
// polynomials of real fisheyes are monotonic over the field, where it converges to
// far below a microradian in six steps.
template <typename T>
T lensAngle(const T& radius, const T& k0, double k1, double k2, double k3)
{
    T theta = radius / k0;
    for (int step = 0; step < 6; ++step) {
        const T t2 = theta * theta;
        const T f = k0 * theta * (1.0 + t2 * (k1 + t2 * (k2 + t2 * k3))) - radius;
        const T slope = k0 * (1.0 + t2 * (3.0 * k1 + t2 * (5.0 * k2 + t2 * 7.0 * k3)));
        theta = theta - f / slope;
    }
    return theta;
}

// Unit camera-frame ray at pixel (x, y) for a lens centre (cx, cy) and scale k0.
template <typename T>
void lensRay(const T& x, const T& y, const T& cx, const T& cy, const T& k0, double k1, double k2, double k3,
             T* ray)
{
    using std::cos;
    using std::sin;
    using std::sqrt;
    const T dx = x - cx;
    const T dy = y - cy;
    const T r2 = dx * dx + dy * dy;
    if (r2 < T(1e-18)) {  // the optical axis; sqrt has no derivative at 0
        ray[0] = T(1.0);
        ray[1] = dx / k0;
        ray[2] = dy / k0;
        return;
    }
    const T r = sqrt(r2);
    const T theta = lensAngle(r, k0, k1, k2, k3);
    const T s = sin(theta) / r;
    ray[0] = cos(theta);
    ray[1] = dx * s;
    ray[2] = dy * s;
}

} // namespace calibrate
