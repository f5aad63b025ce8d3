#include "StitchLib/pipeline/FrameInputs.h"

#include "BaseLib/ImportIntrinsics.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace orb {
namespace pipeline {

namespace {

bool isRegularFile(const std::string& path)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

} // namespace

std::vector<cv::Mat> readCameraImages(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths) {
        if (!isRegularFile(path))
            throw std::runtime_error("Camera image '" + path + "' does not exist");
    }
    // Decoding dominates the fast stitch's input time; the images are independent.
    std::vector<cv::Mat> images(paths.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(paths.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i)
            images[i] = cv::imread(paths[i], cv::IMREAD_UNCHANGED);
    });
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (images[i].empty())
            throw std::runtime_error("Camera image '" + paths[i] + "' could not be read as an image");
        if (images[i].type() != CV_8UC3) {
            throw std::runtime_error("Camera image '" + paths[i] + "' has type " + cv::typeToString(images[i].type()) +
                                     "; expected 8-bit with 3 channels (CV_8UC3)");
        }
    }
    return images;
}

std::vector<CameraIntrinsics> readCalibration(const std::string& path, std::size_t cameraCount)
{
    // The reader takes a missing file for an empty calibration; say what is wrong instead.
    if (!isRegularFile(path))
        throw std::runtime_error("Calibration file '" + path + "' does not exist");
    std::vector<CameraIntrinsics> intrinsics = BaseApi::importIntrinsics(path);
    if (intrinsics.size() != cameraCount) {
        throw std::runtime_error("Calibration file '" + path + "' holds " + std::to_string(intrinsics.size()) +
                                 " camera records; expected " + std::to_string(cameraCount) +
                                 ", one per camera image");
    }
    return intrinsics;
}

} // namespace pipeline
} // namespace orb
