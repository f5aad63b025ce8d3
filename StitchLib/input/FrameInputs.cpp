#include "StitchLib/input/FrameInputs.h"

#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"

namespace orb {
namespace input {

FrameInputs readFrameInputs(const std::vector<std::string>& imagePaths, const std::string& calibrationPath)
{
    FrameInputs inputs;
    inputs.images = readCameraImages(imagePaths);
    const Calibration calibration = readCalibrationFile(calibrationPath, imagePaths.size());
    if (!inputs.images.empty())
        checkCalibrationMatchesImages(calibration, inputs.images[0].size(), calibrationPath);
    inputs.intrinsics = calibration.cameras;
    return inputs;
}

} // namespace input
} // namespace orb
