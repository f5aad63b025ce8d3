#pragma once

#include <opencv2/core.hpp>

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
    // Distance of the cameras from the rig centre in metres; 0 is the no-parallax rig.
    double rigRadius = 0.05;
    // Extra exposure factor per camera (empty: none), on top of the rig's own.
    std::vector<double> gains;
    // Standard deviation of Gaussian sensor noise in 8-bit levels, drawn afresh for
    // every frame number (and seed) and every camera; 0 renders noise-free images.
    double noiseSigma = 0.0;
    // A moving take: the near objects turn about the rig's vertical axis by this many
    // degrees per frame number (frame N stands turned by N times as much), and the
    // truth files carry the frame number, so that one directory holds a whole take.
    bool moving = false;
    double degreesPerFrame = 0.0;
    // Standard deviation in degrees, per axis, of a random error in each camera's
    // rotation written to "calibration.yaml" (the images keep the true rig, whose
    // calibration then goes to "calibration-true.yaml"); 0 writes the true one.
    double calibrationErrorDegrees = 0.0;
};

// Name of a truth file: "truth.png", "truth-invdepth.tiff", "truth-seen.png" for
// name "truth", "truth-invdepth" or "truth-seen"; in a moving take the frame number
// comes before the extension ("truth-invdepth-0000000003.tiff").
std::string truthFileName(const std::string& name, const std::string& extension, bool perFrame,
                          std::uint32_t frame);

// Camera image name: "%010d" frame number, "-", camera number, extension verbatim.
std::string cameraImageName(std::uint32_t frame, int camera, const std::string& extension);

// Adds rounded Gaussian noise of sigma levels to an 8-bit image, saturating; the
// same (seed, frame, camera) gives the same noise.
void addSensorNoise(cv::Mat& image, double sigma, std::uint64_t seed, std::uint32_t frame, int camera);

// Renders one frame into dir (created if missing): the four camera images, the
// calibration file "calibration.yaml" (and "calibration-true.yaml" after it when the
// calibration is written with an error), the true panorama "truth.png" and its inverse
// depth "truth-invdepth.tiff" (CV_32F), and "truth-seen.png", how many cameras see
// each truth pixel's surface within the stitched angle (8-bit); named per frame in a
// moving take (see truthFileName). Returns the paths written, in that order.
// Throws std::runtime_error on bad settings or when a file cannot be written.
std::vector<std::string> generateFrame(const std::string& dir, const FrameSettings& settings);

} // namespace sim
} // namespace orb
