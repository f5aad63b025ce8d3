#include "StitchLib/blending/FeatherBlender.h"

#include "StitchLib/blending/FeatherRows.h"
#include "StitchLib/blending/PlaneKernels.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <vector>

namespace orb {

namespace {

const cv::Size kFeatherSize(5, 5);
const double kFeatherSigma = 1.0;
static_assert(FeatherRows::kReach == 5 / 2, "the blur reaches half its kernel");

} // namespace

namespace FeatherRows {

namespace {

// Writes only values that differ from what the output holds: the running
// images are blended over in place, and pages that stay 0 then take no
// memory.
inline void storeChanged(uchar* out, uchar value)
{
    if (*out != value) {
        *out = value;
    }
}

#if CV_SIMD128
inline void storeChanged(uchar* out, const cv::v_uint8x16& values)
{
    if (!cv::v_check_all(cv::v_load(out) == values)) {
        cv::v_store(out, values);
    }
}
#endif

} // namespace

void blurRows(const cv::Mat& contributing, int first, int last, cv::Mat& blurred)
{
    // A copy, not a view: on a view the blur would take another path with
    // other rounding.
    const cv::Mat rows = contributing.rowRange(first, last).clone();
    cv::GaussianBlur(rows, blurred, kFeatherSize, kFeatherSigma, 0.0, cv::BORDER_DEFAULT);
}

void blendRow(const Input* inputs, int count, int cols, uchar* const* out, uchar* covered)
{
    const PlaneKernels::ByteTable& weightedColour = PlaneKernels::weighted();
    const PlaneKernels::ByteTable& normalised = PlaneKernels::normalised();
    const auto blendPixel = [&](int c) {
        // Where any image contributes, and how many hold data (a mask counts
        // as 1 from 128 on, as it does divided by 255).
        bool any = false;
        int holders = 0;
        for (int k = 0; k < count; ++k) {
            any = any || inputs[k].contributing[c] != 0;
            holders += inputs[k].valid[c] >= 128 ? 1 : 0;
        }
        // Where at most one image has data it takes the full weight, whatever
        // the blurred seam says.
        const int single = (holders <= 1 && any) ? 255 : 0;
        int sums[3] = {0, 0, 0};
        int weightSum = 0;
        for (int k = 0; k < count; ++k) {
            if (inputs[k].valid[c] < 128) {
                continue; // no weight outside the image's own data
            }
            const uchar w = static_cast<uchar>(std::min(inputs[k].weight[c] + single, 255));
            for (int p = 0; p < 3; ++p) {
                sums[p] = std::min(sums[p] + weightedColour(inputs[k].colour[p][c], w), 255);
            }
            weightSum = std::min(weightSum + w, 255);
        }
        for (int p = 0; p < 3; ++p) {
            storeChanged(out[p] + c, normalised(static_cast<uchar>(sums[p]), static_cast<uchar>(weightSum)));
        }
        if (any) {
            covered[c] = 255;
        }
    };
    int done = 0;
#if CV_SIMD128
    static const bool plain = PlaneKernels::keepsFullAndClearsNone(weightedColour) &&
                              PlaneKernels::keepsFullAndClearsNone(normalised);
    if (plain) {
        // Runs where no image or exactly one contributing image holds data:
        // the colour is that image's own (weight 255), or 0.
        const cv::v_uint8x16 zero = cv::v_setzero_u8();
        const cv::v_uint8x16 one = cv::v_setall_u8(1);
        const cv::v_uint8x16 half = cv::v_setall_u8(128);
        for (; done + 16 <= cols; done += 16) {
            cv::v_uint8x16 any = zero;
            cv::v_uint8x16 holders = zero;
            cv::v_uint8x16 held[3] = {zero, zero, zero};
            for (int k = 0; k < count; ++k) {
                const cv::v_uint8x16 isValid = cv::v_load(inputs[k].valid + done) >= half;
                holders = holders + (isValid & one);
                any = any | ~(cv::v_load(inputs[k].contributing + done) == zero);
                for (int p = 0; p < 3; ++p) {
                    held[p] = held[p] | (cv::v_load(inputs[k].colour[p] + done) & isValid);
                }
            }
            const cv::v_uint8x16 simple = (holders == zero) | ((holders == one) & any);
            if (!cv::v_check_all(simple)) {
                for (int c = done; c < done + 16; ++c) blendPixel(c);
                continue;
            }
            for (int p = 0; p < 3; ++p) {
                storeChanged(out[p] + done, held[p]);
            }
            if (!cv::v_check_all(any == zero)) {
                cv::v_store(covered + done, any);
            }
        }
    }
#endif
    for (int c = done; c < cols; ++c) {
        blendPixel(c);
    }
}

} // namespace FeatherRows

MaskedImage FeatherBlender::blend(MaskedImage first, MaskedImage second)
{
    MaskedImageSet pair;
    pair.addImage(first);
    pair.addImage(second);
    return blend(pair);
}

MaskedImage FeatherBlender::blend(MaskedImageSet images)
{
    const int count = static_cast<int>(images.numImages());
    // Read first, so that an empty set reports the set's own error.
    images.image(0);
    const int rowCount = images.image(0).rows();
    const int colCount = images.image(0).cols();
    std::vector<MaskedImage*> sources;
    for (int j = 0; j < count; ++j) {
        MaskedImage& image = images.image(j);
        // Checked as the whole-plane operations would check them.
        for (const cv::Mat* plane : {&image.red(), &image.green(), &image.blue(), &image.validPixels(),
                                     &image.contributingPixels()}) {
            CV_Assert(plane->type() == CV_8UC1 && plane->rows == rowCount && plane->cols == colCount);
        }
        sources.push_back(&image);
    }

    cv::Mat planes[3];
    for (cv::Mat& plane : planes) {
        PlaneKernels::createPlane(plane, rowCount, colCount, CV_8UC1);
    }
    cv::Mat coverage;
    PlaneKernels::createZeroPlane(coverage, rowCount, colCount, CV_8UC1);
    if (rowCount == 0 || colCount == 0) {
        return MaskedImage(planes[0], planes[1], planes[2], coverage, coverage);
    }

    PlaneKernels::forRowBands(rowCount, PlaneKernels::bandRowsFor(colCount, 5 * count + 4), [&](int begin, int end) {
        // The blurred contributions of the band's rows, from the band and the
        // rows the blur reaches on either side.
        const int first = std::max(begin - FeatherRows::kReach, 0);
        const int last = std::min(end + FeatherRows::kReach, rowCount);
        std::vector<cv::Mat> blurred(sources.size());
        for (std::size_t k = 0; k < sources.size(); ++k) {
            FeatherRows::blurRows(sources[k]->contributingPixels(), first, last, blurred[k]);
        }
        std::vector<FeatherRows::Input> inputs(sources.size());
        for (int r = begin; r < end; ++r) {
            for (std::size_t k = 0; k < sources.size(); ++k) {
                MaskedImage& image = *sources[k];
                inputs[k] = {{image.red().ptr<uchar>(r), image.green().ptr<uchar>(r), image.blue().ptr<uchar>(r)},
                             image.validPixels().ptr<uchar>(r),
                             image.contributingPixels().ptr<uchar>(r),
                             blurred[k].ptr<uchar>(r - first)};
            }
            uchar* out[3] = {planes[0].ptr<uchar>(r), planes[1].ptr<uchar>(r), planes[2].ptr<uchar>(r)};
            FeatherRows::blendRow(inputs.data(), count, colCount, out, coverage.ptr<uchar>(r));
        }
    });
    return MaskedImage(planes[0], planes[1], planes[2], coverage, coverage);
}

} // namespace orb
