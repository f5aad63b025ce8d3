#include "StitchLib/blending/TemporalGains.h"

#include <cmath>
#include <stdexcept>

namespace orb {

GainHistory::GainHistory(double keep, double tolerance) : keep(keep), tolerance(tolerance)
{
    if (!(keep >= 0.0 && keep < 1.0) || !(tolerance >= 0.0))
        throw std::runtime_error("GainHistory keep must be in [0, 1) and tolerance non-negative");
}

std::vector<cv::Vec3d> GainHistory::smooth(const std::vector<cv::Vec3d>& gains)
{
    std::vector<cv::Vec3d> out = gains;
    if (previous.size() == gains.size()) {
        for (std::size_t i = 0; i < gains.size(); ++i) {
            for (int k = 0; k < 3; ++k) {
                const double before = previous[i][k];
                if (std::fabs(gains[i][k] - before) <= tolerance)
                    out[i][k] = keep * before + (1.0 - keep) * gains[i][k];
            }
        }
    }
    previous = out;
    return out;
}

} // namespace orb
