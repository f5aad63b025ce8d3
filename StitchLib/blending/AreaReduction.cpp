#include "StitchLib/blending/AreaReduction.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orb {

namespace {

// One source sample's share of one output sample, along one axis.
struct Share {
    int out;
    int in;
    float alpha;
};

// The shares of an axis of `in` samples reduced to `out` by `scale` (in / out):
// whole samples at 1 / cell width, the partial ones at the ends by their fraction.
std::vector<Share> axisShares(int in, int out, double scale)
{
    std::vector<Share> shares;
    for (int d = 0; d < out; ++d) {
        const double first = d * scale;
        const double last = first + scale;
        const double cell = std::min(scale, in - first);
        int begin = cvCeil(first);
        int end = cvFloor(last);
        end = std::min(end, in - 1);
        begin = std::min(begin, end);
        if (begin - first > 1e-3)
            shares.push_back({d, begin - 1, static_cast<float>((begin - first) / cell)});
        for (int s = begin; s < end; ++s)
            shares.push_back({d, s, static_cast<float>(1.0 / cell)});
        if (last - end > 1e-3)
            shares.push_back({d, end, static_cast<float>(std::min(std::min(last - end, 1.0), cell) / cell)});
    }
    return shares;
}

// Per output row, the sorted, disjoint column ranges [first, second) to compute.
using RowSpans = std::vector<std::vector<std::pair<int, int>>>;

RowSpans rowSpans(const std::vector<cv::Rect>& within, cv::Size size)
{
    RowSpans spans(static_cast<std::size_t>(size.height));
    for (const cv::Rect& given : within) {
        const cv::Rect r = given & cv::Rect(cv::Point(), size);
        if (r.empty())
            continue;
        for (int y = r.y; y < r.y + r.height; ++y)
            spans[static_cast<std::size_t>(y)].emplace_back(r.x, r.x + r.width);
    }
    for (std::vector<std::pair<int, int>>& row : spans) {
        std::sort(row.begin(), row.end());
        std::vector<std::pair<int, int>> merged;
        for (const std::pair<int, int>& span : row) {
            if (!merged.empty() && span.first <= merged.back().second)
                merged.back().second = std::max(merged.back().second, span.second);
            else
                merged.push_back(span);
        }
        row = std::move(merged);
    }
    return spans;
}

inline bool transparentZero(const uint8_t* pixel)
{
    uint32_t v;
    std::memcpy(&v, pixel, 4);
    return v == 0;
}

// The first pixel at or after `from` (below `cols`) that is not four zero bytes, or
// `cols`: runs of them are passed over sixteen pixels at a time.
int nextContent(const uint8_t* row, int from, int cols)
{
    int x = from;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= cols; x += 16) {
        const __m128i* p = reinterpret_cast<const __m128i*>(row + 4 * x);
        const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                                         _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(any, zero)) != 0xFFFF)
            break;
    }
#endif
    for (; x < cols && transparentZero(row + 4 * x); ++x) {
    }
    return x;
}

// The four channel sums of one output sample, each sample's channel times its share
// added in turn (a multiply, then an add: no fused step, so the bits of the scalar sums).
struct PixelSums {
#if defined(__SSE2__)
    __m128 sums = _mm_setzero_ps();
    void clear() { sums = _mm_setzero_ps(); }
    void add(const uint8_t* pixel, float alpha)
    {
        int32_t v;
        std::memcpy(&v, pixel, 4);
        const __m128i zero = _mm_setzero_si128();
        const __m128i wide = _mm_unpacklo_epi16(_mm_unpacklo_epi8(_mm_cvtsi32_si128(v), zero), zero);
        sums = _mm_add_ps(sums, _mm_mul_ps(_mm_cvtepi32_ps(wide), _mm_set1_ps(alpha)));
    }
    void store(float* s) const { _mm_storeu_ps(s, sums); }
#else
    float sums[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    void clear() { std::fill(sums, sums + 4, 0.0f); }
    void add(const uint8_t* pixel, float alpha)
    {
        for (int k = 0; k < 4; ++k)
            sums[k] = sums[k] + pixel[k] * alpha;
    }
    void store(float* s) const { std::copy(sums, sums + 4, s); }
#endif
};

// Whole factors: the integer sum of each cell, times 1 / its area.
void reduceWhole(const cv::Mat& image, cv::Mat& out, int fx, int fy, const RowSpans& spans)
{
    const float scale = 1.f / static_cast<float>(fx * fy);
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& range) {
        std::vector<int> sums(static_cast<std::size_t>(out.cols) * 4);
        for (int dy = range.start; dy < range.end; ++dy) {
            std::fill(sums.begin(), sums.end(), 0);
            for (const std::pair<int, int>& span : spans[static_cast<std::size_t>(dy)])
                for (int sy = dy * fy; sy < (dy + 1) * fy; ++sy) {
                    const uint8_t* row = image.ptr<uint8_t>(sy);
                    for (int sx = span.first * fx; sx < span.second * fx; ++sx) {
                        const uint8_t* p = row + 4 * sx;
                        if (transparentZero(p))
                            continue;
                        int* s = &sums[static_cast<std::size_t>(sx / fx) * 4];
                        s[0] += p[0];
                        s[1] += p[1];
                        s[2] += p[2];
                        s[3] += p[3];
                    }
                }
            uint8_t* d = out.ptr<uint8_t>(dy);
            for (std::size_t k = 0; k < sums.size(); ++k)
                d[k] = cv::saturate_cast<uint8_t>(static_cast<float>(sums[k]) * scale);
        }
    });
}

// Any factors: per source row, the weighted sums along it, then per output row the
// weighted sum of those rows, in float, in the order of the shares.
void reduceWeighted(const cv::Mat& image, cv::Mat& out, double scaleX, double scaleY, const RowSpans& spans)
{
    const std::vector<Share> xs = axisShares(image.cols, out.cols, scaleX);
    const std::vector<Share> ys = axisShares(image.rows, out.rows, scaleY);
    // Per source column, the first share of it or of a later column: the shares run in
    // column order, so a run of transparent columns is passed over by a jump.
    std::vector<std::size_t> shareAt(static_cast<std::size_t>(image.cols) + 1);
    for (std::size_t in = 0, k = 0; in < shareAt.size(); ++in) {
        while (k < xs.size() && static_cast<std::size_t>(xs[k].in) < in)
            ++k;
        shareAt[in] = k;
    }
    const bool ordered =
        std::is_sorted(xs.begin(), xs.end(), [](const Share& a, const Share& b) { return a.in < b.in; });
    // Where each output column's shares begin (they run in output column order).
    std::vector<std::size_t> columnShare(static_cast<std::size_t>(out.cols) + 1, xs.size());
    for (std::size_t k = xs.size(); k-- > 0;)
        columnShare[static_cast<std::size_t>(xs[k].out)] = k;
    for (std::size_t c = static_cast<std::size_t>(out.cols); c-- > 0;)
        columnShare[c] = std::min(columnShare[c], columnShare[c + 1]);
    // Where each output row's shares begin.
    std::vector<std::size_t> firstShare(static_cast<std::size_t>(out.rows) + 1, ys.size());
    for (std::size_t k = ys.size(); k-- > 0;)
        firstShare[static_cast<std::size_t>(ys[k].out)] = k;
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& range) {
        const Share* shares = xs.data();
        const std::size_t width = static_cast<std::size_t>(out.cols) * 4;
        std::vector<float> rowSums(width), sums(width);
        for (int dy = range.start; dy < range.end; ++dy) {
            std::fill(sums.begin(), sums.end(), 0.0f);
            for (std::size_t k = firstShare[static_cast<std::size_t>(dy)]; k < ys.size() && ys[k].out == dy; ++k) {
                const uint8_t* row = image.ptr<uint8_t>(ys[k].in);
                // Output columns [low, high) that this row adds to; elsewhere its sums are 0.
                int low = out.cols, high = 0;
                // The current output column's four sums stay in a register until the
                // shares move on: the same additions in the same order, without a
                // store and reload per sample.
                PixelSums current;
                for (const std::pair<int, int>& span : spans[static_cast<std::size_t>(dy)]) {
                    const std::size_t end = columnShare[static_cast<std::size_t>(span.second)];
                    for (std::size_t i = columnShare[static_cast<std::size_t>(span.first)]; i < end;) {
                        const Share& x = shares[i];
                        const uint8_t* p = row + 4 * x.in;
                        if (transparentZero(p)) {
                            i = ordered ? shareAt[static_cast<std::size_t>(nextContent(row, x.in + 1, image.cols))]
                                        : i + 1;
                            continue;
                        }
                        ++i;
                        if (low == out.cols)
                            low = high = x.out;
                        if (x.out >= high) {
                            if (high > low)
                                current.store(&rowSums[static_cast<std::size_t>(high - 1) * 4]);
                            // Columns not yet reached in this row start from 0.
                            std::fill(rowSums.begin() + static_cast<std::ptrdiff_t>(high) * 4,
                                      rowSums.begin() + static_cast<std::ptrdiff_t>(x.out + 1) * 4, 0.0f);
                            current.clear();
                            high = x.out + 1;
                        }
                        current.add(p, x.alpha);
                    }
                }
                if (high > low)
                    current.store(&rowSums[static_cast<std::size_t>(high - 1) * 4]);
                const float beta = ys[k].alpha;
                for (std::size_t c = static_cast<std::size_t>(low) * 4; c < static_cast<std::size_t>(high) * 4; ++c)
                    sums[c] += beta * rowSums[c];
            }
            uint8_t* d = out.ptr<uint8_t>(dy);
            for (std::size_t c = 0; c < width; ++c)
                d[c] = cv::saturate_cast<uint8_t>(sums[c]);
        }
    });
}

} // namespace

cv::Mat reduceByArea(const cv::Mat& image, cv::Size size)
{
    return reduceByArea(image, size, {cv::Rect(cv::Point(), size)});
}

cv::Mat reduceByArea(const cv::Mat& image, cv::Size size, const std::vector<cv::Rect>& within)
{
    if (image.type() != CV_8UC4 || image.empty() || size.width < 1 || size.height < 1 || size.width > image.cols ||
        size.height > image.rows)
        throw std::runtime_error("reduceByArea() needs a BGRA image and a size no larger than it");
    cv::Mat out(size, CV_8UC4);
    const RowSpans spans = rowSpans(within, size);
    // The factors as the library takes them: the inverse of the inverse scale.
    const double scaleX = 1.0 / (static_cast<double>(size.width) / image.cols);
    const double scaleY = 1.0 / (static_cast<double>(size.height) / image.rows);
    const int wholeX = cv::saturate_cast<int>(scaleX);
    const int wholeY = cv::saturate_cast<int>(scaleY);
    if (std::abs(scaleX - wholeX) < DBL_EPSILON && std::abs(scaleY - wholeY) < DBL_EPSILON)
        reduceWhole(image, out, wholeX, wholeY, spans);
    else
        reduceWeighted(image, out, scaleX, scaleY, spans);
    return out;
}

} // namespace orb
