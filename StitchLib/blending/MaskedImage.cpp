#include "StitchLib/blending/MaskedImage.h"

#include "StitchLib/blending/ParallelUnits.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/PyramidExpansion.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <thread>
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

// Columns on either side of a pixel that its band pass reads, through the
// blur (3), the reductions (2 at each level, 510 in all) and the expansions
// back (about 2 at the coarsest level, 512): a run of columns filtered on its
// own with this many more on either side gets the whole plane's bits there.
const int kBandPassReach = 1280;
// A run of columns filtered on its own starts at a multiple of this, so that
// its pyramid's pixels lie on those of the whole plane at every level.
const int kBandPassAlignment = 1 << kDetailLevels;

// The plane reduced sizes.size() times and expanded back to sizes[1]: the low
// pass one expansion short of the plane's own size, sizes[0]. The expansions
// of a whole plane are planes that freed ones of the same size are kept for;
// those of a run of columns, of sizes that do not come again, are not.
cv::Mat lowPassHalf(const cv::Mat& plane, const std::vector<cv::Size>& sizes, bool wholePlane)
{
    cv::Mat low = plane;
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        cv::Mat reduced;
        cv::pyrDown(low, reduced, cv::Size(), cv::BORDER_DEFAULT);
        low = reduced;
    }
    for (auto size = sizes.rbegin(); size + 1 != sizes.rend(); ++size) {
        cv::Mat expanded;
        if (wholePlane) {
            PlaneKernels::createPlane(expanded, *size, CV_8UC1);
        }
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

namespace {

// Stores 16 values unless all are 0: the planes start as untouched zeros.
#if CV_SIMD128
inline void storeNonZero(uchar* out, const cv::v_uint8x16& values)
{
    if (cv::v_check_any(values != cv::v_setzero_u8())) {
        cv::v_store(out, values);
    }
}
#endif

inline void storeNonZero(uchar* out, uchar value)
{
    if (value != 0) {
        *out = value;
    }
}

} // namespace

MaskedImage::MaskedImage(cv::Mat& image, bool erodeMask)
{
    const int type = image.type();
    if (type != CV_8UC3 && type != CV_8UC4) {
        throw std::runtime_error("MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4");
    }
    const int rowCount = image.rows;
    const int colCount = image.cols;
    // Zero planes whose pages take memory only where something is written: a
    // part's colour and masks are 0 wherever its camera does not see, about
    // two thirds of the panorama, and those pages are never written.
    PlaneKernels::createZeroPlane(redPlane, rowCount, colCount, CV_8UC1);
    PlaneKernels::createZeroPlane(greenPlane, rowCount, colCount, CV_8UC1);
    PlaneKernels::createZeroPlane(bluePlane, rowCount, colCount, CV_8UC1);
    PlaneKernels::createZeroPlane(validMask, rowCount, colCount, CV_8UC1);
    PlaneKernels::createZeroPlane(contributingMask, rowCount, colCount, CV_8UC1);
    if (rowCount == 0 || colCount == 0) {
        return;
    }
    const int channels = image.channels();
    const cv::Mat& source = image;

    // One pass per band: split the channels, and for a four-channel image
    // derive the valid mask from the alpha, every output row from at most
    // three source rows, so bands are independent.
    PlaneKernels::forRowBands(rowCount, PlaneKernels::bandRowsFor(colCount, 4 + channels), [&](int begin, int end) {
        std::vector<uchar> rowMinimum(channels == 4 ? static_cast<std::size_t>(colCount) : 0);
        std::vector<uchar> rowAlpha(channels == 4 ? static_cast<std::size_t>(colCount) : 0);
        for (int r = begin; r < end; ++r) {
            const uchar* pixel = source.ptr<uchar>(r);
            uchar* red = redPlane.ptr<uchar>(r);
            uchar* green = greenPlane.ptr<uchar>(r);
            uchar* blue = bluePlane.ptr<uchar>(r);
            uchar* valid = validMask.ptr<uchar>(r);
            uchar* contributing = contributingMask.ptr<uchar>(r);
            if (channels == 3) {
                for (int c = 0; c < colCount; ++c) {
                    storeNonZero(red + c, pixel[3 * c]);
                    storeNonZero(green + c, pixel[3 * c + 1]);
                    storeNonZero(blue + c, pixel[3 * c + 2]);
                    valid[c] = 255;
                    contributing[c] = 255;
                }
                continue;
            }
            uchar* alpha = rowAlpha.data();
            if (erodeMask) {
                // Edge pixels of a remapped part mix in the transparent
                // surroundings: the minimum alpha of the 3 x 3 neighbourhood,
                // where pixels outside the image never erode.
                const uchar* above = source.ptr<uchar>(std::max(r - 1, 0));
                const uchar* below = source.ptr<uchar>(std::min(r + 1, rowCount - 1));
                uchar* minimum = rowMinimum.data();
                int c = 0;
#if CV_SIMD128
                for (; c + 16 <= colCount; c += 16) {
                    cv::v_uint8x16 x0, x1, x2, a0, a1, a2;
                    cv::v_load_deinterleave(above + 4 * c, x0, x1, x2, a0);
                    cv::v_load_deinterleave(pixel + 4 * c, x0, x1, x2, a1);
                    cv::v_load_deinterleave(below + 4 * c, x0, x1, x2, a2);
                    cv::v_store(minimum + c, cv::v_min(cv::v_min(a0, a1), a2));
                }
#endif
                for (; c < colCount; ++c) {
                    minimum[c] = std::min(std::min(above[4 * c + 3], pixel[4 * c + 3]), below[4 * c + 3]);
                }
                alpha[0] = colCount > 1 ? std::min(minimum[0], minimum[1]) : minimum[0];
                c = 1;
#if CV_SIMD128
                for (; c + 17 <= colCount; c += 16) {
                    cv::v_store(alpha + c, cv::v_min(cv::v_min(cv::v_load(minimum + c - 1), cv::v_load(minimum + c)),
                                                     cv::v_load(minimum + c + 1)));
                }
#endif
                for (; c < colCount; ++c) {
                    uchar m = std::min(minimum[c], minimum[c - 1]);
                    if (c + 1 < colCount) m = std::min(m, minimum[c + 1]);
                    alpha[c] = m;
                }
            } else {
                for (int c = 0; c < colCount; ++c) {
                    alpha[c] = pixel[4 * c + 3];
                }
            }
            // Only fully opaque pixels count as data; colour is cleared elsewhere.
            int first = 0;
#if CV_SIMD128
            const cv::v_uint8x16 opaque = cv::v_setall_u8(255);
            for (; first + 16 <= colCount; first += 16) {
                cv::v_uint8x16 b, g, rd, a;
                cv::v_load_deinterleave(pixel + 4 * first, b, g, rd, a);
                const cv::v_uint8x16 keep = cv::v_load(alpha + first) == opaque;
                if (!cv::v_check_any(keep)) {
                    continue; // all five planes stay 0
                }
                cv::v_store(valid + first, keep);
                cv::v_store(contributing + first, keep);
                storeNonZero(red + first, b & keep);
                storeNonZero(green + first, g & keep);
                storeNonZero(blue + first, rd & keep);
            }
#endif
            for (int c = first; c < colCount; ++c) {
                if (alpha[c] != 255) {
                    continue;
                }
                valid[c] = 255;
                contributing[c] = 255;
                storeNonZero(red + c, pixel[4 * c]);
                storeNonZero(green + c, pixel[4 * c + 1]);
                storeNonZero(blue + c, pixel[4 * c + 2]);
            }
        }
    });
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
    return combined(other, true);
}

MaskedImage MaskedImage::operator+(MaskedImage other) const
{
    return combined(other, false);
}

MaskedImage MaskedImage::combined(const MaskedImage& other, bool subtract) const
{
    // Sizes are checked as the whole-plane operations would check them.
    for (const cv::Mat* const planes : {&other.redPlane, &other.greenPlane, &other.bluePlane}) {
        CV_Assert(planes->size() == redPlane.size() && planes->type() == CV_8UC1);
    }
    CV_Assert(greenPlane.size() == redPlane.size() && bluePlane.size() == redPlane.size() &&
              validMask.size() == redPlane.size() && contributingMask.size() == redPlane.size());
    CV_Assert(redPlane.type() == CV_8UC1 && greenPlane.type() == CV_8UC1 && bluePlane.type() == CV_8UC1 &&
              validMask.type() == CV_8UC1 && contributingMask.type() == CV_8UC1);

    const int rowCount = rows();
    const int colCount = cols();
    cv::Mat results[5];
    for (cv::Mat& result : results) {
        PlaneKernels::createPlane(result, rowCount, colCount, CV_8UC1);
    }
    const cv::Mat* const these[] = {&redPlane, &greenPlane, &bluePlane};
    const cv::Mat* const others[] = {&other.redPlane, &other.greenPlane, &other.bluePlane};
    // Saturating sum or difference, kept where the valid mask rounds to 1 when
    // divided by 255 (128 and above), and copies of both masks, in one pass.
    PlaneKernels::forRowBands(rowCount, PlaneKernels::bandRowsFor(colCount, 13), [&](int begin, int end) {
        for (int r = begin; r < end; ++r) {
            const uchar* valid = validMask.ptr<uchar>(r);
            for (int p = 0; p < 3; ++p) {
                const uchar* a = these[p]->ptr<uchar>(r);
                const uchar* b = others[p]->ptr<uchar>(r);
                uchar* out = results[p].ptr<uchar>(r);
                int first = 0;
#if CV_SIMD128
                const cv::v_uint8x16 half = cv::v_setall_u8(128);
                for (; first + 16 <= colCount; first += 16) {
                    const cv::v_uint8x16 keep = cv::v_load(valid + first) >= half;
                    const cv::v_uint8x16 x = cv::v_load(a + first);
                    const cv::v_uint8x16 y = cv::v_load(b + first);
                    // Saturating, as the 8-bit operators are.
                    cv::v_store(out + first, (subtract ? x - y : x + y) & keep);
                }
#endif
                if (subtract) {
                    for (int c = first; c < colCount; ++c) {
                        const int v = a[c] > b[c] ? a[c] - b[c] : 0;
                        out[c] = valid[c] >= 128 ? static_cast<uchar>(v) : 0;
                    }
                } else {
                    for (int c = first; c < colCount; ++c) {
                        const int v = std::min(a[c] + b[c], 255);
                        out[c] = valid[c] >= 128 ? static_cast<uchar>(v) : 0;
                    }
                }
            }
            std::copy(valid, valid + colCount, results[3].ptr<uchar>(r));
            const uchar* contributing = contributingMask.ptr<uchar>(r);
            std::copy(contributing, contributing + colCount, results[4].ptr<uchar>(r));
        }
    });
    return MaskedImage(results[0], results[1], results[2], results[3], results[4]);
}

cv::Mat MaskedImage::cvMat(bool withAlpha) const
{
    const int channels = withAlpha ? 4 : 3;
    cv::Mat result;
    PlaneKernels::createPlane(result, rows(), cols(), CV_8UC(channels));
    const int pairs[] = {0, 0, 1, 1, 2, 2, 3, 3};
    // A copy per pixel, so bands of rows on all cores give the same bytes.
    PlaneKernels::forRowBands(rows(), PlaneKernels::bandRowsFor(cols(), 2 * channels), [&](int begin, int end) {
        const cv::Mat planes[] = {redPlane.rowRange(begin, end), greenPlane.rowRange(begin, end),
                                  bluePlane.rowRange(begin, end), contributingMask.rowRange(begin, end)};
        cv::Mat band = result.rowRange(begin, end);
        cv::mixChannels(planes, channels, &band, 1, pairs, channels);
    });
    return result;
}

namespace {

// Columns of a plane filtered on their own.
struct BandPassSpan {
    cv::Range filtered;
};

// The spans that cover every column where needed has a non-zero pixel. One
// span of the whole width when they would cover most of it.
std::vector<BandPassSpan> bandPassSpans(const cv::Mat& needed)
{
    const int cols = needed.cols;
    std::vector<BandPassSpan> spans;
    int covered = 0;
    for (const cv::Range& run : PlaneKernels::nonZeroColumnRuns(needed, 0, needed.rows)) {
        const int begin = std::max(0, run.start - kBandPassReach) / kBandPassAlignment * kBandPassAlignment;
        const int end = std::min(cols, run.end + kBandPassReach);
        if (!spans.empty() && begin <= spans.back().filtered.end) {
            // Overlapping spans are filtered as one.
            covered -= spans.back().filtered.size();
            spans.back().filtered.end = end;
        } else {
            spans.push_back({cv::Range(begin, end)});
        }
        covered += spans.back().filtered.size();
    }
    if (covered > cols - cols / 4) {
        spans.assign(1, {cv::Range(0, cols)});
    }
    return spans;
}

// The reduced sizes of a plane of this size, finest first.
std::vector<cv::Size> detailSizes(cv::Size size)
{
    std::vector<cv::Size> sizes;
    for (int level = 0; level < kDetailLevels; ++level) {
        sizes.push_back(size);
        size = cv::Size((size.width + 1) / 2, (size.height + 1) / 2);
    }
    return sizes;
}

// The band pass of each source's columns `span.filtered` into the same
// columns of bands, leaving the other columns as they are. A span narrower
// than the plane is filtered as an image of its own, with its own border.
// Units: the blurs first and then the band passes, so that two cores share
// them evenly. A band pass waits for its blur, which was taken up before it
// (or ran before it, one unit after the other, inside another parallel loop).
void filterSpans(const cv::Mat* const* sources, cv::Mat* bands, const std::vector<BandPassSpan>& spans)
{
    const int count = 3 * static_cast<int>(spans.size());
    enum Blur { kBlurring, kBlurred, kFailed };
    std::vector<std::atomic<int>> blur(static_cast<std::size_t>(count));
    for (std::atomic<int>& state : blur) {
        state = kBlurring;
    }
    runIndependent(2 * count, [&](int unit, int) {
        const int k = unit % count;
        const int p = k % 3;
        const std::size_t s = static_cast<std::size_t>(k / 3);
        const cv::Range columns = spans[s].filtered;
        const bool whole = columns.size() == sources[p]->cols;
        cv::Mat out = whole ? bands[p] : bands[p].colRange(columns);
        if (unit < count) {
            try {
                // A span is blurred as an image apart, its border its own.
                cv::GaussianBlur(whole ? *sources[p] : sources[p]->colRange(columns), out, kDetailBlurSize,
                                 kDetailBlurSigma, 0.0, whole ? cv::BORDER_DEFAULT : cv::BORDER_DEFAULT | cv::BORDER_ISOLATED);
            } catch (...) {
                blur[static_cast<std::size_t>(k)] = kFailed;
                throw;
            }
            blur[static_cast<std::size_t>(k)] = kBlurred;
            return;
        }
        int state = blur[static_cast<std::size_t>(k)];
        for (; state == kBlurring; state = blur[static_cast<std::size_t>(k)]) {
            std::this_thread::yield();
        }
        if (state == kFailed) {
            return; // the blur's own error is the one reported
        }
        // |B - L|: for 8-bit planes this equals (B - L) + (L - B), each
        // saturating. In place, with the last expansion of L made band by
        // band: the blurred plane is not needed afterwards.
        PyramidExpansion::subtractExpanded(lowPassHalf(out, detailSizes(out.size()), whole), out);
    });
}

} // namespace

MaskedImage MaskedImage::bandPassFilter() const
{
    const cv::Mat* sources[] = {&redPlane, &greenPlane, &bluePlane};
    cv::Mat bands[3];
    for (cv::Mat& band : bands) {
        PlaneKernels::createPlane(band, redPlane.size(), CV_8UC1);
    }
    filterSpans(sources, bands, {{cv::Range(0, redPlane.cols)}});
    return MaskedImage(bands[0], bands[1], bands[2], validMask, contributingMask);
}

MaskedImage MaskedImage::bandPassFilterWhere(const cv::Mat& needed) const
{
    CV_Assert(needed.type() == CV_8UC1 && needed.size() == redPlane.size());
    const std::vector<BandPassSpan> spans = bandPassSpans(needed);
    if (spans.size() == 1 && spans[0].filtered.size() == redPlane.cols) {
        return bandPassFilter();
    }
    const cv::Mat* sources[] = {&redPlane, &greenPlane, &bluePlane};
    // Columns far from every needed pixel are 0. The planes are scratch
    // planes: a seam finder that filters image after image gets back the
    // pages of the planes it freed instead of faulting in fresh ones (columns
    // outside the spans are rarely a whole page of a row, so a plane of zeros
    // written sparsely takes nearly all its pages anyway).
    cv::Mat bands[3];
    for (cv::Mat& band : bands) {
        PlaneKernels::createScratchPlane(band, redPlane.rows, redPlane.cols, CV_8UC1);
    }
    std::vector<cv::Range> gaps;
    int gapBegin = 0;
    for (const BandPassSpan& span : spans) {
        if (span.filtered.start > gapBegin) {
            gaps.emplace_back(gapBegin, span.filtered.start);
        }
        gapBegin = span.filtered.end;
    }
    if (gapBegin < redPlane.cols) {
        gaps.emplace_back(gapBegin, redPlane.cols);
    }
    PlaneKernels::forRowBands(redPlane.rows, PlaneKernels::bandRowsFor(redPlane.cols, 3), [&](int begin, int end) {
        for (cv::Mat& band : bands) {
            for (int r = begin; r < end; ++r) {
                uchar* row = band.ptr<uchar>(r);
                for (const cv::Range& gap : gaps) {
                    std::fill(row + gap.start, row + gap.end, uchar(0));
                }
            }
        }
    });
    if (!spans.empty()) {
        filterSpans(sources, bands, spans);
    }
    return MaskedImage(bands[0], bands[1], bands[2], validMask, contributingMask);
}

} // namespace orb
