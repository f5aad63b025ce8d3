#pragma once

#include "StitchLib/blending/BlenderBase.h"

namespace orb {

// Weighted average whose weights are the contribution masks softened by a
// small blur, so colours cross-fade over a few pixels at a seam. All sums are
// 8-bit and saturate; contributions are expected to be exclusive.
class FeatherBlender : public BlenderBase {
public:
    MaskedImage blend(MaskedImage first, MaskedImage second) override;
    MaskedImage blend(MaskedImageSet images) override;
};

} // namespace orb
