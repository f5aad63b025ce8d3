#include "StitchLib/blending/QualitySeamFinder.h"

#include "StitchLib/blending/ParallelUnits.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <stdexcept>

namespace orb {

namespace {

constexpr int kImagesPerRig = 4;

// 1/255 rounded to single precision; masks are 0/255 and act as 0/1 factors.
constexpr double kInverse255 = 0.003921568859368563;

// Per-pixel cost of cutting between A and B, 0..255: how much their detail
// differs, and 255 wherever the two do not both contribute with a margin.
cv::Mat pixelCost(MaskedImage& a, MaskedImage& b)
{
    const cv::Mat* planesA[] = {&a.red(), &a.green(), &a.blue()};
    const cv::Mat* planesB[] = {&b.red(), &b.green(), &b.blue()};

    // The overlap and the three plane differences are independent, and so is
    // the cost of each plane once the overlap is known.
    cv::Mat overlap;
    cv::Mat differences[3];
    runIndependent(4, [&](int k, int) {
        if (k == 0) {
            overlap = a.contributingPixels().mul(b.contributingPixels(), kInverse255);
            // Pixels outside the image must not erode, hence the maximal border value.
            cv::erode(overlap, overlap, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(7, 7)),
                      cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
        } else {
            // |A - B| equals the sum of the two saturated differences.
            cv::absdiff(*planesA[k - 1], *planesB[k - 1], differences[k - 1]);
        }
    });
    runIndependent(3, [&](int k, int) {
        cv::Mat& difference = differences[k];
        cv::multiply(difference, overlap, difference, kInverse255);
        // One saturating step: 255 - o would be lost if d + 255 saturated first.
        cv::addWeighted(difference, 1.0, overlap, -1.0, 255.0, difference);
        // clamp(2d - 36): differences up to 18 are noise and cost nothing.
        difference.convertTo(difference, CV_8U, 2.0, -36.0);
    });
    overlap.release();

    cv::Mat cost = differences[0];
    cv::add(cost, differences[1], cost);
    cv::add(cost, differences[2], cost);
    return cost;
}

// Cost of a cut between columns x and x + 1, for rows 0..H-2 and
// columns 0..W-2, saturated at 255, as float for the accumulation.
cv::Mat cutCost(const cv::Mat& pixel)
{
    const cv::Size size(pixel.cols - 1, pixel.rows - 1);
    cv::Mat cut(size, CV_32F);
    // Saturating integer sums, converted exactly: any band of rows comes out
    // the same on its own.
    cv::parallel_for_(cv::Range(0, size.height), [&pixel, &cut, &size](const cv::Range& rows) {
        const cv::Rect band(0, rows.start, size.width, rows.size());
        cv::Mat pairSum;
        cv::add(pixel(band), pixel(band + cv::Point(1, 0)), pairSum);
        cv::Mat target = cut(band);
        pairSum.convertTo(target, CV_32F);
    });
    return cut;
}

// Turns each cell into the cheapest total cost of a seam from the top row to
// it, stepping at most one column per row. Needs at least two columns.
void accumulate(cv::Mat& cost)
{
    const int last = cost.cols - 1;
    for (int i = 1; i < cost.rows; ++i) {
        const float* above = cost.ptr<float>(i - 1);
        float* row = cost.ptr<float>(i);
        row[0] += std::min(above[0], above[1]);
        for (int x = 1; x < last; ++x) {
            row[x] += std::min(std::min(above[x - 1], above[x]), above[x + 1]);
        }
        row[last] += std::min(above[last], above[last - 1]);
    }
}

// Leftmost cheapest column of the bottom row; the last column is no candidate.
int seamStart(const cv::Mat& cost)
{
    const float* bottom = cost.ptr<float>(cost.rows - 1);
    int start = 0;
    for (int x = 1; x < cost.cols - 1; ++x) {
        if (bottom[x] < bottom[start]) {
            start = x;
        }
    }
    return start;
}

// Where both contribute in columns 0..lastColumn, A keeps x <= seam, B the rest.
inline void splitRow(unsigned char* a, unsigned char* b, int seam, int lastColumn)
{
    const int leftEnd = std::min(seam, lastColumn);
    for (int x = 0; x <= leftEnd; ++x) {
        b[x] = (a[x] == 255 && b[x] == 255) ? 0 : b[x];
    }
    for (int x = leftEnd + 1; x <= lastColumn; ++x) {
        a[x] = (a[x] == 255 && b[x] == 255) ? 0 : a[x];
    }
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
        // pairs narrow the caller's masks; the colour planes go with the scope.
        MaskedImageSet filtered = set.bandPassFilter();
        for (int j = 0; j < kImagesPerRig; ++j) {
            findSeamPair(filtered.image(j), filtered.image((j + 1) % kImagesPerRig));
        }
        for (int k = 0; k < kImagesPerRig; ++k) {
            set.image(k).contributingPixels() = filtered.image(k).contributingPixels();
        }
    }
    // Settles what the seams leave open: the last row and columns, and valid
    // pixels that no part contributes any more.
    set.fixMaskOverlaps(false);
}

void QualitySeamFinder::findSeamPair(MaskedImage a, MaskedImage b)
{
    cv::Mat cost;
    {
        const cv::Mat pixel = pixelCost(a, b);
        // Too small to hold a seam (the walk needs two cut rows and columns).
        if (pixel.rows < 2 || pixel.cols < 3) {
            return;
        }
        cost = cutCost(pixel);
    }
    accumulate(cost);

    cv::Mat& maskA = a.contributingPixels();
    cv::Mat& maskB = b.contributingPixels();
    const int lastSplitColumn = maskA.cols - 3;
    const int lastCostColumn = cost.cols - 1;

    int seam = seamStart(cost);
    for (int r = cost.rows - 1; r >= 0; --r) {
        splitRow(maskA.ptr<unsigned char>(r), maskB.ptr<unsigned char>(r), seam, lastSplitColumn);
        if (r > 0) {
            seam = stepUp(cost.ptr<float>(r - 1), seam, lastCostColumn);
        }
    }
}

} // namespace orb
