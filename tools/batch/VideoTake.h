#pragma once

#include "FrameSelection.h"

#include <cstdint>
#include <string>
#include <vector>

namespace batch {

// A take given as four camera videos, stitched into one 360 video.
struct VideoTakeOptions {
    std::vector<std::string> videos;   // forward, right, back, left
    std::string calibration;           // empty: calibration.yaml beside the first video
    std::string offsets;               // "a,b,c,d" in frames, or each with "ms"; empty: --sync
    std::string sync;                  // audio, picture or empty (audio when all four have audio)
    FrameChoice frames;                // by output frame index
    double start = -1;                 // seconds (< 0: not given)
    double duration = -1;
    std::string output;                // OUT.mp4, .mov or .mkv
    std::string codec = "h264";
    int crf = -1;
    std::string preset = "medium";
    int width = 0, height = 0;         // 0: the codec's default, no larger than the stitch
    double segmentSeconds = 10;
    bool joinOnly = false;
    int audioFrom = 1;
    bool audioFromGiven = false;
    Shard shard;
    bool fastStitch = false;
    std::uint32_t fastStitchHeight = 0; // 0: the output's height
    std::string quality = "seed";
    unsigned jobs = 0;
    std::string reportPath;
    bool quiet = false;
};

// Stitches the take into the video; returns the exit status.
int runVideoTake(const VideoTakeOptions& options);

} // namespace batch
