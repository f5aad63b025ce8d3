#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace Stereo {

// Depth of a take, carried from frame to frame in order: wherever what the
// cameras see has not changed since the previous frame, the previous frame's depth
// is kept exactly, so that a static scene maps every frame to the same panorama
// geometry (and the same coverage) instead of following the matching noise.
//
// Frames must come in take order through one object. Frames stitched in parallel
// each need the state of their predecessor: give each worker a run of consecutive
// frames (a shard, or a chunk of one) with its own history; the first frame of
// each run starts fresh, exactly as the first frame of the take does.
class DepthHistory {
public:
    // Camera images are compared after area reduction by this factor; a reduced
    // pixel has changed when its grey value moved by more than threshold levels.
    explicit DepthHistory(int reduction = 8, double threshold = 6.0);

    // Replaces the cells of the filled depth panorama (H x 2H inverse depth) whose
    // view is unchanged by the previous call's result, then remembers this frame.
    // The first call, and a call whose panorama size or camera count differs from
    // the previous one, keeps everything new.
    void stabilise(cv::Mat_<float>& filledDepth, const std::vector<cv::Mat>& images,
                   const std::vector<CameraIntrinsics>& cameras, float maxAngle);

    // Forgets the previous frame.
    void reset();

    // Share of cells the last call kept from the previous frame (0 to 1).
    double keptShare() const { return kept; }

    // Where the last call found the view unchanged (8-bit, 255 unchanged, the depth
    // panorama's size); empty after the first call.
    const cv::Mat& unchangedCells() const { return unchanged; }

private:
    cv::Mat changedCells(const cv::Size& size, const std::vector<cv::Mat>& greys,
                         const std::vector<CameraIntrinsics>& cameras, float maxAngle) const;

    int reduction;
    double threshold;
    std::vector<cv::Mat> previousGreys;
    cv::Mat_<float> previousDepth;
    cv::Mat unchanged;
    double kept = 0.0;
};

} // namespace Stereo
} // namespace orb
