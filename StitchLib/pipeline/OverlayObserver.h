#pragma once

#include "StitchLib/geometry/Rig.h"
#include "StitchLib/overlays/OverlayPictures.h"
#include "StitchLib/pipeline/PipelineObserver.h"

namespace orb {
namespace pipeline {

// Turns a full stitch's intermediates into the reduced overlay pictures as they go
// by: the depth the parts were remapped at, where neighbouring parts disagree and
// which camera shows where after seam finding.
class OverlayObserver : public PipelineObserver {
public:
    void scanReady(const ScanImages& scan) override;
    void partsReady(const std::vector<cv::Mat>& parts) override;
    void seamsReady(const MaskedImageSet& set) override;

    // The fast stitch has no intermediates: its seams are the sector edges.
    void fastStitchSeams(const Rig& rig, int height);

    // Starts a new frame.
    void clear() { overlays = Overlays::OverlaySet(); }

    Overlays::OverlaySet overlays;
};

} // namespace pipeline
} // namespace orb
