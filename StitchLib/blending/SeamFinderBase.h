#pragma once

#include "StitchLib/blending/MaskedImage.h"
#include "StitchLib/blending/MaskedImageSet.h"

#include <opencv2/core.hpp>

namespace orb {

// Chooses, for the overlaps of neighbouring parts, which part contributes
// where. Implementations narrow the contribution masks in place: the
// arguments are copies, but they share their mask buffers with the caller.
class SeamFinderBase {
public:
    virtual void findSeam(MaskedImageSet set) = 0;
    virtual void findSeamPair(MaskedImage a, MaskedImage b) = 0;

    // Frames before the current one whose images the next seams depend on (0 for
    // seams found from the frame alone): a run that starts inside a take has the
    // seams of that many frames before its first found, in take order.
    virtual int framesBefore() const { return 0; }

    // Turns every column but the last into one vertical run that crosses the
    // middle half of the mask, so that a seam walking from bottom to top never
    // meets a gap. Element writes only; the matrix keeps its buffer.
    static void simplifyMask(cv::Mat& mask);

protected:
    // Seam finders live on the stack and are never deleted through the base.
    ~SeamFinderBase() = default;
};

} // namespace orb
