#pragma once

#include "calibrate/CalibrationCheck.h"
#include "calibrate/RigRefinement.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace calibrate {

// What a refinement did, for the user and for scripts.
struct RefinementReport {
    std::string input, output, backup;  // calibration files (backup: empty unless in place)
    std::string features;
    std::string mode;
    std::vector<std::uint32_t> frames;
    Refinement refinement;
    double seconds = 0;
};

// Per pair: matches used, median residual before and after (degrees); per camera the
// rotation correction (angle in degrees and rotation vector in the rig frame), the
// centre shift and the k0 factor.
void writeRefinementJson(std::ostream& out, const RefinementReport& report);
void writeRefinementText(std::ostream& out, const RefinementReport& report);

// Per pair: matches and median residual (degrees); the worst, the threshold, the verdict.
void writeCheckJson(std::ostream& out, const CheckResult& result, const std::string& calibration);
void writeCheckText(std::ostream& out, const CheckResult& result);

} // namespace calibrate
