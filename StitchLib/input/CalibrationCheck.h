#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/input/CalibrationFile.h"

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

// Farthest an optical centre may lie from the image centre, as a share of the image's
// width (horizontally) or height (vertically). Lens and sensor sit within a few
// per cent of each other; a calibration made for images of half or twice the size puts
// the centre a quarter of the image away.
constexpr double kMaxCentreOffset = 0.2;
// Angle from its axis (radians) each camera's image must reach in some direction:
// four cameras share the full circle, so each must see at least 45 degrees to either
// side of its axis.
constexpr double kMinLensReach = 0.7853981633974483;

// Checks, before stitching camera images of `imageSize`, that the calibration is one
// for such images, refusing what is certainly wrong with a CalibrationError naming
// `path`, the camera and both sizes:
// - a recorded image size (Calibration::imageSizes) that differs;
// - an optical centre outside the image (checkCalibrationFitsImages);
// - without a recorded size, an optical centre further than kMaxCentreOffset from the
//   image centre, or a lens whose image reaches less than kMinLensReach from its axis
//   even at the farthest corner (a calibration for larger images).
// A calibration for images within about 40 % of this size, or for another rig's
// cameras of the same size, cannot be told from its values and passes.
void checkCalibrationMatchesImages(const Calibration& calibration, cv::Size imageSize, const std::string& path);

} // namespace input
} // namespace orb
