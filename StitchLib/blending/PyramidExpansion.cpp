#include "StitchLib/blending/PyramidExpansion.h"

#include "StitchLib/blending/PlaneKernels.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace orb {
namespace PyramidExpansion {

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

inline uchar expandedValue(int sum64)
{
    return static_cast<uchar>(std::min((sum64 + 32) >> 6, 255));
}

inline void subtract(uchar* out, uchar value)
{
    *out = static_cast<uchar>(std::abs(*out - value));
}

// The two expanded rows of one source row from the horizontal expansions
// above, at and below it: (1 6 1) for the even row, (4 4) of the row and the
// one below for the odd one, rounded from 64ths; each out = |out - row|.
void subtractRows(const std::uint16_t* above, const std::uint16_t* at, const std::uint16_t* below, int cols,
               uchar* even, uchar* odd)
{
    int x = 0;
#if CV_SIMD128
    const cv::v_uint16x8 six = cv::v_setall_u16(6);
    const cv::v_uint16x8 half = cv::v_setall_u16(32);
    for (; x + 16 <= cols; x += 16) {
        const cv::v_uint16x8 a0 = cv::v_load(at + x), a1 = cv::v_load(at + x + 8);
        const cv::v_uint16x8 b0 = cv::v_load(below + x), b1 = cv::v_load(below + x + 8);
        const cv::v_uint16x8 e0 = (cv::v_load(above + x) + a0 * six + b0 + half) >> 6;
        const cv::v_uint16x8 e1 = (cv::v_load(above + x + 8) + a1 * six + b1 + half) >> 6;
        const cv::v_uint16x8 o0 = (((a0 + b0) << 2) + half) >> 6;
        const cv::v_uint16x8 o1 = (((a1 + b1) << 2) + half) >> 6;
        const cv::v_uint8x16 evenRow = cv::v_pack(e0, e1);
        const cv::v_uint8x16 oddRow = cv::v_pack(o0, o1);
        cv::v_store(even + x, cv::v_absdiff(cv::v_load(even + x), evenRow));
        cv::v_store(odd + x, cv::v_absdiff(cv::v_load(odd + x), oddRow));
    }
#endif
    for (; x < cols; ++x) {
        subtract(even + x, expandedValue(above[x] + at[x] * 6 + below[x]));
        subtract(odd + x, expandedValue((at[x] + below[x]) * 4));
    }
}

} // namespace

void subtractExpanded(const cv::Mat& low, cv::Mat& out)
{
    // Both rows of every source row but, for an odd height, the last source
    // row's single row: OpenCV builds that one differently in different
    // columns, so it is taken from OpenCV's own expansion of the last two rows.
    CV_Assert(low.type() == CV_8UC1 && out.type() == CV_8UC1);
    const int sourceRows = low.rows;
    const int sourceCols = low.cols;
    const int rows = out.rows;
    const int cols = out.cols;
    CV_Assert((rows == 2 * sourceRows || rows == 2 * sourceRows - 1) &&
              (cols == 2 * sourceCols || cols == 2 * sourceCols - 1));
    if (rows == 0 || cols == 0) {
        return;
    }
    const bool oddHeight = rows % 2 == 1;
    const int pairedRows = oddHeight ? sourceRows - 1 : sourceRows; // source rows giving two rows
    const int stride = 2 * sourceCols + 16;                       // room for the widest store
    PlaneKernels::forRowBands(pairedRows, kBandRows, [&](int begin, int end) {
        // Horizontal expansions of source rows begin - 1 .. end, rows beyond
        // the edges by the expansion's border rule.
        const int first = begin - 1;
        std::vector<std::uint16_t> expanded(static_cast<std::size_t>(end - first + 1) * stride);
        for (int y = first; y <= end; ++y) {
            const int source = cv::borderInterpolate(2 * y, 2 * sourceRows, cv::BORDER_REFLECT_101) / 2;
            expandRow(low.ptr<uchar>(source), sourceCols, expanded.data() + static_cast<std::size_t>(y - first) * stride);
        }
        for (int y = begin; y < end; ++y) {
            const std::uint16_t* above = expanded.data() + static_cast<std::size_t>(y - 1 - first) * stride;
            const std::uint16_t* at = above + stride;
            const std::uint16_t* below = at + stride;
            subtractRows(above, at, below, cols, out.ptr<uchar>(2 * y), out.ptr<uchar>(2 * y + 1));
        }
    });
    if (oddHeight) {
        const int tail = std::min(sourceRows, 2);
        cv::Mat last;
        cv::pyrUp(low.rowRange(sourceRows - tail, sourceRows), last, cv::Size(cols, 2 * tail - 1), cv::BORDER_DEFAULT);
        uchar* row = out.ptr<uchar>(rows - 1);
        const uchar* value = last.ptr<uchar>(last.rows - 1);
        for (int x = 0; x < cols; ++x) {
            subtract(row + x, value[x]);
        }
    }
}

} // namespace PyramidExpansion
} // namespace orb
