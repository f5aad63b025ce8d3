#pragma once

#include "calibrate/OverlapMatches.h"
#include "calibrate/TakeMatches.h"

#include "BaseLib/CameraIntrinsics.h"

#include <cstdint>
#include <string>
#include <vector>

namespace calibrate {

// Above this median residual (degrees) in any pair, the calibration no longer fits
// the footage. Measured on simulated takes (bench/calibrate.sh): the true
// calibration leaves at most about 0.02 degrees, a camera off by 0.25 degrees shows
// about 0.1 in its pairs, and at 0.25 degrees the fast stitch loses about 1 dB.
constexpr double kCheckThresholdDegrees = 0.06;

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
    double thresholdDegrees = kCheckThresholdDegrees;
    bool passed = true;
};

// The residual of `cameras` on the matches: per pair the median angle by which the
// matches' rays miss each other, passed when no pair's median exceeds the threshold.
CheckResult checkResiduals(const std::vector<orb::CameraIntrinsics>& cameras, const std::vector<PairMatches>& pairs,
                           double thresholdDegrees = kCheckThresholdDegrees);

// The whole check of a take: reads the calibration at `calibrationPath` and up to
// kCheckFrames of the source's frames spread over the take, matches the overlaps
// and measures. Throws the input errors of the calibration and images, and
// TooFewMatchesError naming a pair that cannot be measured.
CheckResult checkTake(const TakeSource& source, const std::string& calibrationPath,
                      const MatchSettings& settings = MatchSettings());

// "calibration residual 0.012 deg (worst pair: cameras 1 and 2 (forward and right)); threshold 0.060: ok"
std::string checkSummary(const CheckResult& result);

} // namespace calibrate
