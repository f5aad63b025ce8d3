#pragma once

#include "StitchLib/geometry/Rig.h"
#include "StitchLib/geometry/ScanImages.h"

#include <opencv2/core.hpp>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace orb {
namespace pipeline {

// Estimates the scene's inverse depth (1/metres from the rig origin) over a panorama
// of height x 2*height, the depth model that the parts are remapped with.
class DepthStage {
public:
    virtual ~DepthStage() = default;
    virtual ScanImages estimate(const Rig& rig, const std::vector<cv::Mat>& images, int height) = 0;

    // For stages that carry state over the frames of a take: how many frames before
    // the current one the state depends on (0: none), and how such a frame is taken
    // in without estimating anything for it. A run that starts inside a take feeds
    // the frames before its first through remember() and then estimates what a run
    // over the whole take would.
    virtual int framesBefore() const { return 0; }
    virtual void remember(const Rig&, const std::vector<cv::Mat>&, int) {}

    // Named figures about the last estimate, for reports (e.g. how much of each
    // overlap fell back to a coarser model); none by default.
    virtual std::vector<std::pair<std::string, double>> facts() const { return {}; }

    // False when the last estimate found the images contradicting the calibration:
    // the parts are then resampled as the seed does (a sharper kernel only sharpens
    // detail that lands in the wrong place).
    virtual bool geometryTrusted() const { return true; }
};

// The coarse model: one stereo depth profile per neighbouring pair, interpolated round
// the circle. The ground plane is a stage of its own and is not applied here.
class ProfileDepthStage : public DepthStage {
public:
    ScanImages estimate(const Rig& rig, const std::vector<cv::Mat>& images, int height) override;
};

// Post-processing of the four depth-aligned parts before blending (exposure matching,
// filling past the valid edge, ...). Parts are CV_8UC4 and may be changed in place.
class PartsStage {
public:
    virtual ~PartsStage() = default;
    virtual const char* name() const = 0;
    virtual void apply(const Rig& rig, std::vector<cv::Mat>& parts) = 0;
};

} // namespace pipeline
} // namespace orb
