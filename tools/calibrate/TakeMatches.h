#pragma once

#include "calibrate/OverlapMatches.h"

#include "StitchLib/input/CalibrationFile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace calibrate {

// Frames of a take as the stitcher names them: %010d-<camera><extension> in `directory`.
struct TakeSource {
    std::string directory = ".";
    std::string extension = ".png";
    std::vector<std::uint32_t> frames;
};

// Up to `count` of `frames` (ascending), spread evenly from the first to the last, so
// that no stretch of the take (one frame's texture, a passing object) decides alone.
std::vector<std::uint32_t> spreadFrames(const std::vector<std::uint32_t>& frames, std::size_t count);

struct TakeMatches {
    std::vector<PairMatches> pairs;  // checked, see OverlapMatches
    cv::Size imageSize;
};

// The four camera images (8-bit BGR or grey, camera order) of one frame of a take.
using FrameReader = std::function<std::vector<cv::Mat>(std::uint32_t frame)>;

// Reads a frame's camera image files of `source` through the stitcher's input checks.
FrameReader imageFrames(const TakeSource& source);

// Matches the overlaps of neighbouring cameras in each of `frames` as `read` gives
// them, checking the first that the calibration is one for its images and the rest
// that they are of the same size. `calibrationPath` only names the calibration in
// errors; `progress` (may be empty) hears after each frame how many are done of how many.
TakeMatches matchFrames(const std::vector<std::uint32_t>& frames, const FrameReader& read,
                        const orb::input::Calibration& calibration, const std::string& calibrationPath,
                        const MatchSettings& settings, const std::function<void(std::size_t, std::size_t)>& progress);

// Reads every frame of `source` through the stitcher's input checks (the calibration
// must be one for its images) and matches the overlaps of neighbouring cameras.
// `calibrationPath` only names the calibration in errors. `progress` (may be empty)
// hears after each frame how many are done of how many.
TakeMatches matchTake(const TakeSource& source, const orb::input::Calibration& calibration,
                      const std::string& calibrationPath, const MatchSettings& settings,
                      const std::function<void(std::size_t, std::size_t)>& progress);

} // namespace calibrate
