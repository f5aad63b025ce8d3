#pragma once

#include "StitchLib/blending/StableSeams.h"
#include "StitchLib/blending/TemporalGains.h"
#include "StitchLib/pipeline/DepthStage.h"
#include "StitchLib/pipeline/StitchPipeline.h"
#include "StitchLib/stereo/DenseDepth.h"
#include "StitchLib/stereo/TemporalDepth.h"

#include <memory>
#include <string>

namespace orb {
namespace pipeline {

// Which quality a full stitch runs at: the seed stitch (the program's, pixel for
// pixel) or the best one, built from the stages below.
enum class Quality { Seed, Best };

// Parses "seed" or "best"; throws std::invalid_argument otherwise.
Quality parseQuality(const std::string& name);

// The stages of the best quality, each switchable on its own for measurements.
struct QualityStages {
    bool denseDepth = true;  // dense stereo depth instead of four profiles
    bool exposure = true;    // gains per camera from the overlaps
    bool cleanEdge = true;   // restored rim, and bands kept whole up to the coverage edge
    bool sharp = true;       // cubic resampling of the cameras into the parts
    // Frame-to-frame memory (depth and seams held where the view is unchanged, gains
    // smoothed). Depth and seams are held only with dense depth, which finds where the
    // view changed; without it only the gains are smoothed.
    bool temporal = true;
};

// What the temporal stage carries from one frame of a take to the next. One
// history serves one sequence of frames in take order: a pipeline that stitches
// frames in parallel with others needs consecutive frames (a chunk of the take),
// and the first frame of each chunk starts fresh.
struct TakeHistory {
    Stereo::DepthHistory depth;
    GainHistory gains;
    std::shared_ptr<StableSeamFinder> seams = std::make_shared<StableSeamFinder>();

    void reset()
    {
        depth.reset();
        gains.reset();
        seams->reset();
    }
};

// Dense depth from each pair's overlap (see Stereo::measureDenseDepth), held over
// frames where the view is unchanged when a history is given. Rows of the depth
// beyond the defaults are used only as the panorama's height needs them (about a
// cell per 5 panorama rows).
class DenseDepthStage : public DepthStage {
public:
    explicit DenseDepthStage(std::shared_ptr<TakeHistory> history = nullptr,
                             Stereo::DenseDepthSettings settings = Stereo::DenseDepthSettings());
    ScanImages estimate(const Rig& rig, const std::vector<cv::Mat>& images, int height) override;

private:
    std::shared_ptr<TakeHistory> history;
    Stereo::DenseDepthSettings settings;
};

// Exposure matching of the parts before blending, smoothed over frames when a
// history is given.
class ExposureStage : public PartsStage {
public:
    explicit ExposureStage(std::shared_ptr<TakeHistory> history = nullptr);
    const char* name() const override { return "exposure"; }
    void apply(const Rig& rig, std::vector<cv::Mat>& parts) override;

private:
    std::shared_ptr<TakeHistory> history;
};

// The options of a full stitch at the given quality. Seed gives the defaults. Each
// call makes a fresh history: call once per pipeline (per sequence of frames).
StitchOptions qualityOptions(Quality quality, const QualityStages& stages = QualityStages());

} // namespace pipeline
} // namespace orb
