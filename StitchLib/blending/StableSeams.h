#pragma once

#include "StitchLib/blending/SeamFinderBase.h"

#include <opencv2/core.hpp>

#include <deque>
#include <vector>

namespace orb {

// The columns (first and last) where two 8-bit masks of `cols` columns are both
// non-zero, when they form one run; -1 and -1 when there are none or several runs.
struct SharedRun {
    int first = -1;
    int last = -1;
};
SharedRun sharedRun(const unsigned char* a, const unsigned char* b, int cols);

// Seams for the frames of a take in order, which stay put where the view does. Each
// frame's seams are found afresh; then, in every row of a neighbouring pair's overlap
// band where the view has stayed the same over the last frames, the seam is the
// median of those frames' own fresh seams over the window, the oldest of them
// standing in for the frames before it. On a static take the fresh seams follow the
// sensor noise and now and then take the other way round an outline (a jump of ten
// pixels or more, seen as a pop); the median keeps the way most of the frames took
// (the first frame's while the window fills), and a moving object, which changes
// the view, is followed at once.
//
// The state is the fresh seams of the last window() frames, never the seams this
// class chose, so it is a function of those frames alone: a run that starts inside a
// take reproduces it by finding the seams of the window() - 1 frames before its first.
//
// Only rows of the neighbouring pairs' bands below the strip at the zenith are held,
// and only where the two parts split the band as left and right halves.
class StableSeamFinder : public SeamFinderBase {
public:
    // Frames whose fresh seams are kept, the current one included (1 holds nothing).
    explicit StableSeamFinder(int window = 5);

    // How many frames each place's view has stayed the same, the current one included
    // (8-bit, 1 or more; panorama geometry at any size twice as wide as high), for the
    // next findSeam(). An empty map (no earlier frame) holds nothing.
    void setHeldFrames(const cv::Mat& heldFrames);

    void findSeam(MaskedImageSet set) override;
    void findSeamPair(MaskedImage a, MaskedImage b) override;
    int framesBefore() const override { return windowFrames - 1; }

    // Forgets the earlier frames' seams.
    void reset();

    // Rows whose seam the last findSeam() moved off the fresh one, over all pairs.
    long long heldRows() const { return held; }

private:
    // Per pair and row: the last column of the left part in the pair's overlap band,
    // -2 where the row has no band the two split left and right.
    using Seams = std::vector<std::vector<int>>;

    int windowFrames;
    cv::Mat heldMap;
    cv::Size seamsSize;
    std::deque<Seams> fresh;  // oldest first, the current frame's last
    long long held = 0;
};

} // namespace orb
