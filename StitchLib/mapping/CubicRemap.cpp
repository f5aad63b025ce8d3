#include "StitchLib/mapping/CubicRemap.h"

#include <opencv2/core/fast_math.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orb {
namespace BaseApi {

namespace {

// Sub-pixel positions per pixel and fixed-point scale of the weights.
constexpr int kTableBits = 5;
constexpr int kTableSize = 1 << kTableBits;
constexpr int kWeightBits = 15;
constexpr int kWeightScale = 1 << kWeightBits;

// The cubic convolution kernel (a = -0.75) at fraction x of a pixel, in float as
// the reference computes it.
void cubicWeights(float x, float* w)
{
    const float a = -0.75f;
    w[0] = ((a * (x + 1) - 5 * a) * (x + 1) + 8 * a) * (x + 1) - 4 * a;
    w[1] = ((a + 2) * x - (a + 3)) * x * x + 1;
    w[2] = ((a + 2) * (1 - x) - (a + 3)) * (1 - x) * (1 - x) + 1;
    w[3] = 1.f - w[0] - w[1] - w[2];
}

// Per sub-pixel position (y fraction * 32 + x fraction), the 4 x 4 weights (rows of
// taps) in 15-bit fixed point, rounded so that they sum to exactly one: the
// rounding error goes to the largest (or smallest) of the four central weights.
struct WeightTable {
    int16_t w[kTableSize * kTableSize][16];
    // The same per tap column as the weights of two rows of taps side by side,
    // (w[row] | w[row + 1] << 16) for rows 0 and 2, each four times over: one
    // multiply-and-add weighs the four channels of a column's samples from two rows.
    alignas(16) int32_t rowPairs[kTableSize * kTableSize][2][4][4];

    WeightTable()
    {
        float oneD[kTableSize][4];
        const float scale = 1.f / kTableSize;
        for (int i = 0; i < kTableSize; ++i)
            cubicWeights(static_cast<float>(i) * scale, oneD[i]);
        for (int i = 0; i < kTableSize; ++i)
            for (int j = 0; j < kTableSize; ++j) {
                int16_t* t = w[i * kTableSize + j];
                int sum = 0;
                for (int k1 = 0; k1 < 4; ++k1)
                    for (int k2 = 0; k2 < 4; ++k2) {
                        const float v = oneD[i][k1] * oneD[j][k2];
                        t[k1 * 4 + k2] = cv::saturate_cast<int16_t>(v * kWeightScale);
                        sum += t[k1 * 4 + k2];
                    }
                if (sum != kWeightScale) {
                    const int diff = sum - kWeightScale;
                    int small1 = 2, small2 = 2, large1 = 2, large2 = 2;
                    for (int k1 = 2; k1 < 4; ++k1)
                        for (int k2 = 2; k2 < 4; ++k2) {
                            if (t[k1 * 4 + k2] < t[small1 * 4 + small2])
                                small1 = k1, small2 = k2;
                            else if (t[k1 * 4 + k2] > t[large1 * 4 + large2])
                                large1 = k1, large2 = k2;
                        }
                    if (diff < 0)
                        t[large1 * 4 + large2] = static_cast<int16_t>(t[large1 * 4 + large2] - diff);
                    else
                        t[small1 * 4 + small2] = static_cast<int16_t>(t[small1 * 4 + small2] - diff);
                }
                for (int pair = 0; pair < 2; ++pair)
                    for (int column = 0; column < 4; ++column) {
                        const uint32_t upper = static_cast<uint16_t>(t[(2 * pair) * 4 + column]);
                        const uint32_t lower = static_cast<uint16_t>(t[(2 * pair + 1) * 4 + column]);
                        for (int lane = 0; lane < 4; ++lane)
                            rowPairs[i * kTableSize + j][pair][column][lane] = static_cast<int32_t>(upper | lower << 16);
                    }
            }
    }
};

const WeightTable& weightTable()
{
    // 160 KB: on the heap, built once.
    static const std::unique_ptr<const WeightTable> table = std::make_unique<const WeightTable>();
    return *table;
}

#if !defined(__SSE2__)
inline uint8_t fixedToByte(int sum)
{
    return cv::saturate_cast<uint8_t>((sum + (1 << (kWeightBits - 1))) >> kWeightBits);
}
#endif

} // namespace

void remapCubicReplicate(const cv::Mat& source, cv::Mat& target, const cv::Mat& map)
{
    if (source.type() != CV_8UC4 || source.empty() || map.type() != CV_32FC2 || target.type() != CV_8UC4 ||
        target.size() != map.size())
        throw std::runtime_error("BaseApi remapCubicReplicate() needs a BGRA source, a float map and a BGRA target of its size");
    const WeightTable& table = weightTable();
    const int width = source.cols;
    const int height = source.rows;
    const auto clampX = [width](int x) { return std::min(std::max(x, 0), width - 1); };
    const auto clampY = [height](int y) { return std::min(std::max(y, 0), height - 1); };
    for (int r = 0; r < target.rows; ++r) {
        const float* m = map.ptr<float>(r);
        uint8_t* out = target.ptr<uint8_t>(r);
        for (int c = 0; c < target.cols; ++c, out += 4) {
            const int fx = cvRound(m[2 * c] * kTableSize);
            const int fy = cvRound(m[2 * c + 1] * kTableSize);
            const int index = (fy & (kTableSize - 1)) * kTableSize + (fx & (kTableSize - 1));
            // The top left of the 4 x 4 taps.
            const int sx = cv::saturate_cast<int16_t>(fx >> kTableBits) - 1;
            const int sy = cv::saturate_cast<int16_t>(fy >> kTableBits) - 1;
            const bool inside = sx >= 0 && sy >= 0 && sx + 3 < width && sy + 3 < height;
            // Per row of taps, the four pixels' 16 bytes.
            alignas(16) uint32_t taps[4][4];
            const uint8_t* rows[4];
            if (inside) {
                for (int i = 0; i < 4; ++i)
                    rows[i] = source.ptr<uint8_t>(sy + i) + 4 * sx;
            } else {
                for (int i = 0; i < 4; ++i) {
                    const uint8_t* row = source.ptr<uint8_t>(clampY(sy + i));
                    for (int k = 0; k < 4; ++k)
                        std::memcpy(&taps[i][k], row + 4 * clampX(sx + k), 4);
                    rows[i] = reinterpret_cast<const uint8_t*>(taps[i]);
                }
            }
#if defined(__SSE2__)
            const __m128i zero = _mm_setzero_si128();
            __m128i sum = zero;
            for (int pair = 0; pair < 2; ++pair) {
                const __m128i upper = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * pair]));
                const __m128i lower = _mm_loadu_si128(reinterpret_cast<const __m128i*>(rows[2 * pair + 1]));
                // Both rows' bytes interleaved, then widened to 16 bits: per tap column,
                // each channel's two samples side by side.
                const __m128i left = _mm_unpacklo_epi8(upper, lower);
                const __m128i right = _mm_unpackhi_epi8(upper, lower);
                const __m128i* w = reinterpret_cast<const __m128i*>(table.rowPairs[index][pair]);
                sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(left, zero), _mm_load_si128(w)));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpackhi_epi8(left, zero), _mm_load_si128(w + 1)));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpacklo_epi8(right, zero), _mm_load_si128(w + 2)));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_unpackhi_epi8(right, zero), _mm_load_si128(w + 3)));
            }
            sum = _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kWeightBits - 1))), kWeightBits);
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(sum, zero), zero);
            const uint32_t pixel = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
            std::memcpy(out, &pixel, 4);
#else
            const int16_t* w = table.w[index];
            for (int k = 0; k < 4; ++k) {
                int sum = 0;
                for (int i = 0; i < 4; ++i)
                    for (int j = 0; j < 4; ++j)
                        sum += rows[i][4 * j + k] * w[4 * i + j];
                out[k] = fixedToByte(sum);
            }
#endif
        }
    }
}

} // namespace BaseApi
} // namespace orb
