#include "StitchLib/mapping/FastStitchMaps.h"

#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/Rig.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <utility>

namespace orb {

FastStitchMaps::FastStitchMaps(const std::vector<CameraIntrinsics>& intrinsics, const cv::Matx44f& extrinsic,
                               int height, float maxAngle)
    : height_(height)
{
    for (std::size_t i = 0; i < intrinsics.size(); ++i) {
        for (const cv::Rect& rect : Rig::sectorRects(static_cast<int>(i), height)) {
            if (rect.width <= 0 || rect.height <= 0)
                continue;
            Sector sector{static_cast<int>(i), rect, cv::Mat(), cv::Mat()};
            cv::convertMaps(sectorMap(intrinsics[i], extrinsic, height, maxAngle, rect), cv::noArray(),
                            sector.positions, sector.fractions, CV_16SC2);
            sectors_.push_back(std::move(sector));
        }
    }
}

cv::Mat FastStitchMaps::stitch(const std::vector<cv::Mat>& images) const
{
    // Cleared because a height not divisible by 4 leaves the last columns to no camera.
    cv::Mat panorama = cv::Mat::zeros(height_, 2 * height_, CV_8UC3);
    for (const Sector& sector : sectors_) {
        if (static_cast<std::size_t>(sector.camera) >= images.size())
            throw std::runtime_error("FastStitchMaps stitch() no image for camera " +
                                     std::to_string(sector.camera + 1));
        remapSector(sector.rect, sector.positions, images[sector.camera], panorama, sector.fractions);
    }
    return panorama;
}

double FastStitchMaps::coverage(const std::vector<cv::Size>& imageSizes) const
{
    // Remapping a white image through the same maps marks every pixel a camera reaches,
    // with the same interpolation and border as the stitch.
    double covered = 0.0;
    for (const Sector& sector : sectors_) {
        if (static_cast<std::size_t>(sector.camera) >= imageSizes.size())
            throw std::runtime_error("FastStitchMaps coverage() no image size for camera " +
                                     std::to_string(sector.camera + 1));
        const cv::Mat seen(imageSizes[static_cast<std::size_t>(sector.camera)], CV_8UC1, cv::Scalar(255));
        cv::Mat block;
        cv::remap(seen, block, sector.positions, sector.fractions, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                  cv::Scalar::all(0));
        covered += cv::countNonZero(block);
    }
    return covered / (2.0 * height_ * height_);
}

cv::Mat FastStitchMaps::sectorMap(const CameraIntrinsics& intrinsics, const cv::Matx44f& extrinsic, int height,
                                  float maxAngle, const cv::Rect& sector)
{
    const auto mapper = makeEqrToFisheye(intrinsics, extrinsic, height, 2 * height, maxAngle);
    cv::Mat map;
    ImageMapping::initFastMap(sector, mapper, map);
    return map;
}

void FastStitchMaps::remapSector(const cv::Rect& sector, const cv::Mat& map, const cv::Mat& image, cv::Mat& panorama,
                                 const cv::Mat& fractions)
{
    cv::Mat block;
    if (fractions.empty())
        cv::remap(image, block, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    else
        cv::remap(image, block, map, fractions, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
    // Writing a block of another channel count into the view would silently reallocate
    // it instead of filling the panorama.
    CV_Assert(block.channels() == panorama.channels());
    cv::Mat target = panorama(sector);
    block.convertTo(target, CV_8U);
}

} // namespace orb
