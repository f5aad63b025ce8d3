#include "PanoramaMetadata.h"

#include <exiv2/exiv2.hpp>

#include <mutex>
#include <stdexcept>

namespace batch {

namespace {

// The XMP toolkit under the metadata library keeps global state: one user at a time.
std::mutex& xmpMutex()
{
    static std::mutex mutex;
    return mutex;
}

// The metadata library knows the GPano namespace; it only needs its XMP toolkit started.
void registerPanoramaNamespace()
{
    static std::once_flag once;
    std::call_once(once, [] { Exiv2::XmpParser::initialize(); });
}

} // namespace

bool canCarryPanoramaMetadata(const std::string& format)
{
    return format == "png" || format == "jpg";
}

std::vector<uchar> addPanoramaMetadata(const std::vector<uchar>& encoded, int width, int height)
{
    std::lock_guard<std::mutex> lock(xmpMutex());
    registerPanoramaNamespace();
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
        image->readMetadata();
        Exiv2::XmpData& xmp = image->xmpData();
        xmp["Xmp.GPano.ProjectionType"] = "equirectangular";
        xmp["Xmp.GPano.UsePanoramaViewer"] = "True";
        xmp["Xmp.GPano.FullPanoWidthPixels"] = std::to_string(width);
        xmp["Xmp.GPano.FullPanoHeightPixels"] = std::to_string(height);
        xmp["Xmp.GPano.CroppedAreaImageWidthPixels"] = std::to_string(width);
        xmp["Xmp.GPano.CroppedAreaImageHeightPixels"] = std::to_string(height);
        xmp["Xmp.GPano.CroppedAreaLeftPixels"] = "0";
        xmp["Xmp.GPano.CroppedAreaTopPixels"] = "0";
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        Exiv2::DataBuf buffer = io.read(static_cast<long>(io.size()));
        return std::vector<uchar>(buffer.pData_, buffer.pData_ + buffer.size_);
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(std::string("cannot add the panorama metadata: ") + e.what());
    }
}

std::map<std::string, std::string> readXmpProperties(const std::string& path)
{
    std::lock_guard<std::mutex> lock(xmpMutex());
    registerPanoramaNamespace();
    std::map<std::string, std::string> properties;
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
        image->readMetadata();
        for (const Exiv2::Xmpdatum& datum : image->xmpData())
            properties[datum.key()] = datum.toString();
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error("cannot read the metadata of '" + path + "': " + e.what());
    }
    return properties;
}

} // namespace batch
