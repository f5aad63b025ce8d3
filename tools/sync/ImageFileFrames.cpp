#include "sync/ImageFileFrames.h"

#include "app/FrameFiles.h"
#include "sync/SyncError.h"

#include <opencv2/imgcodecs.hpp>

#include <boost/filesystem/operations.hpp>

#include <utility>

namespace orb {
namespace sync {

ImageFileFrames::ImageFileFrames(std::string dir, std::string extension, std::uint32_t first)
    : dir_(std::move(dir)), extension_(std::move(extension)), first_(first)
{
}

cv::Mat ImageFileFrames::frame(int camera, int index)
{
    if (index < 0 || static_cast<std::uint64_t>(first_) + static_cast<std::uint64_t>(index) > 0xffffffffULL)
        return cv::Mat();
    const boost::filesystem::path path = FrameFiles::cameraImagePath(
        dir_, extension_, first_ + static_cast<std::uint32_t>(index), static_cast<unsigned>(camera + 1));
    boost::system::error_code ec;
    if (!boost::filesystem::exists(path, ec))
        return cv::Mat();
    cv::Mat image = cv::imread(path.string(), cv::IMREAD_COLOR);
    if (image.empty())
        throw SyncError("ImageFileFrames frame() cannot read the image '" + path.string() + "'", camera + 1);
    return image;
}

} // namespace sync
} // namespace orb
