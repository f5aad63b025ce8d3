#pragma once

#include <cstdint>
#include <string>

// The frame job: reads the four camera images of one frame and the rig
// calibration from the working directory, stitches them (fast or full) and
// writes the panorama next to them. Throws std::runtime_error with a message
// naming the offending file or option; on failure no panorama is left behind.
void CreateEquirectangular(const std::string& workingDirectory, const std::string& imageFileExtension,
                           const uint32_t& frameNumber, bool fastStitch, uint32_t fastStitchHeight,
                           uint32_t numberOfCameras, const std::string& calibrationFileName);
