#include "StitchLib/input/ImageHeader.h"

#include "StitchLib/input/ImageLimits.h"
#include "StitchLib/input/InputError.h"
#include "StitchLib/input/JpegStream.h"

#include <opencv2/core.hpp>

#include <cstring>

namespace orb {
namespace input {
namespace {

const std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

std::uint32_t bigEndian32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

[[noreturn]] void fail(const std::string& name, const std::string& reason)
{
    throw ImageError("Camera image '" + name + "' " + reason);
}

// The type OpenCV's PNG decoder gives: palette and grey-with-alpha images are
// expanded, a transparency chunk adds an alpha channel to colour images.
int pngType(int bitDepth, int colourType, bool transparency)
{
    int channels = 0;
    switch (colourType) {
    case 0: channels = 1; break;
    case 2: case 3: channels = transparency ? 4 : 3; break;
    case 4: case 6: channels = 4; break;
    default: return -1;
    }
    return CV_MAKETYPE(bitDepth == 16 ? CV_16U : CV_8U, channels);
}

ImageHeader readPngHeader(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    // Signature, then IHDR: length, type, 13 bytes of data, CRC.
    if (size < 8 + 8 + 13 + 4)
        fail(name, "is cut short: its PNG header is incomplete");
    const std::uint8_t* ihdr = data + 8;
    if (bigEndian32(ihdr) != 13 || std::memcmp(ihdr + 4, "IHDR", 4) != 0)
        fail(name, "is not a valid PNG: it does not start with an image header chunk");
    const std::uint32_t width = bigEndian32(ihdr + 8);
    const std::uint32_t height = bigEndian32(ihdr + 12);
    const int bitDepth = ihdr[16];
    const int colourType = ihdr[17];
    if (width == 0 || height == 0 || width > 0x7fffffffu || height > 0x7fffffffu)
        fail(name, "is not a valid PNG: its header gives a size of " + std::to_string(width) + " x " +
                       std::to_string(height));
    // A transparency chunk, which changes the decoded type, must come before the image data.
    bool transparency = false;
    std::size_t offset = 8;
    while (offset + 8 <= size) {
        const std::uint32_t length = bigEndian32(data + offset);
        const std::uint8_t* type = data + offset + 4;
        if (std::memcmp(type, "IDAT", 4) == 0 || std::memcmp(type, "IEND", 4) == 0)
            break;
        if (std::memcmp(type, "tRNS", 4) == 0)
            transparency = true;
        if (length > size - offset - 8)
            break;  // cut short; the integrity check names it
        offset += std::size_t{length} + 12;
    }
    ImageHeader header;
    header.format = ImageFormat::Png;
    header.width = static_cast<int>(width);
    header.height = static_cast<int>(height);
    header.type = pngType(bitDepth, colourType, transparency);
    if (header.type < 0)
        fail(name, "is not a valid PNG: unknown colour type " + std::to_string(colourType));
    return header;
}

ImageHeader readJpegHeader(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    ImageHeader header;
    header.format = ImageFormat::Jpeg;
    int components = 0;
    const std::string error = readJpegStream(data, size, false, header.width, header.height, components);
    if (!error.empty())
        fail(name, "is not a valid JPEG: " + error);
    // OpenCV's JPEG decoder gives one channel for grey and three for everything else.
    header.type = components == 1 ? CV_8UC1 : CV_8UC3;
    return header;
}

// Netpbm: "P<n>", then width, height and (except for bitmaps) the largest sample
// value as decimal numbers separated by white space and '#' comments, then one
// white-space byte before the pixel data.
ImageHeader readPnmHeader(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    const int kind = data[1] - '0';
    const int fields = (kind == 1 || kind == 4) ? 2 : 3;
    long long values[3] = {0, 0, 1};
    std::size_t p = 2;
    for (int f = 0; f < fields; ++f) {
        for (;;) {
            if (p >= size)
                fail(name, "is cut short: its PNM header is incomplete");
            if (data[p] == '#') {
                while (p < size && data[p] != '\n') ++p;
            } else if (std::strchr(" \t\r\n\v\f", data[p]) != nullptr && data[p] != '\0') {
                ++p;
            } else {
                break;
            }
        }
        if (data[p] < '0' || data[p] > '9')
            fail(name, "is not a valid PNM image: its header holds no number where one is due");
        long long v = 0;
        while (p < size && data[p] >= '0' && data[p] <= '9') {
            v = v * 10 + (data[p] - '0');
            if (v > 0x7fffffffLL)
                fail(name, "is not a valid PNM image: a header number is too large");
            ++p;
        }
        values[f] = v;
    }
    if (p >= size)
        fail(name, "is cut short: its PNM header is incomplete");
    ImageHeader header;
    header.format = ImageFormat::Pnm;
    header.width = static_cast<int>(values[0]);
    header.height = static_cast<int>(values[1]);
    header.dataOffset = p + 1;
    if (values[0] == 0 || values[1] == 0 || values[2] == 0 || values[2] > 65535)
        fail(name, "is not a valid PNM image: its header gives " + std::to_string(values[0]) + " x " +
                       std::to_string(values[1]) + " pixels with largest value " + std::to_string(values[2]));
    const int depth = values[2] > 255 ? CV_16U : CV_8U;
    header.type = (kind == 3 || kind == 6) ? CV_MAKETYPE(depth, 3) : CV_MAKETYPE(depth, 1);
    return header;
}

} // namespace

ImageHeader readImageHeader(const std::uint8_t* data, std::size_t size, const std::string& name)
{
    if (size >= 8 && std::memcmp(data, kPngSignature, 8) == 0)
        return readPngHeader(data, size, name);
    if (size >= 3 && data[0] == 0xff && data[1] == 0xd8 && data[2] == 0xff)
        return readJpegHeader(data, size, name);
    if (size >= 3 && data[0] == 'P' && data[1] >= '1' && data[1] <= '6')
        return readPnmHeader(data, size, name);
    fail(name, "is not a PNG, JPEG or PNM image");
}

void checkImageDimensions(const ImageHeader& header, const std::string& name)
{
    const auto inRange = [](int side) { return side >= kMinImageSide && side <= kMaxImageSide; };
    if (!inRange(header.width) || !inRange(header.height)) {
        fail(name, "is " + std::to_string(header.width) + " x " + std::to_string(header.height) +
                       " pixels; camera images must be " + std::to_string(kMinImageSide) + " to " +
                       std::to_string(kMaxImageSide) + " pixels on each side");
    }
}

} // namespace input
} // namespace orb
