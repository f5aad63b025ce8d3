#pragma once

#include <opencv2/core.hpp>

namespace orb {
namespace sync {

// The pictures of a take as the picture sync reads them: camera (0-3, in rig
// order) and frame index (from the start of that camera's recording) to an 8-bit
// BGR or grey image. Each camera's frames are asked for in increasing order, so a
// video decoder can simply run forward.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // An empty image past the camera's last frame. Throws for a frame that exists
    // but cannot be read, naming its file.
    virtual cv::Mat frame(int camera, int index) = 0;
};

} // namespace sync
} // namespace orb
