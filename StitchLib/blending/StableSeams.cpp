#include "StitchLib/blending/StableSeams.h"

#include "StitchLib/blending/QualitySeamFinder.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orb {

namespace {

constexpr int kImagesPerRig = 4;
// Enough for any window a take would use; the held-frame counts fit a byte.
constexpr int kLongestWindow = 63;
// A row without a seam of the pair (a seam of -1 is one where B takes all of a band
// that starts at column 0).
constexpr int kNoSeam = -2;

// Columns of row r where both parts hold data, when they form one run (near the
// poles a row can hold several, and a seam between them means nothing).
SharedRun sharedBand(MaskedImage& a, MaskedImage& b, int r)
{
    return sharedRun(a.validPixels().ptr<unsigned char>(r), b.validPixels().ptr<unsigned char>(r), a.cols());
}

// The last column A contributes in the band, when A holds a prefix of it and B the
// rest, each column exactly one of the two; kNoSeam otherwise (a third part or a gap).
int splitColumn(const unsigned char* ca, const unsigned char* cb, const SharedRun& band)
{
    int seam = band.first - 1;
    for (int c = band.first; c <= band.last; ++c) {
        const bool a = ca[c] != 0;
        if (a == (cb[c] != 0))
            return kNoSeam;
        if (a) {
            if (seam != c - 1)
                return kNoSeam;
            seam = c;
        }
    }
    return seam;
}

} // namespace

SharedRun sharedRun(const unsigned char* va, const unsigned char* vb, int cols)
{
    // Every row of every pair is scanned each frame: sixteen columns at a time, each
    // group giving a bit per column held by both, whose ends and count make the run.
    SharedRun run;
    int count = 0;
    int c = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    for (; c + 16 <= cols; c += 16) {
        const __m128i ea = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(va + c)), zero);
        const __m128i eb = _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(vb + c)), zero);
        const unsigned both = ~static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(ea, eb))) & 0xFFFFu;
        if (!both)
            continue;
        if (run.first < 0)
            run.first = c + __builtin_ctz(both);
        run.last = c + 31 - __builtin_clz(both);
        count += __builtin_popcount(both);
    }
#endif
    for (; c < cols; ++c) {
        if (va[c] && vb[c]) {
            if (run.first < 0)
                run.first = c;
            run.last = c;
            ++count;
        }
    }
    if (count != run.last - run.first + 1)
        return SharedRun();
    return run;
}

StableSeamFinder::StableSeamFinder(int window) : windowFrames(window)
{
    if (window < 1 || window > kLongestWindow)
        throw std::runtime_error("StableSeamFinder needs a window of 1 to " + std::to_string(kLongestWindow) +
                                 " frames");
}

void StableSeamFinder::setHeldFrames(const cv::Mat& map)
{
    if (!map.empty() && (map.type() != CV_8UC1 || map.cols != 2 * map.rows))
        throw std::runtime_error("StableSeamFinder setHeldFrames() needs an 8-bit map twice as wide as high");
    heldMap = map;
}

void StableSeamFinder::reset()
{
    fresh.clear();
    seamsSize = cv::Size();
    heldMap.release();
    held = 0;
}

void StableSeamFinder::findSeamPair(MaskedImage a, MaskedImage b)
{
    QualitySeamFinder finder;
    finder.findSeamPair(a, b);
}

void StableSeamFinder::findSeam(MaskedImageSet set)
{
    if (set.numImages() != kImagesPerRig)
        throw std::runtime_error("StableSeamFinder findSeam() requires four images");
    {
        QualitySeamFinder finder;
        finder.findSeam(set);
    }
    const int rows = set.rows();
    const int cols = set.cols();
    const int topStrip = rows / 100;

    // This frame's own seams, remembered before any is held.
    Seams current(kImagesPerRig, std::vector<int>(static_cast<std::size_t>(rows), kNoSeam));
    std::vector<std::vector<SharedRun>> bands(kImagesPerRig, std::vector<SharedRun>(static_cast<std::size_t>(rows)));
    // Pairs side by side: this only reads the masks.
    cv::parallel_for_(cv::Range(0, kImagesPerRig), [&](const cv::Range& pairs) {
        for (int j = pairs.start; j < pairs.end; ++j) {
            MaskedImage& a = set.image(j);
            MaskedImage& b = set.image((j + 1) % kImagesPerRig);
            for (int r = topStrip; r < rows; ++r) {
                const SharedRun band = sharedBand(a, b, r);
                if (band.first < 0)
                    continue;
                const int seam = splitColumn(a.contributingPixels().ptr<unsigned char>(r),
                                             b.contributingPixels().ptr<unsigned char>(r), band);
                if (seam == kNoSeam)
                    continue;
                bands[j][r] = band;
                current[j][r] = seam;
            }
        }
    });
    if (seamsSize != cv::Size(cols, rows))
        fresh.clear();
    seamsSize = cv::Size(cols, rows);
    fresh.push_back(current);
    while (static_cast<int>(fresh.size()) > windowFrames)
        fresh.pop_front();

    held = 0;
    if (heldMap.empty() || fresh.size() < 2)
        return;
    // The fewest frames the view stayed the same over, anywhere in row r between
    // columns x0 and x1 (inclusive, in any order).
    const auto heldBetween = [&](int r, int x0, int x1) {
        const int mr = std::min(heldMap.rows - 1, r * heldMap.rows / rows);
        const int c0 = std::max(0, std::min(x0, x1)) * heldMap.cols / cols;
        const int c1 = std::min(cols - 1, std::max(x0, x1)) * heldMap.cols / cols;
        const unsigned char* m = heldMap.ptr<unsigned char>(mr);
        int fewest = 255;
        for (int c = c0; c <= std::min(c1, heldMap.cols - 1); ++c)
            fewest = std::min(fewest, static_cast<int>(m[c]));
        return fewest;
    };
    const int newest = static_cast<int>(fresh.size()) - 1;
    // An odd count, so that the median is one of the frames' seams.
    const int votes = windowFrames % 2 == 0 ? windowFrames + 1 : windowFrames;
    std::vector<int> values;
    for (int j = 0; j < kImagesPerRig; ++j) {
        MaskedImage& a = set.image(j);
        MaskedImage& b = set.image((j + 1) % kImagesPerRig);
        for (int r = topStrip; r < rows; ++r) {
            const int seam = current[j][r];
            if (seam == kNoSeam)
                continue;
            const SharedRun& band = bands[j][r];
            // Frames with a seam in this row, back from this one, over which the view
            // at the fresh seam stayed the same.
            int n = std::min(newest + 1, heldBetween(r, seam, seam));
            for (int back = 1; back < n; ++back) {
                if (fresh[static_cast<std::size_t>(newest - back)][static_cast<std::size_t>(j)]
                         [static_cast<std::size_t>(r)] == kNoSeam) {
                    n = back;
                    break;
                }
            }
            int chosen = seam;
            // The median over the window, where the oldest of the n frames also
            // stands in for the frames before it (as for the depth): while the view's
            // history builds up after a start or a change, a seam that flips every
            // other frame stays where the first frame put it. The view must have
            // stayed the same between the fresh and the median seam over all n
            // frames, else fewer frames are asked.
            while (n >= 2) {
                values.clear();
                for (int back = 0; back < n; ++back)
                    values.push_back(
                        fresh[static_cast<std::size_t>(newest - back)][static_cast<std::size_t>(j)][static_cast<std::size_t>(r)]);
                values.resize(static_cast<std::size_t>(votes), values.back());
                std::nth_element(values.begin(), values.begin() + votes / 2, values.end());
                const int median = std::max(band.first - 1, std::min(band.last, values[static_cast<std::size_t>(votes / 2)]));
                const int same = heldBetween(r, seam, median);
                if (same >= n) {
                    chosen = median;
                    break;
                }
                n = std::min(n - 1, same);
            }
            if (chosen == seam)
                continue;
            unsigned char* ca = a.contributingPixels().ptr<unsigned char>(r);
            unsigned char* cb = b.contributingPixels().ptr<unsigned char>(r);
            for (int c = band.first; c <= band.last; ++c) {
                const bool left = c <= chosen;
                ca[c] = left ? 255 : 0;
                cb[c] = left ? 0 : 255;
            }
            ++held;
        }
    }
}

} // namespace orb
