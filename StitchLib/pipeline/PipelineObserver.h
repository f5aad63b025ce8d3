#pragma once

#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/geometry/ScanImages.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace pipeline {

// The stages of a stitch, in the order the full stitch runs them. The fast stitch is
// one stage of its own.
enum class Stage { Read, Scan, GroundPlane, Parts, Masks, Seams, Spline, FastStitch, Write };

// Short lower-case name of a stage ("scan", "ground-plane", ...), for reports.
const char* stageName(Stage stage);

// Watches a stitch: stage boundaries with their wall time, and the intermediates as
// they are produced. Everything handed out shares pixel buffers with the stitch:
// read it or copy it, never write to it. Calls arrive on the stitching thread, one
// frame at a time per pipeline. The default does nothing.
class PipelineObserver {
public:
    virtual ~PipelineObserver() = default;

    virtual void stageStarted(Stage) {}
    virtual void stageFinished(Stage, double /*seconds*/) {}

    // The depth model the parts are remapped with (after the ground plane, if any).
    virtual void scanReady(const ScanImages&) {}
    // The four depth-aligned parts, before blending (CV_8UC4, alpha 255 where valid).
    virtual void partsReady(const std::vector<cv::Mat>&) {}
    // The masked images after seam finding: each contributing mask says where that
    // camera shows in the panorama.
    virtual void seamsReady(const MaskedImageSet&) {}
};

} // namespace pipeline
} // namespace orb
