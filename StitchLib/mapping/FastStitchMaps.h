#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {

// The fast stitch's remap maps for one rig and one height. They depend on nothing
// else, so a take builds them once and reuses them for every frame; the panorama is
// the same bit for bit as the one remapFastWithExtrinsics builds map by map.
class FastStitchMaps {
public:
    FastStitchMaps(const std::vector<CameraIntrinsics>& intrinsics, const cv::Matx44f& extrinsic, int height,
                   float maxAngle);

    int height() const { return height_; }

    // CV_8UC3 panorama of height x 2*height from three-channel camera images, at least
    // one per calibration record.
    cv::Mat stitch(const std::vector<cv::Mat>& images) const;

    // ---- Steps shared with the map-by-map fast stitch ----

    // The map of one sector rectangle of a panorama of height x 2*height for camera
    // `intrinsics`.
    static cv::Mat sectorMap(const CameraIntrinsics& intrinsics, const cv::Matx44f& extrinsic, int height,
                             float maxAngle, const cv::Rect& sector);
    // Remaps the sector of the panorama from a camera image through its map.
    static void remapSector(const cv::Rect& sector, const cv::Mat& map, const cv::Mat& image, cv::Mat& panorama);

private:
    struct Sector {
        int camera;
        cv::Rect rect;
        cv::Mat map;
    };
    int height_;
    std::vector<Sector> sectors_;
};

} // namespace orb
