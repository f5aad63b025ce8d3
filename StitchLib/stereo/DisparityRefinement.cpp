#include "StitchLib/stereo/DisparityRefinement.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace orb {
namespace Stereo {

namespace {

constexpr int kHalf = 2;
constexpr int kSide = 2 * kHalf + 1;
constexpr int kWindow = kSide * kSide;
constexpr int kIterations = 4;
// Least gradient energy of a window worth refining: 2 levels per pixel throughout.
constexpr float kMinTexture = kWindow * 4.0f;

// The views in float, the second one's horizontal gradient, and per pixel the
// largest and smallest disparity of its window, a missing one counting as both
// (disparities are sixteenths, so d - d0 <= 1 and d <= d0 + 1 agree exactly).
struct Inputs {
    cv::Mat a, b, gradient;
    cv::Mat_<float> highest, lowest;

    Inputs(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat_<float>& disparity)
    {
        if (viewA.type() != CV_8UC1 || viewB.type() != CV_8UC1 || viewA.size() != disparity.size() ||
            viewB.size() != disparity.size())
            throw std::runtime_error("Stereo refineDisparity() needs two grey views of the disparity's size");
        viewA.convertTo(a, CV_32F);
        viewB.convertTo(b, CV_32F);
        cv::Sobel(b, gradient, CV_32F, 1, 0, 1, 0.5);
        const cv::Mat window = cv::Mat::ones(kSide, kSide, CV_8U);
        cv::Mat_<float> high = disparity.clone(), low = disparity.clone();
        cv::patchNaNs(high, std::numeric_limits<float>::infinity());
        cv::patchNaNs(low, -std::numeric_limits<float>::infinity());
        cv::dilate(high, highest, window);
        cv::erode(low, lowest, window);
    }

    // Whether the window at (x, y) is refined at all.
    bool refines(int y, int x, float d0) const
    {
        return !std::isnan(d0) && highest(y, x) <= d0 + 1.0f && lowest(y, x) >= d0 - 1.0f;
    }
};

// One window: the steps in the order every other form must keep.
float refineOne(const Inputs& in, int y, int x, float d0)
{
    const int cols = in.a.cols;
    float av[kWindow], bv[kWindow], gv[kWindow];
    // The first view's window does not move: its values less their mean, once.
    float meanA = 0.0f;
    for (int j = -kHalf, n = 0; j <= kHalf; ++j) {
        const float* rowA = in.a.ptr<float>(y + j);
        for (int i = -kHalf; i <= kHalf; ++i, ++n) {
            av[n] = rowA[x + i];
            meanA += av[n];
        }
    }
    meanA /= static_cast<float>(kWindow);
    for (float& v : av)
        v -= meanA;
    float d = d0;
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        // The sample positions in the second view are the same in every row.
        int x0[kSide];
        float w[kSide];
        bool inside = true;
        for (int i = 0; i < kSide && inside; ++i) {
            const float xb = static_cast<float>(x + i - kHalf) - d;
            x0[i] = static_cast<int>(std::floor(xb));
            inside = x0[i] >= 0 && x0[i] + 1 < cols;
            w[i] = xb - static_cast<float>(x0[i]);
        }
        if (!inside)
            break;
        int n = 0;
        float meanB = 0.0f, meanG = 0.0f;
        for (int j = -kHalf; j <= kHalf; ++j) {
            const float* rowB = in.b.ptr<float>(y + j);
            const float* rowG = in.gradient.ptr<float>(y + j);
            for (int i = 0; i < kSide; ++i, ++n) {
                const float* pb = rowB + x0[i];
                const float* pg = rowG + x0[i];
                bv[n] = pb[0] + w[i] * (pb[1] - pb[0]);
                gv[n] = pg[0] + w[i] * (pg[1] - pg[0]);
                meanB += bv[n];
                meanG += gv[n];
            }
        }
        meanB /= static_cast<float>(n);
        meanG /= static_cast<float>(n);
        float eg = 0.0f, gg = 0.0f;
        for (int k = 0; k < n; ++k) {
            const float g = gv[k] - meanG;
            eg += (av[k] - (bv[k] - meanB)) * g;
            gg += g * g;
        }
        if (gg < kMinTexture)
            break;
        // A(x) = B(x - d - step) to first order: residual + step * gradient = 0.
        const float step = -eg / gg;
        d = std::clamp(d + step, d0 - 1.0f, d0 + 1.0f);
        if (std::fabs(step) < 0.01f)
            break;
    }
    return d;
}

#if defined(__SSE2__)
// Four windows of one row at once, each lane taking refineOne's operations in its
// order (a multiply, then an add: no fused step); the decisions between steps are
// taken lane by lane in scalar code. `count` lanes (1 to 4) are real.
void refineFour(const Inputs& in, int y, const int* xs, const float* d0s, int count, float* out)
{
    const int cols = in.a.cols;
    int x[4];
    float d0[4], d[4];
    bool active[4];
    for (int l = 0; l < 4; ++l) {
        // Lanes beyond `count` repeat the last window and are never read back.
        const int from = std::min(l, count - 1);
        x[l] = xs[from];
        d0[l] = d0s[from];
        d[l] = d0[l];
        active[l] = l < count;
    }
    __m128 av[kWindow];
    __m128 meanA = _mm_setzero_ps();
    for (int j = -kHalf, n = 0; j <= kHalf; ++j) {
        const float* rowA = in.a.ptr<float>(y + j);
        for (int i = -kHalf; i <= kHalf; ++i, ++n) {
            av[n] = _mm_setr_ps(rowA[x[0] + i], rowA[x[1] + i], rowA[x[2] + i], rowA[x[3] + i]);
            meanA = _mm_add_ps(meanA, av[n]);
        }
    }
    meanA = _mm_div_ps(meanA, _mm_set1_ps(static_cast<float>(kWindow)));
    for (__m128& v : av)
        v = _mm_sub_ps(v, meanA);
    for (int iteration = 0; iteration < kIterations; ++iteration) {
        int x0[kSide][4];
        alignas(16) float w[kSide][4];
        bool any = false;
        for (int l = 0; l < 4; ++l) {
            bool inside = active[l];
            for (int i = 0; i < kSide && inside; ++i) {
                const float xb = static_cast<float>(x[l] + i - kHalf) - d[l];
                x0[i][l] = static_cast<int>(std::floor(xb));
                inside = x0[i][l] >= 0 && x0[i][l] + 1 < cols;
                w[i][l] = xb - static_cast<float>(x0[i][l]);
            }
            active[l] = inside;
            any = any || inside;
        }
        if (!any)
            break;
        // Lanes that are done take the positions of one that is not (their sums are
        // not used). Where every lane's five positions follow on from its first, as
        // they nearly always do, each row's samples come from two loads per lane and
        // a transpose instead of one load per sample.
        const int lead = static_cast<int>(std::find(active, active + 4, true) - active);
        bool runs = true;
        for (int l = 0; l < 4; ++l) {
            if (!active[l])
                for (int i = 0; i < kSide; ++i) {
                    x0[i][l] = x0[i][lead];
                    w[i][l] = w[i][lead];
                }
            for (int i = 1; i < kSide; ++i)
                runs = runs && x0[i][l] == x0[0][l] + i;
            runs = runs && x0[0][l] + 8 <= cols;
        }
        __m128 bv[kWindow], gv[kWindow];
        __m128 meanB = _mm_setzero_ps(), meanG = _mm_setzero_ps();
        for (int j = -kHalf, n = 0; j <= kHalf; ++j) {
            const float* rowB = in.b.ptr<float>(y + j);
            const float* rowG = in.gradient.ptr<float>(y + j);
            __m128 bs[8], gs[8];
            if (runs)
                for (int half = 0; half < 2; ++half) {
                    __m128* b = bs + 4 * half;
                    __m128* g = gs + 4 * half;
                    for (int l = 0; l < 4; ++l) {
                        b[l] = _mm_loadu_ps(rowB + x0[0][l] + 4 * half);
                        g[l] = _mm_loadu_ps(rowG + x0[0][l] + 4 * half);
                    }
                    _MM_TRANSPOSE4_PS(b[0], b[1], b[2], b[3]);
                    _MM_TRANSPOSE4_PS(g[0], g[1], g[2], g[3]);
                }
            for (int i = 0; i < kSide; ++i, ++n) {
                const int* p = x0[i];
                const __m128 b0 = runs ? bs[i] : _mm_setr_ps(rowB[p[0]], rowB[p[1]], rowB[p[2]], rowB[p[3]]);
                const __m128 b1 =
                    runs ? bs[i + 1] : _mm_setr_ps(rowB[p[0] + 1], rowB[p[1] + 1], rowB[p[2] + 1], rowB[p[3] + 1]);
                const __m128 g0 = runs ? gs[i] : _mm_setr_ps(rowG[p[0]], rowG[p[1]], rowG[p[2]], rowG[p[3]]);
                const __m128 g1 =
                    runs ? gs[i + 1] : _mm_setr_ps(rowG[p[0] + 1], rowG[p[1] + 1], rowG[p[2] + 1], rowG[p[3] + 1]);
                const __m128 wi = _mm_load_ps(w[i]);
                bv[n] = _mm_add_ps(b0, _mm_mul_ps(wi, _mm_sub_ps(b1, b0)));
                gv[n] = _mm_add_ps(g0, _mm_mul_ps(wi, _mm_sub_ps(g1, g0)));
                meanB = _mm_add_ps(meanB, bv[n]);
                meanG = _mm_add_ps(meanG, gv[n]);
            }
        }
        const __m128 samples = _mm_set1_ps(static_cast<float>(kWindow));
        meanB = _mm_div_ps(meanB, samples);
        meanG = _mm_div_ps(meanG, samples);
        __m128 eg = _mm_setzero_ps(), gg = _mm_setzero_ps();
        for (int k = 0; k < kWindow; ++k) {
            const __m128 g = _mm_sub_ps(gv[k], meanG);
            eg = _mm_add_ps(eg, _mm_mul_ps(_mm_sub_ps(av[k], _mm_sub_ps(bv[k], meanB)), g));
            gg = _mm_add_ps(gg, _mm_mul_ps(g, g));
        }
        alignas(16) float egs[4], ggs[4];
        _mm_store_ps(egs, eg);
        _mm_store_ps(ggs, gg);
        for (int l = 0; l < 4; ++l) {
            if (!active[l])
                continue;
            if (ggs[l] < kMinTexture) {
                active[l] = false;
                continue;
            }
            const float step = -egs[l] / ggs[l];
            d[l] = std::clamp(d[l] + step, d0[l] - 1.0f, d0[l] + 1.0f);
            if (std::fabs(step) < 0.01f)
                active[l] = false;
        }
    }
    for (int l = 0; l < count; ++l)
        out[l] = d[l];
}
#endif

cv::Mat_<float> refine(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat_<float>& disparity, bool plain)
{
    const Inputs in(viewA, viewB, disparity);
    cv::Mat_<float> out = disparity.clone();
    const int rows = disparity.rows;
    const int cols = disparity.cols;
    cv::parallel_for_(cv::Range(kHalf, std::max(kHalf, rows - kHalf)), [&](const cv::Range& range) {
        std::vector<int> xs;
        std::vector<float> d0s, refined;
        for (int y = range.start; y < range.end; ++y) {
            const float* dy = disparity.ptr<float>(y);
            float* o = out.ptr<float>(y);
            xs.clear();
            d0s.clear();
            for (int x = kHalf; x < cols - kHalf; ++x) {
                if (in.refines(y, x, dy[x])) {
                    xs.push_back(x);
                    d0s.push_back(dy[x]);
                }
            }
            const int count = static_cast<int>(xs.size());
            refined.resize(xs.size());
            int k = 0;
#if defined(__SSE2__)
            if (!plain)
                for (; k < count; k += 4)
                    refineFour(in, y, &xs[static_cast<std::size_t>(k)], &d0s[static_cast<std::size_t>(k)],
                               std::min(4, count - k), &refined[static_cast<std::size_t>(k)]);
#endif
            for (; k < count; ++k)
                refined[static_cast<std::size_t>(k)] =
                    refineOne(in, y, xs[static_cast<std::size_t>(k)], d0s[static_cast<std::size_t>(k)]);
            for (int i = 0; i < count; ++i)
                o[xs[static_cast<std::size_t>(i)]] = refined[static_cast<std::size_t>(i)];
        }
    });
    return out;
}

} // namespace

cv::Mat_<float> refineDisparity(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat_<float>& disparity)
{
    return refine(viewA, viewB, disparity, false);
}

cv::Mat_<float> refineDisparityPlain(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat_<float>& disparity)
{
    return refine(viewA, viewB, disparity, true);
}

} // namespace Stereo
} // namespace orb
