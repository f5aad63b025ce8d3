#pragma once

#include "StitchLib/blending/MaskedImage.h"

namespace orb {

// One band of an 8-bit Laplacian pyramid. Unsigned planes cannot hold the
// signed difference between an image and its expanded reduction, so the band
// is kept as its positive and its negative part.
class LaplacianPyramidLevel {
public:
    // Shares both images' buffers.
    LaplacianPyramidLevel(MaskedImage plusDelta, MaskedImage minusDelta);
    LaplacianPyramidLevel(LaplacianPyramidLevel const&) = default;
    LaplacianPyramidLevel(LaplacianPyramidLevel&&) = default;

    // max(image - expanded, 0) per colour plane.
    MaskedImage& plusDelta() { return plusDeltaImage; }
    // max(expanded - image, 0) per colour plane.
    MaskedImage& minusDelta() { return minusDeltaImage; }

    int rows() const { return plusDeltaImage.rows(); }
    int cols() const { return minusDeltaImage.cols(); }

private:
    MaskedImage plusDeltaImage;
    MaskedImage minusDeltaImage;
};

} // namespace orb
