#include "StitchLib/blending/AreaReduction.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

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

inline bool transparentZero(const uint8_t* pixel)
{
    uint32_t v;
    std::memcpy(&v, pixel, 4);
    return v == 0;
}

// Whole factors: the integer sum of each cell, times 1 / its area.
void reduceWhole(const cv::Mat& image, cv::Mat& out, int fx, int fy)
{
    const float scale = 1.f / static_cast<float>(fx * fy);
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& range) {
        std::vector<int> sums(static_cast<std::size_t>(out.cols) * 4);
        for (int dy = range.start; dy < range.end; ++dy) {
            std::fill(sums.begin(), sums.end(), 0);
            for (int sy = dy * fy; sy < (dy + 1) * fy; ++sy) {
                const uint8_t* row = image.ptr<uint8_t>(sy);
                for (int sx = 0; sx < out.cols * fx; ++sx) {
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
void reduceWeighted(const cv::Mat& image, cv::Mat& out, double scaleX, double scaleY)
{
    const std::vector<Share> xs = axisShares(image.cols, out.cols, scaleX);
    const std::vector<Share> ys = axisShares(image.rows, out.rows, scaleY);
    // Where each output row's shares begin.
    std::vector<std::size_t> firstShare(static_cast<std::size_t>(out.rows) + 1, ys.size());
    for (std::size_t k = ys.size(); k-- > 0;)
        firstShare[static_cast<std::size_t>(ys[k].out)] = k;
    cv::parallel_for_(cv::Range(0, out.rows), [&](const cv::Range& range) {
        const std::size_t width = static_cast<std::size_t>(out.cols) * 4;
        std::vector<float> rowSums(width), sums(width);
        for (int dy = range.start; dy < range.end; ++dy) {
            std::fill(sums.begin(), sums.end(), 0.0f);
            for (std::size_t k = firstShare[static_cast<std::size_t>(dy)]; k < ys.size() && ys[k].out == dy; ++k) {
                const uint8_t* row = image.ptr<uint8_t>(ys[k].in);
                // Output columns [low, high) that this row adds to; elsewhere its sums are 0.
                int low = out.cols, high = 0;
                for (const Share& x : xs) {
                    const uint8_t* p = row + 4 * x.in;
                    if (transparentZero(p))
                        continue;
                    if (low == out.cols)
                        low = high = x.out;
                    if (x.out >= high) {
                        // Columns not yet reached in this row start from 0.
                        std::fill(rowSums.begin() + static_cast<std::ptrdiff_t>(high) * 4,
                                  rowSums.begin() + static_cast<std::ptrdiff_t>(x.out + 1) * 4, 0.0f);
                        high = x.out + 1;
                    }
                    float* s = &rowSums[static_cast<std::size_t>(x.out) * 4];
                    s[0] = s[0] + p[0] * x.alpha;
                    s[1] = s[1] + p[1] * x.alpha;
                    s[2] = s[2] + p[2] * x.alpha;
                    s[3] = s[3] + p[3] * x.alpha;
                }
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
    if (image.type() != CV_8UC4 || image.empty() || size.width < 1 || size.height < 1 || size.width > image.cols ||
        size.height > image.rows)
        throw std::runtime_error("reduceByArea() needs a BGRA image and a size no larger than it");
    cv::Mat out(size, CV_8UC4);
    // The factors as the library takes them: the inverse of the inverse scale.
    const double scaleX = 1.0 / (static_cast<double>(size.width) / image.cols);
    const double scaleY = 1.0 / (static_cast<double>(size.height) / image.rows);
    const int wholeX = cv::saturate_cast<int>(scaleX);
    const int wholeY = cv::saturate_cast<int>(scaleY);
    if (std::abs(scaleX - wholeX) < DBL_EPSILON && std::abs(scaleY - wholeY) < DBL_EPSILON)
        reduceWhole(image, out, wholeX, wholeY);
    else
        reduceWeighted(image, out, scaleX, scaleY);
    return out;
}

} // namespace orb
