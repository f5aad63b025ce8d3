#pragma once

#include "StitchLib/geometry/Rig.h"

#include <opencv2/core.hpp>

#include <vector>

namespace batch {

// The fast stitch on the planes of 4:2:0 pictures, for a video preview: the cameras'
// pictures as decoded (I420: the Y plane, then U, then V) in, the panorama's planes out
// as the encoder takes them. Luma goes through the fast stitch's own maps, chroma
// through maps at half resolution made from them, so no camera picture is converted to
// BGR and no panorama back (three passes over every picture fewer than the BGR stitch).
// Built once per rig and height; stitch() may run on several threads at once.
class PlanarFastStitch {
public:
    // `height` even: the panorama is height x 2*height.
    PlanarFastStitch(const orb::Rig& rig, int height);

    int height() const { return height_; }

    // CV_8UC1 I420 panorama (3*height/2 rows of 2*height) from continuous I420 camera
    // pictures of `cameraSize` (even sides), one per camera. Where no camera reaches,
    // the panorama is black, as in the BGR fast stitch.
    cv::Mat stitch(const std::vector<cv::Mat>& cameras, cv::Size cameraSize) const;

    // Black in limited-range 4:2:0.
    static cv::Mat black(cv::Size size);

private:
    struct Sector {
        int camera;
        cv::Rect rect;     // in the plane it fills
        cv::Mat positions; // CV_16SC2, fixed point as the remap uses it
        cv::Mat fractions; // CV_16UC1
    };
    int height_;
    std::vector<Sector> luma_;
    std::vector<Sector> chroma_;
};

} // namespace batch
