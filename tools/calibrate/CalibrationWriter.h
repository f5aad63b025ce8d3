#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace calibrate {

// The calibration as an OpenCV FileStorage YAML document in the layout the stitcher
// reads: a "cameras" sequence of maps holding "lensCoeffs" (4x1), "centre" (2x1) and
// "tmBToC" (4x4), all float, and "imageSize" ([ width, height ]), the size of the
// camera images the record describes.
std::string calibrationText(const std::vector<orb::CameraIntrinsics>& cameras, cv::Size imageSize);

// Writes the calibration to `path` whole or not at all: into a hidden temporary file
// beside it, flushed, read back through the stitcher's calibration reader and its
// checks (including that it is one for images of `imageSize`), then renamed
// into place. Throws std::runtime_error naming the path; no temporary file is left.
void writeCalibrationFile(const std::string& path, const std::vector<orb::CameraIntrinsics>& cameras,
                          cv::Size imageSize);

// Copies `path` to a backup beside it ("<path>.bak", or "<path>.bak.N" with the first
// free N, so an earlier backup is never overwritten) and returns the backup's path.
// Throws std::runtime_error naming the file.
std::string backupFile(const std::string& path);

} // namespace calibrate
