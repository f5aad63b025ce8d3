#pragma once

#include "StitchLib/blending/StableSeams.h"
#include "StitchLib/pipeline/DepthStage.h"
#include "StitchLib/pipeline/StitchPipeline.h"
#include "StitchLib/stereo/DenseDepth.h"
#include "StitchLib/stereo/TemporalDepth.h"

#include <algorithm>
#include <deque>
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
    // Frame-to-frame memory: the depth averaged over the last frames where the view is
    // unchanged (only with dense depth, which finds where the view changed).
    bool temporal = true;
    // Frames the temporal state depends on, the current one included: a run that
    // starts inside a take pre-rolls window - 1 frames for the depth...
    int window = 24;
    // ...and seamWindow - 1 more for the seams, which are the median of the last
    // seamWindow frames' own seams where the view stayed the same (1: found afresh
    // every frame). Only with the temporal stage.
    int seamWindow = 5;
};

// What the temporal stage carries from one frame of a take to the next: the depth
// and the seams of the last frames. One history serves one sequence of frames in
// take order. It depends on a bounded number of earlier frames (the windows), so a
// pipeline that starts inside a take pre-rolls those frames
// (StitchPipeline::preroll) and then stitches what a single run over the take
// would. Exposure gains are found afresh every frame: held from frame to frame they
// would depend on every earlier frame, and a run's first frame could not be
// reproduced.
struct TakeHistory {
    explicit TakeHistory(int window = 24, int seamWindow = 5) : depth(window), seams(seamWindow) {}

    Stereo::DepthHistory depth;
    StableSeamFinder seams;

    // Whether each of the last frames (up to the window, oldest first) found the
    // calibration contradicted. A take resamples as seed while any of them did, so a
    // share of overlap near the threshold does not switch the kernel from frame to
    // frame (a visible change of sharpness), and the choice depends on the window only.
    std::deque<bool> contradicted;
    void rememberContradicted(bool value)
    {
        contradicted.push_back(value);
        while (static_cast<int>(contradicted.size()) > depth.window())
            contradicted.pop_front();
    }
    bool anyContradicted() const
    {
        return std::find(contradicted.begin(), contradicted.end(), true) != contradicted.end();
    }

    void reset()
    {
        depth.reset();
        seams.reset();
        contradicted.clear();
    }
};

// A take's seams: held by the history's seam finder where its depth history found
// the view unchanged.
class TakeSeams : public SeamFinderBase {
public:
    explicit TakeSeams(std::shared_ptr<TakeHistory> history) : history(std::move(history)) {}
    void findSeam(MaskedImageSet set) override;
    void findSeamPair(MaskedImage a, MaskedImage b) override;
    int framesBefore() const override;

private:
    std::shared_ptr<TakeHistory> history;
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
    int framesBefore() const override;
    void remember(const Rig& rig, const std::vector<cv::Mat>& images, int height) override;
    // "fallback_pair_<p>_<p+1>" (cameras numbered from 1): the share (0 to 1) of each
    // pair's overlap where the views contradicted the calibration and the seed's
    // coarse depth was used instead; "fallback_cells": the share of the depth
    // panorama's cells that took it.
    // "loose_planes": floor and ceiling planes the pairs saw at heights too far apart
    // for a close fit; "calibration_contradicted": 1 when the frame fell back as a
    // whole (all cells not measured). geometryTrusted() is false while this frame or,
    // with a history, any frame of its window was contradicted: the parts are then
    // resampled as seed does.
    std::vector<std::pair<std::string, double>> facts() const override;
    bool geometryTrusted() const override;

private:
    Stereo::DepthPanorama measure(const Rig& rig, const std::vector<cv::Mat>& images, int height,
                                  bool* contradicted = nullptr) const;

    std::shared_ptr<TakeHistory> history;
    Stereo::DenseDepthSettings settings;
    // The pairs' views, kept from frame to frame of the same rig.
    std::shared_ptr<Stereo::DenseDepthGeometry> geometry;
    std::vector<std::pair<std::string, double>> lastFacts;
    bool trusted = true;
};

// Exposure matching of the parts before blending.
class ExposureStage : public PartsStage {
public:
    const char* name() const override { return "exposure"; }
    void apply(const Rig& rig, std::vector<cv::Mat>& parts) override;
};

// The options of a full stitch at the given quality. Seed gives the defaults. Each
// call makes a fresh history: call once per pipeline (per sequence of frames).
StitchOptions qualityOptions(Quality quality, const QualityStages& stages = QualityStages());

} // namespace pipeline
} // namespace orb
