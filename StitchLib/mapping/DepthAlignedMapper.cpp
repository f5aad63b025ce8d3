#include "StitchLib/mapping/DepthAlignedMapper.h"

#include "BaseLib/CoordinateSystems.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define QUADSTITCH_VECTOR_MAPPER 1
#endif

namespace orb {

namespace {

// Pixels per run: each stage goes over the run before the next starts.
constexpr int kRun = 64;

#ifdef QUADSTITCH_VECTOR_MAPPER

// What becomes of a pixel: no position, the lens, or the scalar mapper's answer.
enum Kind : unsigned char { kNone, kLens, kScalar };

struct RunInputs {
    const float* direction0; // per pixel
    const float* direction1; // per pixel
    float direction2;        // the row's
    const float* depth;      // per pixel
    const float* transform;  // row-major 4 x 4
    float cosMaxAngle;
};

// The first stage of the mapping for n pixels (a multiple of 4): the camera-frame
// unit direction and its distance from the optical axis, in EqrToFisheye's
// order of operations and precisions. Only AVX2 is enabled, not fused
// multiply-add, so that no product and sum are ever contracted into one rounding.
__attribute__((target("avx2"))) void directions(const RunInputs& in, int n, float* u0, float* u1, float* u2,
                                               double* r, Kind* kind)
{
    const float* m = in.transform;
    const __m128 d2 = _mm_set1_ps(in.direction2);
    const __m128 cosMax = _mm_set1_ps(in.cosMaxAngle);
    const __m256d zero = _mm256_setzero_pd();
    for (int k = 0; k < n; k += 4) {
        const __m128 d0 = _mm_loadu_ps(in.direction0 + k);
        const __m128 d1 = _mm_loadu_ps(in.direction1 + k);
        const __m128 d3 = _mm_loadu_ps(in.depth + k);
        __m128 p[3];
        for (int i = 0; i < 3; ++i) {
            __m128 sum = _mm_mul_ps(_mm_set1_ps(m[4 * i]), d0);
            sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(m[4 * i + 1]), d1));
            sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(m[4 * i + 2]), d2));
            sum = _mm_add_ps(sum, _mm_mul_ps(_mm_set1_ps(m[4 * i + 3]), d3));
            p[i] = sum;
        }
        const __m128 squares =
            _mm_add_ps(_mm_add_ps(_mm_mul_ps(p[0], p[0]), _mm_mul_ps(p[1], p[1])), _mm_mul_ps(p[2], p[2]));
        const __m256d norm = _mm256_sqrt_pd(_mm256_cvtps_pd(squares));
        const __m128 v0 = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_cvtps_pd(p[0]), norm));
        const __m128 v1 = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_cvtps_pd(p[1]), norm));
        const __m128 v2 = _mm256_cvtpd_ps(_mm256_div_pd(_mm256_cvtps_pd(p[2]), norm));
        const __m256d radius =
            _mm256_sqrt_pd(_mm256_cvtps_pd(_mm_add_ps(_mm_mul_ps(v1, v1), _mm_mul_ps(v2, v2))));
        _mm_storeu_ps(u0 + k, v0);
        _mm_storeu_ps(u1 + k, v1);
        _mm_storeu_ps(u2 + k, v2);
        _mm256_storeu_pd(r + k, radius);
        // Beyond the lens (a NaN compares false, as in the scalar test); a zero
        // direction or a pixel on the axis goes to the scalar mapper.
        const int none = _mm_movemask_ps(_mm_cmp_ps(cosMax, v0, _CMP_GT_OQ));
        const int zeroNorm = _mm256_movemask_pd(_mm256_cmp_pd(norm, zero, _CMP_EQ_OQ));
        const int onAxis = _mm256_movemask_pd(_mm256_cmp_pd(radius, zero, _CMP_EQ_OQ));
        for (int j = 0; j < 4; ++j) {
            const int bit = 1 << j;
            kind[k + j] = (zeroNorm & bit) ? kScalar : (none & bit) ? kNone : (onAxis & bit) ? kScalar : kLens;
        }
    }
}

// The last stage: centre + u * d / r per lens pixel, (-1, -1) for no position;
// scalar pixels are left for the caller.
__attribute__((target("avx2"))) void positions(int n, const float* u1, const float* u2, const double* r,
                                              const double* d, const Kind* kind, const float* centre, float* out)
{
    const __m256d c0 = _mm256_set1_pd(static_cast<double>(centre[0]));
    const __m256d c1 = _mm256_set1_pd(static_cast<double>(centre[1]));
    for (int k = 0; k < n; k += 4) {
        const __m256d radius = _mm256_loadu_pd(r + k);
        const __m256d distance = _mm256_loadu_pd(d + k);
        const __m256d x = _mm256_add_pd(c0, _mm256_div_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(u1 + k)), distance), radius));
        const __m256d y = _mm256_add_pd(c1, _mm256_div_pd(_mm256_mul_pd(_mm256_cvtps_pd(_mm_loadu_ps(u2 + k)), distance), radius));
        alignas(16) float xs[4];
        alignas(16) float ys[4];
        _mm_store_ps(xs, _mm256_cvtpd_ps(x));
        _mm_store_ps(ys, _mm256_cvtpd_ps(y));
        for (int j = 0; j < 4; ++j) {
            float* at = out + 2 * (k + j);
            if (kind[k + j] == kLens) {
                at[0] = xs[j];
                at[1] = ys[j];
            } else if (kind[k + j] == kNone) {
                at[0] = -1.0f;
                at[1] = -1.0f;
            }
        }
    }
}

// a * b exactly as the rounded product and its error: one fused
// multiply-subtract, named outright (as the scalar odd powers do) so that the
// compiler fuses nothing else.
__attribute__((target("avx2"))) inline void exactProducts(__m256d a, __m256d b, __m256d& product, __m256d& error)
{
    product = _mm256_mul_pd(a, b);
    error = a;
    asm("vfmsub213pd %[p], %[b], %[error]" : [error] "+x"(error) : [b] "x"(b), [p] "x"(product));
}

// (x.hi + x.lo) * (y.hi + y.lo) renormalised, as the scalar odd powers form it.
__attribute__((target("avx2"))) inline void products(__m256d xHi, __m256d xLo, __m256d yHi, __m256d yLo,
                                                    __m256d& hi, __m256d& lo)
{
    __m256d p, error;
    exactProducts(xHi, yHi, p, error);
    const __m256d sum = _mm256_add_pd(error, _mm256_add_pd(_mm256_mul_pd(xHi, yLo), _mm256_mul_pd(xLo, yHi)));
    hi = _mm256_add_pd(p, sum);
    lo = _mm256_sub_pd(sum, _mm256_sub_pd(hi, p));
}

// Lanes whose hi is certainly the double pow returns (see OddPowers.h): normal,
// not a power of two, |lo| at most 0.44 units in the last place of hi.
__attribute__((target("avx2"))) inline int settledLanes(__m256d hi, __m256d lo)
{
    const __m256i bits = _mm256_castpd_si256(hi);
    const __m256i exponent = _mm256_and_si256(_mm256_srli_epi64(bits, 52), _mm256_set1_epi64x(0x7ff));
    const __m256i mantissa = _mm256_and_si256(bits, _mm256_set1_epi64x((std::int64_t(1) << 52) - 1));
    const __m256i normal = _mm256_andnot_si256(
        _mm256_cmpgt_epi64(exponent, _mm256_set1_epi64x(0x7fd)),
        _mm256_cmpgt_epi64(exponent, _mm256_set1_epi64x(53)));
    const __m256i fraction = _mm256_xor_si256(_mm256_cmpeq_epi64(mantissa, _mm256_setzero_si256()),
                                              _mm256_set1_epi64x(-1));
    // The spacing of doubles at hi; meaningless where hi is not normal, and
    // then not used.
    const __m256d unit =
        _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_sub_epi64(exponent, _mm256_set1_epi64x(52)), 52));
    const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), lo);
    const __m256d close = _mm256_cmp_pd(magnitude, _mm256_mul_pd(_mm256_set1_pd(0.44), unit), _CMP_LE_OQ);
    const __m256i settled = _mm256_and_si256(_mm256_and_si256(normal, fraction), _mm256_castpd_si256(close));
    return _mm256_movemask_pd(_mm256_castsi256_pd(settled));
}

// The lens radius fisheye_radial_f(theta, lens) of n lens pixels (a multiple of
// 4; other pixels get 0): the odd powers from exact products where they are
// certainly pow's, pow itself elsewhere, then the polynomial in its order.
__attribute__((target("avx2"))) void lensRadii(int n, const double* theta, const Kind* kind, const float* lens,
                                              double* d)
{
    const __m256d k0 = _mm256_set1_pd(static_cast<double>(lens[0]));
    const __m256d k1 = _mm256_set1_pd(static_cast<double>(lens[1]));
    const __m256d k2 = _mm256_set1_pd(static_cast<double>(lens[2]));
    const __m256d k3 = _mm256_set1_pd(static_cast<double>(lens[3]));
    const __m256d zero = _mm256_setzero_pd();
    for (int k = 0; k < n; k += 4) {
        const __m256d t = _mm256_loadu_pd(theta + k);
        __m256d squareHi, squareLo, cubeHi, cubeLo, fifthHi, fifthLo, seventhHi, seventhLo;
        exactProducts(t, t, squareHi, squareLo);
        products(squareHi, squareLo, t, zero, cubeHi, cubeLo);
        products(cubeHi, cubeLo, squareHi, squareLo, fifthHi, fifthLo);
        products(fifthHi, fifthLo, squareHi, squareLo, seventhHi, seventhLo);
        // Far from under- and overflow every partial product is exact.
        const __m256d magnitude = _mm256_andnot_pd(_mm256_set1_pd(-0.0), t);
        const int inRange = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(magnitude, _mm256_set1_pd(1e-40), _CMP_GT_OQ),
                                                             _mm256_cmp_pd(magnitude, _mm256_set1_pd(1e40), _CMP_LT_OQ)));
        const int settled[3] = {settledLanes(cubeHi, cubeLo) & inRange, settledLanes(fifthHi, fifthLo) & inRange,
                                settledLanes(seventhHi, seventhLo) & inRange};
        alignas(32) double powers[3][4];
        _mm256_store_pd(powers[0], cubeHi);
        _mm256_store_pd(powers[1], fifthHi);
        _mm256_store_pd(powers[2], seventhHi);
        for (int j = 0; j < 4; ++j) {
            if (kind[k + j] != kLens)
                continue;
            for (int e = 0; e < 3; ++e) {
                if (!(settled[e] & (1 << j)))
                    powers[e][j] = std::pow(theta[k + j], 2.0 * e + 3.0);
            }
        }
        __m256d s = _mm256_add_pd(t, _mm256_mul_pd(k1, _mm256_load_pd(powers[0])));
        s = _mm256_add_pd(s, _mm256_mul_pd(k2, _mm256_load_pd(powers[1])));
        s = _mm256_add_pd(s, _mm256_mul_pd(k3, _mm256_load_pd(powers[2])));
        _mm256_storeu_pd(d + k, _mm256_mul_pd(s, k0));
    }
}

bool hasVectorPath()
{
    // The odd powers' exact products need fused multiply-add, as the scalar
    // mapping's do: without it the scalar mapping calls pow throughout.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0 && oddPowersDetail::kFusedMultiplyAdd;
}

#endif

} // namespace

DepthAlignedMapper::DepthAlignedMapper(const CameraIntrinsics& intrinsics, const cv::Matx<float, 4, 4>& extrinsic,
                                       const cv::Mat& inverseDepth, int validRows, float maxAngle)
    : scalar(intrinsics, extrinsic, inverseDepth, validRows, maxAngle), transform(intrinsics.tmBToC * extrinsic),
      lens(intrinsics.lensCoeffs), centre(intrinsics.centre(0), intrinsics.centre(1)),
      cosMaxAngle(std::cos(maxAngle)), inverseDepth(inverseDepth), validRows(validRows),
      rowColToUnitVec(inverseDepth.rows, inverseDepth.cols)
{
}

bool DepthAlignedMapper::vectorised()
{
#ifdef QUADSTITCH_VECTOR_MAPPER
    static const bool available = hasVectorPath();
    return available;
#else
    return false;
#endif
}

void DepthAlignedMapper::setRow(int row)
{
    scalar.setRow(row);
    rowColToUnitVec.setRow(row);
    const bool mapped = row >= 0 && row < validRows && row < inverseDepth.rows;
    depthRow = mapped ? inverseDepth.ptr<float>(row) : nullptr;
}

void DepthAlignedMapper::getRowCoords(int first, int count, float* out) const
{
#ifdef QUADSTITCH_VECTOR_MAPPER
    if (!vectorised() || depthRow == nullptr || first < 0 || first + count > inverseDepth.cols) {
        scalar.getRowCoords(first, count, out);
        return;
    }
    float direction0[kRun], direction1[kRun], u0[kRun], u1[kRun], u2[kRun];
    double r[kRun], theta[kRun], d[kRun];
    Kind kind[kRun];
    const float* lensCoeffs = lens.val;
    for (int start = 0; start < count; start += kRun) {
        const int n = std::min(kRun, count - start);
        const int vectorN = n & ~3;
        float direction[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int k = 0; k < vectorN; ++k) {
            rowColToUnitVec.GetUnitVect(first + start + k, direction);
            direction0[k] = direction[0];
            direction1[k] = direction[1];
        }
        if (vectorN > 0) {
            const RunInputs inputs{direction0, direction1, direction[2], depthRow + first + start, transform.val,
                                   cosMaxAngle};
            directions(inputs, vectorN, u0, u1, u2, r, kind);
            for (int k = 0; k < vectorN; ++k)
                theta[k] = kind[k] == kLens ? std::atan2(r[k], static_cast<double>(u0[k])) : 0.0;
            lensRadii(vectorN, theta, kind, lensCoeffs, d);
            float* at = out + 2 * start;
            positions(vectorN, u1, u2, r, d, kind, centre.val, at);
            for (int k = 0; k < vectorN; ++k) {
                if (kind[k] == kScalar)
                    scalar.getCoords(first + start + k, at + 2 * k);
            }
        }
        // The run's last few pixels, fewer than four.
        if (vectorN < n)
            scalar.getRowCoords(first + start + vectorN, n - vectorN, out + 2 * (start + vectorN));
    }
#else
    scalar.getRowCoords(first, count, out);
#endif
}

} // namespace orb
