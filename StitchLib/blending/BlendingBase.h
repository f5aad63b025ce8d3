#pragma once

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// The blending subsystem's one entry point: merges the panorama-sized parts of
// the full stitch into the finished panorama.
class BlendingBase {
public:
    BlendingBase() = default;
    virtual ~BlendingBase() = default;

    // Returns an empty matrix when the parts cannot be blended; callers must
    // not take that for a panorama.
    virtual cv::Mat process(std::vector<cv::Mat>& parts) = 0;
};

} // namespace orb
