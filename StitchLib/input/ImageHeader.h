#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orb {
namespace input {

enum class ImageFormat { Png, Jpeg, Pnm };

// What the first bytes of an encoded image say about it, read without decoding
// any pixel. `type` is the OpenCV type that decoding the whole file unchanged
// (cv::IMREAD_UNCHANGED) gives.
struct ImageHeader {
    ImageFormat format = ImageFormat::Png;
    int width = 0;
    int height = 0;
    int type = -1;
    // Offset of the pixel data; used for the binary PNM forms only.
    std::size_t dataOffset = 0;
};

// Reads the header of a PNG, JPEG or PNM image held in `data`. The format is told
// by the content, as the decoder tells it. Throws ImageError starting with `name`
// for any other format and for a header that is malformed or cut short.
ImageHeader readImageHeader(const std::uint8_t* data, std::size_t size, const std::string& name);

// Throws ImageError starting with `name` unless both sides are within
// [kMinImageSide, kMaxImageSide].
void checkImageDimensions(const ImageHeader& header, const std::string& name);

} // namespace input
} // namespace orb
