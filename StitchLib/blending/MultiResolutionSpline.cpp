#include "StitchLib/blending/MultiResolutionSpline.h"

#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/FeatherRows.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/PyramidBands.h"
#include "StitchLib/blending/SplineLevels.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <typeinfo>
#include <utility>
#include <vector>

namespace orb {

namespace {

// Decomposition stops once a level this short has been made.
const int kMinLevelRows = 32;

} // namespace

MultiResolutionSpline::MultiResolutionSpline(PyramidGeneratorBase& generator, BlenderBase& blender)
    : generator(generator), blender(blender)
{
}

MultiResolutionSpline::~MultiResolutionSpline() = default;

bool MultiResolutionSpline::standardCollaborators() const
{
    // Exactly these types: a derived generator or blender may change a step.
    return typeid(generator) == typeid(OpenCVPyramidGenerator) && typeid(blender) == typeid(FeatherBlender);
}

MaskedImage MultiResolutionSpline::spline(MaskedImageSet& images)
{
    // Levels left over from a call that failed would be summed into this one.
    pyramid.clear();
    try {
        decompose(images);
        return reconstruct(images);
    } catch (...) {
        pyramid.clear();
        throw;
    }
}

void MultiResolutionSpline::decompose(MaskedImageSet& images)
{
    // The first and the last image take turns winning contested pixels of the
    // reduced contributions, so neither side of a seam drifts level by level.
    bool lastWins = true;
    while (pyramid.empty() || pyramid.back().rows() > kMinLevelRows) {
        MaskedImageSet next;
        MaskedImage plus;
        MaskedImage minus;
        const int count = static_cast<int>(images.numImages());
        for (int i = 0; i < count; ++i) {
            MaskedImage& image = images.image(i);
            MaskedImage reduced = generator.scaleDown(image);
            next.addImage(reduced);
            if (standardCollaborators()) {
                // With one image its bands are the level; with more they are
                // replaced by blends, so borrowing the first image's masks
                // never lets a result share a buffer with the caller's images.
                SplineLevels::addLevelBands(image, reduced, i == 0, count > 1, SplineLevels::MinusBand::OverExpansion, plus,
                                           minus);
                image.release();
                continue;
            }
            MaskedImage expanded = generator.scaleUp(reduced, image.rows(), image.cols());
            reduced.release();
            expanded.contributingPixels() = image.contributingPixels();

            MaskedImage plusBand = image - expanded;
            plus = i == 0 ? std::move(plusBand) : blender.blend(plus, plusBand);
            plusBand.release();

            MaskedImage minusBand = expanded - image;
            // Neither the full-size image nor its expansion is needed any more;
            // free them before the blend allocates its own planes.
            expanded.release();
            image.release();
            minus = i == 0 ? std::move(minusBand) : blender.blend(minus, minusBand);
        }
        next.fixMaskOverlaps(lastWins);
        lastWins = !lastWins;
        pyramid.emplace_back(std::move(plus), std::move(minus));
        images = std::move(next);
    }
}

cv::Mat MultiResolutionSpline::splineImage(MaskedImageSet& images, bool withAlpha)
{
    if (!standardCollaborators()) {
        return spline(images).cvMat(withAlpha);
    }
    pyramid.clear();
    try {
        decompose(images);
        MaskedImage result = reconstructAbove(images);
        cv::Mat image = SplineLevels::collapseLevelInterleaved(result, pyramid.front(), withAlpha);
        pyramid.clear();
        return image;
    } catch (...) {
        pyramid.clear();
        throw;
    }
}

MaskedImage MultiResolutionSpline::reconstructAbove(MaskedImageSet& coarsest)
{
    MaskedImage result = blender.blend(coarsest);
    while (pyramid.size() > 1) {
        result = SplineLevels::collapseLevel(result, pyramid.back());
        pyramid.pop_back();
    }
    return result;
}

MaskedImage MultiResolutionSpline::reconstruct(MaskedImageSet& coarsest)
{
    MaskedImage result = blender.blend(coarsest);
    cv::Mat alpha;
    while (!pyramid.empty()) {
        LaplacianPyramidLevel& level = pyramid.back();
        if (standardCollaborators()) {
            result = SplineLevels::collapseLevel(result, level);
        } else {
            result = generator.scaleUp(result, level.rows(), level.cols());
            result = level.plusDelta() + result;
            result = result - level.minusDelta();
        }
        alpha = level.plusDelta().contributingPixels();
        pyramid.pop_back();
    }
    // The alpha is the blended finest contribution, as the blender made it.
    result.contributingPixels() = alpha;
    return result;
}

} // namespace orb
