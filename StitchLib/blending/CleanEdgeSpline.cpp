#include "StitchLib/blending/CleanEdgeSpline.h"

#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/SplineLevels.h"

#include <algorithm>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace orb {

namespace {

// Decomposition stops once a level this short has been made, as in the default.
const int kMinLevelRows = 32;

} // namespace

CleanEdgeSpline::CleanEdgeSpline(PyramidGeneratorBase& generator, BlenderBase& blender)
    : generator(generator), blender(blender)
{
}

bool CleanEdgeSpline::standardCollaborators() const
{
    // Exactly these types: a derived generator or blender may change a step.
    return typeid(generator) == typeid(OpenCVPyramidGenerator) && typeid(blender) == typeid(FeatherBlender);
}

MaskedImage CleanEdgeSpline::spline(MaskedImageSet& images)
{
    pyramid.clear();
    try {
        decompose(images);
        return reconstruct(images, 0);
    } catch (...) {
        pyramid.clear();
        throw;
    }
}

cv::Mat CleanEdgeSpline::splineImage(MaskedImageSet& images, bool withAlpha)
{
    if (!standardCollaborators())
        return spline(images).cvMat(withAlpha);
    pyramid.clear();
    try {
        decompose(images);
        MaskedImage result = reconstruct(images, 1);
        // The finest level's collapse carries its plus band's contribution, which is
        // what the step-by-step spline gives its result as alpha.
        cv::Mat image = SplineLevels::collapseLevelInterleaved(result, pyramid.front(), withAlpha);
        pyramid.clear();
        return image;
    } catch (...) {
        pyramid.clear();
        throw;
    }
}

void CleanEdgeSpline::decompose(MaskedImageSet& images)
{
    const bool fused = standardCollaborators();
    // The first and the last image take turns winning contested pixels of the
    // reduced contributions.
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
            if (fused) {
                SplineLevels::addLevelBands(image, reduced, i == 0, count > 1, SplineLevels::MinusBand::OverImage,
                                           plus, minus);
                image.release();
                continue;
            }
            MaskedImage expanded = generator.scaleUp(reduced, image.rows(), image.cols());
            reduced.release();
            // The expansion's colour with the image's masks: both halves of the
            // band are then kept exactly where the image holds data.
            MaskedImage expandedHere(expanded.red(), expanded.green(), expanded.blue(), image.validPixels(),
                                     image.contributingPixels());
            expanded.release();

            MaskedImage plusBand = image - expandedHere;
            plus = i == 0 ? std::move(plusBand) : blender.blend(plus, plusBand);
            plusBand.release();
            MaskedImage minusBand = expandedHere - image;
            expandedHere.release();
            image.release();
            minus = i == 0 ? std::move(minusBand) : blender.blend(minus, minusBand);
        }
        next.fixMaskOverlaps(lastWins);
        lastWins = !lastWins;
        pyramid.emplace_back(std::move(plus), std::move(minus));
        images = std::move(next);
    }
}

MaskedImage CleanEdgeSpline::reconstruct(MaskedImageSet& coarsest, std::size_t keep)
{
    const bool fused = standardCollaborators();
    MaskedImage result = blender.blend(coarsest);
    cv::Mat alpha;
    while (pyramid.size() > keep) {
        LaplacianPyramidLevel& level = pyramid.back();
        if (fused) {
            result = SplineLevels::collapseLevel(result, level);
        } else {
            result = generator.scaleUp(result, level.rows(), level.cols());
            result = level.plusDelta() + result;
            result = result - level.minusDelta();
        }
        alpha = level.plusDelta().contributingPixels();
        pyramid.pop_back();
    }
    if (!alpha.empty())
        result.contributingPixels() = alpha;
    return result;
}

} // namespace orb
