#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orb {
namespace input {

// Everything a stitch reads for one frame, checked.
struct FrameInputs {
    std::vector<cv::Mat> images;               // one 8-bit BGR image per camera, all of one size
    std::vector<CameraIntrinsics> intrinsics;  // one record per camera, in camera order
};

// The input boundary of the pipeline: reads the camera images at `imagePaths`
// (camera order) and the calibration at `calibrationPath`, with every guard of
// readCameraImages, readCalibrationFile and checkCalibrationMatchesImages, in bounded
// time and memory. Throws an
// InputError (ImageError or CalibrationError) naming the file, camera or value.
FrameInputs readFrameInputs(const std::vector<std::string>& imagePaths, const std::string& calibrationPath);

} // namespace input
} // namespace orb
