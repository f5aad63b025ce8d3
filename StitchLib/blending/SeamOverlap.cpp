#include "StitchLib/blending/SeamOverlap.h"

#include "StitchLib/blending/PlaneKernels.h"

#include <opencv2/core/hal/intrin.hpp>

#include <algorithm>
#include <vector>

namespace orb {
namespace SeamOverlap {

namespace {

// Rows of the mask product A * B / 255, each the minimum over the 7 columns
// around every pixel (clipped at the image's sides): the horizontal half of
// the 7 x 7 erosion.
void productRowMinimum(const uchar* inA, const uchar* inB, int cols, uchar* product, uchar* minimum)
{
    const PlaneKernels::ByteTable& masked = PlaneKernels::maskedSingle();
    int c = 0;
#if CV_SIMD128
    // Settled once: this runs for every row.
    static const bool plain = PlaneKernels::keepsFullAndClearsNone(masked);
    if (plain) {
        // Runs of 0/255 masks: their product is the bitwise and.
        const cv::v_uint8x16 full = cv::v_setall_u8(255);
        const cv::v_uint8x16 none = cv::v_setzero_u8();
        for (; c + 16 <= cols; c += 16) {
            const cv::v_uint8x16 a = cv::v_load(inA + c);
            const cv::v_uint8x16 b = cv::v_load(inB + c);
            if (!cv::v_check_all((a == full) | (a == none)) || !cv::v_check_all((b == full) | (b == none))) {
                for (int i = c; i < c + 16; ++i) product[i] = masked(inA[i], inB[i]);
                continue;
            }
            cv::v_store(product + c, a & b);
        }
    }
#endif
    for (; c < cols; ++c) {
        product[c] = masked(inA[c], inB[c]);
    }
    c = 0;
#if CV_SIMD128
    for (c = 3; c + 3 + 16 <= cols; c += 16) {
        cv::v_uint8x16 m = cv::v_load(product + c - 3);
        for (int k = -2; k <= 3; ++k) {
            m = cv::v_min(m, cv::v_load(product + c + k));
        }
        cv::v_store(minimum + c, m);
    }
    // The columns before the vectors, and those after them.
    for (int x = 0; x < std::min(3, cols); ++x) {
        uchar m = 255;
        for (int k = std::max(0, x - 3); k <= std::min(cols - 1, x + 3); ++k) m = std::min(m, product[k]);
        minimum[x] = m;
    }
#else
    c = 0;
#endif
    for (; c < cols; ++c) {
        uchar m = 255;
        for (int k = std::max(0, c - 3); k <= std::min(cols - 1, c + 3); ++k) m = std::min(m, product[k]);
        minimum[c] = m;
    }
}

// The erosion is separable: a minimum across 7 columns, then across 7 rows.
// Only non-zero values are written to a zero plane: the overlap is a narrow
// part of the panorama, and the plane's other pages take no memory.
} // namespace

cv::Mat overlap(const cv::Mat& maskA, const cv::Mat& maskB)
{
    CV_Assert(maskA.type() == CV_8UC1 && maskB.type() == CV_8UC1 && maskA.size() == maskB.size());
    const int rows = maskA.rows;
    const int cols = maskA.cols;
    cv::Mat overlap;
    PlaneKernels::createZeroPlane(overlap, rows, cols, CV_8UC1);
    constexpr int kReach = 3;
    PlaneKernels::forRowBands(rows, PlaneKernels::bandRowsFor(cols, 3), [&](int begin, int end) {
        const int first = std::max(begin - kReach, 0);
        const int last = std::min(end + kReach, rows);
        cv::Mat minima(last - first, cols, CV_8UC1);
        std::vector<uchar> product(static_cast<std::size_t>(cols));
        for (int r = first; r < last; ++r) {
            productRowMinimum(maskA.ptr<uchar>(r), maskB.ptr<uchar>(r), cols, product.data(),
                              minima.ptr<uchar>(r - first));
        }
        for (int r = begin; r < end; ++r) {
            const int top = std::max(r - kReach, 0) - first;
            const int bottom = std::min(r + kReach, rows - 1) - first;
            uchar* out = overlap.ptr<uchar>(r);
            int c = 0;
#if CV_SIMD128
            const cv::v_uint8x16 none = cv::v_setzero_u8();
            for (; c + 16 <= cols; c += 16) {
                cv::v_uint8x16 m = cv::v_load(minima.ptr<uchar>(top) + c);
                for (int k = top + 1; k <= bottom; ++k) {
                    m = cv::v_min(m, cv::v_load(minima.ptr<uchar>(k) + c));
                }
                if (!cv::v_check_all(m == none)) {
                    cv::v_store(out + c, m);
                }
            }
#endif
            for (; c < cols; ++c) {
                uchar m = minima.at<uchar>(top, c);
                for (int k = top + 1; k <= bottom; ++k) m = std::min(m, minima.at<uchar>(k, c));
                if (m != 0) out[c] = m;
            }
        }
    });
    return overlap;
}

} // namespace SeamOverlap
} // namespace orb
