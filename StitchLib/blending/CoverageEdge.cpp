#include "StitchLib/blending/CoverageEdge.h"

#include <opencv2/core/utility.hpp>

#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orb {

namespace {

// The first pixel at or after `from` (below `cols`) of a BGRA row whose alpha is
// neither 0 nor 255, or `cols`. The rim is a thin line: the rest of a part is passed
// over sixteen pixels at a time.
int nextRimPixel(const uchar* row, int from, int cols)
{
    int x = from;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= cols; x += 16) {
        const __m128i* p = reinterpret_cast<const __m128i*>(row + 4 * x);
        __m128i whole = _mm_set1_epi8(-1);
        for (int k = 0; k < 4; ++k) {
            const __m128i a = _mm_and_si128(_mm_loadu_si128(p + k), alpha);
            whole = _mm_and_si128(whole, _mm_or_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(a, alpha)));
        }
        if (_mm_movemask_epi8(whole) != 0xFFFF)
            break;
    }
#endif
    for (; x < cols && (row[4 * x + 3] == 0 || row[4 * x + 3] == 255); ++x) {
    }
    return x;
}

} // namespace

void restoreRim(cv::Mat& part, int minAlpha)
{
    if (part.type() != CV_8UC4)
        throw std::runtime_error("restoreRim() needs an 8-bit BGRA part");
    cv::parallel_for_(cv::Range(0, part.rows), [&part, minAlpha](const cv::Range& rows) {
        for (int r = rows.start; r < rows.end; ++r) {
            cv::Vec4b* p = part.ptr<cv::Vec4b>(r);
            for (int c = nextRimPixel(part.ptr<uchar>(r), 0, part.cols); c < part.cols;
                 c = nextRimPixel(part.ptr<uchar>(r), c + 1, part.cols)) {
                const int a = p[c][3];
                if (a < minAlpha) {
                    p[c] = cv::Vec4b(0, 0, 0, 0);
                    continue;
                }
                for (int k = 0; k < 3; ++k)
                    p[c][k] = cv::saturate_cast<uchar>(p[c][k] * 255.0 / a);
                p[c][3] = 255;
            }
        }
    });
}

void restoreRim(cv::Mat& part, int minAlpha, const std::vector<cv::Rect>& regions)
{
    if (part.type() != CV_8UC4)
        throw std::runtime_error("restoreRim() needs an 8-bit BGRA part");
    // Restoring is idempotent (every pixel gone over ends at alpha 0 or 255), so
    // regions that overlap are no harm.
    for (const cv::Rect& region : regions) {
        cv::Mat view = part(region & cv::Rect(0, 0, part.cols, part.rows));
        if (!view.empty())
            restoreRim(view, minAlpha);
    }
}

} // namespace orb
