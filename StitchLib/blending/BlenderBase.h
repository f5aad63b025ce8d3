#pragma once

#include "StitchLib/blending/MaskedImage.h"
#include "StitchLib/blending/MaskedImageSet.h"

namespace orb {

// Merges masked images into one. The result has the inputs' size and 0/255
// masks: its contribution is where any input contributes.
class BlenderBase {
public:
    virtual MaskedImage blend(MaskedImage first, MaskedImage second) = 0;
    virtual MaskedImage blend(MaskedImageSet images) = 0;

protected:
    // Blenders are never deleted through this interface.
    ~BlenderBase() = default;
};

} // namespace orb
