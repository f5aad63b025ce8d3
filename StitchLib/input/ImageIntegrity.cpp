#include "StitchLib/input/ImageIntegrity.h"

#include "StitchLib/input/InputError.h"
#include "StitchLib/input/JpegStream.h"

#include <opencv2/core.hpp>

#include <libdeflate.h>

#include <algorithm>
#include <cstring>

namespace orb {
namespace input {
namespace {

std::uint32_t bigEndian32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

[[noreturn]] void fail(const std::string& name, const std::string& reason)
{
    throw ImageError("Camera image '" + name + "' " + reason);
}

void checkPng(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    std::size_t offset = 8;
    bool imageData = false;
    for (;;) {
        if (size - offset < 12)
            fail(name, "is cut short: the PNG ends before its end chunk");
        const std::uint32_t length = bigEndian32(data + offset);
        if (length > size - offset - 12)
            fail(name, "is cut short: a PNG chunk runs past the end of the file");
        const std::uint8_t* type = data + offset + 4;
        const std::uint32_t crc = libdeflate_crc32(0, type, std::size_t{length} + 4);
        if (crc != bigEndian32(type + 4 + length)) {
            fail(name, "is damaged: the PNG chunk '" + std::string(reinterpret_cast<const char*>(type), 4) +
                           "' at byte " + std::to_string(offset) + " fails its checksum");
        }
        offset += std::size_t{length} + 12;
        if (std::memcmp(type, "IDAT", 4) == 0)
            imageData = true;
        if (std::memcmp(type, "IEND", 4) == 0)
            break;  // bytes after the end chunk are ignored, as the decoder does
    }
    if (!imageData)
        fail(name, "is damaged: the PNG holds no image data");
}

void checkJpeg(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    int width = 0, height = 0, components = 0;
    const std::string error = readJpegStream(data, size, true, width, height, components);
    if (!error.empty())
        fail(name, "is damaged or cut short: " + error);
}

void checkPnm(std::size_t size, const ImageHeader& header, const std::string& name)
{
    const std::size_t sample = CV_ELEM_SIZE1(header.type);
    const std::size_t needed = static_cast<std::size_t>(header.width) * static_cast<std::size_t>(header.height) *
                               static_cast<std::size_t>(CV_MAT_CN(header.type)) * sample;
    if (size < header.dataOffset || size - header.dataOffset < needed) {
        fail(name, "is cut short: " + std::to_string(size - std::min(size, header.dataOffset)) + " bytes of pixel data; " +
                       std::to_string(needed) + " expected");
    }
}

} // namespace

void checkImageIntegrity(const std::uint8_t* data, std::size_t size, const ImageHeader& header,
                         const std::string& name)
{
    switch (header.format) {
    case ImageFormat::Png: checkPng(data, size, name); break;
    case ImageFormat::Jpeg: checkJpeg(data, size, name); break;
    case ImageFormat::Pnm:
        // Grey and colour binary forms; the text forms have no size known in advance.
        if (data[1] == '5' || data[1] == '6')
            checkPnm(size, header, name);
        break;
    }
}

} // namespace input
} // namespace orb
