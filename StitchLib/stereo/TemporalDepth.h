#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <deque>
#include <vector>

namespace orb {
namespace Stereo {

// Depth of a take, carried from frame to frame in order, so that a static scene maps
// every frame to nearly the same panorama geometry instead of following the matching
// noise: wherever what the cameras see has stayed the same over the last frames, the
// depth is the mean of those frames' own depths over the window, the oldest of them
// standing in for the frames before it. From one frame to the next a cell moves by at
// most 1 / window of the difference between two frames' depths; a median could jump
// by the whole difference where the depth is in two minds (outlines).
//
// The state is a function of the last `window` frames only. A run that starts
// inside a take (a worker's block, a shard, a segment) first feeds the window - 1
// frames before its first one through remember() (read and measured, not stitched)
// and then gives exactly the depth a single run over the whole take gives.
//
// A cell counts as unchanged over a frame when, in every camera that sees it, the
// reduced grey image of that frame lies within a change level of the current frame's:
// six times the two frames' noise as their differences show it, so that on a quiet
// camera a slow motion is seen after a frame or two (an outline drifting under a held
// depth differs from the frame's own by up to 70 levels after 8x reduction).
// Comparing each held frame with the current one (not only neighbouring frames with
// each other) lets slow motion add up until it is seen, and a place an object has
// left keeps none of the frames it was there.
class DepthHistory {
public:
    // Camera images are compared after area reduction by `reduction`; a reduced pixel
    // differs when its grey value moved by more than the change level, which is at
    // most `threshold` levels.
    explicit DepthHistory(int window = 24, int reduction = 8, double threshold = 6.0);

    // Replaces each cell of the filled depth panorama (H x 2H inverse depth) by the
    // mean over the window of the depths of the frames over which its view stayed the
    // same (this frame's and up to window - 1 before it; the oldest of them counts
    // for the rest of the window), then remembers this frame. A panorama
    // size, camera count or image size other than the previous frame's starts afresh.
    void stabilise(cv::Mat_<float>& filledDepth, const std::vector<cv::Mat>& images,
                   const std::vector<CameraIntrinsics>& cameras, float maxAngle);

    // Remembers a frame without stabilising anything: the frames before a run's first.
    void remember(const cv::Mat_<float>& filledDepth, const std::vector<cv::Mat>& images,
                  const std::vector<CameraIntrinsics>& cameras);

    // Forgets every frame.
    void reset();

    // Frames the state depends on: a run needs window() - 1 frames before its first.
    int window() const { return windowFrames; }

    // Share of cells the last call held over more than one frame (0 to 1).
    double keptShare() const { return kept; }

    // Where the last call held more than one frame (8-bit, 255 held, the depth
    // panorama's size); empty after a call that had no earlier frame.
    const cv::Mat& unchangedCells() const { return unchanged; }

    // How many frames (1 to window) each cell's depth came from in the last call
    // (8-bit, the depth panorama's size); empty when there was no earlier frame.
    const cv::Mat& heldFrames() const { return held; }

private:
    struct Frame {
        std::vector<cv::Mat> greys;
        cv::Mat_<float> depth;
    };

    bool fits(const cv::Size& depthSize, const std::vector<cv::Mat>& greys) const;
    void push(Frame frame);
    cv::Mat sameViewFrames(const cv::Size& size, const std::vector<cv::Mat>& greys,
                           const std::vector<CameraIntrinsics>& cameras, float maxAngle) const;
    // Per cell of the depth panorama and camera, the reduced grey pixel (y * cols + x)
    // that sees the cell's direction, -1 where none does: the same for every frame of
    // a rig, so worked out once and kept while the sizes and calibration stay.
    const std::vector<int>& sightings(const cv::Size& size, const std::vector<cv::Mat>& greys,
                                      const std::vector<CameraIntrinsics>& cameras, float maxAngle) const;

    int windowFrames;
    int reduction;
    double threshold;
    std::deque<Frame> frames;  // oldest first
    cv::Mat unchanged;
    cv::Mat held;
    double kept = 0.0;
    mutable std::vector<float> sightingsKey;
    mutable std::vector<int> sightingsAt;
};

} // namespace Stereo
} // namespace orb
