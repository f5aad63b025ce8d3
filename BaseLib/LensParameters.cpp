#include "BaseLib/LensParameters.h"

#include <cassert>

namespace orb {

float maxAngleForLensVersion(int lensVersion)
{
    switch (lensVersion) {
    case 0:
        return 1.4486f;
    case 1:
        return 1.6580628f;
    default:
        assert(false);
        return 0.0f;
    }
}

} // namespace orb
