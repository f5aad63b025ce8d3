#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/geometry/Rig.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orb {
namespace pipeline {

// The input boundary of a stitch: everything that reads files the user gave us.
// Failures are std::runtime_error whose message names the file at fault.

// The camera images, one path per camera in rig order, decoded side by side.
// Each must exist and decode to 8-bit BGR (CV_8UC3); the first bad camera in
// camera order is the one reported.
std::vector<cv::Mat> readCameraImages(const std::vector<std::string>& paths);

// The rig calibration: one record per camera.
std::vector<CameraIntrinsics> readCalibration(const std::string& path, std::size_t cameraCount);

} // namespace pipeline
} // namespace orb
