#include "StitchLib/blending/SeamFinderBase.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>

namespace orb {

namespace {

// Columns per unit of work when a mask is simplified in parallel: wide
// enough that each row touches whole cache lines.
const int kColumnBlock = 512;

// Clears target[c] wherever neighbour[c] is 0, for c in [0, count). Writes
// only what changes: untouched pages of a mask take no memory.
inline void propagateZeros(const unsigned char* neighbour, unsigned char* target, int count)
{
    int c = 0;
#if CV_SIMD128
    const cv::v_uint8x16 zero = cv::v_setzero_u8();
    for (; c + 16 <= count; c += 16) {
        const cv::v_uint8x16 cleared = cv::v_load(neighbour + c) == zero;
        const cv::v_uint8x16 value = cv::v_load(target + c);
        if (cv::v_check_any(cleared & ~(value == zero))) {
            cv::v_store(target + c, value & ~cleared);
        }
    }
#endif
    for (; c < count; ++c) {
        if (neighbour[c] == 0 && target[c] != 0) {
            target[c] = 0;
        }
    }
}

} // namespace

void SeamFinderBase::simplifyMask(cv::Mat& mask)
{
    const int rows = mask.rows;
    const int columns = mask.cols - 1; // the last column is left as it is

    // The row bounds are clamped so that masks too short for the rule are
    // still only touched inside; for five rows or more they change nothing.
    const int firstDown = std::max(rows / 4, 1);
    const int firstUp = std::min((3 * rows) / 4, rows - 2);
    // Zeros travel only along columns, so blocks of columns can go to
    // different threads, each taking its block through both passes.
    const int blocks = (std::max(columns, 0) + kColumnBlock - 1) / kColumnBlock;
    cv::parallel_for_(cv::Range(0, blocks), [&](const cv::Range& range) {
        const int begin = range.start * kColumnBlock;
        const int count = std::min(range.end * kColumnBlock, columns) - begin;
        for (int r = firstDown; r < rows; ++r) {
            propagateZeros(mask.ptr<unsigned char>(r - 1) + begin, mask.ptr<unsigned char>(r) + begin, count);
        }
        for (int r = firstUp; r >= 0; --r) {
            propagateZeros(mask.ptr<unsigned char>(r + 1) + begin, mask.ptr<unsigned char>(r) + begin, count);
        }
    });
}

} // namespace orb
