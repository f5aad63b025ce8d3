#pragma once

#include "StitchLib/blending/SeamFinderBase.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// Seams with memory, for the frames of a take in order: the default seams are
// found first, then in every row where the view around both the new and the
// previous frame's seam is unchanged, the previous seam is kept. Noise then cannot
// make the seam wander from frame to frame, which shows as flicker along it.
//
// Only the neighbouring pairs' overlap bands are held (rows below the top strip,
// where exactly two parts hold data); the strip at the zenith keeps its new seams.
class StableSeamFinder : public SeamFinderBase {
public:
    // Where the view is unchanged since the previous frame: 8-bit, 255 for
    // unchanged, panorama geometry at any size twice as wide as high. An empty
    // mask (the first frame) holds nothing.
    void setUnchanged(const cv::Mat& unchanged);

    void findSeam(MaskedImageSet set) override;
    void findSeamPair(MaskedImage a, MaskedImage b) override;

    // Forgets the previous frame's seams.
    void reset();

    // Rows whose seam was held in the last call, over all pairs.
    long long heldRows() const { return held; }

private:
    cv::Mat unchanged;
    cv::Size previousSize;
    // Per pair and row: the last column of the left part in the pair's overlap band
    // (-1 where the row has no such band).
    std::vector<std::vector<int>> previous;
    long long held = 0;
};

} // namespace orb
