// The image header and integrity checks and the PNG decoder on arbitrary bytes: they
// must accept or throw ImageError (the decoder: decline) without touching memory they
// do not own. Whatever passes the checks and the decoder must decode, pixel for pixel,
// as the library's decoder decodes it.
#include "StitchLib/input/ImageHeader.h"
#include "StitchLib/input/ImageIntegrity.h"
#include "StitchLib/input/InputError.h"
#include "StitchLib/input/PngDecoder.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    bool checked = false;
    try {
        const orb::input::ImageHeader header = orb::input::readImageHeader(data, size, "fuzz");
        orb::input::checkImageDimensions(header, "fuzz");
        orb::input::checkImageIntegrity(data, size, header, "fuzz");
        checked = true;
    } catch (const orb::input::ImageError&) {
    }
    // The decoder runs on every input: it must be safe on its own.
    cv::Mat image;
    if (orb::input::decodeCommonPng(data, size, image) && checked) {
        const cv::Mat reference = cv::imdecode(
            cv::Mat(1, static_cast<int>(size), CV_8U, const_cast<std::uint8_t*>(data)), cv::IMREAD_UNCHANGED);
        if (reference.type() != image.type() || reference.size() != image.size() ||
            cv::norm(reference, image, cv::NORM_INF) != 0)
            std::abort();
    }
    return 0;
}
