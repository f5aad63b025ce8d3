#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

namespace orb {

// The rig as every stage sees it: four cameras facing forward, right, back and left
// (in calibration order), the lens field-of-view limit, the neighbouring pairs that
// share an overlap, and where each camera lands in a panorama. The backward camera's
// sector is split over the panorama's left and right edges.
class Rig {
public:
    static constexpr int kCameraCount = 4;

    // Throws std::invalid_argument naming the count when the calibration does not hold
    // one record per camera. An unknown lens version stops at an assertion.
    Rig(std::vector<CameraIntrinsics> cameras, int lensVersion);

    int cameraCount() const { return kCameraCount; }
    const std::vector<CameraIntrinsics>& cameras() const { return cameras_; }
    int lensVersion() const { return lensVersion_; }
    // Largest angle from the optical axis the lenses are trusted to (radians).
    float maxAngle() const { return maxAngle_; }
    // Only the wide lens sees the ground under the rig well enough for a ground plane.
    bool usesGroundPlane() const { return lensVersion_ == 1; }

    // Camera to the right of `camera`; pair p is (p, rightNeighbour(p)).
    static int rightNeighbour(int camera) { return (camera + 1) % kCameraCount; }
    static int pairCount() { return kCameraCount; }

    // Fast stitch: the rectangles of camera `camera`'s 90 degree sector in a panorama
    // of height x 2*height, in the order they are filled (the backward camera's right
    // edge piece first). Columns past 4 * (height / 4) belong to no camera.
    static std::vector<cv::Rect> sectorRects(int camera, int height);

    // Depth-aligned parts: the regions camera `camera` fills in a part of rows x cols,
    // in the order they are written: a top strip of rows / 100 over the full width
    // (where the sectors meet near the zenith), then the camera's sector widened by
    // 9 degrees on both sides.
    static std::vector<cv::Rect> partRegions(int camera, int rows, int cols);

private:
    std::vector<CameraIntrinsics> cameras_;
    int lensVersion_;
    float maxAngle_;
};

} // namespace orb
