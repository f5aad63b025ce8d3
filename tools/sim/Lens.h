#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace sim {

// Polynomial fisheye lens: image radius = k0 (theta + k1 theta^3 + k2 theta^5 + k3 theta^7)
// for a ray at angle theta from the optical axis. Camera-frame directions are
// (optical, along image x, along image y); pixel positions have their origin at the
// centre of the top-left pixel.
class FisheyeLens {
public:
    // Throws std::runtime_error unless the radius grows strictly from 0 to maxTheta.
    FisheyeLens(const cv::Vec4d& coeffs, const cv::Point2d& centre, double maxTheta);

    const cv::Vec4d& coeffs() const { return coeffs_; }
    const cv::Point2d& centre() const { return centre_; }
    double maxTheta() const { return maxTheta_; }
    double maxRadius() const { return maxRadius_; }

    double radius(double theta) const;
    double radiusSlope(double theta) const;
    // Inverse of radius() on [0, maxRadius], accurate to about 1e-12 rad.
    // Radii beyond maxRadius return a value above maxTheta.
    double theta(double radius) const;

    // False when the direction is more than maxTheta from the optical axis.
    bool project(const cv::Vec3d& dirC, cv::Point2d& pixel) const;
    // Unit camera-frame direction seen at a pixel; false outside the image circle.
    bool unproject(const cv::Point2d& pixel, cv::Vec3d& dirC) const;

private:
    double thetaByBisection(double radius) const;

    cv::Vec4d coeffs_;
    cv::Point2d centre_;
    double maxTheta_;
    double maxRadius_;
    // theta at evenly spaced radii: the start of the Newton refinement.
    std::vector<double> thetaTable_;
};

} // namespace sim
} // namespace orb
