#pragma once

#include <opencv2/core.hpp>

namespace orb {

// One panorama part in blending form: three 8-bit colour planes plus a mask of
// where the part holds data and a mask of where it contributes to the blend.
// Copies share pixel buffers; masks hold 0 or 255.
class MaskedImage {
public:
    MaskedImage() = default;
    // Splits an 8-bit 3- or 4-channel image; with erodeMask the alpha-derived
    // valid mask loses its one-pixel rim. The image is only read.
    MaskedImage(cv::Mat& image, bool erodeMask);
    // Adopts the five matrices as they are, sharing their buffers.
    MaskedImage(cv::Mat red, cv::Mat green, cv::Mat blue, cv::Mat valid, cv::Mat contributing);

    MaskedImage(MaskedImage const&) = default;
    MaskedImage& operator=(MaskedImage const&) = default;
    MaskedImage(MaskedImage&&) = default;
    MaskedImage& operator=(MaskedImage&&) = default;

    // Drops this object's references to all five buffers.
    void release();

    cv::Mat& red() { return redPlane; }
    cv::Mat& green() { return greenPlane; }
    cv::Mat& blue() { return bluePlane; }
    cv::Mat& validPixels() { return validMask; }
    cv::Mat& contributingPixels() { return contributingMask; }

    int rows() const { return redPlane.rows; }
    int cols() const { return redPlane.cols; }

    unsigned char& validPixelAt(int row, int col) { return validMask.at<unsigned char>(row, col); }
    unsigned char& contributingPixelAt(int row, int col) { return contributingMask.at<unsigned char>(row, col); }

    // Saturating per-plane difference and sum, zero outside this image's valid
    // pixels; the result carries copies of this image's masks.
    MaskedImage operator-(MaskedImage other) const;
    MaskedImage operator+(MaskedImage other) const;

    // Interleaved 8-bit image; withAlpha appends the contributing mask.
    cv::Mat cvMat(bool withAlpha) const;

    // Mid-frequency detail of each colour plane; shares this image's masks.
    MaskedImage bandPassFilter() const;
    // The same detail, bit for bit, in every column where `needed` (a mask of
    // the image's size) has a non-zero pixel, and 0 in columns far from any:
    // only the columns around those are filtered, each run of them as an
    // image of its own (columns near its cut edges differ from the whole
    // plane's).
    MaskedImage bandPassFilterWhere(const cv::Mat& needed) const;

private:
    // this - other (or this + other) per colour plane, saturating, zero outside
    // this image's valid pixels, with copies of this image's masks.
    MaskedImage combined(const MaskedImage& other, bool subtract) const;

    cv::Mat redPlane;
    cv::Mat greenPlane;
    cv::Mat bluePlane;
    cv::Mat validMask;
    cv::Mat contributingMask;
};

// ---- Mask arithmetic shared by the blending classes ----

// mask / 255 in 8 bits, rounded: 1 where the mask is 128 or more, else 0.
// Multiplying a plane by it keeps the plane where a 0/255 mask is set.
cv::Mat unitMask(const cv::Mat& mask);
// The same into unit, reusing its buffer when the size allows: full-size
// temporaries are costly to allocate.
void unitMask(const cv::Mat& mask, cv::Mat& unit);

} // namespace orb
