#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <climits>
#include <vector>

namespace orb {

// Tallest fast stitch: each sector is remapped as one block of `height` rows, and
// OpenCV's remap takes fewer than SHRT_MAX rows and columns (its fixed-point maps
// index with 16-bit integers).
constexpr int kMaxFastStitchHeight = SHRT_MAX - 1;

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

    // Share of the panorama's pixels (0 to 1) that some camera shows, for camera images
    // of `imageSizes` (one per calibration record): the rest stays black, whatever the
    // scene. The same for every frame of a take with images of these sizes.
    double coverage(const std::vector<cv::Size>& imageSizes) const;

    // ---- Steps shared with the map-by-map fast stitch ----

    // The map of one sector rectangle of a panorama of height x 2*height for camera
    // `intrinsics`.
    static cv::Mat sectorMap(const CameraIntrinsics& intrinsics, const cv::Matx44f& extrinsic, int height,
                             float maxAngle, const cv::Rect& sector);
    // Remaps the sector of the panorama from a camera image through its map: one
    // float map, or the fixed-point pair cv::convertMaps makes of it (the form the
    // remap itself brings float maps to, block by block).
    static void remapSector(const cv::Rect& sector, const cv::Mat& map, const cv::Mat& image, cv::Mat& panorama,
                            const cv::Mat& fractions = cv::Mat());

private:
    // Kept in fixed point: converted once here rather than in every frame's remap.
    struct Sector {
        int camera;
        cv::Rect rect;
        cv::Mat positions; // CV_16SC2
        cv::Mat fractions; // CV_16UC1
    };
    int height_;
    std::vector<Sector> sectors_;
};

} // namespace orb
