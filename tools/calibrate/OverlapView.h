#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <vector>

namespace calibrate {

// Where two neighbouring cameras both see, resampled from each camera into one
// shared view through the current calibration: a latitude-longitude grid around the
// bisector of the two optical axes, its columns running from camera A towards
// camera B. Both cameras' fisheye distortion, in opposite directions at the edge of
// each image, is undone the same way, so features look alike in the two views and
// the descriptors match; a calibration error shifts one view against the other by
// the error's angle, which the matching allows for.
class OverlapView {
public:
    // `pixelsPerRadian` sets the view's resolution; `maxAngle` is how far from its
    // optical axis each camera is trusted.
    OverlapView(const orb::CameraIntrinsics& cameraA, const orb::CameraIntrinsics& cameraB, cv::Size imageSize,
                double maxAngle, double pixelsPerRadian);

    cv::Size size() const { return size_; }
    // 255 where both cameras see, a few pixels in from the edges of either image.
    const cv::Mat& mask() const { return mask_; }
    // Resamples camera `which` (0: A, 1: B) into the view (8-bit grey in, out).
    cv::Mat resample(const cv::Mat& grey, int which) const;
    // Unit rig-frame direction of the view position (x, y) in pixels (origin at the
    // centre of the top-left pixel).
    cv::Vec3d direction(const cv::Point2d& position) const;

private:
    cv::Size size_;
    double pixelsPerRadian_;
    double halfWidth_, halfHeight_;  // radians
    cv::Matx33d axes_;               // rows: bisector, towards B, up
    cv::Mat mapX_[2], mapY_[2];
    cv::Mat mask_;
};

} // namespace calibrate
