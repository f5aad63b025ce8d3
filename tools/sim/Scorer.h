#pragma once

#include <opencv2/core.hpp>

#include <array>
#include <string>
#include <vector>

namespace orb {
namespace sim {

// How well a stitched panorama matches the true one, compared at a reduced size.
// "Near" pixels are those whose true inverse distance exceeds 0.5 (closer than 2 m);
// the others are "far".
// PSNR is over covered pixels only, in dB for 8-bit values: infinite for an exact
// match, NaN when no pixel counts.
struct RegionScore {
    double psnr = 0.0;
    double psnrFar = 0.0;
    double coverage = 0.0;
    long long pixels = 0;
    long long covered = 0;
};

// A band of elevations, lowDeg <= elevation < highDeg (of the reduced row centres).
struct BandScore : RegionScore {
    int lowDeg = 0;
    int highDeg = 0;
};

struct Score {
    double coverage = 0.0;
    double psnr = 0.0;
    double psnrNear = 0.0;
    double psnrFar = 0.0;
    long long pixels = 0;
    long long covered = 0;
    long long near = 0;
    long long nearCovered = 0;
    // The panorama's 90 degree sectors centred on azimuth 0, 90, 180 and -90 degrees
    // (forward, right, back, left).
    std::vector<RegionScore> sectors;
    // Ten degree bands from +90 down to -90, then the bands -30..30 and -70..-40.
    std::vector<BandScore> bands;
};

// Sector names in Score::sectors order.
extern const char* const kSectorNames[4];

// Which pixels a panorama covers (8-bit, 255 or 0): for four channels where alpha is
// above zero, for three channels where the pixel is not pure black.
cv::Mat coverageMask(const cv::Mat& panorama);

// Resizes panorama, coverage, truth and its inverse depth to reducedRows by
// 2 reducedRows with area averaging (never enlarging: the rows are capped at the
// smaller input's height) and compares them. A reduced pixel counts as covered only
// if every panorama pixel under it is covered. All inputs must be twice as wide as
// high. Throws std::runtime_error on unusable inputs.
Score scorePanorama(const cv::Mat& panorama, const cv::Mat& truth, const cv::Mat& truthInverseDepth,
                    int reducedRows = 500);

// One "key value" pair per line, stable names and order.
std::string formatScore(const Score& score);

// The sectors and bands, "key value" per line: sector_<name>_{psnr,psnr_far,coverage},
// band_<low>_<high>_{psnr,psnr_far,coverage}.
std::string formatScoreDetail(const Score& score);

// How far two panoramas of one size are apart after area reduction by factor (the
// reduced size rounded down, at least 1 x 1): the largest colour difference in levels
// over reduced pixels both cover fully, and whether their coverage masks (alpha, or
// not black for three channels) are identical at full size.
struct Comparison {
    double maxDifference = 0.0;
    long long coverageDiffering = 0;
    long long compared = 0;
};
Comparison comparePanoramas(const cv::Mat& a, const cv::Mat& b, int factor);

// Near pixels (as in Score) of a panorama against those of another panorama of the
// same frame (e.g. best quality against seed quality), reduced as scorePanorama does,
// each first brought to the truth's overall level by one gain per colour (the median
// ratio of truth to panorama over the pixels both cover; the absolute exposure is
// unknown to a stitch, so it is not held against either). A pixel counts where the other panorama covers it fully. Per pixel the error is the
// mean absolute difference from the truth over the three colours; a pixel is worse
// when its error exceeds the other's by more than `tolerance` levels, or when this
// panorama does not cover it fully (a hole is worse than any colour). The strict count
// takes any excess at all, down to float rounding of the averages. Better is the
// mirror image (the other's error larger by more than the tolerance).
struct NearVersus {
    double tolerance = 0.0;
    long long compared = 0;     // near pixels the other panorama covers fully
    long long worse = 0;        // worse beyond the tolerance, holes included
    long long worseStrict = 0;  // worse at all, holes included
    long long uncovered = 0;    // holes: covered fully by the other only
    long long better = 0;       // better beyond the tolerance
    // The same per kind of near surface, told from the truth's depth: the room's
    // ceiling and floor (on their planes), the objects' surfaces, and the objects'
    // outlines (within two pixels of a depth jump of more than 15 %).
    enum Kind { kCeiling, kFloor, kObjects, kOutlines, kKinds };
    static const char* kindName(int kind);
    std::array<long long, kKinds> comparedOf{};
    std::array<long long, kKinds> worseOf{};
    // The same by how many cameras see the pixel's true surface (none, one, two or
    // more; the fewest under the reduced pixel), when that is known. Where fewer than
    // two see it no stitch can measure its distance, and where none does any content
    // is made up.
    bool sightKnown = false;
    std::array<long long, 3> comparedBySight{};
    std::array<long long, 3> worseBySight{};
    // The gains per colour (B, G, R) that brought each panorama to the truth's level.
    cv::Vec3d level{1.0, 1.0, 1.0};
    cv::Vec3d otherLevel{1.0, 1.0, 1.0};
    // All content, near and far, in 10 x 10 degree tiles (18 x 36): PSNR of each
    // panorama against the truth over the tile's pixels both cover fully (at their
    // levels above). A tile counts when at least half of it is compared; it is worse
    // when its PSNR is more than kTileMarginDb below the other's. Local failures (a
    // tear, a melted pattern) show here while the whole panorama's PSNR barely moves.
    long long tilesCompared = 0;
    long long tilesWorse = 0;
    double worstTileDb = 0.0;  // the largest shortfall of a tile (dB, 0 when none)
    double tileShare() const
    {
        return tilesCompared ? static_cast<double>(tilesWorse) / static_cast<double>(tilesCompared) : 0.0;
    }
    double share(long long n) const { return compared ? static_cast<double>(n) / static_cast<double>(compared) : 0.0; }
};
// The near pixels' default tolerance, in levels: the sensor noise sigma of the noise
// scenario. Smaller differences are within what two good stitches of one scene show
// (which camera's resampling a pixel comes from, 8-bit rounding), see bench/quality.sh.
constexpr double kNearTolerance = 3.0;
// How many dB below the other panorama a tile may score before it counts as worse.
constexpr double kTileMarginDb = 1.0;
// When `picture` is given, it receives a reduced-size BGR picture of the comparison:
// the truth in dim grey, near pixels worse beyond the tolerance in red (brighter for
// larger excess, full red from 32 levels), holes in magenta, better ones in green.
// `truthSeen`, when not empty, holds per truth pixel how many cameras see it (8-bit,
// the truth's size) and fills the counts by sight.
NearVersus compareNear(const cv::Mat& panorama, const cv::Mat& other, const cv::Mat& truth,
                       const cv::Mat& truthInverseDepth, int reducedRows = 500, double tolerance = kNearTolerance,
                       cv::Mat* picture = nullptr, const cv::Mat& truthSeen = cv::Mat());
std::string formatComparison(const Comparison& comparison);
std::string formatNearVersus(const NearVersus& versus);

} // namespace sim
} // namespace orb
