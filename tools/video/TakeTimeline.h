#pragma once

#include "VideoReader.h"

#include <cstdint>
#include <vector>

namespace video {

// The time all cameras of a take cover, and where each output frame falls in each
// camera's own recording. Take time T shows in camera k's video at T + offset[k]
// (a camera started earlier than the others has a larger offset: everything happens
// later in its recording). Output frame i is at take time start() + i / rate.
class TakeTimeline {
public:
    // durations[k]: seconds camera k's video covers from its first frame;
    // offsets[k]: seconds; rate: output frames per second.
    TakeTimeline(const std::vector<double>& durations, const std::vector<double>& offsets, double rate);

    double start() const { return start_; }
    double end() const { return end_; }
    double rate() const { return rate_; }
    // Output frames of the whole covered time (0 when the cameras never overlap).
    std::int64_t frameCount() const { return frames_; }
    // Camera k's time (seconds from its first frame) of output frame i.
    double cameraSeconds(int camera, std::int64_t frame) const;

private:
    std::vector<double> offsets_;
    double rate_;
    double start_ = 0;
    double end_ = 0;
    std::int64_t frames_ = 0;
};

// Picks from one camera's frames, read forward only, the one nearest each requested
// time (the earlier of two equally near). Requests come in increasing time. Counts
// what the take does with the camera's frames: a frame serving two output frames in a
// row is reused, a frame passed over between two output frames is skipped.
class FramePicker {
public:
    explicit FramePicker(VideoReader& reader);

    // The frame nearest `seconds`; the last frame once the video has ended. Throws
    // VideoError from the reader, or when the video has no frame at all.
    const VideoFrame& at(double seconds);
    // Moves near `seconds` by seeking when that is far ahead (or behind); the next
    // request starts afresh (nothing reused or skipped across a jump).
    void jumpTo(double seconds);

    std::int64_t reused() const { return reused_; }
    std::int64_t skipped() const { return skipped_; }
    // Reuse or skip of the last request: > 0 frames skipped before it, -1 reused, 0 neither.
    int lastEvent() const { return lastEvent_; }

private:
    bool advance();

    VideoReader& reader_;
    VideoFrame current_;
    VideoFrame next_;
    bool haveCurrent_ = false;
    bool haveNext_ = false;
    bool ended_ = false;
    bool fresh_ = true;
    double lastServed_ = -1;
    std::int64_t passed_ = 0; // frames read past since the last request
    std::int64_t reused_ = 0;
    std::int64_t skipped_ = 0;
    int lastEvent_ = 0;
};

} // namespace video
