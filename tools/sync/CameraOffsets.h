#pragma once

#include <string>
#include <vector>

namespace orb {
namespace sync {

// How the cameras of a take are shifted against each other. Camera c's recording
// shows the moment of camera 1's frame n at its own frame n + frames[c] (index 0 is
// camera 1, always 0): a positive offset means that camera started recording earlier,
// so the same sound or motion comes later in its file.
struct CameraOffsets {
    // Frames per second the offsets count in; 0 when unknown (no milliseconds then).
    double frameRate = 0.0;
    // Per camera, in frames, sub-frame values kept.
    std::vector<double> frames;
    // Per camera, how clearly the offset was found (the best match against the next
    // best); empty for offsets given by hand. Camera 1's entry is 0.
    std::vector<double> confidence;

    // Offset of camera (0-based) in milliseconds; throws std::logic_error without a frame rate.
    double milliseconds(int camera) const;
    // Offsets rounded to whole frames, as frames are picked.
    std::vector<int> wholeFrames() const;
};

// "a,b,c,d": the offsets rounded to whole frames, as --offsets takes them back.
std::string formatOffsetsOption(const CameraOffsets& offsets);

// One line per camera (offset in frames and milliseconds, confidence) and the
// reusable option, for people; `method` says how they were found ("audio", "picture").
std::string describeOffsets(const CameraOffsets& offsets, const std::string& method);

// Parses "a,b,c,d": one offset per camera, each a number of frames ("12", "-3.5")
// or of milliseconds ("400ms", "-12.5ms", converted with frameRate). The values are
// made relative to camera 1 (the first is subtracted from all). Throws
// std::invalid_argument naming the text and the item at fault.
CameraOffsets parseOffsets(const std::string& text, double frameRate, int cameraCount = 4);

} // namespace sync
} // namespace orb
