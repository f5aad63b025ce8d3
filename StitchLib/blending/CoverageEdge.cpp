#include "StitchLib/blending/CoverageEdge.h"

#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace orb {

namespace {

// Contribution keeps the default rule: set where most of the filter's weight was.
const double kContributionThreshold = 128.0;
// Masks (0/255) and colours are filtered in 16 bits scaled by this, so that small
// valid shares keep their precision.
const double kScale = 256.0;

MaskedImage resample(MaskedImage& image, bool down, cv::Size size, double validThreshold)
{
    const cv::Mat& valid = image.validPixels();
    const auto step = [down, &size](const cv::Mat& source, cv::Mat& result) {
        if (down)
            cv::pyrDown(source, result, size, cv::BORDER_DEFAULT);
        else
            cv::pyrUp(source, result, size, cv::BORDER_DEFAULT);
    };
    // The filtered mask first: each plane is then finished (filtered, divided, back
    // to 8 bits) in one go, so that no more than one 16-bit plane per worker lives
    // at a time.
    cv::Mat filteredValid;
    {
        cv::Mat valid16;
        valid.convertTo(valid16, CV_16U, kScale);
        step(valid16, filteredValid);
    }
    const cv::Mat unit = unitMask(valid);
    cv::Mat results[4];
    cv::Mat reducedValid;
    const cv::Mat* sources[] = {&image.red(), &image.green(), &image.blue(), &image.contributingPixels()};
    runIndependent(5, [&](int p, int) {
        if (p == 4) {
            cv::Mat share;
            filteredValid.convertTo(share, CV_32F, 1.0 / kScale);
            cv::compare(share, validThreshold, reducedValid, cv::CMP_GT);
            return;
        }
        // The normalisation divides by small shares too, which 8-bit filtered values
        // could not carry.
        cv::Mat masked, filtered;
        cv::multiply(*sources[p], unit, masked, 1.0, CV_16U);
        if (p < 3) {
            masked.convertTo(masked, CV_16U, kScale);
            step(masked, filtered);
            masked.release();
            // The valid mask is 255 where set: the quotient times 255 is the mean colour.
            cv::divide(filtered, filteredValid, results[p], 255.0, CV_8U);
            return;
        }
        step(masked, filtered);
        filtered.convertTo(results[3], CV_8U);
        cv::threshold(results[3], results[3], kContributionThreshold, 255.0, cv::THRESH_BINARY);
    });
    cv::multiply(results[3], unitMask(reducedValid), results[3], 1.0, CV_8U);
    return MaskedImage(results[0], results[1], results[2], reducedValid, results[3]);
}

} // namespace

void restoreRim(cv::Mat& part, int minAlpha)
{
    if (part.type() != CV_8UC4)
        throw std::runtime_error("restoreRim() needs an 8-bit BGRA part");
    cv::parallel_for_(cv::Range(0, part.rows), [&part, minAlpha](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            cv::Vec4b* p = part.ptr<cv::Vec4b>(r);
            for (int c = 0; c < part.cols; ++c) {
                const int a = p[c][3];
                if (a == 255 || a == 0)
                    continue;
                if (a < minAlpha) {
                    p[c] = cv::Vec4b(0, 0, 0, 0);
                    continue;
                }
                for (int k = 0; k < 3; ++k)
                    p[c][k] = cv::saturate_cast<uchar>(p[c][k] * 255.0 / a);
                p[c][3] = 255;
            }
        }
    });
}

PrecisePyramidGenerator::PrecisePyramidGenerator(int validShare)
    : validThreshold(static_cast<double>(validShare))
{
    if (validShare < 1 || validShare > 255)
        throw std::runtime_error("PrecisePyramidGenerator valid share must be 1 to 255");
}

MaskedImage PrecisePyramidGenerator::scaleUp(MaskedImage image, int rows, int cols)
{
    if ((rows + 1) / 2 != image.rows() || (cols + 1) / 2 != image.cols())
        throw std::runtime_error("PrecisePyramidGenerator scaleUp() invalid image size");
    return resample(image, false, cv::Size(cols, rows), validThreshold);
}

MaskedImage PrecisePyramidGenerator::scaleDown(MaskedImage image)
{
    return resample(image, true, cv::Size(), validThreshold);
}

} // namespace orb
