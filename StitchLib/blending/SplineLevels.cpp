#include "StitchLib/blending/SplineLevels.h"

#include "StitchLib/blending/FeatherRows.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/PyramidBands.h"

#include <opencv2/core/hal/hal.hpp>
#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <stdexcept>

namespace orb {
namespace SplineLevels {

namespace {

// out = saturate(a - b) (or a + b), kept where keep is 128 or more: the
// masked difference and sum of MaskedImage.
// With sparse, out is known to hold zeros and only non-zero values are
// written, so that pages that stay 0 take no memory.
inline void maskedRow(const uchar* a, const uchar* b, const uchar* keep, int cols, bool subtract, uchar* out,
                      bool sparse = false)
{
    int c = 0;
#if CV_SIMD128
    const cv::v_uint8x16 half = cv::v_setall_u8(128);
    const cv::v_uint8x16 zero = cv::v_setzero_u8();
    for (; c + 16 <= cols; c += 16) {
        const cv::v_uint8x16 x = cv::v_load(a + c);
        const cv::v_uint8x16 y = cv::v_load(b + c);
        const cv::v_uint8x16 v = (subtract ? x - y : x + y) & (cv::v_load(keep + c) >= half);
        if (!sparse || cv::v_check_any(v != zero)) {
            cv::v_store(out + c, v);
        }
    }
#endif
    for (; c < cols; ++c) {
        const int v = subtract ? std::max(a[c] - b[c], 0) : std::min(a[c] + b[c], 255);
        const uchar value = keep[c] >= 128 ? static_cast<uchar>(v) : 0;
        if (!sparse || value != 0) {
            out[c] = value;
        }
    }
}

// Copies the non-zero values of a row into a row of zeros.
inline void copyNonZero(const uchar* in, int cols, uchar* out)
{
    int c = 0;
#if CV_SIMD128
    const cv::v_uint8x16 zero = cv::v_setzero_u8();
    for (; c + 16 <= cols; c += 16) {
        const cv::v_uint8x16 v = cv::v_load(in + c);
        if (cv::v_check_any(v != zero)) {
            cv::v_store(out + c, v);
        }
    }
#endif
    for (; c < cols; ++c) {
        if (in[c] != 0) {
            out[c] = in[c];
        }
    }
}

cv::Mat* colourPlanes(MaskedImage& image, cv::Mat* planes[3])
{
    planes[0] = &image.red();
    planes[1] = &image.green();
    planes[2] = &image.blue();
    return planes[0];
}

MaskedImage newImage(int rows, int cols, bool sharedMask)
{
    cv::Mat planes[5];
    for (int p = 0; p < (sharedMask ? 4 : 5); ++p) {
        PlaneKernels::createPlane(planes[p], rows, cols, CV_8UC1);
    }
    if (sharedMask) {
        planes[4] = planes[3];
    }
    return MaskedImage(planes[0], planes[1], planes[2], planes[3], planes[4]);
}

// Whether rows [first, last) of two masks hold the same values.
bool sameRows(const cv::Mat& a, const cv::Mat& b, int first, int last)
{
    for (int r = first; r < last; ++r) {
        if (!std::equal(a.ptr<uchar>(r), a.ptr<uchar>(r) + a.cols, b.ptr<uchar>(r))) {
            return false;
        }
    }
    return true;
}

} // namespace

void addLevelBands(MaskedImage& image, MaskedImage& reduced, bool firstImage, bool borrowMasks, MinusBand minusBand,
                   MaskedImage& plus, MaskedImage& minus)
{
    const bool overImage = minusBand == MinusBand::OverImage;
    PyramidBands::checkPlanes(image);
    PyramidBands::checkPlanes(reduced);
    const int rows = image.rows();
    const int cols = image.cols();
    const cv::Size size(cols, rows);
    if (firstImage) {
        // The first image's bands are the running images, with copies of its
        // masks (the minus band carries the expansion's valid mask). The two
        // copies of its contribution are equal and only ever read, so they
        // are one buffer.
        // Zero planes written only where non-zero: the bands are 0 outside
        // the image's own data, most of the panorama.
        cv::Mat planes[8];
        for (int p = 0; p < (borrowMasks ? 6 : 8); ++p) {
            PlaneKernels::createZeroPlane(planes[p], rows, cols, CV_8UC1);
        }
        if (borrowMasks) {
            planes[6] = image.validPixels();
            planes[7] = image.contributingPixels();
        }
        plus = MaskedImage(planes[0], planes[1], planes[2], planes[6], planes[7]);
        // Over the image, the minus band carries the image's valid mask too.
        minus = MaskedImage(planes[3], planes[4], planes[5], overImage ? planes[6] : cv::Mat(), planes[7]);
        if (!overImage) {
            PlaneKernels::createZeroPlane(minus.validPixels(), rows, cols, CV_8UC1);
        }
    } else {
        PyramidBands::checkPlanes(plus);
        PyramidBands::checkPlanes(minus);
        CV_Assert(plus.rows() == rows && plus.cols() == cols && minus.rows() == rows && minus.cols() == cols);
    }
    cv::Mat* imagePlanes[3];
    cv::Mat* plusPlanes[3];
    cv::Mat* minusPlanes[3];
    colourPlanes(image, imagePlanes);
    colourPlanes(plus, plusPlanes);
    colourPlanes(minus, minusPlanes);
    // A blend's valid and contributing masks are one buffer, a new one: the
    // running images' masks stay as they are during the pass, so that bands
    // can blur them around their rows. Where both running images hold one
    // contribution buffer (as the first image leaves them), both blends
    // compute the same union of it and this image's contribution: then that
    // is one buffer too, written by both.
    const bool sharedContribution = plus.contributingPixels().data == minus.contributingPixels().data;
    cv::Mat plusUnion;
    cv::Mat minusUnion;
    if (!firstImage) {
        PlaneKernels::createZeroPlane(plusUnion, rows, cols, CV_8UC1);
        if (sharedContribution) {
            minusUnion = plusUnion;
        } else {
            PlaneKernels::createZeroPlane(minusUnion, rows, cols, CV_8UC1);
        }
    }

    PlaneKernels::forRowBands(rows, PyramidBands::bandRows(reduced, false, size), [&](int begin, int end) {
        cv::Mat expanded[5]; // the contribution is not needed
        for (int p = 0; p < 4; ++p) {
            expanded[p].create(end - begin, cols, CV_8UC1);
        }
        PyramidBands::resampleRows(reduced, false, size, begin, end, expanded, begin, false);
        const cv::Mat& expandedValid = expanded[3];

        if (firstImage) {
            for (int r = begin; r < end; ++r) {
                const uchar* valid = image.validPixels().ptr<uchar>(r);
                const uchar* minusKeep = overImage ? valid : expandedValid.ptr<uchar>(r - begin);
                for (int p = 0; p < 3; ++p) {
                    const uchar* own = imagePlanes[p]->ptr<uchar>(r);
                    const uchar* e = expanded[p].ptr<uchar>(r - begin);
                    maskedRow(own, e, valid, cols, true, plusPlanes[p]->ptr<uchar>(r), true);
                    maskedRow(e, own, minusKeep, cols, true, minusPlanes[p]->ptr<uchar>(r), true);
                }
                if (!borrowMasks) {
                    copyNonZero(valid, cols, plus.validPixels().ptr<uchar>(r));
                    copyNonZero(image.contributingPixels().ptr<uchar>(r), cols, plus.contributingPixels().ptr<uchar>(r));
                }
                if (!overImage) {
                    copyNonZero(minusKeep, cols, minus.validPixels().ptr<uchar>(r));
                }
            }
            return;
        }

        // Blurred contributions of the band's rows: of the running images
        // (usually equal: both contribute where some image did so far), and
        // of this image, which both its bands carry.
        const int first = std::max(begin - FeatherRows::kReach, 0);
        const int last = std::min(end + FeatherRows::kReach, rows);
        cv::Mat plusWeight, minusWeight, imageWeight;
        FeatherRows::blurRows(plus.contributingPixels(), first, last, plusWeight);
        if (sharedContribution || sameRows(plus.contributingPixels(), minus.contributingPixels(), first, last)) {
            minusWeight = plusWeight;
        } else {
            FeatherRows::blurRows(minus.contributingPixels(), first, last, minusWeight);
        }
        FeatherRows::blurRows(image.contributingPixels(), first, last, imageWeight);

        cv::Mat bandRows(6, cols, CV_8UC1); // this row's plus band (0..2) and minus band (3..5)
        for (int r = begin; r < end; ++r) {
            const uchar* valid = image.validPixels().ptr<uchar>(r);
            const uchar* contributing = image.contributingPixels().ptr<uchar>(r);
            const uchar* minusKeep = overImage ? valid : expandedValid.ptr<uchar>(r - begin);
            for (int p = 0; p < 3; ++p) {
                const uchar* own = imagePlanes[p]->ptr<uchar>(r);
                const uchar* e = expanded[p].ptr<uchar>(r - begin);
                maskedRow(own, e, valid, cols, true, bandRows.ptr<uchar>(p));
                maskedRow(e, own, minusKeep, cols, true, bandRows.ptr<uchar>(3 + p));
            }
            // Each pixel is read before it is written, so the blends may go
            // over the running images in place; where this image has data the
            // running images will mostly change, so those pages are made
            // writable before they are read.
            PlaneKernels::prepareWrites(plusPlanes, 3, r, valid, cols);
            PlaneKernels::prepareWrites(minusPlanes, 3, r, minusKeep, cols);
            // One running image blended in place with this image's band (rows
            // `band` to band + 2 of bandRows) kept where `keep` is set.
            const uchar* weight = imageWeight.ptr<uchar>(r - first);
            const auto blendBand = [&](MaskedImage& running, cv::Mat* const* planes, const cv::Mat& runningWeight,
                                       int band, const uchar* keep, cv::Mat& unionMask) {
                uchar* out[3] = {planes[0]->ptr<uchar>(r), planes[1]->ptr<uchar>(r), planes[2]->ptr<uchar>(r)};
                const FeatherRows::Input inputs[] = {
                    {{out[0], out[1], out[2]},
                     running.validPixels().ptr<uchar>(r),
                     running.contributingPixels().ptr<uchar>(r),
                     runningWeight.ptr<uchar>(r - first)},
                    {{bandRows.ptr<uchar>(band), bandRows.ptr<uchar>(band + 1), bandRows.ptr<uchar>(band + 2)},
                     keep,
                     contributing,
                     weight}};
                FeatherRows::blendRow(inputs, 2, cols, out, unionMask.ptr<uchar>(r));
            };
            blendBand(plus, plusPlanes, plusWeight, 0, valid, plusUnion);
            blendBand(minus, minusPlanes, minusWeight, 3, minusKeep, minusUnion);
        }
    });
    if (!firstImage) {
        plus.validPixels() = plusUnion;
        plus.contributingPixels() = plusUnion;
        minus.validPixels() = minusUnion;
        minus.contributingPixels() = minusUnion;
    }
}

namespace {

// Checks the planes of a collapse step and its sizes, as collapseLevel does.
void checkCollapse(MaskedImage& result, MaskedImage& plus, MaskedImage& minus)
{
    PyramidBands::checkPlanes(result);
    PyramidBands::checkPlanes(plus);
    PyramidBands::checkPlanes(minus);
    CV_Assert(minus.rows() == plus.rows() && minus.cols() == plus.cols());
    if ((plus.rows() + 1) / 2 != result.rows() || (plus.cols() + 1) / 2 != result.cols()) {
        throw std::runtime_error("OpenCVPyramidGenerator scaleUp() invalid image size");
    }
}

} // namespace

cv::Mat collapseLevelInterleaved(MaskedImage& result, LaplacianPyramidLevel& level, bool withAlpha)
{
    MaskedImage& plus = level.plusDelta();
    MaskedImage& minus = level.minusDelta();
    checkCollapse(result, plus, minus);
    const int rows = plus.rows();
    const int cols = plus.cols();
    const int channels = withAlpha ? 4 : 3;
    const cv::Size size(cols, rows);
    cv::Mat image;
    PlaneKernels::createPlane(image, rows, cols, CV_8UC(channels));
    cv::Mat* plusPlanes[3];
    cv::Mat* minusPlanes[3];
    colourPlanes(plus, plusPlanes);
    colourPlanes(minus, minusPlanes);
    PlaneKernels::forRowBands(rows, PyramidBands::bandRows(result, false, size), [&](int begin, int end) {
        cv::Mat expanded[5]; // the contribution is not needed
        for (int p = 0; p < 4; ++p) {
            expanded[p].create(end - begin, cols, CV_8UC1);
        }
        PyramidBands::resampleRows(result, false, size, begin, end, expanded, begin, false);
        cv::Mat colour(3, cols, CV_8UC1);
        for (int r = begin; r < end; ++r) {
            const uchar* valid = plus.validPixels().ptr<uchar>(r);
            const uchar* planes[4];
            for (int p = 0; p < 3; ++p) {
                uchar* out = colour.ptr<uchar>(p);
                maskedRow(plusPlanes[p]->ptr<uchar>(r), expanded[p].ptr<uchar>(r - begin), valid, cols, false, out);
                maskedRow(out, minusPlanes[p]->ptr<uchar>(r), valid, cols, true, out);
                planes[p] = out;
            }
            planes[3] = plus.contributingPixels().ptr<uchar>(r);
            cv::hal::merge8u(planes, image.ptr<uchar>(r), cols, channels);
        }
    });
    return image;
}

MaskedImage collapseLevel(MaskedImage& result, LaplacianPyramidLevel& level)
{
    MaskedImage& plus = level.plusDelta();
    MaskedImage& minus = level.minusDelta();
    checkCollapse(result, plus, minus);
    const int rows = plus.rows();
    const int cols = plus.cols();
    const cv::Size size(cols, rows);
    MaskedImage collapsed = newImage(rows, cols, false);
    cv::Mat* plusPlanes[3];
    cv::Mat* minusPlanes[3];
    cv::Mat* outPlanes[3];
    colourPlanes(plus, plusPlanes);
    colourPlanes(minus, minusPlanes);
    colourPlanes(collapsed, outPlanes);
    PlaneKernels::forRowBands(rows, PyramidBands::bandRows(result, false, size), [&](int begin, int end) {
        cv::Mat expanded[5]; // the contribution is not needed
        for (int p = 0; p < 4; ++p) {
            expanded[p].create(end - begin, cols, CV_8UC1);
        }
        PyramidBands::resampleRows(result, false, size, begin, end, expanded, begin, false);
        for (int r = begin; r < end; ++r) {
            const uchar* valid = plus.validPixels().ptr<uchar>(r);
            for (int p = 0; p < 3; ++p) {
                uchar* out = outPlanes[p]->ptr<uchar>(r);
                maskedRow(plusPlanes[p]->ptr<uchar>(r), expanded[p].ptr<uchar>(r - begin), valid, cols, false, out);
                maskedRow(out, minusPlanes[p]->ptr<uchar>(r), valid, cols, true, out);
            }
            std::copy(valid, valid + cols, collapsed.validPixels().ptr<uchar>(r));
            const uchar* contributing = plus.contributingPixels().ptr<uchar>(r);
            std::copy(contributing, contributing + cols, collapsed.contributingPixels().ptr<uchar>(r));
        }
    });
    return collapsed;
}

} // namespace SplineLevels
} // namespace orb
