#pragma once

#include "calibrate/OverlapMatches.h"
#include "calibrate/TakeMatches.h"

#include "BaseLib/CameraIntrinsics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace calibrate {

// Above this median residual in any pair, in pixels of the cameras (at the lens
// scale k0, pixels per radian at the image centre), the calibration no longer fits
// the footage. Matching noise scales with the pixels, and so does what an error costs
// the panorama, whose resolution follows the cameras'. Measured on simulated takes
// (bench/calibrate.sh, docs/calibration.md): the true calibration leaves about 0.1
// pixel at every camera size, image files or video; cameras off by 0.1 degree per
// axis leave 0.3 pixel and more.
constexpr double kCheckThresholdPixels = 0.2;

// Frames a check reads by default: enough that one frame's texture does not decide.
constexpr std::size_t kCheckFrames = 5;

struct PairCheck {
    int cameraA = 0, cameraB = 1;
    std::size_t matches = 0;
    double medianDegrees = 0;
};

struct CheckResult {
    std::vector<std::uint32_t> frames;
    std::vector<PairCheck> pairs;
    double worstDegrees = 0;  // the largest pair median
    double thresholdDegrees = 0;
    bool passed = true;
};

// The residual of `cameras` on the matches: per pair the median angle by which the
// matches' rays miss each other, passed when no pair's median exceeds the threshold
// (kCheckThresholdPixels at the cameras' mean k0, when `thresholdDegrees` is 0).
CheckResult checkResiduals(const std::vector<orb::CameraIntrinsics>& cameras, const std::vector<PairMatches>& pairs,
                           double thresholdDegrees = 0);

// kCheckThresholdPixels as an angle for these cameras, degrees.
double checkThresholdDegrees(const std::vector<orb::CameraIntrinsics>& cameras);

// The whole check of a take: reads the calibration at `calibrationPath` and up to
// kCheckFrames of the source's frames spread over the take, matches the overlaps
// and measures. Throws the input errors of the calibration and images, and
// TooFewMatchesError naming a pair that cannot be measured.
CheckResult checkTake(const TakeSource& source, const std::string& calibrationPath,
                      const MatchSettings& settings = MatchSettings());

// The same for frames that `read` gives (numbers from `frames`, of which up to
// kCheckFrames spread over them are read).
CheckResult checkFrames(const std::vector<std::uint32_t>& frames, const FrameReader& read,
                        const std::string& calibrationPath, const MatchSettings& settings = MatchSettings());

// "calibration residual 0.012 deg (worst pair: cameras 1 and 2 (forward and right)); threshold 0.060: ok"
std::string checkSummary(const CheckResult& result);

} // namespace calibrate
