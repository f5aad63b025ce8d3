#pragma once

#include "StitchLib/blending/BlendingBase.h"
#include "StitchLib/blending/SeamFinderBase.h"

namespace orb {

// The default blend with a clean coverage edge: the soft rim of each part keeps
// its restored colour instead of being eroded away (so coverage reaches as far as
// the cameras see), and the pyramid is resampled in 16 bits (so no washed-out
// fringe appears where a part's valid region ends).
// Seams come from the given finder, or from the default one.
class CleanEdgeBlending : public BlendingBase {
public:
    explicit CleanEdgeBlending(SeamFinderBase* seamFinder = nullptr);

    // Blends exactly four BGRA parts in rig order into a CV_8UC4 panorama; any
    // other count gives an empty matrix and leaves the vector alone. On success
    // the parts are taken over and the vector is empty.
    cv::Mat process(std::vector<cv::Mat>& parts) override;

private:
    SeamFinderBase* seamFinder;
};

} // namespace orb
