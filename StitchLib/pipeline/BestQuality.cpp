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
    : history(std::move(history)), settings(settings), geometry(std::make_shared<Stereo::DenseDepthGeometry>())
{
}

namespace {
// Share of a pair's overlap whose rows may fail to line up before the whole frame's
// calibration counts as contradicted. With exact rotations a block or two of an
// overlap fails by chance (about 1 %); rotations 0.3 degrees off fail 10 to 30 %.
constexpr double kContradictedOverlap = 0.1;
// The same where the floor or ceiling could only be fitted loosely. A loose plane
// alone is no proof: a curved or cluttered floor gives one with exact rotations.
constexpr double kContradictedOverlapWithPlanes = 0.03;
} // namespace

Stereo::DepthPanorama DenseDepthStage::measure(const Rig& rig, const std::vector<cv::Mat>& images, int height,
                                               bool* contradictedOut) const
{
    // Rows finer than the defaults only as the panorama needs them (about a cell per
    // 5 of its rows), and at most as many as set.
    Stereo::DenseDepthSettings used = settings;
    const Stereo::DenseDepthSettings defaults;
    const int wanted = (height + 4) / 5;
    used.panoramaRows = std::min(settings.panoramaRows, std::max(defaults.panoramaRows, wanted));
    used.viewRows = std::min(settings.viewRows, std::max(defaults.viewRows, wanted));
    Stereo::DepthPanorama depth = Stereo::measureDenseDepth(images, rig.cameras(), rig.maxAngle(), used, geometry.get());
    Stereo::fillDepthGaps(depth);
    // Where the views contradicted the calibration, the seed's coarse depth, which
    // only shifts content where a dense depth made of unrelated matches warps it.
    // Measured only when needed: an exactly calibrated rig never pays for it.
    // Where the views contradict the calibration throughout (a good part of an
    // overlap's rows do not line up, or some do and the pairs see the floor or
    // ceiling at heights too far apart to fit one plane), every cell not measured
    // falls back as well: its filled depth comes from measurements that disagree.
    const double worstPair =
        depth.pairFallback.empty() ? 0.0 : *std::max_element(depth.pairFallback.begin(), depth.pairFallback.end());
    const bool contradicted =
        worstPair > kContradictedOverlap || (depth.loosePlanes > 0 && worstPair > kContradictedOverlapWithPlanes);
    if (contradicted)
        depth.fallback.setTo(255, depth.weight == 0.0f);
    if (contradictedOut)
        *contradictedOut = contradicted;
    if (!depth.fallback.empty() && cv::countNonZero(depth.fallback) > 0)
    {
        cv::Mat_<float> seed =
            Stereo::generateScan(images, rig.cameras(), depth.inverseDepth.rows, rig.maxAngle()).inverseDepth;
        cv::patchNaNs(seed, 0.0);
        Stereo::fallBack(depth, seed);
    }
    Stereo::keepCoverage(depth.inverseDepth, rig.cameras(), Stereo::imageSizes(images), rig.maxAngle());
    return depth;
}

int DenseDepthStage::framesBefore() const
{
    return history ? history->depth.window() - 1 : 0;
}

void DenseDepthStage::remember(const Rig& rig, const std::vector<cv::Mat>& images, int height)
{
    if (history) {
        bool contradicted = false;
        history->depth.remember(measure(rig, images, height, &contradicted).inverseDepth, images, rig.cameras());
        history->rememberContradicted(contradicted);
    }
}

std::vector<std::pair<std::string, double>> DenseDepthStage::facts() const
{
    return lastFacts;
}

bool DenseDepthStage::geometryTrusted() const
{
    return trusted;
}

ScanImages DenseDepthStage::estimate(const Rig& rig, const std::vector<cv::Mat>& images, int height)
{
    bool contradicted = false;
    Stereo::DepthPanorama depth = measure(rig, images, height, &contradicted);
    trusted = !contradicted;
    if (history) {
        history->rememberContradicted(contradicted);
        trusted = !history->anyContradicted();
    }
    lastFacts.clear();
    for (std::size_t p = 0; p < depth.pairFallback.size(); ++p)
        lastFacts.emplace_back("fallback_pair_" + std::to_string(p + 1) + "_" +
                                   std::to_string((p + 1) % depth.pairFallback.size() + 1),
                               depth.pairFallback[p]);
    lastFacts.emplace_back("fallback_cells", depth.fallback.empty() ? 0.0
                                                                     : static_cast<double>(cv::countNonZero(depth.fallback)) /
                                                                           static_cast<double>(depth.fallback.total()));
    lastFacts.emplace_back("loose_planes", depth.loosePlanes);
    lastFacts.emplace_back("calibration_contradicted", contradicted ? 1.0 : 0.0);
    if (history)
        history->depth.stabilise(depth.inverseDepth, images, rig.cameras(), rig.maxAngle());
    return Stereo::depthToScan(depth.inverseDepth, height);
}

void TakeSeams::findSeam(MaskedImageSet set)
{
    // The depth was estimated for this frame just before, with the same images.
    history->seams.setHeldFrames(history->depth.heldFrames());
    history->seams.findSeam(set);
}

void TakeSeams::findSeamPair(MaskedImage a, MaskedImage b)
{
    history->seams.findSeamPair(a, b);
}

int TakeSeams::framesBefore() const
{
    return history->seams.framesBefore();
}

void ExposureStage::apply(const Rig& rig, std::vector<cv::Mat>& parts)
{
    // A part holds nothing outside its camera's regions (the remap writes only
    // there), so only where regions of two parts meet need the parts be compared.
    std::vector<std::vector<cv::Rect>> regions;
    if (static_cast<int>(parts.size()) == rig.cameraCount() && !parts.empty())
        for (int i = 0; i < rig.cameraCount(); ++i)
            regions.push_back(Rig::partRegions(i, parts.front().rows, parts.front().cols));
    const ExposureCompensator compensator;
    if (regions.empty()) {
        ExposureCompensator::apply(parts, compensator.estimate(parts));
        return;
    }
    ExposureCompensator::apply(parts, compensator.estimate(parts, regions), regions);
}

StitchOptions qualityOptions(Quality quality, const QualityStages& stages)
{
    StitchOptions options;
    if (quality == Quality::Seed)
        return options;
    // The history serves the dense depth only.
    const std::shared_ptr<TakeHistory> history =
        stages.temporal && stages.denseDepth ? std::make_shared<TakeHistory>(stages.window, stages.seamWindow) : nullptr;
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
    if (history && stages.seamWindow > 1)
        options.seamFinder = std::make_shared<TakeSeams>(history);
    options.cleanCoverageEdge = stages.cleanEdge;
    options.sharpResampling = stages.sharp;
    options.keepAlive = history;
    return options;
}

} // namespace pipeline
} // namespace orb
