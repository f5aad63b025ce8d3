#pragma once

#include <stdexcept>
#include <string>

namespace orb {
namespace input {

// Input data that cannot be stitched. The message names the file, camera or value
// at fault; callers turn it into text and an exit status.
class InputError : public std::runtime_error {
public:
    explicit InputError(const std::string& message) : std::runtime_error(message) {}
};

// A camera image that is missing, unreadable, damaged or of an unusable size or type.
class ImageError : public InputError {
public:
    explicit ImageError(const std::string& message) : InputError(message) {}
};

// A calibration file that cannot be read or holds values no rig can have.
class CalibrationError : public InputError {
public:
    explicit CalibrationError(const std::string& message) : InputError(message) {}
};

} // namespace input
} // namespace orb
