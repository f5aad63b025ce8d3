#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orb {
namespace input {

// Reads the rig calibration at `path` safely: a regular file of at most
// kMaxCalibrationBytes whose text is made safe by canonicalCalibrationText before
// it is parsed, holding exactly `cameraCount` records whose values pass
// checkCalibration. Returns within a fraction of a second on any file. Throws
// CalibrationError naming the file (and the camera and value where one is at
// fault). Whether the records fit the images is checkCalibrationFitsImages.
std::vector<CameraIntrinsics> readCalibration(const std::string& path, std::size_t cameraCount);

// The parse alone, for text already read: canonicalCalibrationText, then the storage parser.
// Throws CalibrationError naming `path`.
std::vector<CameraIntrinsics> parseCalibration(const std::string& text, const std::string& path);

} // namespace input
} // namespace orb
