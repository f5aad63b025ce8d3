#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "tests/support/TestRig.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <vector>

// A small four-camera ring rig and a renderer of a textured sphere around it,
// for stereo tests that need real parallax without any external data.
namespace synthetic {

struct RigLayout {
    float radius = 0.05f;           // camera centres' distance from the rig origin
    float pitch = 10.0f;            // degrees the cameras look above the horizon
    float k0 = 200.0f;              // pixels per radian
    float k1 = 0.0f;                // theta^3 coefficient (0: equidistant)
    int imageSize = 640;
};

// Cameras facing 0, 90, 180, 270 degrees of azimuth, in camera order.
inline std::vector<orb::CameraIntrinsics> makeRig(const RigLayout& layout)
{
    std::vector<orb::CameraIntrinsics> cameras;
    const float centre = 0.5f * (layout.imageSize - 1);
    for (int i = 0; i < 4; ++i)
        cameras.push_back(orb::testrig::makeCamera(90.0 * i, layout.k0, centre, centre, layout.radius, layout.k1, 0.f, 0.f,
                                                   layout.pitch));
    return cameras;
}

// Smooth value noise over azimuth and elevation, with cells of `cellDegrees`.
class DirectionTexture {
public:
    explicit DirectionTexture(double cellDegrees, unsigned seed = 7) : cell(cellDegrees * CV_PI / 180.0)
    {
        cols = static_cast<int>(std::ceil(2.0 * CV_PI / cell));
        rows = static_cast<int>(std::ceil(CV_PI / cell)) + 2;
        grid.create(rows, cols, CV_32F);
        cv::RNG rng(seed);
        rng.fill(grid, cv::RNG::UNIFORM, 20.0, 235.0);
    }

    float at(const cv::Vec3d& direction) const
    {
        const double az = std::atan2(direction[1], direction[0]) + CV_PI;
        const double el = std::asin(std::max(-1.0, std::min(1.0, -direction[2] / cv::norm(direction)))) + CV_PI / 2;
        const double u = az / cell;
        const double v = el / cell;
        const int u0 = static_cast<int>(std::floor(u));
        const int v0 = std::min(static_cast<int>(std::floor(v)), rows - 2);
        const double fu = u - u0;
        const double fv = v - v0;
        auto g = [&](int r, int c) { return grid.at<float>(r, ((c % cols) + cols) % cols); };
        return static_cast<float>((1 - fv) * ((1 - fu) * g(v0, u0) + fu * g(v0, u0 + 1)) +
                                  fv * ((1 - fu) * g(v0 + 1, u0) + fu * g(v0 + 1, u0 + 1)));
    }

private:
    double cell;
    int rows = 0;
    int cols = 0;
    cv::Mat grid;
};

// Renders every camera's 8-bit BGR view of a sphere of `sphereRadius` around the
// rig origin whose surface carries `texture` (by direction from the origin).
// A radius of 0 puts the texture at infinity.
inline std::vector<cv::Mat> renderSphere(const std::vector<orb::CameraIntrinsics>& cameras, const RigLayout& layout,
                                         const DirectionTexture& texture, double sphereRadius)
{
    std::vector<cv::Mat> images;
    for (const orb::CameraIntrinsics& camera : cameras) {
        cv::Matx33d rotation;
        cv::Vec3d translation;
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                rotation(r, c) = camera.tmBToC(r, c);
            translation[r] = camera.tmBToC(r, 3);
        }
        const cv::Vec3d origin = -(rotation.t() * translation);
        cv::Mat image(layout.imageSize, layout.imageSize, CV_8UC3, cv::Scalar::all(0));
        for (int y = 0; y < layout.imageSize; ++y) {
            for (int x = 0; x < layout.imageSize; ++x) {
                const double dx = x - camera.centre(0);
                const double dy = y - camera.centre(1);
                const double radius = std::hypot(dx, dy);
                // Invert radius = k0 (theta + k1 theta^3) by Newton steps.
                double theta = radius / layout.k0;
                for (int it = 0; it < 8; ++it) {
                    const double f = layout.k0 * (theta + layout.k1 * theta * theta * theta) - radius;
                    theta -= f / (layout.k0 * (1.0 + 3.0 * layout.k1 * theta * theta));
                }
                if (theta > 1.5)
                    continue;
                const double s = radius > 0 ? std::sin(theta) / radius : 0.0;
                const cv::Vec3d dirC(std::cos(theta), dx * s, dy * s);
                const cv::Vec3d dirB = rotation.t() * dirC;
                cv::Vec3d seen = dirB;
                if (sphereRadius > 0) {
                    const double b = origin.dot(dirB);
                    const double t = -b + std::sqrt(b * b - origin.dot(origin) + sphereRadius * sphereRadius);
                    seen = origin + t * dirB;
                }
                const uchar grey = cv::saturate_cast<uchar>(texture.at(seen));
                image.at<cv::Vec3b>(y, x) = cv::Vec3b(grey, grey, grey);
            }
        }
        images.push_back(image);
    }
    return images;
}

} // namespace synthetic
