#include "sim/Lens.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace orb {
namespace sim {

namespace {
const int kTableSteps = 4096;
}

FisheyeLens::FisheyeLens(const cv::Vec4d& coeffs, const cv::Point2d& centre, double maxTheta)
    : coeffs_(coeffs), centre_(centre), maxTheta_(maxTheta), maxRadius_(0.0)
{
    if (!(coeffs_[0] > 0.0) || !(maxTheta_ > 0.0) || maxTheta_ >= CV_PI)
        throw std::runtime_error("FisheyeLens FisheyeLens() needs k0 > 0 and 0 < maxTheta < pi");
    // The inversion relies on a strictly increasing radius; check the slope densely.
    const int checks = 4000;
    for (int i = 0; i <= checks; ++i) {
        if (!(radiusSlope(maxTheta_ * i / checks) > 0.0))
            throw std::runtime_error("FisheyeLens FisheyeLens() radius is not strictly increasing up to maxTheta");
    }
    maxRadius_ = radius(maxTheta_);
    thetaTable_.resize(kTableSteps + 1);
    for (int i = 0; i <= kTableSteps; ++i)
        thetaTable_[i] = thetaByBisection(maxRadius_ * i / kTableSteps);
}

double FisheyeLens::radius(double theta) const
{
    const double t2 = theta * theta;
    return coeffs_[0] * theta * (1.0 + t2 * (coeffs_[1] + t2 * (coeffs_[2] + t2 * coeffs_[3])));
}

double FisheyeLens::radiusSlope(double theta) const
{
    const double t2 = theta * theta;
    return coeffs_[0] * (1.0 + t2 * (3.0 * coeffs_[1] + t2 * (5.0 * coeffs_[2] + t2 * 7.0 * coeffs_[3])));
}

double FisheyeLens::thetaByBisection(double r) const
{
    double lo = 0.0, hi = maxTheta_;
    for (int i = 0; i < 200 && hi - lo > 1e-15; ++i) {
        const double mid = 0.5 * (lo + hi);
        (radius(mid) < r ? lo : hi) = mid;
    }
    return 0.5 * (lo + hi);
}

double FisheyeLens::theta(double r) const
{
    if (r <= 0.0)
        return 0.0;
    if (r > maxRadius_)
        return std::nextafter(maxTheta_, 4.0) + (r - maxRadius_) / coeffs_[0];
    const double pos = r / maxRadius_ * kTableSteps;
    const int i = std::min(static_cast<int>(pos), kTableSteps - 1);
    const double f = pos - i;
    double lo = thetaTable_[i], hi = thetaTable_[i + 1];
    double t = lo + f * (hi - lo);
    // Newton from the table estimate, kept inside the bracket so it cannot diverge.
    // The table is fine enough that one step usually meets the tolerance.
    const double tolerance = 1e-12 * coeffs_[0];  // pixels, about 1e-12 rad
    for (int iter = 0; iter < 100; ++iter) {
        const double err = radius(t) - r;
        if (std::abs(err) <= tolerance || hi - lo <= 1e-15)
            break;
        if (err > 0.0)
            hi = t;
        else
            lo = t;
        double next = t - err / radiusSlope(t);
        if (!(next > lo && next < hi))
            next = 0.5 * (lo + hi);
        t = next;
    }
    return t;
}

bool FisheyeLens::project(const cv::Vec3d& dirC, cv::Point2d& pixel) const
{
    const double rho = std::sqrt(dirC[1] * dirC[1] + dirC[2] * dirC[2]);
    const double th = std::atan2(rho, dirC[0]);
    if (th > maxTheta_ || (rho == 0.0 && dirC[0] <= 0.0))
        return false;
    if (rho == 0.0) {
        pixel = centre_;
        return true;
    }
    const double r = radius(th);
    pixel = cv::Point2d(centre_.x + r * dirC[1] / rho, centre_.y + r * dirC[2] / rho);
    return true;
}

bool FisheyeLens::unproject(const cv::Point2d& pixel, cv::Vec3d& dirC) const
{
    const double dx = pixel.x - centre_.x, dy = pixel.y - centre_.y;
    const double rho = std::sqrt(dx * dx + dy * dy);
    if (rho > maxRadius_)
        return false;
    if (rho == 0.0) {
        dirC = cv::Vec3d(1.0, 0.0, 0.0);
        return true;
    }
    const double th = theta(rho);
    const double s = std::sin(th) / rho;
    dirC = cv::Vec3d(std::cos(th), s * dx, s * dy);
    return true;
}

} // namespace sim
} // namespace orb
