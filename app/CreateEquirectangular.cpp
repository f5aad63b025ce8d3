#include "app/CreateEquirectangular.h"

#include "app/FrameFiles.h"
#include "app/PanoramaWriter.h"
#include "StitchLib/input/FrameInputs.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <opencv2/core.hpp>
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
// The program's lenses.
constexpr int lensVersion = 0;

std::string allocationMessage(uint32_t height)
{
    return "Fast stitch height " + std::to_string(height) + " is too large: a panorama of " +
           std::to_string(height) + " x " + std::to_string(2ull * height) + " pixels cannot be allocated";
}

cv::Mat fastPanorama(orb::pipeline::StitchPipeline& stitcher, const std::vector<cv::Mat>& images, uint32_t height)
{
    try {
        return stitcher.fastStitch(images, static_cast<int>(height));
    } catch (const std::bad_alloc&) {
        throw std::runtime_error(allocationMessage(height));
    } catch (const cv::Exception& e) {
        if (e.code == cv::Error::StsNoMem) {
            throw std::runtime_error(allocationMessage(height));
        }
        throw;
    }
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
    for (uint32_t i = 0; i < numberOfCameras; ++i) {
        imagePaths.push_back(
            FrameFiles::cameraImagePath(workingDirectory, imageFileExtension, frameNumber, i + 1).string());
    }
    // Every input guard: image headers and data, calibration text and values.
    const orb::input::FrameInputs inputs =
        orb::input::readFrameInputs(imagePaths, (fs::path(workingDirectory) / calibrationFileName).string());
    const std::vector<cv::Mat>& images = inputs.images;
    orb::pipeline::StitchPipeline stitcher{orb::Rig(inputs.intrinsics, lensVersion)};

    const cv::Mat panorama = fastStitch ? fastPanorama(stitcher, images, fastStitchHeight)
                                        : stitcher.fullStitch(images);
    // An empty result must fail the run, never be written as a panorama.
    if (panorama.empty()) {
        throw std::runtime_error("Stitching produced no panorama for frame " + std::to_string(frameNumber));
    }

    writePanoramaAtomically(panorama, destination,
                            FrameFiles::temporaryPanoramaPath(workingDirectory, imageFileExtension, frameNumber,
                                                              static_cast<long>(::getpid())));
}
