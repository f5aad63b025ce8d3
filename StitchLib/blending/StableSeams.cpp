#include "StitchLib/blending/StableSeams.h"

#include "StitchLib/blending/QualitySeamFinder.h"

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace orb {

namespace {

constexpr int kImagesPerRig = 4;

struct Band {
    int first = -1;
    int last = -1;
};

// Columns of row r where both parts hold data.
Band sharedBand(MaskedImage& a, MaskedImage& b, int r)
{
    const unsigned char* va = a.validPixels().ptr<unsigned char>(r);
    const unsigned char* vb = b.validPixels().ptr<unsigned char>(r);
    Band band;
    for (int c = 0; c < a.cols(); ++c) {
        if (va[c] && vb[c]) {
            if (band.first < 0)
                band.first = c;
            band.last = c;
        }
    }
    return band;
}

} // namespace

void StableSeamFinder::setUnchanged(const cv::Mat& mask)
{
    if (!mask.empty() && (mask.type() != CV_8UC1 || mask.cols != 2 * mask.rows))
        throw std::runtime_error("StableSeamFinder setUnchanged() needs an 8-bit mask twice as wide as high");
    unchanged = mask;
}

void StableSeamFinder::reset()
{
    previous.clear();
    previousSize = cv::Size();
    unchanged.release();
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
    const bool comparable = previousSize == cv::Size(cols, rows) && !unchanged.empty() &&
                            previous.size() == static_cast<std::size_t>(kImagesPerRig);
    const auto isUnchanged = [&](int r, int c) {
        const int mr = std::min(unchanged.rows - 1, r * unchanged.rows / rows);
        const int mc = std::min(unchanged.cols - 1, c * unchanged.cols / cols);
        return unchanged.at<unsigned char>(mr, mc) != 0;
    };

    std::vector<std::vector<int>> current(kImagesPerRig, std::vector<int>(static_cast<std::size_t>(rows), -1));
    held = 0;
    for (int j = 0; j < kImagesPerRig; ++j) {
        MaskedImage& a = set.image(j);
        MaskedImage& b = set.image((j + 1) % kImagesPerRig);
        for (int r = topStrip; r < rows; ++r) {
            const Band band = sharedBand(a, b, r);
            if (band.first < 0)
                continue;
            unsigned char* ca = a.contributingPixels().ptr<unsigned char>(r);
            unsigned char* cb = b.contributingPixels().ptr<unsigned char>(r);
            int owned = 0;
            for (int c = band.first; c <= band.last; ++c)
                owned += ca[c] != 0;
            int seam = band.first - 1 + owned;
            const int before = comparable ? previous[static_cast<std::size_t>(j)][static_cast<std::size_t>(r)] : -1;
            if (before >= band.first - 1 && before <= band.last && before != seam &&
                isUnchanged(r, std::max(seam, band.first)) && isUnchanged(r, std::max(before, band.first))) {
                for (int c = band.first; c <= band.last; ++c) {
                    // Only pixels the two share change hands.
                    if (!ca[c] && !cb[c])
                        continue;
                    const bool left = c <= before;
                    ca[c] = left ? 255 : 0;
                    cb[c] = left ? 0 : 255;
                }
                seam = before;
                ++held;
            }
            current[static_cast<std::size_t>(j)][static_cast<std::size_t>(r)] = seam;
        }
    }
    previous = std::move(current);
    previousSize = cv::Size(cols, rows);
}

} // namespace orb
