// An unknown lens version is a programming error that must stop the process in
// every build type, so the assertion stays on even where NDEBUG is defined.
#ifdef NDEBUG
#undef NDEBUG
#endif
#include <cassert>

#include "BaseLib/LensParameters.h"

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
