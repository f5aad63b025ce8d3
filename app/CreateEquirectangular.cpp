#include "app/CreateEquirectangular.h"

#include "app/FrameFiles.h"
#include "app/PanoramaWriter.h"
#include "BaseLib/CameraIntrinsics.h"
#include "BaseLib/ImportIntrinsics.h"
#include "StitchLib/blending/BlendingOpenCV.h"
#include "StitchLib/mapping/StitchInterfaceVireo.h"

#include <boost/filesystem.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <climits>
#include <new>
#include <stdexcept>
#include <unistd.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// Smallest fast panorama whose four sectors are all at least one column wide.
constexpr uint32_t minFastStitchHeight = 4;

bool isRegularFile(const fs::path& path)
{
    boost::system::error_code ec;
    return fs::is_regular_file(path, ec);
}

std::vector<cv::Mat> readCameraImages(const std::string& workingDirectory, const std::string& extension,
                                      uint32_t frameNumber, uint32_t numberOfCameras)
{
    std::vector<fs::path> paths;
    for (uint32_t i = 0; i < numberOfCameras; ++i) {
        paths.push_back(FrameFiles::cameraImagePath(workingDirectory, extension, frameNumber, i + 1));
        if (!isRegularFile(paths.back())) {
            throw std::runtime_error("Camera image '" + paths.back().string() + "' does not exist");
        }
    }
    // Decoding dominates the fast stitch's input time; the images are independent.
    std::vector<cv::Mat> images(paths.size());
    cv::parallel_for_(cv::Range(0, static_cast<int>(paths.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            images[i] = cv::imread(paths[i].string(), cv::IMREAD_UNCHANGED);
        }
    });
    // Checked in camera order, so the first bad camera is the one reported.
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (images[i].empty()) {
            throw std::runtime_error("Camera image '" + paths[i].string() + "' could not be read as an image");
        }
        if (images[i].type() != CV_8UC3) {
            throw std::runtime_error("Camera image '" + paths[i].string() + "' has type " +
                                     cv::typeToString(images[i].type()) +
                                     "; expected 8-bit with 3 channels (CV_8UC3)");
        }
    }
    return images;
}

std::vector<orb::CameraIntrinsics> readCalibration(const fs::path& path, std::size_t numberOfImages)
{
    // A missing file reads as an empty calibration; say what is wrong instead.
    if (!isRegularFile(path)) {
        throw std::runtime_error("Calibration file '" + path.string() + "' does not exist");
    }
    std::vector<orb::CameraIntrinsics> intrinsics = orb::BaseApi::importIntrinsics(path.string());
    if (intrinsics.size() != numberOfImages) {
        throw std::runtime_error("Calibration file '" + path.string() + "' holds " +
                                 std::to_string(intrinsics.size()) + " camera records; expected " +
                                 std::to_string(numberOfImages) + ", one per camera image");
    }
    return intrinsics;
}

std::string allocationMessage(uint32_t height)
{
    return "Fast stitch height " + std::to_string(height) + " is too large: a panorama of " +
           std::to_string(height) + " x " + std::to_string(2ull * height) + " pixels cannot be allocated";
}

cv::Mat fastPanorama(orb::masterlib::StitchInterfaceVireo& stitcher, std::vector<cv::Mat>& images,
                     const std::vector<orb::CameraIntrinsics>& intrinsics, uint32_t height)
{
    try {
        return stitcher.fastStitch(images, intrinsics, 1.0f, static_cast<int>(height));
    } catch (const std::bad_alloc&) {
        throw std::runtime_error(allocationMessage(height));
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) {
            throw std::runtime_error(allocationMessage(height));
        }
        throw;
    }
}

cv::Mat fullPanorama(orb::masterlib::StitchInterfaceVireo& stitcher, std::vector<cv::Mat>& images,
                     const std::vector<orb::CameraIntrinsics>& intrinsics)
{
    std::vector<cv::Mat> parts = stitcher.stitch(images, intrinsics);
    orb::BlendingOpenCV blending;
    return blending.process(parts);
}

} // namespace

void CreateEquirectangular(const std::string& workingDirectory, const std::string& imageFileExtension,
                           const uint32_t& frameNumber, bool fastStitch, uint32_t fastStitchHeight,
                           uint32_t numberOfCameras, const std::string& calibrationFileName)
{
    // Cheap checks first, so that a bad option fails before seconds of work.
    if (fastStitch) {
        if (fastStitchHeight < minFastStitchHeight) {
            throw std::runtime_error("Fast stitch height " + std::to_string(fastStitchHeight) +
                                     " is too small; it must be at least " +
                                     std::to_string(minFastStitchHeight));
        }
        if (fastStitchHeight > static_cast<uint32_t>(INT_MAX / 2)) {
            throw std::runtime_error(allocationMessage(fastStitchHeight));
        }
    }
    const fs::path destination = FrameFiles::panoramaPath(workingDirectory, imageFileExtension, frameNumber);
    if (!cv::haveImageWriter(destination.string())) {
        throw std::runtime_error("Cannot write panorama '" + destination.string() +
                                 "': no image encoder for the extension '" + imageFileExtension + "'");
    }

    std::vector<cv::Mat> images = readCameraImages(workingDirectory, imageFileExtension, frameNumber,
                                                   numberOfCameras);
    const std::vector<orb::CameraIntrinsics> intrinsics =
        readCalibration(fs::path(workingDirectory) / calibrationFileName, images.size());

    orb::masterlib::StitchInterfaceVireo stitcher(0);
    const cv::Mat panorama = fastStitch ? fastPanorama(stitcher, images, intrinsics, fastStitchHeight)
                                        : fullPanorama(stitcher, images, intrinsics);
    // An empty result must fail the run, never be written as a panorama.
    if (panorama.empty()) {
        throw std::runtime_error("Stitching produced no panorama for frame " + std::to_string(frameNumber));
    }

    writePanoramaAtomically(panorama, destination,
                  FrameFiles::temporaryPanoramaPath(workingDirectory, imageFileExtension, frameNumber,
                                                    static_cast<long>(::getpid())));
}
