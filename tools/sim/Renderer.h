#pragma once

#include "sim/Rig.h"
#include "sim/Scene.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace sim {

// Ray-traces camera images and the true panorama of a scene, with n x n supersampling
// per pixel. Every pixel depends only on its own rays, so the parallel drivers give
// exactly the serial result.
class Renderer {
public:
    Renderer(const Scene& scene, int supersample);

    // 8-bit BGR fisheye image of the camera's image size. Samples beyond the lens's
    // maximum angle are black, so the image circle's edge is anti-aliased too.
    cv::Mat renderCamera(const RigCamera& camera, bool parallel = true) const;

    // The panorama seen from the rig origin, height rows by 2 height columns: 8-bit BGR
    // colour, and the inverse distance (CV_32F) along each pixel's centre ray.
    void renderTruth(int height, cv::Mat& colour, cv::Mat& inverseDepth, bool parallel = true) const;

    // For each pixel of a panorama of height rows, how many of the cameras see the
    // surface point on its centre ray (8-bit, 0 where the ray hits nothing): within
    // maxTheta of the camera's optical axis, with nothing in between.
    cv::Mat renderSightings(int height, const std::vector<RigCamera>& rig, double maxTheta,
                            bool parallel = true) const;

    // Ray of a camera pixel (origin at the camera centre, unit direction in the body
    // frame); false outside the image circle.
    static bool cameraRay(const RigCamera& camera, const cv::Point2d& pixel, cv::Vec3d& origin,
                          cv::Vec3d& dir);

private:
    const Scene& scene_;
    int supersample_;
};

// Unit direction in the body frame of panorama position (row, col), fractional
// positions allowed, for a panorama of the given height and twice as many columns.
cv::Vec3d panoramaDirection(double row, double col, int height);

} // namespace sim
} // namespace orb
