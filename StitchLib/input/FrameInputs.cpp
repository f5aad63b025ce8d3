#include "StitchLib/input/FrameInputs.h"

#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"

namespace orb {
namespace input {

FrameInputs readFrameInputs(const std::vector<std::string>& imagePaths, const std::string& calibrationPath)
{
    FrameInputs inputs;
    inputs.images = readCameraImages(imagePaths);
    const cv::Size imageSize = inputs.images.empty() ? cv::Size() : inputs.images[0].size();
    inputs.intrinsics = readCalibration(calibrationPath, imagePaths.size(), imageSize);
    return inputs;
}

} // namespace input
} // namespace orb
