#include "StitchLib/mapping/RemapParts.h"

#include "StitchLib/mapping/EqrToFisheye.h"
#include "StitchLib/mapping/ImageMapping.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>

namespace orb {
namespace BaseApi {

std::vector<cv::Rect> partRegions(int cameraIndex, int rows, int cols)
{
    const int quarter = cols / 4;                    // 90 degrees
    const int margin = quarter / 10;                 // 9 degrees
    const int regionWidth = quarter + 2 * margin;
    const int halfWidth = quarter / 2 + margin;
    const int topStrip = rows / 100;

    // Every camera may fill the strip near the zenith, where the sectors meet.
    std::vector<cv::Rect> regions{cv::Rect(0, 0, cols, topStrip)};
    if (cameraIndex == 2) {
        regions.emplace_back(0, topStrip, halfWidth, rows - topStrip);
        regions.emplace_back(cols - halfWidth, topStrip, halfWidth, rows - topStrip);
    } else {
        const int centre = ((cameraIndex + 2) % 4) * quarter;
        regions.emplace_back(centre - halfWidth, topStrip, regionWidth, rows - topStrip);
    }
    return regions;
}

std::vector<cv::Mat> remapPartsWithExtrinsics(const cv::Matx44f& extrinsic, const ScanImages& scan,
                                              const std::vector<CameraIntrinsics>& cameras,
                                              const std::vector<cv::Mat>& images, float maxAngle)
{
    if (images.size() < cameras.size())
        throw std::runtime_error("BaseApi remapPartsWithExtrinsics() fewer images than cameras");

    const int rows = scan.inverseDepth.rows;
    const int cols = scan.inverseDepth.cols;
    std::vector<cv::Mat> parts;
    cv::Mat map; // one buffer for every region of every camera

    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const std::vector<cv::Rect> regions = partRegions(static_cast<int>(i), rows, cols);

        cv::Mat bgra;
        cv::cvtColor(images[i], bgra, cv::COLOR_BGR2BGRA);
        // A remap into a part view of another type would reallocate the view and leave
        // the part empty without a word.
        if (bgra.type() != CV_8UC4)
            throw std::runtime_error("BaseApi remapPartsWithExtrinsics() image " + std::to_string(i) +
                                     " is not an 8-bit colour image");

        auto mapper = makeEqrToFisheye(cameras[i], extrinsic, scan.inverseDepth, scan.validRows, maxAngle);
        cv::Mat part(rows, 2 * rows, CV_8UC4, cv::Scalar::all(0));

        for (const cv::Rect& region : regions) {
            if (region.width <= 0 || region.height <= 0)
                continue;
            ImageMapping::initMapParallel(region, mapper, map);
            cv::Mat target = part(region);
            cv::remap(bgra, target, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar::all(0));
        }
        parts.push_back(part);
    }
    return parts;
}

} // namespace BaseApi
} // namespace orb
