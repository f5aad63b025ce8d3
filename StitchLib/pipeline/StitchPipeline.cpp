#include "StitchLib/pipeline/StitchPipeline.h"

#include "StitchLib/blending/CleanEdgeSpline.h"
#include "StitchLib/blending/CoverageEdge.h"
#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/mapping/FastStitch.h"
#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/stereo/GroundPlane.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>

namespace orb {
namespace pipeline {

std::shared_ptr<const FastStitchMaps> SharedFastMaps::get(const Rig& rig, int height)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!maps_ || maps_->height() != height) {
        maps_.reset();
        maps_ = std::make_shared<const FastStitchMaps>(rig.cameras(), cv::Matx44f::eye(), height, rig.maxAngle());
    }
    return maps_;
}

StitchPipeline::StitchPipeline(Rig rig, StitchOptions options, PipelineObserver* observer)
    : rig_(std::move(rig)), options_(std::move(options)), observer_(observer)
{
    if (!options_.depth)
        throw std::invalid_argument("StitchPipeline: no depth stage");
}

template <typename Work>
auto StitchPipeline::timed(Stage stage, Work&& work) -> decltype(work())
{
    if (!observer_)
        return work();
    observer_->stageStarted(stage);
    const auto start = std::chrono::steady_clock::now();
    struct Finish {
        PipelineObserver* observer;
        Stage stage;
        std::chrono::steady_clock::time_point start;
        ~Finish()
        {
            observer->stageFinished(stage,
                                    std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    } finish{observer_, stage, start};
    return work();
}

void StitchPipeline::checkImages(const std::vector<cv::Mat>& images) const
{
    if (images.size() != static_cast<std::size_t>(rig_.cameraCount()))
        throw std::invalid_argument("StitchPipeline: " + std::to_string(images.size()) + " camera images for a rig of " +
                                    std::to_string(rig_.cameraCount()) + " cameras");
}

ScanImages StitchPipeline::scan(const std::vector<cv::Mat>& images, int height)
{
    checkImages(images);
    seamsOfPrerolledFrames();
    return timed(Stage::Scan, [&] { return options_.depth->estimate(rig_, images, height); });
}

void StitchPipeline::groundPlane(ScanImages& scan)
{
    if (!rig_.usesGroundPlane())
        return;
    timed(Stage::GroundPlane, [&] { Stereo::addGroundPlane(scan); });
}

std::vector<cv::Mat> StitchPipeline::parts(const ScanImages& scan, const std::vector<cv::Mat>& images)
{
    checkImages(images);
    if (observer_)
        observer_->scanReady(scan);
    std::vector<cv::Mat> result = timed(Stage::Parts, [&] {
        return BaseApi::remapPartsWithExtrinsics(
            cv::Matx44f::eye(), scan, rig_.cameras(), images, rig_.maxAngle(),
            options_.sharpResampling && (!options_.depth || options_.depth->geometryTrusted()));
    });
    return result;
}

void StitchPipeline::adjustParts(std::vector<cv::Mat>& parts)
{
    for (const std::shared_ptr<PartsStage>& stage : options_.partsStages)
        stage->apply(rig_, parts);
    if (observer_)
        observer_->partsReady(parts);
}

MaskedImageSet StitchPipeline::masks(std::vector<cv::Mat>& parts)
{
    return timed(Stage::Masks, [&] {
        if (options_.cleanCoverageEdge) {
            // The rim's colour is restored rather than eroded away; a camera's part
            // holds nothing outside its regions, where the remap writes.
            const bool byRegion = static_cast<int>(parts.size()) == rig_.cameraCount();
            for (std::size_t i = 0; i < parts.size(); ++i) {
                if (byRegion)
                    restoreRim(parts[i], kMinRimAlpha,
                               Rig::partRegions(static_cast<int>(i), parts[i].rows, parts[i].cols));
                else
                    restoreRim(parts[i], kMinRimAlpha);
            }
            MaskedImageSet set(parts, false);
            parts.clear();
            return set;
        }
        // Eroding the alpha keeps the soft, interpolated rim of each camera's area out
        // of the valid pixels. Part by part, each part released once converted.
        return takeParts(parts, true);
    });
}

void StitchPipeline::seams(MaskedImageSet& set)
{
    timed(Stage::Seams, [&] {
        if (options_.seamFinder) {
            options_.seamFinder->findSeam(set);
            return;
        }
        QualitySeamFinder seamFinder;
        // The finder's copy shares the mask buffers, so the set sees the seams.
        seamFinder.findSeam(set);
    });
    if (observer_)
        observer_->seamsReady(set);
}

cv::Mat StitchPipeline::spline(MaskedImageSet& set)
{
    return timed(Stage::Spline, [&] {
        FeatherBlender blender;
        OpenCVPyramidGenerator generator;
        if (options_.cleanCoverageEdge) {
            CleanEdgeSpline cleanEdgeSpline(generator, blender);
            return cleanEdgeSpline.splineImage(set, true);
        }
        MultiResolutionSpline multiResolutionSpline(generator, blender);
        return multiResolutionSpline.splineImage(set, true);
    });
}

std::vector<cv::Mat> StitchPipeline::depthAlignedParts(const std::vector<cv::Mat>& images, int height)
{
    ScanImages depth = scan(images, height);
    groundPlane(depth);
    return parts(depth, images);
}

cv::Mat StitchPipeline::blend(std::vector<cv::Mat>& parts)
{
    if (parts.size() != static_cast<std::size_t>(rig_.cameraCount()))
        throw std::invalid_argument("StitchPipeline: " + std::to_string(parts.size()) + " parts to blend for a rig of " +
                                    std::to_string(rig_.cameraCount()) + " cameras");
    adjustParts(parts);
    MaskedImageSet set = masks(parts);
    seams(set);
    return spline(set);
}

cv::Mat StitchPipeline::fullStitch(const std::vector<cv::Mat>& images, int height)
{
    std::vector<cv::Mat> result = depthAlignedParts(images, height);
    return blend(result);
}

int StitchPipeline::prerollFrames() const
{
    // The oldest frame whose seams count needs its own depth's window before it.
    return (options_.depth ? options_.depth->framesBefore() : 0) +
           (options_.seamFinder ? options_.seamFinder->framesBefore() : 0);
}

void StitchPipeline::preroll(const std::vector<cv::Mat>& images, int height)
{
    checkImages(images);
    const std::size_t seamFrames =
        options_.seamFinder ? static_cast<std::size_t>(std::max(0, options_.seamFinder->framesBefore())) : 0;
    if (seamFrames == 0) {
        options_.depth->remember(rig_, images, height);
        return;
    }
    // Copies: a caller may read the next frame into the same buffers.
    PrerolledFrame frame{{}, height};
    for (const cv::Mat& image : images)
        frame.images.push_back(image.clone());
    prerolled_.push_back(std::move(frame));
    if (prerolled_.size() > seamFrames) {
        options_.depth->remember(rig_, prerolled_.front().images, prerolled_.front().height);
        prerolled_.erase(prerolled_.begin());
    }
}

void StitchPipeline::seamsOfPrerolledFrames()
{
    if (prerolled_.empty())
        return;
    std::vector<PrerolledFrame> frames = std::move(prerolled_);
    prerolled_.clear();
    // Through the stages a stitch runs up to its seams, unseen by the observer: the
    // seam finder remembers each frame's seams, and the depth stage its depth.
    PipelineObserver* const observer = observer_;
    observer_ = nullptr;
    try {
        for (PrerolledFrame& frame : frames) {
            std::vector<cv::Mat> parts = depthAlignedParts(frame.images, frame.height);
            adjustParts(parts);
            MaskedImageSet set = masks(parts);
            seams(set);
        }
    } catch (...) {
        observer_ = observer;
        throw;
    }
    observer_ = observer;
}

cv::Mat StitchPipeline::fastStitch(const std::vector<cv::Mat>& images, int height)
{
    checkImages(images);
    return timed(Stage::FastStitch, [&] {
        if (options_.sharedFastMaps)
            return options_.sharedFastMaps->get(rig_, height)->stitch(images);
        if (!options_.keepFastMaps) {
            std::vector<cv::Mat> sources = images;
            return BaseApi::remapFastWithExtrinsics(cv::Matx44f::eye(), rig_.cameras(), height, sources,
                                                    rig_.maxAngle());
        }
        if (!fastMaps_ || fastMaps_->height() != height) {
            fastMaps_.reset();
            fastMaps_ = std::make_unique<FastStitchMaps>(rig_.cameras(), cv::Matx44f::eye(), height,
                                                         rig_.maxAngle());
        }
        return fastMaps_->stitch(images);
    });
}

void keepFreedPlanes(std::size_t bytes, bool everyLargeMatrix)
{
    PlaneKernels::keepFreedPlanes(bytes, everyLargeMatrix ? PlaneKernels::Reuse::EveryLargePlane
                                                          : PlaneKernels::Reuse::WrittenPlanes);
}

} // namespace pipeline
} // namespace orb
