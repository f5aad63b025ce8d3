#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace orb {
namespace input {

// A calibration as its file holds it: one record per camera, and per camera the size
// of the images it was made for where the file records one (the optional key
// `imageSize: [ width, height ]` beside the record's matrices); an empty size where it
// does not. The records are what BaseApi::importIntrinsics reads, which ignores the key.
struct Calibration {
    std::vector<CameraIntrinsics> cameras;
    std::vector<cv::Size> imageSizes;  // one per camera
};

// Reads the rig calibration at `path` safely: a regular file of at most
// kMaxCalibrationBytes whose text is made safe by canonicalCalibrationText before
// it is parsed, holding exactly `cameraCount` records whose values pass
// checkCalibration. Returns within a fraction of a second on any file. Throws
// CalibrationError naming the file (and the camera and value where one is at
// fault). Whether the records fit the images is checkCalibrationFitsImages.
std::vector<CameraIntrinsics> readCalibration(const std::string& path, std::size_t cameraCount);

// The same, with the recorded image sizes; an `imageSize` that is not two whole numbers
// of pixels within the image limits is refused with a CalibrationError.
Calibration readCalibrationFile(const std::string& path, std::size_t cameraCount);

// The parse alone, for text already read: canonicalCalibrationText, then the storage parser.
// Throws CalibrationError naming `path`.
std::vector<CameraIntrinsics> parseCalibration(const std::string& text, const std::string& path);
Calibration parseCalibrationFile(const std::string& text, const std::string& path);

} // namespace input
} // namespace orb
