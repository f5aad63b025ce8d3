#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>

namespace orb {
namespace input {

// Decodes the common kind of PNG in one pass over whole buffers: 8-bit grey, RGB or
// RGBA, not interlaced, no transparency chunk, no critical chunk besides IHDR, IDAT
// and IEND, consecutive IDAT chunks holding one zlib stream that fills the image
// exactly. Gives the pixels cv::imdecode(..., cv::IMREAD_UNCHANGED) gives (grey,
// BGR, BGRA). Returns false, leaving `image` empty, for any other file, valid or
// not; the caller then decodes it the general way, which names what is wrong.
// Reads only within [data, data + size) whatever the bytes are. The chunk checksums
// are not verified here (checkImageIntegrity does that).
bool decodeCommonPng(const std::uint8_t* data, std::size_t size, cv::Mat& image);

} // namespace input
} // namespace orb
