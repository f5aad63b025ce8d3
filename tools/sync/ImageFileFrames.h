#pragma once

#include "sync/FrameSource.h"

#include <cstdint>
#include <string>

namespace orb {
namespace sync {

// A take of image files: frame index i of camera c is the camera image of frame
// number first + i in dir ("%010d-<camera><extension>").
class ImageFileFrames : public FrameSource {
public:
    ImageFileFrames(std::string dir, std::string extension, std::uint32_t first = 0);
    // Empty once the file does not exist; SyncError naming the file when it exists
    // but cannot be decoded.
    cv::Mat frame(int camera, int index) override;

private:
    std::string dir_, extension_;
    std::uint32_t first_;
};

} // namespace sync
} // namespace orb
