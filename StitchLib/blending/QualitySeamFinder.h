#pragma once

#include "StitchLib/blending/SeamFinderBase.h"

namespace orb {

// Splits the overlap of each pair of neighbouring parts along the bottom-to-top
// path where the two parts agree best in fine (band-pass) detail.
class QualitySeamFinder : public SeamFinderBase {
public:
    // Expects the four parts in rig order; image j and image (j + 1) mod 4 are
    // neighbours, the first of each pair on the left.
    void findSeam(MaskedImageSet set) override;

    // A keeps the overlap left of the seam, B the part right of it. The last
    // image row and the last two columns are left undecided.
    void findSeamPair(MaskedImage a, MaskedImage b) override;
};

} // namespace orb
