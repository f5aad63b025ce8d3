#pragma once

#include "StitchLib/input/ImageHeader.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace orb {
namespace input {

// Checks that the encoded data of an image is whole, before the decoder sees it:
// the decoder itself fills a truncated or corrupt JPEG with grey and only warns.
// PNG: every chunk complete with a correct CRC, image data present, ended by IEND.
// JPEG: the entropy-coded data decodes without a single warning (at 1/8 scale,
// which reads every coefficient but skips most of the inverse transform).
// Binary PNM: all pixel data present. Throws ImageError starting with `name`.
// Call only after the header's dimensions passed checkImageDimensions.
void checkImageIntegrity(const std::uint8_t* data, std::size_t size, const ImageHeader& header,
                         const std::string& name);

} // namespace input
} // namespace orb
