#include "StitchLib/blending/BlendingOpenCV.h"

#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MaskedImage.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/blending/Stopwatch.h"

#include <algorithm>

namespace orb {

namespace {

// The set of the parts, with eroded valid masks. The caller's vector is empty
// afterwards; each part is released as soon as it is converted, so that the
// four-channel parts and the planes of all four are never held at once. A bad
// part throws before anything is converted, and the caller keeps its parts.
MaskedImageSet partsAsSet(std::vector<cv::Mat>& parts)
{
    const bool allConvertible = !parts.empty() && std::all_of(parts.begin(), parts.end(), [](const cv::Mat& part) {
        return part.type() == CV_8UC3 || part.type() == CV_8UC4;
    });
    if (!allConvertible) {
        // Throws the set's or the image's own error.
        MaskedImageSet set(parts, true);
        parts.clear();
        return set;
    }
    MaskedImageSet set;
    for (cv::Mat& part : parts) {
        set.addImage(MaskedImage(part, true));
        part.release();
    }
    parts.clear();
    return set;
}

} // namespace

cv::Mat BlendingOpenCV::process(std::vector<cv::Mat>& parts)
{
    if (parts.size() != 4) {
        return cv::Mat();
    }
    return blend(parts);
}

cv::Mat BlendingOpenCV::blend(std::vector<cv::Mat>& parts)
{
    Stopwatch fullBlend("full blend", false);
    fullBlend.start();

    // Eroding the alpha keeps the soft, interpolated rim of each camera's
    // area out of the valid pixels.
    MaskedImageSet set = partsAsSet(parts);

    Stopwatch findSeams("find seams", true);
    {
        QualitySeamFinder seamFinder;
        // The copy shares its mask buffers, so the set sees the seams.
        seamFinder.findSeam(set);
    }
    findSeams.stop();
    findSeams.display();

    FeatherBlender blender;
    OpenCVPyramidGenerator generator;
    MultiResolutionSpline multiResolutionSpline(generator, blender);

    Stopwatch splineWatch("spline", true);
    MaskedImage blended = multiResolutionSpline.spline(set);
    splineWatch.stop();
    splineWatch.display();
    fullBlend.stop();

    cv::Mat panorama = blended.cvMat(true);
    blended.release();
    PlaneKernels::releaseSparePlanes();
    return panorama;
}

} // namespace orb
