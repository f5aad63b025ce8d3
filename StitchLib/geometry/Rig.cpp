#include "StitchLib/geometry/Rig.h"

#include "BaseLib/LensParameters.h"

#include <stdexcept>
#include <string>

namespace orb {

Rig::Rig(std::vector<CameraIntrinsics> cameras, int lensVersion)
    : cameras_(std::move(cameras)), lensVersion_(lensVersion), maxAngle_(maxAngleForLensVersion(lensVersion))
{
    if (cameras_.size() != static_cast<std::size_t>(kCameraCount))
        throw std::invalid_argument("Rig: the calibration holds " + std::to_string(cameras_.size()) +
                                    " cameras; the rig has " + std::to_string(kCameraCount));
}

std::vector<cv::Rect> Rig::sectorRects(int camera, int height)
{
    const int q = height / 2; // 90 degrees
    const int s = q / 2;      // 45 degrees
    const int left = rightNeighbour(camera) * q + s;
    if (camera == 2)
        return {cv::Rect(left, 0, s, height), cv::Rect(0, 0, s, height)};
    return {cv::Rect(left, 0, q, height)};
}

std::vector<cv::Rect> Rig::partRegions(int camera, int rows, int cols)
{
    const int quarter = cols / 4;    // 90 degrees
    const int margin = quarter / 10; // 9 degrees
    const int regionWidth = quarter + 2 * margin;
    const int halfWidth = quarter / 2 + margin;
    const int topStrip = rows / 100;

    std::vector<cv::Rect> regions{cv::Rect(0, 0, cols, topStrip)};
    if (camera == 2) {
        regions.emplace_back(0, topStrip, halfWidth, rows - topStrip);
        regions.emplace_back(cols - halfWidth, topStrip, halfWidth, rows - topStrip);
    } else {
        const int centre = ((camera + 2) % kCameraCount) * quarter;
        regions.emplace_back(centre - halfWidth, topStrip, regionWidth, rows - topStrip);
    }
    return regions;
}

} // namespace orb
