#include "StitchLib/blending/QualitySeamFinder.h"

#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/SeamOverlap.h"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orb {

namespace {

constexpr int kImagesPerRig = 4;


cv::Mat overlapMask(MaskedImage& a, MaskedImage& b)
{
    return SeamOverlap::overlap(a.contributingPixels(), b.contributingPixels());
}

// Per-pixel cost of cutting between A and B in one row, 0..255: how much
// their detail differs, and 255 wherever the two do not both contribute with
// a margin.
void pixelCostRow(const uchar* const* planesA, const uchar* const* planesB, const uchar* overlap, int cols,
                  uchar* cost)
{
    const PlaneKernels::ByteTable& masked = PlaneKernels::maskedSingle();
    const auto pixelCost = [&](int c) {
        const int o = overlap[c];
        int total = 0;
        for (int p = 0; p < 3; ++p) {
            const int a = planesA[p][c];
            const int b = planesB[p][c];
            // |A - B| equals the sum of the two saturated differences.
            int d = masked(static_cast<uchar>(a > b ? a - b : b - a), static_cast<uchar>(o));
            // d + 255 - o in one saturating step.
            d = std::min(std::max(d + 255 - o, 0), 255);
            // clamp(2d - 36): differences up to 18 are noise and cost nothing.
            const int planeCost = std::min(std::max(2 * d - 36, 0), 255);
            total = std::min(total + planeCost, 255);
        }
        cost[c] = static_cast<uchar>(total);
    };
    int done = 0;
#if CV_SIMD128
    if (PlaneKernels::keepsFullAndClearsNone(masked)) {
        // Runs where the overlap is 0 or 255, as it is for 0/255 masks.
        const cv::v_uint8x16 full = cv::v_setall_u8(255);
        const cv::v_uint8x16 none = cv::v_setzero_u8();
        const cv::v_uint8x16 noise = cv::v_setall_u8(18);
        for (; done + 16 <= cols; done += 16) {
            const cv::v_uint8x16 o = cv::v_load(overlap + done);
            if (cv::v_check_all(o == none)) {
                // Outside the overlap, most of the panorama: the highest
                // cost whatever the colours, which are then not even read.
                cv::v_store(cost + done, full);
                continue;
            }
            const cv::v_uint8x16 isFull = o == full;
            if (!cv::v_check_all(isFull | (o == none))) {
                for (int c = done; c < done + 16; ++c) pixelCost(c);
                continue;
            }
            cv::v_uint8x16 total = none;
            for (int p = 0; p < 3; ++p) {
                // Saturating 8-bit arithmetic throughout, as above.
                const cv::v_uint8x16 d =
                    (cv::v_absdiff(cv::v_load(planesA[p] + done), cv::v_load(planesB[p] + done)) & isFull) +
                    (full - o);
                const cv::v_uint8x16 excess = d - noise;
                total = total + (excess + excess);
            }
            cv::v_store(cost + done, total);
        }
    }
#endif
    for (int c = done; c < cols; ++c) {
        pixelCost(c);
    }
}

// Cost of a cut between columns x and x + 1 for the cut rows [begin, end)
// (0..H-2), columns 0..W-2, into rows 0.. of cut: the saturated sum of the two
// pixel costs, as float for the accumulation. Each row is formed from its own
// image row, so rows are independent.
void cutRows(MaskedImage& a, MaskedImage& b, const cv::Mat& overlap, int begin, int end, cv::Mat& cut)
{
    const int width = overlap.cols - 1;
    const cv::Mat* planesA[] = {&a.red(), &a.green(), &a.blue()};
    const cv::Mat* planesB[] = {&b.red(), &b.green(), &b.blue()};
    PlaneKernels::forRowBands(end - begin, PlaneKernels::bandRowsFor(overlap.cols, 12), [&](int first, int last) {
        std::vector<uchar> pixel(static_cast<std::size_t>(overlap.cols));
        for (int r = begin + first; r < begin + last; ++r) {
            const uchar* rowA[] = {planesA[0]->ptr<uchar>(r), planesA[1]->ptr<uchar>(r), planesA[2]->ptr<uchar>(r)};
            const uchar* rowB[] = {planesB[0]->ptr<uchar>(r), planesB[1]->ptr<uchar>(r), planesB[2]->ptr<uchar>(r)};
            pixelCostRow(rowA, rowB, overlap.ptr<uchar>(r), overlap.cols, pixel.data());
            float* out = cut.ptr<float>(r - begin);
            int x = 0;
#if CV_SIMD128
            for (; x + 16 <= width; x += 16) {
                // Saturating 8-bit sum, then widened exactly to float.
                const cv::v_uint8x16 sum = cv::v_load(pixel.data() + x) + cv::v_load(pixel.data() + x + 1);
                cv::v_uint16x8 low, high;
                cv::v_expand(sum, low, high);
                cv::v_uint32x4 q0, q1, q2, q3;
                cv::v_expand(low, q0, q1);
                cv::v_expand(high, q2, q3);
                cv::v_store(out + x, cv::v_cvt_f32(cv::v_reinterpret_as_s32(q0)));
                cv::v_store(out + x + 4, cv::v_cvt_f32(cv::v_reinterpret_as_s32(q1)));
                cv::v_store(out + x + 8, cv::v_cvt_f32(cv::v_reinterpret_as_s32(q2)));
                cv::v_store(out + x + 12, cv::v_cvt_f32(cv::v_reinterpret_as_s32(q3)));
            }
#endif
            for (; x < width; ++x) {
                out[x] = static_cast<float>(std::min(pixel[x] + pixel[x + 1], 255));
            }
        }
    });
}

// Adds to each cell of row the cheapest of the up to three cells above it:
// the cheapest total cost of a seam from the top row, stepping at most one
// column per row. Needs at least two columns.
inline void accumulateRow(const float* above, float* row, int columns)
{
    const int last = columns - 1;
    row[0] += std::min(above[0], above[1]);
    int x = 1;
#if CV_SIMD128
    // Costs are sums of non-negative whole numbers, never NaN or -0, so the
    // order of the minimum's operands does not show in any bit.
    for (; x + 4 <= last; x += 4) {
        const cv::v_float32x4 cheapest =
            cv::v_min(cv::v_min(cv::v_load(above + x - 1), cv::v_load(above + x)), cv::v_load(above + x + 1));
        cv::v_store(row + x, cv::v_load(row + x) + cheapest);
    }
#endif
    for (; x < last; ++x) {
        row[x] += std::min(std::min(above[x - 1], above[x]), above[x + 1]);
    }
    row[last] += std::min(above[last], above[last - 1]);
}

// The accumulated seam costs of a pair, kept a block of rows at a time: the
// walk up needs every row, but a whole float matrix of the panorama's size
// is the largest buffer of the seam search. Only the row above each block is
// stored; the walk recomputes a block's rows from it, with the same bits.
class BlockedSeamCosts {
public:
    static constexpr int kBlockRows = 64;

    BlockedSeamCosts(MaskedImage& a, MaskedImage& b)
        : a(a), b(b), overlap(overlapMask(a, b)), rows(overlap.rows - 1), columns(overlap.cols - 1),
          blocks((rows + kBlockRows - 1) / kBlockRows), entries(blocks, columns, CV_32F),
          block(kBlockRows, columns, CV_32F)
    {
        // Forward, top to bottom, remembering the row above each block. The
        // last block stays computed for the start of the walk.
        for (int k = 0; k < blocks; ++k) {
            compute(k);
            if (k + 1 < blocks) {
                const float* last = block.ptr<float>(blockEnd(k) - blockBegin(k) - 1);
                std::copy(last, last + columns, entries.ptr<float>(k + 1));
            }
        }
        current = blocks - 1;
    }

    int costRows() const { return rows; }
    int costColumns() const { return columns; }

    // Row r of the accumulated costs; rows are asked for from the bottom up.
    const float* row(int r)
    {
        const int k = r / kBlockRows;
        if (r == blockBegin(current) - 1) {
            return entries.ptr<float>(current);
        }
        if (k != current) {
            compute(k);
            current = k;
        }
        return block.ptr<float>(r - blockBegin(k));
    }

private:
    int blockBegin(int k) const { return k * kBlockRows; }
    int blockEnd(int k) const { return std::min(rows, (k + 1) * kBlockRows); }

    void compute(int k)
    {
        const int begin = blockBegin(k);
        const int end = blockEnd(k);
        cutRows(a, b, overlap, begin, end, block);
        const float* above = k > 0 ? entries.ptr<float>(k) : nullptr;
        for (int r = begin; r < end; ++r) {
            float* cells = block.ptr<float>(r - begin);
            if (above != nullptr) {
                accumulateRow(above, cells, columns);
            }
            above = cells;
        }
    }

    MaskedImage& a;
    MaskedImage& b;
    const cv::Mat overlap; // as it was before any mask is split
    const int rows;
    const int columns;
    const int blocks;
    cv::Mat entries; // row k: the accumulated row above block k
    cv::Mat block;
    int current = 0;
};

// Leftmost cheapest column of the bottom row; the last column is no candidate.
int seamStart(const float* bottom, int columns)
{
    int start = 0;
    for (int x = 1; x < columns - 1; ++x) {
        if (bottom[x] < bottom[start]) {
            start = x;
        }
    }
    return start;
}

// Clears cleared[x] for x in [begin, end) where both it and kept[x] are 255.
inline void clearWhereBoth(const unsigned char* kept, unsigned char* cleared, int begin, int end)
{
    int x = begin;
#if CV_SIMD128
    const cv::v_uint8x16 full = cv::v_setall_u8(255);
    for (; x + 16 <= end; x += 16) {
        const cv::v_uint8x16 value = cv::v_load(cleared + x);
        const cv::v_uint8x16 both = (cv::v_load(kept + x) == full) & (value == full);
        if (cv::v_check_any(both)) {
            cv::v_store(cleared + x, value & ~both);
        }
    }
#endif
    for (; x < end; ++x) {
        if (kept[x] == 255 && cleared[x] == 255) {
            cleared[x] = 0;
        }
    }
}

// Where both contribute in columns 0..lastColumn, A keeps x <= seam, B the rest.
inline void splitRow(unsigned char* a, unsigned char* b, int seam, int lastColumn)
{
    // Writes only what changes: untouched pages of a mask take no memory.
    const int leftEnd = std::min(seam, lastColumn);
    clearWhereBoth(a, b, 0, leftEnd + 1);
    clearWhereBoth(b, a, leftEnd + 1, lastColumn + 1);
}

// Column of the seam one row up. Each neighbour is compared with the cell
// straight above only, so ties keep the seam vertical.
inline int stepUp(const float* above, int seam, int lastColumn)
{
    int next = seam;
    if (seam > 0 && above[seam] > above[seam - 1]) {
        next = seam - 1;
    }
    if (seam < lastColumn && above[seam] > above[seam + 1]) {
        next = seam + 1;
    }
    return next;
}

} // namespace

void QualitySeamFinder::findSeam(MaskedImageSet set)
{
    if (set.numImages() != kImagesPerRig) {
        throw std::runtime_error("QualitySeamFinder findSeam() requires four images");
    }
    for (int i = 0; i < kImagesPerRig; ++i) {
        simplifyMask(set.image(i).contributingPixels());
    }
    {
        // The filtered images carry the very mask buffers of the set, so the
        // pairs narrow the caller's masks. Each is made when a pair needs it
        // and dropped after the pair, unless the next pair needs it too: at
        // most two sets of filtered planes are alive at once, at the price of
        // filtering image 0 again for the last pair (filtering reads only
        // colour, which the seams do not change).
        MaskedImage filtered[kImagesPerRig];
        // The three filtered planes a pair frees are those the next image's
        // filtering allocates when it filters whole planes: kept and reused
        // rather than returned to the system and faulted in again.
        const PlaneKernels::KeepMorePlanes reuse(3 * set.image(0).red().total());
        const auto bands = [&](int k) -> MaskedImage& {
            if (filtered[k].validPixels().empty()) {
                // A pair's costs read an image's detail only where both
                // images contribute, and the pairs only ever narrow the
                // contributions.
                filtered[k] = set.image(k).bandPassFilterWhere(set.image(k).contributingPixels());
            }
            return filtered[k];
        };
        for (int j = 0; j < kImagesPerRig; ++j) {
            const int next = (j + 1) % kImagesPerRig;
            findSeamPair(bands(j), bands(next));
            filtered[j].release();
        }
    }
    // Settles what the seams leave open: the last row and columns, and valid
    // pixels that no part contributes any more.
    set.fixMaskOverlaps(false);
}

void QualitySeamFinder::findSeamPair(MaskedImage a, MaskedImage b)
{
    // Too small to hold a seam (the walk needs two cut rows and columns).
    if (a.rows() < 2 || a.cols() < 3) {
        return;
    }
    for (MaskedImage* image : {&a, &b}) {
        for (const cv::Mat* plane : {&image->red(), &image->green(), &image->blue()}) {
            CV_Assert(plane->type() == CV_8UC1 && plane->size() == a.contributingPixels().size());
        }
    }
    BlockedSeamCosts cost(a, b);

    cv::Mat& maskA = a.contributingPixels();
    cv::Mat& maskB = b.contributingPixels();
    const int lastSplitColumn = maskA.cols - 3;
    const int lastCostColumn = cost.costColumns() - 1;

    int seam = seamStart(cost.row(cost.costRows() - 1), cost.costColumns());
    for (int r = cost.costRows() - 1; r >= 0; --r) {
        splitRow(maskA.ptr<unsigned char>(r), maskB.ptr<unsigned char>(r), seam, lastSplitColumn);
        if (r > 0) {
            seam = stepUp(cost.row(r - 1), seam, lastCostColumn);
        }
    }
}

} // namespace orb
