#pragma once

#include "StitchLib/geometry/Rig.h"
#include "sync/CameraOffsets.h"
#include "sync/FrameSource.h"

#include <vector>

namespace orb {
namespace sync {

struct PictureSyncSettings {
    // Largest offset of a camera against camera 1 looked for, either way, in frames.
    int maxOffset = 30;
    // Frames of agreement every candidate offset is judged on; each camera's
    // first window + 2 maxOffset frames (from firstFrame) are read.
    int window = 90;
    int firstFrame = 0;
    // Height of the small panorama the overlaps are compared in (twice as wide).
    int panoramaHeight = 128;
    // Largest lag, in frames, that parallax may add to every overlap alike (near
    // things moving about the rig reach one camera's view of an overlap before the
    // other's): the joint search allows it either way.
    int maxParallaxLag = 5;
    // Blur of the small panorama (Gaussian sigma in its pixels), which widens the
    // agreement peak over neighbouring lags so that a fraction of a frame shows.
    double blur = 1.0;
    // For milliseconds in the result; 0 when unknown.
    double frameRate = 0.0;
    // A camera's offset must beat every offset 2 or more frames away by this much of
    // the summed agreement of the four overlaps (correlations, up to 4)...
    double minMargin = 0.08;
    // ...and its overlaps must agree at all: the better of its two reaches this
    // correlation (still scenes and scenes without common motion stay near 0).
    double minAgreement = 0.15;
};

// How well two neighbouring cameras agree in their overlap, by lag.
struct PairAgreement {
    int left = 0, right = 0;        // cameras (0-based); right = Rig::rightNeighbour(left)
    int maxLag = 0;
    std::vector<double> byLag;      // index lag + maxLag; lag = right's offset - left's
    int pixels = 0;                 // overlap pixels compared
};

// Frame offsets of the cameras from their pictures alone: in each neighbouring
// pair's overlap (each camera's frames seen as from the rig centre, scene at
// infinity, in a small panorama), what changes from one frame to the next must
// change alike in both cameras at the right offset. Changes, not the pictures
// themselves, are compared, so still background and exposure differences do not
// count; the correlation is summed over the window. The four overlaps' lags must
// close around the rig, so the offsets are chosen jointly (every combination within
// maxOffset), then refined to a fraction of a frame with the loop's small misclosure
// (the parallax of near moving things, alike in every overlap) shared out.
//
// Throws SyncError naming the camera when its overlaps show no common motion or
// another offset agrees nearly as well, and when a camera has too few frames.
CameraOffsets pictureOffsets(const Rig& rig, FrameSource& frames, const PictureSyncSettings& settings = {},
                             std::vector<PairAgreement>* agreement = nullptr);

} // namespace sync
} // namespace orb
