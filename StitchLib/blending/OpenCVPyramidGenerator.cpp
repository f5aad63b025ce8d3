#include "StitchLib/blending/OpenCVPyramidGenerator.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>

namespace orb {

namespace {

// A resampled mask above this counts as set: more than half of the filter
// weight came from set pixels.
const double kMaskThreshold = 128.0;

enum class Direction { Down, Up };

void resample(const cv::Mat& source, cv::Mat& result, Direction direction, cv::Size size)
{
    if (direction == Direction::Down) {
        cv::pyrDown(source, result, size, cv::BORDER_DEFAULT);
    } else {
        cv::pyrUp(source, result, size, cv::BORDER_DEFAULT);
    }
}

// Resamples all five planes; size is empty for the default pyrDown size.
MaskedImage resampleMasked(MaskedImage& image, Direction direction, cv::Size size)
{
    // The valid mask is only read, so its buffer serves without a copy.
    const cv::Mat& valid = image.validPixels();
    cv::Mat unit = unitMask(valid);
    cv::Mat results[4];
    cv::Mat weighted;
    const cv::Mat* sources[] = {&image.red(), &image.green(), &image.blue(), &image.contributingPixels()};
    for (int p = 0; p < 4; ++p) {
        cv::multiply(*sources[p], unit, weighted, 1.0, sources[p]->type());
        resample(weighted, results[p], direction, size);
    }
    weighted.release();
    cv::Mat& red = results[0];
    cv::Mat& green = results[1];
    cv::Mat& blue = results[2];
    cv::Mat& contributing = results[3];
    cv::Mat reducedValid;
    resample(valid, reducedValid, direction, size);

    // Divide out the share of the filter that fell on invalid pixels.
    cv::divide(red, reducedValid, red, 255.0);
    cv::divide(green, reducedValid, green, 255.0);
    cv::divide(blue, reducedValid, blue, 255.0);

    cv::threshold(reducedValid, reducedValid, kMaskThreshold, 255.0, cv::THRESH_BINARY);
    cv::threshold(contributing, contributing, kMaskThreshold, 255.0, cv::THRESH_BINARY);
    unitMask(reducedValid, unit);
    cv::multiply(contributing, unit, contributing, 1.0, contributing.type());
    return MaskedImage(red, green, blue, reducedValid, contributing);
}

} // namespace

MaskedImage OpenCVPyramidGenerator::scaleUp(MaskedImage image, int rows, int cols)
{
    if ((rows + 1) / 2 != image.rows() || (cols + 1) / 2 != image.cols()) {
        throw std::runtime_error("OpenCVPyramidGenerator scaleUp() invalid image size");
    }
    return resampleMasked(image, Direction::Up, cv::Size(cols, rows));
}

MaskedImage OpenCVPyramidGenerator::scaleDown(MaskedImage image)
{
    return resampleMasked(image, Direction::Down, cv::Size());
}

} // namespace orb
