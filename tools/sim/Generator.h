#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orb {
namespace sim {

// What one simulated frame consists of and how finely it is rendered.
struct FrameSettings {
    std::uint32_t frame = 0;
    std::string extension = ".png";
    int truthHeight = 1000;
    std::uint64_t seed = 0;
    bool nearObjects = true;
    int cameraWidth = 1280;
    int cameraHeight = 1280;
    int supersample = 3;
    bool parallel = true;
};

// Camera image name: "%010d" frame number, "-", camera number, extension verbatim.
std::string cameraImageName(std::uint32_t frame, int camera, const std::string& extension);

// Renders one frame into dir (created if missing): the four camera images, the
// calibration file "calibration.yaml", the true panorama "truth.png" and its inverse
// depth "truth-invdepth.tiff" (CV_32F). Returns the paths written, in that order.
// Throws std::runtime_error on bad settings or when a file cannot be written.
std::vector<std::string> generateFrame(const std::string& dir, const FrameSettings& settings);

} // namespace sim
} // namespace orb
