#pragma once

#include <string>

namespace orb {
namespace input {

// Makes the text of a calibration file safe for OpenCV's storage parser, which can
// loop for ever on malformed documents (and on some valid YAML it reads
// differently) and recurses once per nesting level. The text must begin with the
// "%YAML" line by which OpenCV recognises the format, hold at most
// kMaxCalibrationBytes bytes and kMaxCalibrationDepth levels of nesting, and be a
// single YAML document as judged by a maintained parser (libyaml, which keeps its
// stack on the heap): a mapping at the root, no aliases or anchors, no tags but
// "!!opencv-matrix" on mappings, keys and numbers made of letters, digits and
// "_.+-" only, other values short text without quotes or backslashes. OpenCV reads
// any mapping it is asked for as a matrix and sizes it from its header first, so every
// mapping that is tagged as a matrix or holds one of a matrix's keys (rows, cols, dt,
// data, sizes) must be a whole matrix: each key once, whole-number sizes, a type
// letter, and a list of as many numbers as they call for. The document is then written out again into
// `canonical` in the layout OpenCV's own writer uses, so that OpenCV's parser only
// ever sees text of the kind it writes itself.
// Returns an empty string on success, else the reason as a short phrase
// ("not valid YAML: ...").
std::string canonicalCalibrationText(const std::string& text, std::string& canonical);

} // namespace input
} // namespace orb
