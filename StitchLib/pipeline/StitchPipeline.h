#pragma once

#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/SeamFinderBase.h"
#include "StitchLib/geometry/Rig.h"
#include "StitchLib/geometry/ScanImages.h"
#include "StitchLib/mapping/FastStitchMaps.h"
#include "StitchLib/pipeline/DepthStage.h"
#include "StitchLib/pipeline/PipelineObserver.h"

#include <opencv2/core.hpp>

#include <memory>
#include <mutex>
#include <vector>

namespace orb {
namespace pipeline {

// Height of the full stitch's panorama.
constexpr int kFullStitchHeight = 5000;

// The fast stitch's maps of one rig, shared by the pipelines that stitch a take side
// by side (one per thread): built once, by the first pipeline to need them, and
// built again only for another height. Thread-safe.
class SharedFastMaps {
public:
    std::shared_ptr<const FastStitchMaps> get(const Rig& rig, int height);

private:
    std::mutex mutex_;
    std::shared_ptr<const FastStitchMaps> maps_;
};

// What a full stitch runs between the parts and the blend. The defaults are the
// program's stitch; other stages are opt-in.
struct StitchOptions {
    std::shared_ptr<DepthStage> depth = std::make_shared<ProfileDepthStage>();
    std::vector<std::shared_ptr<PartsStage>> partsStages;
    // Keep the fast stitch's maps for the next frame of the same height (a take). They
    // cost 8 bytes per panorama pixel; without them one sector's map lives at a time.
    bool keepFastMaps = false;
    // Take the fast stitch's maps from here instead (every pipeline sharing it must
    // have the same rig); they live as long as it does.
    std::shared_ptr<SharedFastMaps> sharedFastMaps;
    // Blend with a clean coverage edge: the parts' soft rims keep their restored colour
    // instead of being eroded, and every band keeps both halves over its image's data.
    bool cleanCoverageEdge = false;
    // Resample the cameras into the parts with a cubic kernel instead of a linear
    // one: sharper fine detail, about a second more per 5000-row frame.
    bool sharpResampling = false;
    // Seams from this finder instead of the default one (e.g. seams held over frames).
    std::shared_ptr<SeamFinderBase> seamFinder;
    // State the stages above share (e.g. a take's history), kept for their lifetime.
    std::shared_ptr<void> keepAlive;
};

// The one owner of the order of stages.
//
// Full stitch: scan -> ground plane (wide lens only) -> depth-aligned parts ->
// [parts stages] -> masks -> seams -> spline. Fast stitch: one remap per camera sector
// with maps that depend only on the rig and the height, kept for the next frame.
//
// Each stage is callable on its own with the previous stage's output, so tools can
// stop, look and go on. Stages report to the observer (if any). A pipeline serves one
// frame at a time; use one pipeline per thread to stitch frames side by side.
class StitchPipeline {
public:
    explicit StitchPipeline(Rig rig, StitchOptions options = StitchOptions(),
                            PipelineObserver* observer = nullptr);

    const Rig& rig() const { return rig_; }
    void setObserver(PipelineObserver* observer) { observer_ = observer; }

    // ---- Full stitch, stage by stage ----
    ScanImages scan(const std::vector<cv::Mat>& images, int height);
    void groundPlane(ScanImages& scan);
    std::vector<cv::Mat> parts(const ScanImages& scan, const std::vector<cv::Mat>& images);
    // Runs the configured parts stages (none by default).
    void adjustParts(std::vector<cv::Mat>& parts);
    // Takes the parts over: on return the vector is empty.
    MaskedImageSet masks(std::vector<cv::Mat>& parts);
    void seams(MaskedImageSet& set);
    // The CV_8UC4 panorama; alpha 255 where any part contributes.
    cv::Mat spline(MaskedImageSet& set);

    // ---- Whole runs ----
    // Scan, ground plane and parts: the four depth-aligned parts.
    std::vector<cv::Mat> depthAlignedParts(const std::vector<cv::Mat>& images, int height);
    // Parts stages, masks, seams and spline. Exactly four parts of one size.
    cv::Mat blend(std::vector<cv::Mat>& parts);
    cv::Mat fullStitch(const std::vector<cv::Mat>& images, int height = kFullStitchHeight);
    // Frames of a take whose state the next full stitch depends on (0 without a
    // temporal stage). A run that starts inside a take gives each of the up to this
    // many frames before its first, in take order, to preroll(): they are read and
    // measured, not stitched, and the run's frames then come out as from a single
    // run over the whole take. With seams that depend on earlier frames, the last
    // of them are also taken through the stages up to the seams (at the next full
    // stitch, when it is known which ones are the last); until then their images
    // are kept.
    int prerollFrames() const;
    void preroll(const std::vector<cv::Mat>& images, int height = kFullStitchHeight);
    // CV_8UC3 panorama of height x 2*height.
    cv::Mat fastStitch(const std::vector<cv::Mat>& images, int height);

private:
    template <typename Work>
    auto timed(Stage stage, Work&& work) -> decltype(work());
    void checkImages(const std::vector<cv::Mat>& images) const;
    void seamsOfPrerolledFrames();

    Rig rig_;
    StitchOptions options_;
    PipelineObserver* observer_;
    std::unique_ptr<FastStitchMaps> fastMaps_;
    // Pre-rolled frames whose seams are still to be found, oldest first.
    struct PrerolledFrame {
        std::vector<cv::Mat> images;
        int height;
    };
    std::vector<PrerolledFrame> prerolled_;
};

// For processes that stitch frame after frame: freed blend planes up to this many
// bytes are kept for the next frame's planes of the same size (64 MiB unless set),
// instead of being returned to the system and faulted in again. With
// `everyLargeMatrix`, also the sparsely written zero planes and every large
// matrix of the process: faster still, for the memory of all their pages.
void keepFreedPlanes(std::size_t bytes, bool everyLargeMatrix = false);

} // namespace pipeline
} // namespace orb
