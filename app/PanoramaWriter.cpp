#include "app/PanoramaWriter.h"

#include <boost/filesystem/operations.hpp>
#include <opencv2/imgcodecs.hpp>

#include <stdexcept>
#include <string>

namespace fs = boost::filesystem;

void writePanoramaAtomically(const cv::Mat& panorama, const fs::path& destination, const fs::path& temporary)
{
    if (panorama.empty()) {
        throw std::runtime_error("Could not write panorama '" + destination.string() + "': the image is empty");
    }
    bool written = false;
    std::string reason;
    try {
        written = cv::imwrite(temporary.string(), panorama);
    } catch (const cv::Exception& e) {
        reason = std::string(": ") + e.what();
    }
    boost::system::error_code ec;
    if (!written) {
        fs::remove(temporary, ec);
        throw std::runtime_error("Could not write panorama '" + destination.string() + "'" + reason);
    }
    fs::rename(temporary, destination, ec);
    if (ec) {
        boost::system::error_code ignored;
        fs::remove(temporary, ignored);
        throw std::runtime_error("Could not write panorama '" + destination.string() + "': " + ec.message());
    }
}
