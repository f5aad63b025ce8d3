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
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUADSTITCH_AVX2_CUBIC 1
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

// Where a pixel's taps start: the weight table's index and the top left tap, from
// the map's position quantised to 1/32 pixel (fx, fy).
struct TapOrigin {
    int index;
    int sx;
    int sy;
};

inline TapOrigin tapOrigin(int fx, int fy)
{
    return {(fy & (kTableSize - 1)) * kTableSize + (fx & (kTableSize - 1)),
            cv::saturate_cast<int16_t>(fx >> kTableBits) - 1, cv::saturate_cast<int16_t>(fy >> kTableBits) - 1};
}

inline bool tapsInside(const TapOrigin& o, int width, int height)
{
    return o.sx >= 0 && o.sy >= 0 && o.sx + 3 < width && o.sy + 3 < height;
}

// One pixel from its 4 x 4 taps (each row's four pixels' 16 bytes at rows[i]).
inline void cubicPixel(const uint8_t* const* rows, const WeightTable& table, int index, uint8_t* out)
{
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

// Any one pixel, its taps clamped to the image where they reach beyond it.
inline void anyPixel(const cv::Mat& source, const WeightTable& table, const TapOrigin& o, uint8_t* out)
{
    const int width = source.cols;
    const int height = source.rows;
    const uint8_t* rows[4];
    alignas(16) uint32_t taps[4][4];
    if (tapsInside(o, width, height)) {
        for (int i = 0; i < 4; ++i)
            rows[i] = source.ptr<uint8_t>(o.sy + i) + 4 * o.sx;
    } else {
        for (int i = 0; i < 4; ++i) {
            const uint8_t* row = source.ptr<uint8_t>(std::min(std::max(o.sy + i, 0), height - 1));
            for (int k = 0; k < 4; ++k)
                std::memcpy(&taps[i][k], row + 4 * std::min(std::max(o.sx + k, 0), width - 1), 4);
            rows[i] = reinterpret_cast<const uint8_t*>(taps[i]);
        }
    }
    cubicPixel(rows, table, o.index, out);
}

#ifdef QUADSTITCH_AVX2_CUBIC

// 16 bytes from `low` in the lower lane and from `high` in the upper.
__attribute__((target("avx2"))) inline __m256i both(const void* low, const void* high)
{
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(static_cast<const __m128i*>(low))),
                                   _mm_loadu_si128(static_cast<const __m128i*>(high)), 1);
}

// The top left tap of the pixels' taps from their quantised positions f, as
// tapOrigin works it out.
__attribute__((target("avx2"))) inline __m256i firstTaps(__m256i f)
{
    return _mm256_sub_epi32(_mm256_min_epi32(_mm256_max_epi32(_mm256_srai_epi32(f, kTableBits),
                                                              _mm256_set1_epi32(-32768)),
                                             _mm256_set1_epi32(32767)),
                            _mm256_set1_epi32(1));
}

// Two neighbouring pixels whose taps lie inside the image, one per 128-bit lane:
// each lane takes the steps of cubicPixel, so the bits are the same.
__attribute__((target("avx2"))) inline void cubicPair(const uint8_t* sourceData, std::size_t step,
                                                     const WeightTable& table, const TapOrigin& a,
                                                     const TapOrigin& b, uint8_t* out)
{
    const uint8_t* rowA = sourceData + static_cast<std::size_t>(a.sy) * step + 4 * static_cast<std::size_t>(a.sx);
    const uint8_t* rowB = sourceData + static_cast<std::size_t>(b.sy) * step + 4 * static_cast<std::size_t>(b.sx);
    const __m256i zero = _mm256_setzero_si256();
    __m256i sum = zero;
    for (int pair = 0; pair < 2; ++pair) {
        const __m256i upper = both(rowA + (2 * pair) * step, rowB + (2 * pair) * step);
        const __m256i lower = both(rowA + (2 * pair + 1) * step, rowB + (2 * pair + 1) * step);
        const __m256i left = _mm256_unpacklo_epi8(upper, lower);
        const __m256i right = _mm256_unpackhi_epi8(upper, lower);
        const int32_t(*wa)[4] = table.rowPairs[a.index][pair];
        const int32_t(*wb)[4] = table.rowPairs[b.index][pair];
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpacklo_epi8(left, zero), both(wa[0], wb[0])));
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpackhi_epi8(left, zero), both(wa[1], wb[1])));
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpacklo_epi8(right, zero), both(wa[2], wb[2])));
        sum = _mm256_add_epi32(sum, _mm256_madd_epi16(_mm256_unpackhi_epi8(right, zero), both(wa[3], wb[3])));
    }
    sum = _mm256_srai_epi32(_mm256_add_epi32(sum, _mm256_set1_epi32(1 << (kWeightBits - 1))), kWeightBits);
    const __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(sum, zero), zero);
    const uint32_t pixels[2] = {static_cast<uint32_t>(_mm256_extract_epi32(bytes, 0)),
                                static_cast<uint32_t>(_mm256_extract_epi32(bytes, 4))};
    std::memcpy(out, pixels, 8);
}

// One row of the target: the taps of eight pixels at a time worked out together,
// then the pixels two by two; pairs with a tap outside the image, and the row's
// last few pixels, one by one.
__attribute__((target("avx2"))) void remapRowAvx2(const cv::Mat& source, const float* m, uint8_t* out, int cols,
                                                  const WeightTable& table)
{
    const int width = source.cols;
    const int height = source.rows;
    const std::size_t step = source.step[0];
    const __m256 scale = _mm256_set1_ps(static_cast<float>(kTableSize));
    const __m256i fraction = _mm256_set1_epi32(kTableSize - 1);
    alignas(32) int32_t index[8], sx[8], sy[8];
    int c = 0;
    for (; c + 8 <= cols; c += 8) {
        const __m256 first = _mm256_loadu_ps(m + 2 * c);
        const __m256 second = _mm256_loadu_ps(m + 2 * c + 8);
        // x and y of the eight pixels in order: the shuffles leave (0 1 4 5 | 2 3 6 7).
        const __m256 xs = _mm256_castpd_ps(_mm256_permute4x64_pd(
            _mm256_castps_pd(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(2, 0, 2, 0))), _MM_SHUFFLE(3, 1, 2, 0)));
        const __m256 ys = _mm256_castpd_ps(_mm256_permute4x64_pd(
            _mm256_castps_pd(_mm256_shuffle_ps(first, second, _MM_SHUFFLE(3, 1, 3, 1))), _MM_SHUFFLE(3, 1, 2, 0)));
        // Rounded to nearest as cvRound does (the same conversion), then
        // tapOrigin's steps.
        const __m256i fx = _mm256_cvtps_epi32(_mm256_mul_ps(xs, scale));
        const __m256i fy = _mm256_cvtps_epi32(_mm256_mul_ps(ys, scale));
        _mm256_store_si256(reinterpret_cast<__m256i*>(index),
                           _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(fy, fraction), kTableBits),
                                            _mm256_and_si256(fx, fraction)));
        _mm256_store_si256(reinterpret_cast<__m256i*>(sx), firstTaps(fx));
        _mm256_store_si256(reinterpret_cast<__m256i*>(sy), firstTaps(fy));
        for (int k = 0; k < 8; k += 2) {
            const TapOrigin a{index[k], sx[k], sy[k]};
            const TapOrigin b{index[k + 1], sx[k + 1], sy[k + 1]};
            uint8_t* o = out + 4 * (c + k);
            if (tapsInside(a, width, height) && tapsInside(b, width, height)) {
                cubicPair(source.data, step, table, a, b, o);
            } else {
                anyPixel(source, table, a, o);
                anyPixel(source, table, b, o + 4);
            }
        }
    }
    for (; c < cols; ++c)
        anyPixel(source, table, tapOrigin(cvRound(m[2 * c] * kTableSize), cvRound(m[2 * c + 1] * kTableSize)),
                 out + 4 * c);
}

bool hasAvx2()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}

#endif

} // namespace

void remapCubicReplicate(const cv::Mat& source, cv::Mat& target, const cv::Mat& map)
{
    if (source.type() != CV_8UC4 || source.empty() || map.type() != CV_32FC2 || target.type() != CV_8UC4 ||
        target.size() != map.size())
        throw std::runtime_error("BaseApi remapCubicReplicate() needs a BGRA source, a float map and a BGRA target of its size");
    const WeightTable& table = weightTable();
#ifdef QUADSTITCH_AVX2_CUBIC
    static const bool avx2 = hasAvx2();
    if (avx2) {
        for (int r = 0; r < target.rows; ++r)
            remapRowAvx2(source, map.ptr<float>(r), target.ptr<uint8_t>(r), target.cols, table);
        return;
    }
#endif
    for (int r = 0; r < target.rows; ++r) {
        const float* m = map.ptr<float>(r);
        uint8_t* out = target.ptr<uint8_t>(r);
        for (int c = 0; c < target.cols; ++c)
            anyPixel(source, table, tapOrigin(cvRound(m[2 * c] * kTableSize), cvRound(m[2 * c + 1] * kTableSize)),
                     out + 4 * c);
    }
}

} // namespace BaseApi
} // namespace orb
