#pragma once

#include <stdexcept>
#include <string>

namespace orb {
namespace sync {

// Offsets that cannot be found: a file without usable audio, a peak too weak or
// too ambiguous to trust, pictures that do not agree. The message names the file
// or the camera; camera is its number (1-4) or 0 when the fault is not one camera's.
class SyncError : public std::runtime_error {
public:
    SyncError(const std::string& message, int camera = 0) : std::runtime_error(message), camera_(camera) {}
    int camera() const { return camera_; }

private:
    int camera_;
};

} // namespace sync
} // namespace orb
