#include "StitchLib/pipeline/BestQuality.h"

#include "StitchLib/blending/ExposureCompensator.h"
#include "StitchLib/stereo/ScanGeneration.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace orb {
namespace pipeline {

Quality parseQuality(const std::string& name)
{
    if (name == "seed")
        return Quality::Seed;
    if (name == "best")
        return Quality::Best;
    throw std::invalid_argument("quality '" + name + "': expected seed or best");
}

DenseDepthStage::DenseDepthStage(std::shared_ptr<TakeHistory> history, Stereo::DenseDepthSettings settings)
    : history(std::move(history)), settings(settings)
{
}

Stereo::DepthPanorama DenseDepthStage::measure(const Rig& rig, const std::vector<cv::Mat>& images, int height) const
{
    // Rows finer than the defaults only as the panorama needs them (about a cell per
    // 5 of its rows), and at most as many as set.
    Stereo::DenseDepthSettings used = settings;
    const Stereo::DenseDepthSettings defaults;
    const int wanted = (height + 4) / 5;
    used.panoramaRows = std::min(settings.panoramaRows, std::max(defaults.panoramaRows, wanted));
    used.viewRows = std::min(settings.viewRows, std::max(defaults.viewRows, wanted));
    Stereo::DepthPanorama depth = Stereo::measureDenseDepth(images, rig.cameras(), rig.maxAngle(), used);
    Stereo::fillDepthGaps(depth);
    Stereo::keepCoverage(depth.inverseDepth, rig.cameras(), Stereo::imageSizes(images), rig.maxAngle());
    return depth;
}

int DenseDepthStage::framesBefore() const
{
    return history ? history->depth.window() - 1 : 0;
}

void DenseDepthStage::remember(const Rig& rig, const std::vector<cv::Mat>& images, int height)
{
    if (history)
        history->depth.remember(measure(rig, images, height).inverseDepth, images, rig.cameras());
}

ScanImages DenseDepthStage::estimate(const Rig& rig, const std::vector<cv::Mat>& images, int height)
{
    Stereo::DepthPanorama depth = measure(rig, images, height);
    if (history)
        history->depth.stabilise(depth.inverseDepth, images, rig.cameras(), rig.maxAngle());
    return Stereo::depthToScan(depth.inverseDepth, height);
}

void ExposureStage::apply(const Rig&, std::vector<cv::Mat>& parts)
{
    ExposureCompensator::apply(parts, ExposureCompensator().estimate(parts));
}

StitchOptions qualityOptions(Quality quality, const QualityStages& stages)
{
    StitchOptions options;
    if (quality == Quality::Seed)
        return options;
    // The history serves the dense depth only.
    const std::shared_ptr<TakeHistory> history =
        stages.temporal && stages.denseDepth ? std::make_shared<TakeHistory>(stages.window) : nullptr;
    if (stages.denseDepth) {
        // Finer than the defaults for large panoramas: an object's outline in the
        // depth is placed to a cell, and at 512 rows a cell is ten pixels of a
        // 5000-row panorama, which misplaced the rims of near objects. 1000 rows
        // cost about 1.5 s of processor time a frame more than 768.
        Stereo::DenseDepthSettings settings;
        settings.viewRows = 1024;
        settings.panoramaRows = 1024;
        options.depth = std::make_shared<DenseDepthStage>(history, settings);
    }
    if (stages.exposure)
        options.partsStages.push_back(std::make_shared<ExposureStage>());
    options.cleanCoverageEdge = stages.cleanEdge;
    options.sharpResampling = stages.sharp;
    options.keepAlive = history;
    return options;
}

} // namespace pipeline
} // namespace orb
