#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orb {
namespace input {

// Largest deviation of R * R^T from the identity accepted in a calibration's
// rotation, per element: far above the rounding of a file written with six
// significant digits, far below a scaled or sheared matrix.
constexpr float kRotationTolerance = 1e-3f;

// Checks that the calibration records describe a rig: finite lens coefficients
// with a positive focal term, a rigid tmBToC (orthonormal rotation with
// determinant +1 within kRotationTolerance, finite translation, last row
// 0 0 0 1), and no two neighbouring cameras one above the other (depth estimation
// needs a horizontal baseline). Throws CalibrationError naming `path`, the camera
// (counted from 1) and the value at fault.
void checkCalibration(const std::vector<CameraIntrinsics>& cameras, const std::string& path);

// Checks that the calibration can describe camera images of `imageSize`: every
// optical centre lies inside the image. Throws CalibrationError as above.
void checkCalibrationFitsImages(const std::vector<CameraIntrinsics>& cameras, cv::Size imageSize,
                                const std::string& path);

} // namespace input
} // namespace orb
