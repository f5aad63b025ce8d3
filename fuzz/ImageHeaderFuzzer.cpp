// The image header and integrity checks on arbitrary bytes: they must accept or
// throw ImageError without touching memory they do not own.
#include "StitchLib/input/ImageHeader.h"
#include "StitchLib/input/ImageIntegrity.h"
#include "StitchLib/input/InputError.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    try {
        const orb::input::ImageHeader header = orb::input::readImageHeader(data, size, "fuzz");
        orb::input::checkImageDimensions(header, "fuzz");
        orb::input::checkImageIntegrity(data, size, header, "fuzz");
    } catch (const orb::input::ImageError&) {
    }
    return 0;
}
