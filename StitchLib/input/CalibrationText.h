#pragma once

#include <string>

namespace orb {
namespace input {

// Checks the text of a calibration file before OpenCV's storage parser sees it.
// That parser can loop for ever on some malformed documents and recurses once per
// nesting level, so the text must first pass a maintained YAML parser (libyaml,
// which keeps its own stack on the heap) with at most kMaxCalibrationBytes bytes
// and kMaxCalibrationDepth levels of nesting, and must begin with the "%YAML"
// line by which OpenCV recognises the format. Returns an empty string when the
// text may be parsed, else the reason as a short phrase ("not valid YAML: ...").
std::string findCalibrationTextProblem(const std::string& text);

} // namespace input
} // namespace orb
