#include "StitchLib/blending/CleanEdgeSpline.h"

#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/FeatherRows.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/PyramidBands.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <stdexcept>
#include <typeinfo>
#include <utility>

namespace orb {

namespace {

// Decomposition stops once a level this short has been made, as in the default.
const int kMinLevelRows = 32;

// The fused passes below follow the default spline's (MultiResolutionSpline.cpp) for
// the standard generator and blender: bands of rows, zero planes written only where
// they hold something, so that the parts' empty two thirds take no memory. They
// differ in one place: the minus band is kept, and valid, over the image's own valid
// pixels rather than over the expansion's.

// out = saturate(a - b) (or a + b), kept where keep is 128 or more. With sparse, out
// holds zeros and only non-zero values are written.
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
        if (!sparse || cv::v_check_any(v != zero))
            cv::v_store(out + c, v);
    }
#endif
    for (; c < cols; ++c) {
        const int v = subtract ? std::max(a[c] - b[c], 0) : std::min(a[c] + b[c], 255);
        const uchar value = keep[c] >= 128 ? static_cast<uchar>(v) : 0;
        if (!sparse || value != 0)
            out[c] = value;
    }
}

// Copies the non-zero values of a row into a row of zeros.
inline void copyNonZero(const uchar* in, int cols, uchar* out)
{
    for (int c = 0; c < cols; ++c)
        if (in[c] != 0)
            out[c] = in[c];
}

void colourPlanes(MaskedImage& image, cv::Mat* planes[3])
{
    planes[0] = &image.red();
    planes[1] = &image.green();
    planes[2] = &image.blue();
}

// Whether rows [first, last) of two masks hold the same values.
bool sameRows(const cv::Mat& a, const cv::Mat& b, int first, int last)
{
    for (int r = first; r < last; ++r)
        if (!std::equal(a.ptr<uchar>(r), a.ptr<uchar>(r) + a.cols, b.ptr<uchar>(r)))
            return false;
    return true;
}

// One image's share of a level: its plus band image - E and minus band E - image
// (E the expansion of `reduced`), both over the image's valid pixels, blended into
// the running plus and minus images (or becoming them, for the first image). The
// first image's bands borrow its mask buffers when borrowMasks (the spline releases
// the image right after, and later blends write masks of their own).
void addLevelBands(MaskedImage& image, MaskedImage& reduced, bool firstImage, bool borrowMasks, MaskedImage& plus,
                   MaskedImage& minus)
{
    PyramidBands::checkPlanes(image);
    PyramidBands::checkPlanes(reduced);
    const int rows = image.rows();
    const int cols = image.cols();
    const cv::Size size(cols, rows);
    if (firstImage) {
        // Both bands carry the image's masks, one buffer each, only ever read.
        cv::Mat planes[8];
        for (int p = 0; p < (borrowMasks ? 6 : 8); ++p)
            PlaneKernels::createZeroPlane(planes[p], rows, cols, CV_8UC1);
        if (borrowMasks) {
            planes[6] = image.validPixels();
            planes[7] = image.contributingPixels();
        }
        plus = MaskedImage(planes[0], planes[1], planes[2], planes[6], planes[7]);
        minus = MaskedImage(planes[3], planes[4], planes[5], planes[6], planes[7]);
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
    cv::Mat plusUnion;
    cv::Mat minusUnion;
    if (!firstImage) {
        PlaneKernels::createZeroPlane(plusUnion, rows, cols, CV_8UC1);
        PlaneKernels::createZeroPlane(minusUnion, rows, cols, CV_8UC1);
    }

    PlaneKernels::forRowBands(rows, PyramidBands::bandRows(reduced, false, size), [&](int begin, int end) {
        cv::Mat expanded[5];  // the contribution is not needed
        for (int p = 0; p < 4; ++p)
            expanded[p].create(end - begin, cols, CV_8UC1);
        PyramidBands::resampleRows(reduced, false, size, begin, end, expanded, begin, false);

        if (firstImage) {
            for (int r = begin; r < end; ++r) {
                const uchar* valid = image.validPixels().ptr<uchar>(r);
                for (int p = 0; p < 3; ++p) {
                    const uchar* own = imagePlanes[p]->ptr<uchar>(r);
                    const uchar* e = expanded[p].ptr<uchar>(r - begin);
                    maskedRow(own, e, valid, cols, true, plusPlanes[p]->ptr<uchar>(r), true);
                    maskedRow(e, own, valid, cols, true, minusPlanes[p]->ptr<uchar>(r), true);
                }
                if (!borrowMasks) {
                    copyNonZero(valid, cols, plus.validPixels().ptr<uchar>(r));
                    copyNonZero(image.contributingPixels().ptr<uchar>(r), cols,
                                plus.contributingPixels().ptr<uchar>(r));
                }
            }
            return;
        }

        const int first = std::max(begin - FeatherRows::kReach, 0);
        const int last = std::min(end + FeatherRows::kReach, rows);
        cv::Mat plusWeight, minusWeight, imageWeight;
        FeatherRows::blurRows(plus.contributingPixels(), first, last, plusWeight);
        if (sameRows(plus.contributingPixels(), minus.contributingPixels(), first, last))
            minusWeight = plusWeight;
        else
            FeatherRows::blurRows(minus.contributingPixels(), first, last, minusWeight);
        FeatherRows::blurRows(image.contributingPixels(), first, last, imageWeight);

        cv::Mat bandRows(6, cols, CV_8UC1);  // this row's plus band (0..2) and minus band (3..5)
        for (int r = begin; r < end; ++r) {
            const uchar* valid = image.validPixels().ptr<uchar>(r);
            const uchar* contributing = image.contributingPixels().ptr<uchar>(r);
            for (int p = 0; p < 3; ++p) {
                const uchar* own = imagePlanes[p]->ptr<uchar>(r);
                const uchar* e = expanded[p].ptr<uchar>(r - begin);
                maskedRow(own, e, valid, cols, true, bandRows.ptr<uchar>(p));
                maskedRow(e, own, valid, cols, true, bandRows.ptr<uchar>(3 + p));
            }
            for (int p = 0; p < 3; ++p) {
                PlaneKernels::prepareWrites(*plusPlanes[p], r, valid, cols);
                PlaneKernels::prepareWrites(*minusPlanes[p], r, valid, cols);
            }
            const uchar* weight = imageWeight.ptr<uchar>(r - first);
            uchar* plusOut[3] = {plusPlanes[0]->ptr<uchar>(r), plusPlanes[1]->ptr<uchar>(r),
                                 plusPlanes[2]->ptr<uchar>(r)};
            const FeatherRows::Input plusInputs[] = {
                {{plusOut[0], plusOut[1], plusOut[2]},
                 plus.validPixels().ptr<uchar>(r),
                 plus.contributingPixels().ptr<uchar>(r),
                 plusWeight.ptr<uchar>(r - first)},
                {{bandRows.ptr<uchar>(0), bandRows.ptr<uchar>(1), bandRows.ptr<uchar>(2)}, valid, contributing, weight}};
            FeatherRows::blendRow(plusInputs, 2, cols, plusOut, plusUnion.ptr<uchar>(r));
            uchar* minusOut[3] = {minusPlanes[0]->ptr<uchar>(r), minusPlanes[1]->ptr<uchar>(r),
                                  minusPlanes[2]->ptr<uchar>(r)};
            const FeatherRows::Input minusInputs[] = {
                {{minusOut[0], minusOut[1], minusOut[2]},
                 minus.validPixels().ptr<uchar>(r),
                 minus.contributingPixels().ptr<uchar>(r),
                 minusWeight.ptr<uchar>(r - first)},
                {{bandRows.ptr<uchar>(3), bandRows.ptr<uchar>(4), bandRows.ptr<uchar>(5)}, valid, contributing,
                 weight}};
            FeatherRows::blendRow(minusInputs, 2, cols, minusOut, minusUnion.ptr<uchar>(r));
        }
    });
    if (!firstImage) {
        plus.validPixels() = plusUnion;
        plus.contributingPixels() = plusUnion;
        minus.validPixels() = minusUnion;
        minus.contributingPixels() = minusUnion;
    }
}

// One reconstruction step: (plus + expanded result) - minus over the plus band's
// valid pixels, with copies of the plus band's masks.
MaskedImage collapseLevel(MaskedImage& result, LaplacianPyramidLevel& level)
{
    MaskedImage& plus = level.plusDelta();
    MaskedImage& minus = level.minusDelta();
    PyramidBands::checkPlanes(result);
    PyramidBands::checkPlanes(plus);
    PyramidBands::checkPlanes(minus);
    const int rows = plus.rows();
    const int cols = plus.cols();
    CV_Assert(minus.rows() == rows && minus.cols() == cols);
    if ((rows + 1) / 2 != result.rows() || (cols + 1) / 2 != result.cols())
        throw std::runtime_error("CleanEdgeSpline: level sizes do not halve");
    const cv::Size size(cols, rows);
    cv::Mat planes[5];
    for (int p = 0; p < 5; ++p)
        PlaneKernels::createPlane(planes[p], rows, cols, CV_8UC1);
    MaskedImage collapsed(planes[0], planes[1], planes[2], planes[3], planes[4]);
    cv::Mat* plusPlanes[3];
    cv::Mat* minusPlanes[3];
    cv::Mat* outPlanes[3];
    colourPlanes(plus, plusPlanes);
    colourPlanes(minus, minusPlanes);
    colourPlanes(collapsed, outPlanes);
    PlaneKernels::forRowBands(rows, PyramidBands::bandRows(result, false, size), [&](int begin, int end) {
        cv::Mat expanded[5];
        for (int p = 0; p < 4; ++p)
            expanded[p].create(end - begin, cols, CV_8UC1);
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

} // namespace

CleanEdgeSpline::CleanEdgeSpline(PyramidGeneratorBase& generator, BlenderBase& blender)
    : generator(generator), blender(blender)
{
}

bool CleanEdgeSpline::standardCollaborators() const
{
    // Exactly these types: a derived generator or blender may change a step.
    return typeid(generator) == typeid(OpenCVPyramidGenerator) && typeid(blender) == typeid(FeatherBlender);
}

MaskedImage CleanEdgeSpline::spline(MaskedImageSet& images)
{
    pyramid.clear();
    try {
        const bool fused = standardCollaborators();
        // Decompose. The first and the last image take turns winning contested
        // pixels of the reduced contributions.
        bool lastWins = true;
        while (pyramid.empty() || pyramid.back().rows() > kMinLevelRows) {
            MaskedImageSet next;
            MaskedImage plus;
            MaskedImage minus;
            const int count = static_cast<int>(images.numImages());
            for (int i = 0; i < count; ++i) {
                MaskedImage& image = images.image(i);
                MaskedImage reduced = generator.scaleDown(image);
                next.addImage(reduced);
                if (fused) {
                    addLevelBands(image, reduced, i == 0, count > 1, plus, minus);
                    image.release();
                    continue;
                }
                MaskedImage expanded = generator.scaleUp(reduced, image.rows(), image.cols());
                reduced.release();
                // The expansion's colour with the image's masks: both halves of the
                // band are then kept exactly where the image holds data.
                MaskedImage expandedHere(expanded.red(), expanded.green(), expanded.blue(), image.validPixels(),
                                         image.contributingPixels());
                expanded.release();

                MaskedImage plusBand = image - expandedHere;
                plus = i == 0 ? std::move(plusBand) : blender.blend(plus, plusBand);
                plusBand.release();
                MaskedImage minusBand = expandedHere - image;
                expandedHere.release();
                image.release();
                minus = i == 0 ? std::move(minusBand) : blender.blend(minus, minusBand);
            }
            next.fixMaskOverlaps(lastWins);
            lastWins = !lastWins;
            pyramid.emplace_back(std::move(plus), std::move(minus));
            images = std::move(next);
        }

        // Reconstruct.
        MaskedImage result = blender.blend(images);
        cv::Mat alpha;
        while (!pyramid.empty()) {
            LaplacianPyramidLevel& level = pyramid.back();
            if (fused) {
                result = collapseLevel(result, level);
            } else {
                result = generator.scaleUp(result, level.rows(), level.cols());
                result = level.plusDelta() + result;
                result = result - level.minusDelta();
            }
            alpha = level.plusDelta().contributingPixels();
            pyramid.pop_back();
        }
        result.contributingPixels() = alpha;
        return result;
    } catch (...) {
        pyramid.clear();
        throw;
    }
}

} // namespace orb
