#pragma once

#include <opencv2/core.hpp>

#include <memory>
#include <string>

namespace orb {
namespace sim {

// Writes one simulated camera's recording as an MP4 file: H.264 video (libx264,
// yuv420p) and, optionally, mono AAC sound, with FFmpeg's libraries. The file is
// written under a temporary name and appears under its own only when finish()
// completes; a writer dropped before that removes what it wrote.
class CameraVideo {
public:
    struct Settings {
        int width = 0, height = 0;  // even, for yuv420p
        double frameRate = 30.0;
        int crf = 18;
        std::string preset = "veryfast";
        bool audio = true;
        int sampleRate = 48000;
    };

    CameraVideo(const std::string& path, const Settings& settings);
    ~CameraVideo();
    CameraVideo(const CameraVideo&) = delete;
    CameraVideo& operator=(const CameraVideo&) = delete;

    // The next picture: 8-bit BGR of the settings' size.
    void writeFrame(const cv::Mat& bgr);
    // The next mono samples (-1..1; louder is clipped).
    void writeAudio(const float* samples, std::size_t count);
    // Flushes the encoders, writes the index and renames the file into place.
    void finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace sim
} // namespace orb
