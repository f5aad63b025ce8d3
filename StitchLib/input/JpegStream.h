#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace orb {
namespace input {

// Reads a JPEG held in memory with the system's JPEG library, treating every
// warning about corrupt or missing data as an error. Returns an empty string on
// success, else the library's reason. With `decode` false only the header is read;
// with `decode` true the whole image is decoded at 1/8 scale and thrown away.
// `width`, `height` and `components` are set once the header is read.
std::string readJpegStream(const std::uint8_t* data, std::size_t size, bool decode, int& width, int& height,
                           int& components);

} // namespace input
} // namespace orb
