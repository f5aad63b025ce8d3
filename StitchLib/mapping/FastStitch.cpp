#include "StitchLib/mapping/FastStitch.h"

#include "BaseLib/LensParameters.h"
#include "StitchLib/mapping/EqrToFisheye.h"
#include "StitchLib/mapping/ImageMapping.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>

namespace orb {
namespace {

// Remaps one sector rectangle of the panorama from a camera image.
void fillSector(const cv::Rect& sector, const EqrToFisheye<false, false>& mapper, const cv::Mat& image,
                cv::Mat& panorama)
{
    if (sector.width <= 0 || sector.height <= 0)
        return;
    cv::Mat map;
    ImageMapping::initFastMap(sector, mapper, map);
    cv::Mat block;
    cv::remap(image, block, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    // Writing a block of another channel count into the view would silently reallocate
    // it instead of filling the panorama.
    CV_Assert(block.channels() == panorama.channels());
    cv::Mat target = panorama(sector);
    block.convertTo(target, CV_8U);
}

} // namespace

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
    const int q = height / 2;
    const int s = q / 2;

    for (std::size_t i = 0; i < intrinsics.size(); ++i) {
        const auto mapper = makeEqrToFisheye(intrinsics[i], extrinsic, height, width, maxAngle);
        const int left = static_cast<int>((i + 1) % 4) * q + s;
        fillSector(cv::Rect(left, 0, i == 2 ? s : q, height), mapper, images[i], panorama);
        // The backward camera's sector continues at the panorama's left edge.
        if (i == 2)
            fillSector(cv::Rect(0, 0, s, height), mapper, images[i], panorama);
    }
    return panorama;
}

} // namespace BaseApi
} // namespace orb
