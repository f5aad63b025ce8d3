#pragma once

#include "sim/Generator.h"

#include <string>
#include <vector>

namespace orb {
namespace sim {

// A simulated take as the rig's cameras record it: each camera started by hand at
// its own moment, so the same sound and motion fall on different frames of each.
struct TakeSettings {
    // Pictures: seed, camera size, noise, gains, rig radius, truth height, near objects,
    // supersampling. Its frame number and extension are not used.
    FrameSettings picture;
    int frames = 24;            // frames in each camera's file
    double frameRate = 30.0;
    // Per camera, in frames: camera c's file shows at its frame n + offsets[c] what
    // camera 1's shows at frame n (positive: that camera started earlier, and hears
    // everything later). Made relative to camera 1. Empty: all 0.
    std::vector<double> offsets;
    double degreesPerFrame = 0.0;  // the near objects turn about the rig's axis
    bool audio = true;
    bool images = false;           // also every camera picture as a PNG, as a take of image files
    bool truth = true;             // the true panorama of every frame
    int crf = 18;
};

// File of camera (1-4) in a video take: "cam1.mp4".
std::string cameraVideoName(int camera);

// Writes the take into dir (created if missing): the four camera videos (H.264 and
// AAC in MP4; frame j of camera c shows the scene at frame j - offsets[c] of the
// scene's clock, its sound is the take's clicks and bursts delayed alike), the
// calibration, "truth-take.json" (frames, frame rate, the true offsets and motion),
// with `truth` the true panorama, inverse depth and sightings of every frame n of
// camera 1 (truthFileName(..., true, n)), and with `images` the camera pictures
// "%010d-<camera>.png" (before encoding). Returns the paths written. Throws
// std::runtime_error on bad settings or a file that cannot be written.
std::vector<std::string> generateVideoTake(const std::string& dir, const TakeSettings& settings);

} // namespace sim
} // namespace orb
