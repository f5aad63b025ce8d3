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
    // Best quality: the depth estimate's figures, in the stage's order (how much of each
    // overlap fell back towards the calibration's geometry, whether the images
    // contradicted it); empty otherwise.
    std::vector<std::pair<std::string, double>> depth;
    std::string error;
    // What the user should know about a frame that was stitched all the same.
    std::vector<std::string> warnings;
};

// The report as JSON: {"frames":[...], "summary":{...}}, each frame with a "depth"
// object of named numbers and a "warnings" list of texts when it has any, and "calibration":
// `calibration` when that (a JSON object) is not empty.
void writeReportJson(std::ostream& out, const std::vector<FrameResult>& results, const std::string& calibration = {});

// A result as bytes and back, for a worker process telling the take's process what
// became of a frame. decodeResult throws std::runtime_error on bytes that are not one
// whole result.
std::string encodeResult(const FrameResult& result);
FrameResult decodeResult(const std::string& bytes);

using tools::jsonString;

} // namespace batch
