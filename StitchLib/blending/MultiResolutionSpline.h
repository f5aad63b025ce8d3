#pragma once

#include "StitchLib/blending/BlenderBase.h"
#include "StitchLib/blending/LaplacianPyramidLevel.h"
#include "StitchLib/blending/MaskedImage.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/PyramidGeneratorBase.h"

#include <vector>

namespace orb {

// Blends a set of parts band by band (Laplacian pyramid spline), so that the
// cross-fade at a seam is as wide as the detail it joins.
class MultiResolutionSpline {
public:
    MultiResolutionSpline(PyramidGeneratorBase& generator, BlenderBase& blender);
    ~MultiResolutionSpline();

    // Consumes the set: it is reduced in place and its full-size images are
    // released as soon as their bands exist; on return it holds the coarsest
    // level. The result has the size of the set's images.
    MaskedImage spline(MaskedImageSet& images);
    // spline(images).cvMat(withAlpha): with the standard generator and blender
    // the finest level is collapsed straight into the interleaved image.
    cv::Mat splineImage(MaskedImageSet& images, bool withAlpha);

private:
    // With the standard generator and blender, a level's expansion, bands
    // and blends run as one pass over bands of rows, with the same bits.
    bool standardCollaborators() const;
    void decompose(MaskedImageSet& images);
    MaskedImage reconstruct(MaskedImageSet& coarsest);
    // Collapses every level but the finest (which stays in the pyramid); the
    // coarsest when the pyramid has one level.
    MaskedImage reconstructAbove(MaskedImageSet& coarsest);

    PyramidGeneratorBase& generator;
    BlenderBase& blender;
    std::vector<LaplacianPyramidLevel> pyramid;
};

} // namespace orb
