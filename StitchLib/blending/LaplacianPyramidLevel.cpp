#include "StitchLib/blending/LaplacianPyramidLevel.h"

#include <utility>

namespace orb {

LaplacianPyramidLevel::LaplacianPyramidLevel(MaskedImage plusDelta, MaskedImage minusDelta)
    : plusDeltaImage(std::move(plusDelta)), minusDeltaImage(std::move(minusDelta))
{
}

} // namespace orb
