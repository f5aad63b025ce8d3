#pragma once

#include "StitchLib/blending/PyramidGeneratorBase.h"

namespace orb {

// Gaussian pyramid steps with mask-normalised filtering: resampled colour is
// the mean of valid source pixels only, and masks are re-thresholded to 0/255.
class OpenCVPyramidGenerator : public PyramidGeneratorBase {
public:
    MaskedImage scaleUp(MaskedImage image, int rows, int cols) override;
    MaskedImage scaleDown(MaskedImage image) override;
};

} // namespace orb
