#include "StitchLib/blending/MaskedImage.h"

#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <vector>

namespace orb {

namespace {

// Kernel size and sigma of the blur that removes pixel noise before the
// detail band is taken.
const cv::Size kDetailBlurSize(7, 7);
const double kDetailBlurSigma = 4.0;
// The band keeps detail finer than this many halvings.
const int kDetailLevels = 8;

cv::Mat lowPass(const cv::Mat& plane, const std::vector<cv::Size>& sizes)
{
    cv::Mat low = plane;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        cv::Mat reduced;
        cv::pyrDown(low, reduced, cv::Size(), cv::BORDER_DEFAULT);
        low = reduced;
    }
    for (auto size = sizes.rbegin(); size != sizes.rend(); ++size) {
        cv::Mat expanded;
        cv::pyrUp(low, expanded, *size, cv::BORDER_DEFAULT);
        low = expanded;
    }
    return low;
}

} // namespace

cv::Mat unitMask(const cv::Mat& mask)
{
    cv::Mat unit;
    unitMask(mask, unit);
    return unit;
}

void unitMask(const cv::Mat& mask, cv::Mat& unit)
{
    mask.convertTo(unit, CV_8U, 1.0 / 255.0);
}

MaskedImage::MaskedImage(cv::Mat& image, bool erodeMask)
{
    const int type = image.type();
    if (type != CV_8UC3 && type != CV_8UC4) {
        throw std::runtime_error("MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4");
    }
    redPlane.create(image.rows, image.cols, CV_8UC1);
    greenPlane.create(image.rows, image.cols, CV_8UC1);
    bluePlane.create(image.rows, image.cols, CV_8UC1);
    validMask.create(image.rows, image.cols, CV_8UC1);

    // A three-channel image fills the first three planes; a fourth channel
    // is the alpha that the valid mask starts from.
    const int channels = image.channels();
    cv::Mat planes[] = {redPlane, greenPlane, bluePlane, validMask};
    const int pairs[] = {0, 0, 1, 1, 2, 2, 3, 3};
    cv::mixChannels(&image, 1, planes, channels, pairs, channels);
    if (channels == 3) {
        validMask.setTo(255);
    } else {
        if (erodeMask) {
            // Edge pixels of a remapped part mix in the transparent
            // surroundings; the constant border keeps the image edge intact.
            const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(3, 3));
            cv::erode(validMask, validMask, element, cv::Point(-1, -1), 1, cv::BORDER_CONSTANT,
                      cv::morphologyDefaultBorderValue());
        }
        // Only fully opaque pixels count as data.
        cv::threshold(validMask, validMask, 254.0, 255.0, cv::THRESH_BINARY);
        const cv::Mat unit = unitMask(validMask);
        cv::multiply(redPlane, unit, redPlane, 1.0, redPlane.type());
        cv::multiply(greenPlane, unit, greenPlane, 1.0, greenPlane.type());
        cv::multiply(bluePlane, unit, bluePlane, 1.0, bluePlane.type());
    }
    contributingMask = validMask.clone();
}

MaskedImage::MaskedImage(cv::Mat red, cv::Mat green, cv::Mat blue, cv::Mat valid, cv::Mat contributing)
    : redPlane(red), greenPlane(green), bluePlane(blue), validMask(valid), contributingMask(contributing)
{
}

void MaskedImage::release()
{
    redPlane = cv::Mat();
    greenPlane = cv::Mat();
    bluePlane = cv::Mat();
    validMask = cv::Mat();
    contributingMask = cv::Mat();
}

MaskedImage MaskedImage::operator-(MaskedImage other) const
{
    return combined(other, cv::subtract);
}

MaskedImage MaskedImage::operator+(MaskedImage other) const
{
    return combined(other, cv::add);
}

MaskedImage MaskedImage::combined(const MaskedImage& other, PlaneOperation operation) const
{
    // Each step works on the planes independently.
    const cv::Mat* const these[] = {&redPlane, &greenPlane, &bluePlane};
    const cv::Mat* const others[] = {&other.redPlane, &other.greenPlane, &other.bluePlane};
    cv::Mat results[5];
    cv::Mat unit;
    runIndependent(4, [&](int k, int) {
        if (k == 0) {
            unitMask(validMask, unit);
        } else {
            operation(*these[k - 1], *others[k - 1], results[k - 1], cv::noArray(), -1);
        }
    });
    runIndependent(5, [&](int k, int) {
        if (k < 3) {
            cv::multiply(results[k], unit, results[k], 1.0, results[k].type());
        } else {
            results[k] = (k == 3 ? validMask : contributingMask).clone();
        }
    });
    return MaskedImage(results[0], results[1], results[2], results[3], results[4]);
}

cv::Mat MaskedImage::cvMat(bool withAlpha) const
{
    const int channels = withAlpha ? 4 : 3;
    cv::Mat result(rows(), cols(), CV_8UC(channels));
    const cv::Mat planes[] = {redPlane, greenPlane, bluePlane, contributingMask};
    const int pairs[] = {0, 0, 1, 1, 2, 2, 3, 3};
    cv::mixChannels(planes, channels, &result, 1, pairs, channels);
    return result;
}

MaskedImage MaskedImage::bandPassFilter() const
{
    // The blur keeps the plane's size, so all three chains resample through
    // the sizes of the red plane.
    std::vector<cv::Size> sizes;
    cv::Size size = redPlane.size();
    for (int level = 0; level < kDetailLevels; ++level) {
        sizes.push_back(size);
        size = cv::Size((size.width + 1) / 2, (size.height + 1) / 2);
    }
    const cv::Mat* sources[] = {&redPlane, &greenPlane, &bluePlane};
    cv::Mat bands[3];
    runIndependent(3, [&](int p, int) {
        cv::Mat blurred;
        cv::GaussianBlur(*sources[p], blurred, kDetailBlurSize, kDetailBlurSigma, 0.0, cv::BORDER_DEFAULT);
        // |B - L|: for 8-bit planes this equals (B - L) + (L - B), each saturating.
        cv::absdiff(blurred, lowPass(blurred, sizes), bands[p]);
    });
    return MaskedImage(bands[0], bands[1], bands[2], validMask, contributingMask);
}

} // namespace orb
