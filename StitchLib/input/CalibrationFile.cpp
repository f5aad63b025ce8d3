#include "StitchLib/input/CalibrationFile.h"

#include "BaseLib/ImportIntrinsics.h"
#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationText.h"
#include "StitchLib/input/ImageLimits.h"
#include "StitchLib/input/InputError.h"
#include "StitchLib/input/InputFile.h"

namespace orb {
namespace input {

std::vector<CameraIntrinsics> parseCalibration(const std::string& text, const std::string& path)
{
    std::string canonical;
    const std::string problem = canonicalCalibrationText(text, canonical);
    if (!problem.empty())
        throw CalibrationError("Error in reading calibration file. Check that calibration file '" + path +
                               "' is valid (" + problem + ")");
    try {
        return BaseApi::importIntrinsicsFromText(canonical, path);
    } catch (const std::runtime_error& e) {
        throw CalibrationError(e.what());
    }
}

std::vector<CameraIntrinsics> readCalibration(const std::string& path, std::size_t cameraCount)
{
    std::string text;
    const std::string problem = readInputFile(path, kMaxCalibrationBytes, text);
    if (!problem.empty())
        throw CalibrationError("Calibration file '" + path + "' " + problem);
    const std::vector<CameraIntrinsics> cameras = parseCalibration(text, path);
    if (cameras.size() != cameraCount) {
        throw CalibrationError("Calibration file '" + path + "' holds " + std::to_string(cameras.size()) +
                               " camera records; expected " + std::to_string(cameraCount) +
                               ", one per camera image");
    }
    checkCalibration(cameras, path);
    return cameras;
}

} // namespace input
} // namespace orb
