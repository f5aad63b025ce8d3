#include "StitchLib/blending/BlendingOpenCV.h"

#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MaskedImage.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/blending/Stopwatch.h"


namespace orb {


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
    MaskedImageSet set = takeParts(parts, true);

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
    return panorama;
}

} // namespace orb
