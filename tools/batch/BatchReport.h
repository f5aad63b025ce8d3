#pragma once

#include "JsonString.h"

#include <cstdint>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace batch {

// What happened to one frame of a take.
struct FrameResult {
    std::uint32_t frame = 0;
    std::string status;  // "ok", "failed", "skipped" (panorama already there) or "interrupted"
    std::string output;  // the panorama's path
    std::string mode;    // "full" or "fast"
    std::vector<std::pair<std::string, double>> seconds; // per stage, in order, then "total"
    double coverage = -1; // share of panorama pixels some camera shows; < 0 unknown
    std::string error;
};

// The report as JSON: {"frames":[...], "summary":{...}}, and "calibration":
// `calibration` when that (a JSON object) is not empty.
void writeReportJson(std::ostream& out, const std::vector<FrameResult>& results, const std::string& calibration = {});

using tools::jsonString;

} // namespace batch
