#include "sync/VideoFrames.h"

#include "VideoReader.h"

#include <stdexcept>

namespace orb {
namespace sync {

struct VideoFrames::Camera {
    explicit Camera(const std::string& path) : reader(path, options()) {}
    static video::VideoReader::Options options()
    {
        video::VideoReader::Options o;
        o.grey = true;
        return o;
    }
    video::VideoReader reader;
    video::VideoFrame last;
    int next = 0;  // index of the next picture the reader gives
    bool ended = false;
};

VideoFrames::VideoFrames(const std::vector<std::string>& paths)
{
    for (const std::string& path : paths)
        cameras_.push_back(std::make_unique<Camera>(path));
}

VideoFrames::~VideoFrames() = default;

cv::Mat VideoFrames::frame(int camera, int index)
{
    Camera& c = *cameras_.at(static_cast<std::size_t>(camera));
    if (index < c.next - 1)
        throw std::logic_error("VideoFrames frame() frames of a camera must be read in increasing order");
    // Copies: the reader may decode the next picture into the same buffer.
    if (index == c.next - 1)
        return c.last.image.clone();
    while (c.next <= index) {
        if (c.ended || !c.reader.read(c.last)) {
            c.ended = true;
            return cv::Mat();
        }
        ++c.next;
    }
    return c.last.image.clone();
}

double VideoFrames::frameRate() const { return cameras_.empty() ? 0.0 : cameras_[0]->reader.frameRate(); }

} // namespace sync
} // namespace orb
