#include "app/CreateEquirectangular.h"

#include "app/FrameFiles.h"
#include "app/PanoramaWriter.h"
#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/blending/BlendingOpenCV.h"
#include "StitchLib/input/FrameInputs.h"
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
    // The full panorama is BGRA, the fast one BGR.
    checkPanoramaEncodable(destination, fastStitch ? 3 : 4);

    std::vector<std::string> imagePaths;
    for (uint32_t camera = 1; camera <= numberOfCameras; ++camera)
        imagePaths.push_back(FrameFiles::cameraImagePath(workingDirectory, imageFileExtension, frameNumber, camera).string());
    orb::input::FrameInputs inputs =
        orb::input::readFrameInputs(imagePaths, (fs::path(workingDirectory) / calibrationFileName).string());
    std::vector<cv::Mat>& images = inputs.images;
    const std::vector<orb::CameraIntrinsics>& intrinsics = inputs.intrinsics;

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
