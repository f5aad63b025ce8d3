#include "StitchLib/blending/ExposureCompensator.h"

#include "StitchLib/blending/AreaReduction.h"
#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orb {

namespace {

// Spread of colour noise and of plausible gains: the balance between making the
// overlaps agree and keeping each gain near 1.
const double kNoiseSigma = 10.0;
const double kGainSigma = 1.0;
// Overlap pixels whose two grey values differ by more than this are misaligned.
const double kGrossDifference = 40.0;

// The first pixel at or after `from` (below `cols`) of a BGRA row whose alpha is not 0,
// or `cols`. Most of a part is transparent: runs of it are passed over sixteen pixels
// at a time, reading them only.
int nextOpaque(const uchar* row, int from, int cols)
{
    int x = from;
#if defined(__SSE2__)
    const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
    const __m128i zero = _mm_setzero_si128();
    for (; x + 16 <= cols; x += 16) {
        const __m128i* p = reinterpret_cast<const __m128i*>(row + 4 * x);
        const __m128i any = _mm_or_si128(_mm_or_si128(_mm_loadu_si128(p), _mm_loadu_si128(p + 1)),
                                         _mm_or_si128(_mm_loadu_si128(p + 2), _mm_loadu_si128(p + 3)));
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_and_si128(any, alpha), zero)) != 0xFFFF)
            break;
    }
#endif
    for (; x < cols && row[4 * x + 3] == 0; ++x) {
    }
    return x;
}

#if defined(__SSE2__)
// Whether any of the four BGRA pixels at p has alpha other than 0.
inline bool anyAlpha(const uchar* p)
{
    const __m128i alpha = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                        _mm_set1_epi32(static_cast<int>(0xFF000000u)));
    return _mm_movemask_epi8(_mm_cmpeq_epi32(alpha, _mm_setzero_si128())) != 0xFFFF;
}

// The gain tables' values for four BGRA pixels at once, computed: (v * scale + 2^15)
// >> 16 saturated, with scale = high * 2^16 + low, is v * high plus the upper half of
// v * low plus the carry of adding 2^15 to its lower half. A 255 takes the table's
// value, alpha stays, and pixels of alpha 0 are left as they are.
class FourPixelGains {
public:
    FourPixelGains(const int scales[3], const uchar table[3][256])
    {
        alignas(16) int16_t low[8], high[8];
        alignas(16) uchar saturated[16];
        for (int k = 0; k < 8; ++k) {
            const int channel = k % 4;
            low[k] = static_cast<int16_t>(channel < 3 ? scales[channel] & 0xFFFF : 0);
            high[k] = static_cast<int16_t>(channel < 3 ? scales[channel] >> 16 : 0);
        }
        for (int k = 0; k < 16; ++k)
            saturated[k] = k % 4 < 3 ? table[k % 4][255] : 0;
        lows = _mm_load_si128(reinterpret_cast<const __m128i*>(low));
        highs = _mm_load_si128(reinterpret_cast<const __m128i*>(high));
        saturatedValues = _mm_load_si128(reinterpret_cast<const __m128i*>(saturated));
    }

    void apply(uchar* p) const
    {
        const __m128i zero = _mm_setzero_si128();
        const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
        const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i scaled = _mm_packus_epi16(scale(_mm_unpacklo_epi8(pixels, zero)),
                                                scale(_mm_unpackhi_epi8(pixels, zero)));
        const __m128i full = _mm_cmpeq_epi8(pixels, _mm_set1_epi8(-1));
        const __m128i gained = _mm_or_si128(_mm_and_si128(full, saturatedValues), _mm_andnot_si128(full, scaled));
        const __m128i keep = _mm_or_si128(alpha, _mm_cmpeq_epi32(_mm_and_si128(pixels, alpha), zero));
        const __m128i result = _mm_or_si128(_mm_and_si128(keep, pixels), _mm_andnot_si128(keep, gained));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), result);
    }

private:
    __m128i scale(__m128i values) const
    {
        const __m128i lower = _mm_mullo_epi16(values, lows);
        const __m128i upper = _mm_mulhi_epu16(values, lows);
        return _mm_add_epi16(_mm_add_epi16(_mm_mullo_epi16(values, highs), upper), _mm_srli_epi16(lower, 15));
    }

    __m128i lows, highs, saturatedValues;
};
#endif

} // namespace

ExposureCompensator::ExposureCompensator(int reduction) : reduction(reduction)
{
    if (reduction < 1)
        throw std::runtime_error("ExposureCompensator reduction must be at least 1");
}

std::vector<cv::Vec3d> ExposureCompensator::estimate(const std::vector<cv::Mat>& parts) const
{
    return estimateWithin(parts, nullptr);
}

std::vector<cv::Vec3d> ExposureCompensator::estimate(const std::vector<cv::Mat>& parts,
                                                     const std::vector<std::vector<cv::Rect>>& regions) const
{
    if (regions.size() != parts.size())
        throw std::runtime_error("ExposureCompensator estimate() needs the regions of every part");
    return estimateWithin(parts, &regions);
}

std::vector<cv::Vec3d> ExposureCompensator::estimateWithin(const std::vector<cv::Mat>& parts,
                                                           const std::vector<std::vector<cv::Rect>>* regions) const
{
    const int n = static_cast<int>(parts.size());
    for (const cv::Mat& part : parts) {
        if (part.type() != CV_8UC4 || part.size() != parts.front().size())
            throw std::runtime_error("ExposureCompensator estimate() needs BGRA parts of one size");
    }
    std::vector<cv::Mat> small(static_cast<std::size_t>(n));
    runIndependent(n, [&](int i, int) {
        const cv::Size size(std::max(1, parts[i].cols / reduction), std::max(1, parts[i].rows / reduction));
        if (!regions) {
            small[static_cast<std::size_t>(i)] = reduceByArea(parts[i], size);
            return;
        }
        // Only reduced pixels that two parts may both hold take part in the sums
        // below. The reduced pixels a region reaches, with one to spare on each
        // side for the cells its edge cuts; where two of these meet, both parts may
        // hold a pixel fully.
        const double scaleX = 1.0 / (static_cast<double>(size.width) / parts[i].cols);
        const double scaleY = 1.0 / (static_cast<double>(size.height) / parts[i].rows);
        const auto reached = [&](const cv::Rect& r) {
            if (r.empty())
                return cv::Rect();
            const int x0 = static_cast<int>(std::floor(r.x / scaleX)) - 1;
            const int y0 = static_cast<int>(std::floor(r.y / scaleY)) - 1;
            const int x1 = static_cast<int>(std::floor((r.x + r.width - 1) / scaleX)) + 2;
            const int y1 = static_cast<int>(std::floor((r.y + r.height - 1) / scaleY)) + 2;
            return cv::Rect(x0, y0, x1 - x0, y1 - y0) & cv::Rect(cv::Point(), size);
        };
        std::vector<cv::Rect> shared;
        for (const cv::Rect& own : (*regions)[static_cast<std::size_t>(i)])
            for (int j = 0; j < n; ++j)
                if (j != i)
                    for (const cv::Rect& other : (*regions)[static_cast<std::size_t>(j)]) {
                        const cv::Rect both = reached(own) & reached(other);
                        if (!both.empty())
                            shared.push_back(both);
                    }
        small[static_cast<std::size_t>(i)] = reduceByArea(parts[i], size, shared);
    });

    // Per pair: pixel count and colour sums of each side over the shared pixels.
    std::vector<double> count(static_cast<std::size_t>(n * n), 0.0);
    std::vector<cv::Vec3d> sum(static_cast<std::size_t>(n * n), cv::Vec3d(0, 0, 0));
    for (int i = 0; i < n; ++i) {
        for (int j = i + 1; j < n; ++j) {
            const cv::Mat& a = small[static_cast<std::size_t>(i)];
            const cv::Mat& b = small[static_cast<std::size_t>(j)];
            for (int r = 0; r < a.rows; ++r) {
                const cv::Vec4b* pa = a.ptr<cv::Vec4b>(r);
                const cv::Vec4b* pb = b.ptr<cv::Vec4b>(r);
                for (int c = 0; c < a.cols; ++c) {
                    if (pa[c][3] != 255 || pb[c][3] != 255)
                        continue;
                    const double greyA = (pa[c][0] + pa[c][1] + pa[c][2]) / 3.0;
                    const double greyB = (pb[c][0] + pb[c][1] + pb[c][2]) / 3.0;
                    if (std::fabs(greyA - greyB) > kGrossDifference)
                        continue;
                    count[static_cast<std::size_t>(i * n + j)] += 1.0;
                    for (int k = 0; k < 3; ++k) {
                        sum[static_cast<std::size_t>(i * n + j)][k] += pa[c][k];
                        sum[static_cast<std::size_t>(j * n + i)][k] += pb[c][k];
                    }
                }
            }
            count[static_cast<std::size_t>(j * n + i)] = count[static_cast<std::size_t>(i * n + j)];
        }
    }

    // Least squares per channel: sum over pairs of N (g_i m_ij - g_j m_ji)^2 / noise^2
    // plus, per part, its overlap count times (1 - g_i)^2 / gain^2.
    std::vector<cv::Vec3d> gains(static_cast<std::size_t>(n), cv::Vec3d(1, 1, 1));
    std::vector<bool> overlaps(static_cast<std::size_t>(n), false);
    for (int i = 0; i < n; ++i)
        for (int j = 0; j < n; ++j)
            if (i != j && count[static_cast<std::size_t>(i * n + j)] > 0.0)
                overlaps[static_cast<std::size_t>(i)] = true;
    for (int k = 0; k < 3; ++k) {
        cv::Mat a = cv::Mat::zeros(n, n, CV_64F);
        cv::Mat b = cv::Mat::zeros(n, 1, CV_64F);
        for (int i = 0; i < n; ++i) {
            double overlap = 0.0;
            for (int j = 0; j < n; ++j) {
                const double nij = count[static_cast<std::size_t>(i * n + j)];
                if (i == j || nij == 0.0)
                    continue;
                const double mij = sum[static_cast<std::size_t>(i * n + j)][k] / nij;
                const double mji = sum[static_cast<std::size_t>(j * n + i)][k] / nij;
                a.at<double>(i, i) += nij * mij * mij / (kNoiseSigma * kNoiseSigma);
                a.at<double>(i, j) -= nij * mij * mji / (kNoiseSigma * kNoiseSigma);
                overlap += nij;
            }
            // A part without overlaps is held at 1 by a unit prior.
            const double prior = (overlap > 0.0 ? overlap : 1.0) / (kGainSigma * kGainSigma);
            a.at<double>(i, i) += prior;
            b.at<double>(i) = prior;
        }
        cv::Mat g;
        if (!cv::solve(a, b, g, cv::DECOMP_CHOLESKY))
            continue;
        // The overlaps fix only the ratios; the level is set so that the gains of
        // the parts that overlap others multiply to 1, which keeps the panorama at
        // the cameras' average exposure whichever way they differ.
        double logSum = 0.0;
        int overlapping = 0;
        for (int i = 0; i < n; ++i) {
            if (overlaps[static_cast<std::size_t>(i)] && g.at<double>(i) > 0.0) {
                logSum += std::log(g.at<double>(i));
                ++overlapping;
            }
        }
        const double level = overlapping > 0 ? std::exp(-logSum / overlapping) : 1.0;
        for (int i = 0; i < n; ++i)
            gains[static_cast<std::size_t>(i)][k] =
                overlaps[static_cast<std::size_t>(i)] ? g.at<double>(i) * level : g.at<double>(i);
    }
    return gains;
}

void ExposureCompensator::apply(std::vector<cv::Mat>& parts, const std::vector<cv::Vec3d>& gains)
{
    if (gains.size() != parts.size())
        throw std::runtime_error("ExposureCompensator apply() needs one set of gains per part");
    for (const cv::Mat& part : parts)
        if (part.depth() != CV_8U || (part.channels() != 3 && part.channels() != 4))
            throw std::runtime_error("ExposureCompensator apply() needs 8-bit colour parts");
    for (std::size_t i = 0; i < parts.size(); ++i) {
        cv::Mat& part = parts[i];
        const int channels = part.channels();
        // Gains in 16-bit fixed point, as a table per channel of what each value becomes.
        // A saturated sample says only that its value is at least 255 * gain; where
        // the gain darkens, the middle of what it can be (up to 255) halves the error.
        uchar table[3][256];
        int scales[3];
        for (int k = 0; k < 3; ++k) {
            const int scale = static_cast<int>(std::lround(gains[i][k] * 65536.0));
            scales[k] = scale;
            for (int v = 0; v < 255; ++v)
                table[k][v] = cv::saturate_cast<uchar>((v * scale + 32768) >> 16);
            table[k][255] = cv::saturate_cast<uchar>(gains[i][k] < 1.0 ? 127.5 * (1.0 + gains[i][k]) : 255.0);
        }
#if defined(__SSE2__)
        // Four BGRA pixels at once where the gains fit its 16-bit arithmetic.
        const bool vector = channels == 4 && std::all_of(scales, scales + 3, [](int s) { return s >= 0 && s < (64 << 16); });
        const FourPixelGains four(scales, table);
#endif
        // Only pixels with colour are written: a part's pages where its camera does
        // not see hold zeros that were never written, and take no memory until they are.
        cv::parallel_for_(cv::Range(0, part.rows), [&](const cv::Range& rows) {
            for (int r = rows.start; r < rows.end; ++r) {
                uchar* row = part.ptr<uchar>(r);
                for (int c = 0; c < part.cols; ++c) {
                    if (channels == 4)
                        c = nextOpaque(row, c, part.cols);
                    if (c == part.cols)
                        break;
#if defined(__SSE2__)
                    if (vector) {
                        // A part's opaque runs are long: groups of four follow on from
                        // the first opaque pixel while each holds some alpha, without a
                        // search per group.
                        while (c + 4 <= part.cols && anyAlpha(row + 4 * c)) {
                            four.apply(row + 4 * c);
                            c += 4;
                        }
                        if (c + 4 <= part.cols) {
                            // Four transparent pixels: search on from the next one.
                            c += 3;
                            continue;
                        }
                        if (c == part.cols)
                            break;
                    }
#endif
                    uchar* p = row + c * channels;
                    if (channels == 4 ? p[3] == 0 : (p[0] | p[1] | p[2]) == 0)
                        continue;
                    p[0] = table[0][p[0]];
                    p[1] = table[1][p[1]];
                    p[2] = table[2][p[2]];
                }
            }
        });
    }
}

void ExposureCompensator::apply(std::vector<cv::Mat>& parts, const std::vector<cv::Vec3d>& gains,
                                const std::vector<std::vector<cv::Rect>>& regions)
{
    if (gains.size() != parts.size() || regions.size() != parts.size())
        throw std::runtime_error("ExposureCompensator apply() needs one set of gains and regions per part");
    // Views of the regions share the parts' pixels; the rest of a part (most of each
    // row) is not read at all.
    std::vector<cv::Mat> views;
    std::vector<cv::Vec3d> viewGains;
    for (std::size_t i = 0; i < parts.size(); ++i)
        for (const cv::Rect& region : regions[i]) {
            const cv::Rect inside = region & cv::Rect(0, 0, parts[i].cols, parts[i].rows);
            if (inside.empty())
                continue;
            views.push_back(parts[i](inside));
            viewGains.push_back(gains[i]);
        }
    apply(views, viewGains);
}

} // namespace orb
