#include "PanoramaMetadata.h"

#include "app/PanoramaEncoder.h"

#include <exiv2/exiv2.hpp>
#include <zlib.h>

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
    return format == "png" || format == "jpg" || format == "tif";
}

namespace {

void setPanoramaProperties(Exiv2::XmpData& xmp, int width, int height)
{
    xmp["Xmp.GPano.ProjectionType"] = "equirectangular";
    xmp["Xmp.GPano.UsePanoramaViewer"] = "True";
    xmp["Xmp.GPano.FullPanoWidthPixels"] = std::to_string(width);
    xmp["Xmp.GPano.FullPanoHeightPixels"] = std::to_string(height);
    xmp["Xmp.GPano.CroppedAreaImageWidthPixels"] = std::to_string(width);
    xmp["Xmp.GPano.CroppedAreaImageHeightPixels"] = std::to_string(height);
    xmp["Xmp.GPano.CroppedAreaLeftPixels"] = "0";
    xmp["Xmp.GPano.CroppedAreaTopPixels"] = "0";
}

void putBigEndian(std::vector<uchar>& out, std::uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uchar>(value >> shift));
}

// A whole PNG: its header and at least the end chunk (12 bytes).
bool isPngWithHeader(const std::vector<uchar>& encoded)
{
    return encoded.size() >= kPngHeaderBytes + 12 && startsWithPngHeader(encoded.data(), encoded.size());
}

// A PNG gets the packet as the standard XMP text chunk (iTXt, keyword
// "XML:com.adobe.xmp", uncompressed) right after its image header: the file is
// streamed as it is encoded (or copied once) rather than read and rewritten by the
// metadata library.

std::vector<uchar> pngChunk(const std::string& packet)
{
    std::vector<uchar> chunk;
    static const char kKeyword[] = "XML:com.adobe.xmp";
    const std::size_t dataLength = sizeof kKeyword + 4 + packet.size(); // keyword, NUL, flag, method, 2 NULs
    putBigEndian(chunk, static_cast<std::uint32_t>(dataLength));
    chunk.insert(chunk.end(), {'i', 'T', 'X', 't'});
    chunk.insert(chunk.end(), kKeyword, kKeyword + sizeof kKeyword); // with its NUL
    chunk.insert(chunk.end(), {0, 0, 0, 0});  // not compressed, method 0, no language, no translation
    chunk.insert(chunk.end(), packet.begin(), packet.end());
    putBigEndian(chunk, static_cast<std::uint32_t>(crc32(0L, chunk.data() + 4, static_cast<uInt>(4 + dataLength))));
    return chunk;
}

// The packet for a panorama of width x height; under the XMP lock.
std::string panoramaPacket(int width, int height)
{
    Exiv2::XmpData xmp;
    setPanoramaProperties(xmp, width, height);
    std::string packet;
    if (Exiv2::XmpParser::encode(packet, xmp) != 0)
        throw std::runtime_error("cannot add the panorama metadata: the XMP packet could not be written");
    return packet;
}

} // namespace

std::vector<uchar> addPanoramaMetadata(const std::vector<uchar>& encoded, int width, int height)
{
    std::lock_guard<std::mutex> lock(xmpMutex());
    registerPanoramaNamespace();
    try {
        if (isPngWithHeader(encoded)) {
            const std::vector<uchar> chunk = pngChunk(panoramaPacket(width, height));
            std::vector<uchar> out;
            out.reserve(encoded.size() + chunk.size());
            out.insert(out.end(), encoded.begin(), encoded.begin() + kPngHeaderBytes);
            out.insert(out.end(), chunk.begin(), chunk.end());
            out.insert(out.end(), encoded.begin() + kPngHeaderBytes, encoded.end());
            return out;
        }
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(encoded.data(), static_cast<long>(encoded.size()));
        image->readMetadata();
        setPanoramaProperties(image->xmpData(), width, height);
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        Exiv2::DataBuf buffer = io.read(static_cast<long>(io.size()));
        return std::vector<uchar>(buffer.pData_, buffer.pData_ + buffer.size_);
    } catch (const Exiv2::AnyError& e) {
        throw std::runtime_error(std::string("cannot add the panorama metadata: ") + e.what());
    }
}

std::vector<uchar> pngPanoramaMetadataChunk(int width, int height)
{
    std::lock_guard<std::mutex> lock(xmpMutex());
    registerPanoramaNamespace();
    try {
        return pngChunk(panoramaPacket(width, height));
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
