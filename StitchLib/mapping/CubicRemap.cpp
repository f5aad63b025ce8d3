#include "StitchLib/mapping/CubicRemap.h"

#include <opencv2/core/fast_math.hpp>

#include <algorithm>
#include <cstdint>
#include <cstring>
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
    // The same as pairs of neighbouring taps, (w0 | w1 << 16) and (w2 | w3 << 16)
    // per row of taps, for multiply-and-add over two pixels at once.
    int32_t pairs[kTableSize * kTableSize][8];

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
                for (int k = 0; k < 8; ++k)
                    pairs[i * kTableSize + j][k] = static_cast<int32_t>(static_cast<uint16_t>(t[2 * k])) |
                                                   static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(t[2 * k + 1])) << 16);
            }
    }
};

const WeightTable& weightTable()
{
    static const WeightTable table;
    return table;
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
            for (int i = 0; i < 4; ++i) {
                const uint8_t* row = source.ptr<uint8_t>(inside ? sy + i : clampY(sy + i));
                if (inside) {
                    std::memcpy(taps[i], row + 4 * sx, 16);
                } else {
                    for (int k = 0; k < 4; ++k)
                        std::memcpy(&taps[i][k], row + 4 * clampX(sx + k), 4);
                }
            }
#if defined(__SSE2__)
            const int32_t* pairs = table.pairs[index];
            const __m128i zero = _mm_setzero_si128();
            __m128i sum = zero;
            for (int i = 0; i < 4; ++i) {
                const __m128i p = _mm_load_si128(reinterpret_cast<const __m128i*>(taps[i]));
                // Bytes of pixels 0 and 1 (2 and 3) interleaved channel by channel, widened
                // to 16 bits: each channel's two samples sit side by side for the
                // multiply-and-add with that row's two weights.
                const __m128i p01 = _mm_unpacklo_epi8(_mm_unpacklo_epi8(p, _mm_srli_si128(p, 4)), zero);
                const __m128i q = _mm_srli_si128(p, 8);
                const __m128i p23 = _mm_unpacklo_epi8(_mm_unpacklo_epi8(q, _mm_srli_si128(q, 4)), zero);
                sum = _mm_add_epi32(sum, _mm_madd_epi16(p01, _mm_set1_epi32(pairs[2 * i])));
                sum = _mm_add_epi32(sum, _mm_madd_epi16(p23, _mm_set1_epi32(pairs[2 * i + 1])));
            }
            sum = _mm_srai_epi32(_mm_add_epi32(sum, _mm_set1_epi32(1 << (kWeightBits - 1))), kWeightBits);
            const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(sum, zero), zero);
            const uint32_t pixel = static_cast<uint32_t>(_mm_cvtsi128_si32(bytes));
            std::memcpy(out, &pixel, 4);
#else
            const int16_t* w = table.w[index];
            for (int k = 0; k < 4; ++k) {
                int sum = 0;
                for (int i = 0; i < 4; ++i) {
                    const uint8_t* t = reinterpret_cast<const uint8_t*>(taps[i]);
                    for (int j = 0; j < 4; ++j)
                        sum += t[4 * j + k] * w[4 * i + j];
                }
                out[k] = fixedToByte(sum);
            }
#endif
        }
    }
}

} // namespace BaseApi
} // namespace orb
