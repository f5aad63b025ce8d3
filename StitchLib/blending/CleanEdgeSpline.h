#pragma once

#include "StitchLib/blending/BlenderBase.h"
#include "StitchLib/blending/LaplacianPyramidLevel.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/PyramidGeneratorBase.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <vector>

namespace orb {

// The multi-resolution spline with both halves of every band kept over the image's
// own valid pixels. The default spline keeps the negative half (expanded - image)
// only where the expansion is valid; along the edge of the coverage the expansion's
// valid area ends a little inside the image's, so there the band's dark detail is
// dropped at every level and the edge comes out washed out. Otherwise the same
// steps: decompose band by band, blend each band, add the bands back up.
class CleanEdgeSpline {
public:
    CleanEdgeSpline(PyramidGeneratorBase& generator, BlenderBase& blender);

    // Consumes the set as the default spline does; the result has the set's size.
    MaskedImage spline(MaskedImageSet& images);
    // spline(images).cvMat(withAlpha): with the standard generator and blender the
    // finest level is collapsed straight into the interleaved image, without the
    // five full-size planes of the last level's MaskedImage.
    cv::Mat splineImage(MaskedImageSet& images, bool withAlpha);

private:
    // The standard generator and blender run as fused passes over bands of rows
    // (same bits, far less memory); any other pair runs step by step.
    bool standardCollaborators() const;
    void decompose(MaskedImageSet& images);
    // Collapses the levels from the coarsest up to, not including, `keep` levels
    // (which stay in the pyramid); with keep == 0 the result is the whole spline.
    MaskedImage reconstruct(MaskedImageSet& coarsest, std::size_t keep);

    PyramidGeneratorBase& generator;
    BlenderBase& blender;
    std::vector<LaplacianPyramidLevel> pyramid;
};

} // namespace orb
