#include "StitchLib/blending/CleanEdgeBlending.h"

#include "StitchLib/blending/CoverageEdge.h"
#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/QualitySeamFinder.h"

namespace orb {

namespace {

// Rim pixels fainter than this carry too little of the image to restore.
const int kMinRimAlpha = 64;

} // namespace

CleanEdgeBlending::CleanEdgeBlending(SeamFinderBase* seamFinder) : seamFinder(seamFinder) {}

cv::Mat CleanEdgeBlending::process(std::vector<cv::Mat>& parts)
{
    if (parts.size() != 4)
        return cv::Mat();
    for (cv::Mat& part : parts)
        restoreRim(part, kMinRimAlpha);
    MaskedImageSet set(parts, false);
    parts.clear();
    if (seamFinder != nullptr) {
        seamFinder->findSeam(set);
    } else {
        QualitySeamFinder defaultSeams;
        defaultSeams.findSeam(set);
    }
    FeatherBlender blender;
    PrecisePyramidGenerator generator;
    MultiResolutionSpline spline(generator, blender);
    return spline.spline(set).cvMat(true);
}

} // namespace orb
