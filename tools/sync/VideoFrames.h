#pragma once

#include "sync/FrameSource.h"

#include <memory>
#include <string>
#include <vector>

namespace video {
class VideoReader;
}

namespace orb {
namespace sync {

// A take of camera videos: frame index i of camera c is the i-th picture of its
// file in presentation order, decoded in grey (the picture sync needs no colour).
class VideoFrames : public FrameSource {
public:
    explicit VideoFrames(const std::vector<std::string>& paths);
    ~VideoFrames() override;
    // Frames of one camera must be asked for in increasing order (std::logic_error
    // otherwise); a corrupt stream throws the reader's error, naming the file.
    cv::Mat frame(int camera, int index) override;
    // The first camera's nominal frame rate.
    double frameRate() const;

private:
    struct Camera;
    std::vector<std::unique_ptr<Camera>> cameras_;
};

} // namespace sync
} // namespace orb
