#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <string>
#include <vector>

namespace orb {
namespace BaseApi {

// Reads the rig's calibration file: one record per element of its "cameras"
// sequence, in file order. Any failure while reading becomes a std::runtime_error
// naming the path; a file that cannot be opened reads as an empty list.
std::vector<CameraIntrinsics> importIntrinsics(const std::string& path);

// The same for the text of a calibration file already read; `path` only names it
// in the error. The text must already have passed the input checks: the storage
// parser is not safe on arbitrary text.
std::vector<CameraIntrinsics> importIntrinsicsFromText(const std::string& text, const std::string& path);

} // namespace BaseApi
} // namespace orb
