#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// Exposure gains of a take, carried from frame to frame in order, so that noise
// in the estimate does not make the panorama's brightness pulse: a small change
// is followed only by a share of (1 - keep) per frame, while a change beyond the
// tolerance (the light or the exposure really changed) is taken at once.
class GainHistory {
public:
    explicit GainHistory(double keep = 0.8, double tolerance = 0.03);

    // The gains to use for this frame; remembers them for the next. A different
    // number of parts starts afresh.
    std::vector<cv::Vec3d> smooth(const std::vector<cv::Vec3d>& gains);

    void reset() { previous.clear(); }

private:
    double keep;
    double tolerance;
    std::vector<cv::Vec3d> previous;
};

} // namespace orb
