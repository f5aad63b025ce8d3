#include "calibrate/CalibrationCheck.h"

#include "calibrate/RigRefinement.h"

#include "StitchLib/geometry/Rig.h"
#include "StitchLib/input/CalibrationFile.h"

#include <cstdio>

namespace calibrate {

double checkThresholdDegrees(const std::vector<orb::CameraIntrinsics>& cameras)
{
    double k0 = 0;
    for (const orb::CameraIntrinsics& camera : cameras)
        k0 += camera.lensCoeffs(0) / static_cast<double>(cameras.size());
    return kCheckThresholdPixels / k0 * 180.0 / CV_PI;
}

CheckResult checkResiduals(const std::vector<orb::CameraIntrinsics>& cameras, const std::vector<PairMatches>& pairs,
                           double thresholdDegrees)
{
    CheckResult result;
    result.thresholdDegrees = thresholdDegrees > 0 ? thresholdDegrees : checkThresholdDegrees(cameras);
    for (const PairMatches& pair : pairs) {
        PairCheck check;
        check.cameraA = pair.cameraA;
        check.cameraB = pair.cameraB;
        check.matches = pair.matches.size();
        check.medianDegrees = medianResidualDegrees(cameras, pair);
        result.worstDegrees = std::max(result.worstDegrees, check.medianDegrees);
        result.pairs.push_back(check);
    }
    result.passed = result.worstDegrees <= result.thresholdDegrees;
    return result;
}

CheckResult checkFrames(const std::vector<std::uint32_t>& frames, const FrameReader& read,
                        const std::string& calibrationPath, const MatchSettings& settings)
{
    const orb::input::Calibration calibration =
        orb::input::readCalibrationFile(calibrationPath, orb::Rig::kCameraCount);
    const std::vector<std::uint32_t> chosen = spreadFrames(frames, kCheckFrames);
    const TakeMatches matches = matchFrames(chosen, read, calibration, calibrationPath, settings, {});
    requireMatches(matches.pairs, kMinimumMatches);
    CheckResult result = checkResiduals(calibration.cameras, matches.pairs);
    result.frames = chosen;
    return result;
}

CheckResult checkTake(const TakeSource& source, const std::string& calibrationPath, const MatchSettings& settings)
{
    const orb::input::Calibration calibration =
        orb::input::readCalibrationFile(calibrationPath, orb::Rig::kCameraCount);
    TakeSource chosen = source;
    chosen.frames = spreadFrames(source.frames, kCheckFrames);
    const TakeMatches matches = matchTake(chosen, calibration, calibrationPath, settings, {});
    requireMatches(matches.pairs, kMinimumMatches);
    CheckResult result = checkResiduals(calibration.cameras, matches.pairs);
    result.frames = chosen.frames;
    return result;
}

std::string checkSummary(const CheckResult& result)
{
    int worst = 0;
    for (std::size_t i = 0; i < result.pairs.size(); ++i) {
        if (result.pairs[i].medianDegrees > result.pairs[worst].medianDegrees)
            worst = static_cast<int>(i);
    }
    char text[256];
    std::snprintf(text, sizeof text, "calibration residual %.3f deg (worst pair: %s); threshold %.3f deg: %s",
                  result.worstDegrees,
                  result.pairs.empty() ? "none"
                                       : pairName(result.pairs[worst].cameraA, result.pairs[worst].cameraB).c_str(),
                  result.thresholdDegrees, result.passed ? "ok" : "the calibration does not fit the footage");
    return text;
}

} // namespace calibrate
