#include "StitchLib/input/CameraImages.h"

#include "StitchLib/input/ImageHeader.h"
#include "StitchLib/input/ImageIntegrity.h"
#include "StitchLib/input/ImageLimits.h"
#include "StitchLib/input/InputError.h"
#include "StitchLib/input/InputFile.h"
#include "StitchLib/input/PngDecoder.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>

#include <exception>

namespace orb {
namespace input {
namespace {

void checkType(int type, const std::string& path)
{
    if (type != CV_8UC3) {
        throw ImageError("Camera image '" + path + "' has type " + cv::typeToString(type) +
                         "; expected 8-bit with 3 channels (CV_8UC3)");
    }
}

} // namespace

cv::Mat readCameraImage(const std::string& path)
{
    std::string bytes;
    const std::string problem = readInputFile(path, kMaxImageFileBytes, bytes);
    if (!problem.empty())
        throw ImageError("Camera image '" + path + "' " + problem);
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const ImageHeader header = readImageHeader(data, bytes.size(), path);
    checkImageDimensions(header, path);
    // Before the integrity check, which decodes a JPEG at 1/8 scale.
    checkType(header.type, path);
    checkImageIntegrity(data, bytes.size(), header, path);

    // The common PNG in one pass over whole buffers (the pixels the library's decoder
    // gives); anything else, including every damaged file, the library's way.
    cv::Mat image;
    if (header.format != ImageFormat::Png || !decodeCommonPng(data, bytes.size(), image)) {
        try {
            image = cv::imdecode(cv::Mat(1, static_cast<int>(bytes.size()), CV_8U, const_cast<char*>(bytes.data())),
                                 cv::IMREAD_UNCHANGED);
        } catch (const cv::Exception& e) {
            throw ImageError("Camera image '" + path + "' could not be decoded: " + e.err);
        }
        if (image.empty())
            throw ImageError("Camera image '" + path + "' could not be read as an image");
    }
    // The header promised these; a decoder that disagrees must not slip past.
    checkType(image.type(), path);
    if (image.cols != header.width || image.rows != header.height) {
        throw ImageError("Camera image '" + path + "' decodes to " + std::to_string(image.cols) + " x " +
                         std::to_string(image.rows) + " pixels although its header says " +
                         std::to_string(header.width) + " x " + std::to_string(header.height));
    }
    return image;
}

std::vector<cv::Mat> readCameraImages(const std::vector<std::string>& paths)
{
    std::vector<cv::Mat> images(paths.size());
    std::vector<std::exception_ptr> errors(paths.size());
    // Decoding dominates the fast stitch's input time; the images are independent.
    cv::parallel_for_(cv::Range(0, static_cast<int>(paths.size())), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            try {
                images[i] = readCameraImage(paths[i]);
            } catch (...) {
                errors[i] = std::current_exception();
            }
        }
    });
    for (const std::exception_ptr& error : errors) {
        if (error)
            std::rethrow_exception(error);
    }
    for (std::size_t i = 1; i < images.size(); ++i) {
        if (images[i].size() != images[0].size()) {
            throw ImageError("Camera image '" + paths[i] + "' is " + std::to_string(images[i].cols) + " x " +
                             std::to_string(images[i].rows) + " pixels but '" + paths[0] + "' is " +
                             std::to_string(images[0].cols) + " x " + std::to_string(images[0].rows) +
                             "; all cameras of a frame must have one size");
        }
    }
    return images;
}

} // namespace input
} // namespace orb
