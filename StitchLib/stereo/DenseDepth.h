#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/geometry/ScanImages.h"

#include <opencv2/core.hpp>

#include <memory>
#include <mutex>
#include <vector>

namespace orb {
namespace Stereo {

// Dense depth from the overlap of each pair of neighbouring cameras.
//
// Each pair (p, p + 1 mod 4) is resampled into a rectified view whose rows are
// planes through the baseline (angle q about it) and whose columns are the tangent
// of the angle within that plane, so that depth shows as a pure column shift with
// inverse distance proportional to disparity. Semi-global matching gives a
// disparity per pixel in both directions; pixels whose two disparities disagree
// are dropped. The surviving points are placed in 3D, seen from the rig origin and
// written into a small depth panorama, nearest surface first. The gaps (occlusions,
// textureless areas and the parts of a sector only one camera sees) are then
// filled along each row from the farther side, so that a near object's depth never
// spreads beyond where it was measured.
struct DenseDepthSettings {
    // Rows of each rectified view; they span kDenseViewSpan of angle about the baseline.
    int viewRows = 512;
    // Columns cover this in-plane angle either side of the pair's view axis (radians).
    float halfWidth = 1.05f;
    // Rows of the internal depth panorama (twice as many columns).
    int panoramaRows = 512;
    // Largest disagreement of the two matching directions, in pixels.
    float consistency = 1.0f;
    // Nearest distance searched for, in units of the calibration (metres).
    float nearestDistance = 0.5f;
    // Largest offset between the rows of a pair's rectified views (view pixels) at
    // which matching along the rows still measures depth; beyond it the calibration
    // is contradicted and the region falls back (see DepthPanorama::fallback).
    float rowTolerance = 1.0f;
};

// Measured depth at panorama geometry before filling: inverse distance from the
// rig origin (0 where nothing was measured) and the weight of the measurement
// (number of consistent matches that landed in the cell).
struct DepthPanorama {
    cv::Mat_<float> inverseDepth;
    cv::Mat_<float> weight;
    // The longest baseline of the pairs (metres), which bounds how wide the strip
    // beside a near object that only one camera of a pair sees can be; 0 when unknown.
    float baseline = 0.0f;
    // Cells (255) where a pair's views contradicted the calibration (rows that do not
    // line up, content beyond infinity): their matches were dropped, and fallBack()
    // gives them the seed's coarse depth. Empty or all zero when none.
    cv::Mat fallback;
    // Per pair (p, p + 1 mod 4), the share of its overlap that fell back (0 to 1).
    std::vector<double> pairFallback;
    // How many of the floor and ceiling planes (0 to 2) fillDepthGaps could only fit
    // loosely (and so did not use): the pairs saw them at heights more than a few per
    // cent apart, as happens when the camera rotations are off (or the floor is not flat).
    int loosePlanes = 0;
};

// What the dense depth takes from the rig alone: each pair's rectified view, where
// its pixels lie in the two cameras' images and which of them each camera sees.
// Frames of a take share them: given to measureDenseDepth, they are built for the
// first frame and kept while the cameras, image sizes, lens angle and view settings
// stay the same (built again otherwise). Thread-safe.
class DenseDepthGeometry {
public:
    DenseDepthGeometry();
    ~DenseDepthGeometry();
    DenseDepthGeometry(const DenseDepthGeometry&) = delete;
    DenseDepthGeometry& operator=(const DenseDepthGeometry&) = delete;

    struct Pairs;
    std::shared_ptr<const Pairs> pairs(const std::vector<cv::Size>& imageSizes,
                                       const std::vector<CameraIntrinsics>& cameras, float maxAngle,
                                       const DenseDepthSettings& settings);

private:
    std::mutex mutex_;
    std::vector<float> key_;
    std::shared_ptr<const Pairs> pairs_;
};

// Measures all four pairs into one depth panorama of settings.panoramaRows rows,
// with the pairs' geometry from `geometry` when given (computed afresh otherwise).
// Throws std::runtime_error for fewer than four images or cameras.
DepthPanorama measureDenseDepth(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras,
                                float maxAngle, const DenseDepthSettings& settings,
                                DenseDepthGeometry* geometry = nullptr);

// Where the measurement contradicted the calibration (depth.fallback), replaces the
// filled depth by `seedDepth` (the seed's coarse depth at the panorama's size),
// feathered over about a degree: with camera rotations off by a fraction of a
// degree, matching along rows that do not line up pairs unrelated pixels, and a
// depth made of them warps content (tears, melted patterns) where the seed's smooth
// depth only shifts it. Does nothing where nothing fell back.
void fallBack(DepthPanorama& depth, const cv::Mat_<float>& seedDepth);

// Fills every cell without a measurement in place. Measured cells that no two of
// their eight neighbours confirm (within 20 %) are dropped first as false matches.
// Short gaps along a row (occlusions next to an object: up to 3 degrees, or up to
// the parallax of their two sides across the panorama's baseline and a quarter
// more) are split between their two sides: next to the far side the background one
// camera sees past the near edge (half the parallax, as seen from the rig centre
// midway between the cameras), next to the near side the rest, receding from it a
// little, as an object's side does (half the gap when the baseline is unknown); long
// gaps (one camera only) blend linearly between the background next to each side (the
// cell nearest the gap that is within 20 % of the farthest value within an eighth
// of a turn), so a near object at a gap's edge is passed over; filled cells are then
// smoothed among themselves along columns. Rows with nothing measured copy the
// nearest filled row. Cells close to the floor (ceiling) plane take its value: within
// 3 % where measured or reached by an upright surface (low objects on the floor keep
// their depth), within 8 % where only filled. No filled cell off the horizon stays
// farther than the floor (ceiling) plane that the measurements 20 degrees or more
// below (above) show, nor hangs nearer than it: a run of filled cells in a column
// that is nearer than the plane, with the plane on both sides of it and no upright
// surface reaching it, takes the plane (filling along a row carries false near
// matches across a gap).
// A 5 x 5 median removes isolated outliers. A panorama with no measurement at all
// becomes uniformly far (inverse depth floor).
void fillDepthGaps(DepthPanorama& depth);

// Keeps the panorama's coverage what it is for distant content. Near the edge of a
// camera's view, a near surface can be out of the camera's sight although the ray
// from the rig centre is within it: a camera off the centre sees a near point at
// another angle. Where no camera whose part holds the cell sees the filled depth,
// the depth is brought to (a little farther than) the nearest at which one does,
// and rays no camera sees at any distance become far. The content there is then a
// little misplaced (as with a far depth) instead of missing.
void keepCoverage(cv::Mat_<float>& inverseDepth, const std::vector<CameraIntrinsics>& cameras,
                  const std::vector<cv::Size>& imageSizes, float maxAngle);

// The sizes of the images, in order.
std::vector<cv::Size> imageSizes(const std::vector<cv::Mat>& images);

// The filled low-resolution inverse depth brought to a scan of height x 2 height,
// interpolated linearly (cyclic in azimuth), every value at least the floor used
// by scan generation, validRows = height.
ScanImages depthToScan(const cv::Mat_<float>& inverseDepth, int height);

// measureDenseDepth, fillDepthGaps, keepCoverage and depthToScan in one.
ScanImages generateDenseScan(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras,
                             int height, float maxAngle, const DenseDepthSettings& settings = DenseDepthSettings());

} // namespace Stereo
} // namespace orb
