#include "StitchLib/input/CalibrationFile.h"

#include "BaseLib/ImportIntrinsics.h"
#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationText.h"
#include "StitchLib/input/ImageLimits.h"
#include "StitchLib/input/InputError.h"
#include "StitchLib/input/InputFile.h"

namespace orb {
namespace input {
namespace {

// The recorded image size of each camera element, from text the storage parser may
// see (already made canonical); an empty size where there is none.
std::vector<cv::Size> recordedImageSizes(const std::string& canonical, const std::string& path)
{
    std::vector<cv::Size> sizes;
    try {
        const cv::FileStorage storage(canonical, cv::FileStorage::READ | cv::FileStorage::MEMORY);
        const cv::FileNode cameras = storage["cameras"];
        for (auto it = cameras.begin(); it != cameras.end(); ++it) {
            const cv::FileNode size = (*it)["imageSize"];
            if (size.isNone()) {
                sizes.emplace_back();
                continue;
            }
            const auto side = [&](int i) { return size.isSeq() && size.size() == 2 && size[i].isInt() ? int(size[i]) : 0; };
            const int width = side(0), height = side(1);
            if (width < kMinImageSide || width > kMaxImageSide || height < kMinImageSide || height > kMaxImageSide) {
                throw CalibrationError("Calibration file '" + path + "', camera " + std::to_string(sizes.size() + 1) +
                                       ": imageSize must be [ width, height ], two whole numbers of pixels from " +
                                       std::to_string(kMinImageSide) + " to " + std::to_string(kMaxImageSide));
            }
            sizes.emplace_back(width, height);
        }
    } catch (const cv::Exception& e) {
        throw CalibrationError("Error in reading calibration file. Check that calibration file '" + path +
                               "' is valid (" + e.what() + ")");
    }
    return sizes;
}

std::string canonicalText(const std::string& text, const std::string& path)
{
    std::string canonical;
    const std::string problem = canonicalCalibrationText(text, canonical);
    if (!problem.empty())
        throw CalibrationError("Error in reading calibration file. Check that calibration file '" + path +
                               "' is valid (" + problem + ")");
    return canonical;
}

std::vector<CameraIntrinsics> importRecords(const std::string& canonical, const std::string& path)
{
    try {
        return BaseApi::importIntrinsicsFromText(canonical, path);
    } catch (const std::runtime_error& e) {
        throw CalibrationError(e.what());
    }
}

} // namespace

std::vector<CameraIntrinsics> parseCalibration(const std::string& text, const std::string& path)
{
    return importRecords(canonicalText(text, path), path);
}

Calibration parseCalibrationFile(const std::string& text, const std::string& path)
{
    const std::string canonical = canonicalText(text, path);
    Calibration calibration;
    calibration.cameras = importRecords(canonical, path);
    calibration.imageSizes = recordedImageSizes(canonical, path);
    // Both walk the same sequence; kept equal so that callers may index either.
    calibration.imageSizes.resize(calibration.cameras.size());
    return calibration;
}

Calibration readCalibrationFile(const std::string& path, std::size_t cameraCount)
{
    std::string text;
    const std::string problem = readInputFile(path, kMaxCalibrationBytes, text);
    if (!problem.empty())
        throw CalibrationError("Calibration file '" + path + "' " + problem);
    Calibration calibration = parseCalibrationFile(text, path);
    if (calibration.cameras.size() != cameraCount) {
        throw CalibrationError("Calibration file '" + path + "' holds " + std::to_string(calibration.cameras.size()) +
                               " camera records; expected " + std::to_string(cameraCount) +
                               ", one per camera image");
    }
    checkCalibration(calibration.cameras, path);
    return calibration;
}

std::vector<CameraIntrinsics> readCalibration(const std::string& path, std::size_t cameraCount)
{
    return readCalibrationFile(path, cameraCount).cameras;
}

} // namespace input
} // namespace orb
