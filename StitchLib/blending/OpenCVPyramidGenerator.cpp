#include "StitchLib/blending/OpenCVPyramidGenerator.h"

#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/PyramidBands.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orb {

namespace {

// A resampled mask above this counts as set: more than half of the filter
// weight came from set pixels.
const int kMaskThreshold = 128;

enum class Direction { Down, Up };

void resample(const cv::Mat& source, cv::Mat& result, Direction direction, cv::Size size)
{
    if (direction == Direction::Down) {
        cv::pyrDown(source, result, size, cv::BORDER_DEFAULT);
    } else {
        cv::pyrUp(source, result, size, cv::BORDER_DEFAULT);
    }
}

// The source rows a band of result rows [begin, end) is computed from, and
// where result row `begin` lies in the resampled band. The reduction reads
// source rows 2i - 2 .. 2i + 2 for result row i, the expansion source rows
// i/2 - 1 .. i/2 + 1; one more row on each side keeps the band's own border
// handling away from the rows that are kept. Where a band reaches the image
// edge it resamples with the image's own border.
struct BandGeometry {
    int sourceBegin;
    int sourceEnd;
    cv::Size bandSize; // size of the resampled band
    int offset;        // row of result row `begin` in the resampled band
};

BandGeometry bandGeometry(Direction direction, int begin, int end, int sourceRows, cv::Size resultSize)
{
    BandGeometry band;
    if (direction == Direction::Down) {
        // Even, so that band row k is result row sourceBegin / 2 + k.
        band.sourceBegin = std::max(0, 2 * begin - 4);
        band.sourceEnd = std::min(sourceRows, 2 * end + 4);
        band.bandSize = cv::Size(resultSize.width, (band.sourceEnd - band.sourceBegin + 1) / 2);
        band.offset = begin - band.sourceBegin / 2;
    } else {
        band.sourceBegin = std::max(0, begin / 2 - 2);
        band.sourceEnd = std::min(sourceRows, (end + 1) / 2 + 2);
        // At the image's last row the band keeps the result's own parity.
        const int bandRows = band.sourceEnd == sourceRows ? resultSize.height - 2 * band.sourceBegin
                                                          : 2 * (band.sourceEnd - band.sourceBegin);
        band.bandSize = cv::Size(resultSize.width, bandRows);
        band.offset = begin - 2 * band.sourceBegin;
    }
    return band;
}

} // namespace

namespace PyramidBands {

namespace {

// Columns [sourceBegin, sourceEnd) of a band's source rows, resampled on
// their own into result columns [resultBegin, resultEnd).
struct ColumnSpan {
    int sourceBegin;
    int sourceEnd;
    int resultBegin;
    int resultEnd;
};

// Zero columns kept on either side of a span's non-zero ones: more than the
// filters reach (two source columns), so that the span's own border handling
// reflects zeros only, as the whole row would have read there.
constexpr int kSpanMargin = 4;
// Spans closer than this are resampled as one.
constexpr int kSpanGap = 64;

// The spans of a band: the columns where the valid mask is non-zero in any of
// the source rows, with their margins. A result column outside every span
// only reads source columns where the mask, and so every masked plane, is 0:
// it is 0 in every result plane. Parts of a rig hold data in a third of the
// panorama's columns. One span of the whole width when the spans would cover
// most of it.
std::vector<ColumnSpan> columnSpans(const cv::Mat& valid, int sourceBegin, int sourceEnd, Direction direction,
                                    int resultWidth)
{
    const int cols = valid.cols;
    std::vector<ColumnSpan> spans;
    int covered = 0;
    for (const cv::Range& run : PlaneKernels::nonZeroColumnRuns(valid, sourceBegin, sourceEnd)) {
        // Even, so that a reduction's result column k is source column 2k.
        const int begin = std::max(0, run.start - kSpanMargin) & ~1;
        const int end = std::min(cols, run.end + kSpanMargin);
        if (!spans.empty() && begin - spans.back().sourceEnd < kSpanGap) {
            covered -= spans.back().sourceEnd - spans.back().sourceBegin;
            spans.back().sourceEnd = end;
        } else {
            spans.push_back({begin, end, 0, 0});
        }
        covered += spans.back().sourceEnd - spans.back().sourceBegin;
    }
    if (covered > cols - cols / 4) {
        spans.assign(1, {0, cols, 0, 0});
    }
    for (ColumnSpan& span : spans) {
        if (direction == Direction::Down) {
            span.resultBegin = span.sourceBegin / 2;
            span.resultEnd = span.resultBegin + (span.sourceEnd - span.sourceBegin + 1) / 2;
        } else {
            span.resultBegin = 2 * span.sourceBegin;
            // At the image's last column the span keeps the result's own parity.
            span.resultEnd = span.sourceEnd == cols ? resultWidth : 2 * span.sourceEnd;
        }
    }
    return spans;
}

} // namespace

void resampleRows(MaskedImage& image, bool down, cv::Size resultSize, int begin, int end, cv::Mat* results,
                  int rowOffset, bool withContribution)
{
    const int masked4 = withContribution ? 4 : 3;
    const Direction direction = down ? Direction::Down : Direction::Up;
    const cv::Mat& valid = image.validPixels();
    const cv::Mat* const sources[] = {&image.red(), &image.green(), &image.blue(), &image.contributingPixels()};
    const int sourceRows = image.rows();
    const PlaneKernels::ByteTable& normalised = PlaneKernels::normalised();
    // Settled once: this runs for every band of rows.
    static const bool normalisedIsPlain = PlaneKernels::keepsFullAndClearsNone(normalised);
    const BandGeometry band = bandGeometry(direction, begin, end, sourceRows, resultSize);
    const int bandSourceRows = band.sourceEnd - band.sourceBegin;
    const int resultPlanes = withContribution ? 5 : 4;
    const std::vector<ColumnSpan> spans =
        columnSpans(valid, band.sourceBegin, band.sourceEnd, direction, resultSize.width);

    // Result columns outside every span are 0.
    int zeroFrom = 0;
    const auto clearColumns = [&](int from, int to) {
        if (from >= to) {
            return;
        }
        for (int r = begin; r < end; ++r) {
            for (int p = 0; p < resultPlanes; ++p) {
                std::fill(results[p].ptr<uchar>(r - rowOffset) + from, results[p].ptr<uchar>(r - rowOffset) + to, 0);
            }
        }
    };

    for (const ColumnSpan& span : spans) {
        clearColumns(zeroFrom, span.resultBegin);
        zeroFrom = span.resultEnd;
        const int spanCols = span.sourceEnd - span.sourceBegin;
        const int width = span.resultEnd - span.resultBegin;
        // Colour and contribution, kept where the valid mask rounds to 1
        // divided by 255 (128 and above).
        cv::Mat masked[4];
        for (int p = 0; p < masked4; ++p) {
            masked[p].create(bandSourceRows, spanCols, CV_8UC1);
        }
        for (int r = 0; r < bandSourceRows; ++r) {
            const uchar* keep = valid.ptr<uchar>(band.sourceBegin + r) + span.sourceBegin;
            for (int p = 0; p < masked4; ++p) {
                const uchar* in = sources[p]->ptr<uchar>(band.sourceBegin + r) + span.sourceBegin;
                uchar* out = masked[p].ptr<uchar>(r);
                int c = 0;
#if CV_SIMD128
                const cv::v_uint8x16 half = cv::v_setall_u8(128);
                for (; c + 16 <= spanCols; c += 16) {
                    cv::v_store(out + c, cv::v_load(in + c) & (cv::v_load(keep + c) >= half));
                }
#endif
                for (; c < spanCols; ++c) {
                    out[c] = keep[c] >= 128 ? in[c] : 0;
                }
            }
        }
        // A copy, not a view: the band must be resampled on its own.
        const cv::Mat validBand =
            valid(cv::Range(band.sourceBegin, band.sourceEnd), cv::Range(span.sourceBegin, span.sourceEnd)).clone();
        cv::Mat resampled[4];
        cv::Mat filteredValid;
        const cv::Size bandSize =
            direction == Direction::Down ? cv::Size() : cv::Size(width, band.bandSize.height);
        for (int p = 0; p < masked4; ++p) {
            resample(masked[p], resampled[p], direction, bandSize);
        }
        resample(validBand, filteredValid, direction, bandSize);
        CV_Assert(filteredValid.size() == cv::Size(width, band.bandSize.height));

        for (int r = begin; r < end; ++r) {
            const int k = r - begin + band.offset;
            const uchar* weight = filteredValid.ptr<uchar>(k);
            for (int p = 0; p < 3; ++p) {
                const uchar* in = resampled[p].ptr<uchar>(k);
                uchar* out = results[p].ptr<uchar>(r - rowOffset) + span.resultBegin;
                // Divides out the share of the filter that fell on invalid pixels.
                int c = 0;
#if CV_SIMD128
                if (normalisedIsPlain) {
                    // Runs of weight 255 keep their colour, of weight 0 become 0.
                    const cv::v_uint8x16 full = cv::v_setall_u8(255);
                    const cv::v_uint8x16 none = cv::v_setall_u8(0);
                    for (; c + 16 <= width; c += 16) {
                        const cv::v_uint8x16 w = cv::v_load(weight + c);
                        const cv::v_uint8x16 isFull = w == full;
                        if (!cv::v_check_all(isFull | (w == none))) {
                            for (int i = c; i < c + 16; ++i) out[i] = normalised(in[i], weight[i]);
                            continue;
                        }
                        cv::v_store(out + c, cv::v_load(in + c) & isFull);
                    }
                }
#endif
                for (; c < width; ++c) {
                    out[c] = normalised(in[c], weight[c]);
                }
            }
            uchar* validOut = results[3].ptr<uchar>(r - rowOffset) + span.resultBegin;
            if (!withContribution) {
                for (int c = 0; c < width; ++c) {
                    validOut[c] = weight[c] > kMaskThreshold ? 255 : 0;
                }
                continue;
            }
            const uchar* contribution = resampled[3].ptr<uchar>(k);
            uchar* contributingOut = results[4].ptr<uchar>(r - rowOffset) + span.resultBegin;
            int c = 0;
#if CV_SIMD128
            const cv::v_uint8x16 threshold = cv::v_setall_u8(kMaskThreshold);
            for (; c + 16 <= width; c += 16) {
                const cv::v_uint8x16 isValid = cv::v_load(weight + c) > threshold;
                cv::v_store(validOut + c, isValid);
                cv::v_store(contributingOut + c, isValid & (cv::v_load(contribution + c) > threshold));
            }
#endif
            for (; c < width; ++c) {
                const bool isValid = weight[c] > kMaskThreshold;
                validOut[c] = isValid ? 255 : 0;
                // A pixel contributes only where it is valid.
                contributingOut[c] = (isValid && contribution[c] > kMaskThreshold) ? 255 : 0;
            }
        }
    }
    clearColumns(zeroFrom, resultSize.width);
}

int bandRows(MaskedImage& image, bool down, cv::Size resultSize)
{
    // Each band resamples a few source rows beyond its own on either side, so
    // short bands resample most rows several times over: these are as tall as
    // if the band's planes were two, which measured fastest both ways.
    (void)down;
    return PlaneKernels::bandRowsFor(std::max(image.cols(), resultSize.width), 2);
}

void checkPlanes(MaskedImage& image)
{
    const int rows = image.rows();
    const int cols = image.cols();
    for (const cv::Mat* plane : {&image.red(), &image.green(), &image.blue(), &image.validPixels(),
                                 &image.contributingPixels()}) {
        CV_Assert(plane->type() == CV_8UC1 && plane->rows == rows && plane->cols == cols);
    }
    CV_Assert(rows > 0 && cols > 0);
}

} // namespace PyramidBands

namespace {

// Resamples all five planes, band by band. size is empty for the default
// reduced size.
MaskedImage resampleMasked(MaskedImage& image, Direction direction, cv::Size size)
{
    PyramidBands::checkPlanes(image);
    const bool down = direction == Direction::Down;
    const cv::Size resultSize = down ? cv::Size((image.cols() + 1) / 2, (image.rows() + 1) / 2) : size;
    cv::Mat results[5];
    for (cv::Mat& result : results) {
        PlaneKernels::createPlane(result, resultSize, CV_8UC1);
    }
    PlaneKernels::forRowBands(resultSize.height, PyramidBands::bandRows(image, down, resultSize),
                              [&](int begin, int end) {
                                  PyramidBands::resampleRows(image, down, resultSize, begin, end, results, 0, true);
                              });
    return MaskedImage(results[0], results[1], results[2], results[3], results[4]);
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
