#include "StitchLib/mapping/FastStitch.h"

#include "BaseLib/LensParameters.h"
#include "StitchLib/geometry/Rig.h"
#include "StitchLib/mapping/FastStitchMaps.h"

#include <stdexcept>

namespace orb {
namespace FastStitch {

cv::Mat makeFastStitchImage(std::vector<CameraIntrinsics> intrinsics, int height, std::vector<cv::Mat>& images,
                            int lensVersion)
{
    const float maxAngle = maxAngleForLensVersion(lensVersion);
    const cv::Matx<float, 4, 4> extrinsic = cv::Matx<float, 4, 4>::eye();
    return BaseApi::remapFastWithExtrinsics(extrinsic, intrinsics, height, images, maxAngle);
}

} // namespace FastStitch

namespace BaseApi {

cv::Mat remapFastWithExtrinsics(cv::Matx<float, 4, 4> extrinsic, std::vector<CameraIntrinsics> intrinsics,
                                int height, std::vector<cv::Mat>& images, float maxAngle)
{
    if (intrinsics.size() > images.size())
        throw std::runtime_error("BaseApi remapFastWithExtrinsics() more calibration records than images");

    const int width = 2 * height;
    // Cleared because a height not divisible by 4 leaves the last columns to no camera.
    cv::Mat panorama = cv::Mat::zeros(height, width, CV_8UC3);
    for (std::size_t i = 0; i < intrinsics.size(); ++i) {
        // One sector's map at a time keeps memory at a quarter of the panorama's maps.
        for (const cv::Rect& sector : Rig::sectorRects(static_cast<int>(i), height)) {
            if (sector.width <= 0 || sector.height <= 0)
                continue;
            const cv::Mat map = FastStitchMaps::sectorMap(intrinsics[i], extrinsic, height, maxAngle, sector);
            FastStitchMaps::remapSector(sector, map, images[i], panorama);
        }
    }
    return panorama;
}

} // namespace BaseApi
} // namespace orb
