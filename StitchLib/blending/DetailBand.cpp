#include "StitchLib/blending/DetailBand.h"

#include "StitchLib/blending/PlaneKernels.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orb {
namespace DetailBand {

namespace {

// Source rows per band: with the rows above and below, their horizontal
// expansions stay in cache.
constexpr int kBandRows = 32;

// One source row expanded horizontally to 2 * width values, 8 times the
// 8-bit scale: (1 6 1) at even and (4 4) at odd positions, the left edge
// reflected and the right edge repeated, as the expansion does it.
void expandRow(const uchar* s, int width, std::uint16_t* row)
{
    if (width == 1) {
        row[0] = row[1] = static_cast<std::uint16_t>(s[0] * 8);
        return;
    }
    row[0] = static_cast<std::uint16_t>(s[0] * 6 + s[1] * 2);
    row[1] = static_cast<std::uint16_t>((s[0] + s[1]) * 4);
    int x = 1;
#if CV_SIMD128
    const cv::v_uint16x8 six = cv::v_setall_u16(6);
    for (; x + 8 < width; x += 8) {
        const cv::v_uint16x8 left = cv::v_load_expand(s + x - 1);
        const cv::v_uint16x8 centre = cv::v_load_expand(s + x);
        const cv::v_uint16x8 right = cv::v_load_expand(s + x + 1);
        const cv::v_uint16x8 even = left + centre * six + right;
        const cv::v_uint16x8 odd = (centre + right) << 2;
        cv::v_uint16x8 first, second;
        cv::v_zip(even, odd, first, second);
        cv::v_store(row + 2 * x, first);
        cv::v_store(row + 2 * x + 8, second);
    }
#endif
    for (; x < width - 1; ++x) {
        row[2 * x] = static_cast<std::uint16_t>(s[x - 1] + s[x] * 6 + s[x + 1]);
        row[2 * x + 1] = static_cast<std::uint16_t>((s[x] + s[x + 1]) * 4);
    }
    row[2 * x] = static_cast<std::uint16_t>(s[x - 1] + s[x] * 7);
    row[2 * x + 1] = static_cast<std::uint16_t>(s[x] * 8);
}

// out = |out - expanded| over cols values, the expanded row from the
// horizontal expansions above, at and below it: (1 6 1) for an even row,
// (4 4) of the row and the one below for an odd one, rounded from 64ths.
void subtractRow(const std::uint16_t* above, const std::uint16_t* at, const std::uint16_t* below, bool even,
                 int cols, uchar* out)
{
    int x = 0;
#if CV_SIMD128
    const cv::v_uint16x8 six = cv::v_setall_u16(6);
    const cv::v_uint16x8 half = cv::v_setall_u16(32);
    for (; x + 16 <= cols; x += 16) {
        cv::v_uint16x8 sums[2];
        for (int k = 0; k < 2; ++k) {
            const cv::v_uint16x8 a = cv::v_load(at + x + 8 * k);
            const cv::v_uint16x8 b = cv::v_load(below + x + 8 * k);
            sums[k] = even ? cv::v_load(above + x + 8 * k) + a * six + b : (a + b) << 2;
            sums[k] = (sums[k] + half) >> 6;
        }
        const cv::v_uint8x16 expanded = cv::v_pack(sums[0], sums[1]);
        cv::v_store(out + x, cv::v_absdiff(cv::v_load(out + x), expanded));
    }
#endif
    for (; x < cols; ++x) {
        const int sum = even ? above[x] + at[x] * 6 + below[x] : (at[x] + below[x]) * 4;
        const int expanded = std::min((sum + 32) >> 6, 255);
        out[x] = static_cast<uchar>(std::abs(out[x] - expanded));
    }
}

} // namespace

void subtractExpanded(const cv::Mat& low, cv::Mat& plane)
{
    CV_Assert(low.type() == CV_8UC1 && plane.type() == CV_8UC1);
    const int sourceRows = low.rows;
    const int sourceCols = low.cols;
    if (plane.rows != 2 * sourceRows || (plane.cols != 2 * sourceCols && plane.cols != 2 * sourceCols - 1) ||
        sourceRows == 0 || sourceCols == 0) {
        cv::Mat expanded;
        cv::pyrUp(low, expanded, plane.size(), cv::BORDER_DEFAULT);
        cv::absdiff(plane, expanded, plane);
        return;
    }
    const int cols = plane.cols;
    const int stride = 2 * sourceCols + 16; // room for the widest store
    PlaneKernels::forRowBands(sourceRows, kBandRows, [&](int begin, int end) {
        // Horizontal expansions of source rows begin - 1 .. end, the rows
        // beyond the edges reflected about the first row and the last one
        // repeated, as the expansion's border rule gives for an even height.
        const int first = begin - 1;
        std::vector<std::uint16_t> rows(static_cast<std::size_t>(end - first + 1) * stride);
        for (int y = first; y <= end; ++y) {
            const int source = cv::borderInterpolate(2 * y, 2 * sourceRows, cv::BORDER_REFLECT_101) / 2;
            expandRow(low.ptr<uchar>(source), sourceCols, rows.data() + static_cast<std::size_t>(y - first) * stride);
        }
        for (int y = begin; y < end; ++y) {
            const std::uint16_t* above = rows.data() + static_cast<std::size_t>(y - 1 - first) * stride;
            const std::uint16_t* at = above + stride;
            const std::uint16_t* below = at + stride;
            subtractRow(above, at, below, true, cols, plane.ptr<uchar>(2 * y));
            subtractRow(above, at, below, false, cols, plane.ptr<uchar>(2 * y + 1));
        }
    });
}

} // namespace DetailBand
} // namespace orb
