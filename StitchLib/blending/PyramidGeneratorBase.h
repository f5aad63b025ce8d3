#pragma once

#include "StitchLib/blending/MaskedImage.h"

namespace orb {

// Halves and expands masked images for the multi-resolution spline, keeping
// the colour of invalid pixels out of valid ones.
class PyramidGeneratorBase {
public:
    // Expands an image to exactly rows x cols; each must halve (rounding up)
    // to the image's size.
    virtual MaskedImage scaleUp(MaskedImage image, int rows, int cols) = 0;
    // Halves an image to (rows + 1) / 2 x (cols + 1) / 2.
    virtual MaskedImage scaleDown(MaskedImage image) = 0;

protected:
    // Generators are never deleted through this interface.
    ~PyramidGeneratorBase() = default;
};

} // namespace orb
