#include "StitchLib/blending/OpenCVPyramidGenerator.h"

#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

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
    const cv::Mat unit = unitMask(valid);

    // The five planes are masked and resampled independently; the valid mask
    // comes last, as it is resampled without masking. One scratch plane per
    // worker: full-size allocations are costly.
    cv::Mat results[4];
    cv::Mat filteredValid;
    std::vector<cv::Mat> weighted(static_cast<std::size_t>(independentWorkers(5)));
    const cv::Mat* sources[] = {&image.red(), &image.green(), &image.blue(), &image.contributingPixels()};
    runIndependent(5, [&](int p, int worker) {
        if (p == 4) {
            resample(valid, filteredValid, direction, size);
            return;
        }
        cv::Mat& scratch = weighted[static_cast<std::size_t>(worker)];
        cv::multiply(*sources[p], unit, scratch, 1.0, sources[p]->type());
        resample(scratch, results[p], direction, size);
    });
    weighted.clear();
    cv::Mat& red = results[0];
    cv::Mat& green = results[1];
    cv::Mat& blue = results[2];
    cv::Mat& contributing = results[3];

    // Colour: divide out the share of the filter that fell on invalid pixels,
    // by the filtered mask as it is before thresholding. Masks: threshold the
    // filtered masks into a new valid mask and cut the contribution back to it.
    cv::Mat reducedValid;
    runIndependent(4, [&](int p, int) {
        if (p < 3) {
            cv::divide(results[p], filteredValid, results[p], 255.0);
            return;
        }
        cv::threshold(filteredValid, reducedValid, kMaskThreshold, 255.0, cv::THRESH_BINARY);
        cv::threshold(contributing, contributing, kMaskThreshold, 255.0, cv::THRESH_BINARY);
        cv::multiply(contributing, unitMask(reducedValid), contributing, 1.0, contributing.type());
    });
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
