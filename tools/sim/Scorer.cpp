#include "sim/Scorer.h"

#include "sim/Scene.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <stdexcept>
#include <vector>

namespace orb {
namespace sim {

namespace {

void checkPanoramaShape(const cv::Mat& m, const char* what)
{
    if (m.empty() || m.cols != 2 * m.rows)
        throw std::runtime_error(std::string("Scorer scorePanorama() ") + what
                                 + " must be a non-empty image twice as wide as high");
}

// Area-averaged reduction in float, one plane at a time so that a 5000-row panorama
// never needs a full float copy.
cv::Mat reducePlane(const cv::Mat& plane, const cv::Size& size)
{
    cv::Mat f, out;
    plane.convertTo(f, CV_32F);
    cv::resize(f, out, size, 0, 0, cv::INTER_AREA);
    return out;
}

std::vector<cv::Mat> reduceColour(const cv::Mat& image, const cv::Size& size)
{
    std::vector<cv::Mat> planes(3);
    for (int c = 0; c < 3; ++c) {
        cv::Mat plane;
        cv::extractChannel(image, plane, c);
        planes[c] = reducePlane(plane, size);
    }
    return planes;
}

double psnrFromSum(double squaredError, long long pixels)
{
    if (pixels == 0)
        return std::numeric_limits<double>::quiet_NaN();
    const double mse = squaredError / (3.0 * static_cast<double>(pixels));
    if (mse == 0.0)
        return std::numeric_limits<double>::infinity();
    return 10.0 * std::log10(255.0 * 255.0 / mse);
}

std::string formatDouble(double v, int decimals)
{
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// Squared errors and counts of one region.
struct Accumulator {
    double all = 0.0, far = 0.0;
    long long pixels = 0, covered = 0, farCovered = 0;

    RegionScore score() const
    {
        RegionScore r;
        r.pixels = pixels;
        r.covered = covered;
        r.coverage = pixels ? static_cast<double>(covered) / static_cast<double>(pixels) : 0.0;
        r.psnr = psnrFromSum(all, covered);
        r.psnrFar = psnrFromSum(far, farCovered);
        return r;
    }
    void add(const Accumulator& o)
    {
        all += o.all;
        far += o.far;
        pixels += o.pixels;
        covered += o.covered;
        farCovered += o.farCovered;
    }
};

} // namespace

const char* const kSectorNames[4] = {"forward", "right", "back", "left"};

cv::Mat coverageMask(const cv::Mat& panorama)
{
    if (panorama.depth() != CV_8U || (panorama.channels() != 3 && panorama.channels() != 4))
        throw std::runtime_error("Scorer coverageMask() needs an 8-bit image with 3 or 4 channels");
    cv::Mat mask;
    if (panorama.channels() == 4) {
        cv::Mat alpha;
        cv::extractChannel(panorama, alpha, 3);
        cv::compare(alpha, 0, mask, cv::CMP_GT);
    } else {
        cv::Mat grey;
        cv::transform(panorama, grey, cv::Matx13f(1.0f, 1.0f, 1.0f));  // sum saturates, never wraps to 0
        cv::compare(grey, 0, mask, cv::CMP_GT);
    }
    return mask;
}

Score scorePanorama(const cv::Mat& panorama, const cv::Mat& truth, const cv::Mat& truthInverseDepth,
                    int reducedRows)
{
    checkPanoramaShape(panorama, "panorama");
    checkPanoramaShape(truth, "truth");
    if (truth.type() != CV_8UC3)
        throw std::runtime_error("Scorer scorePanorama() truth must be 8-bit BGR");
    if (truthInverseDepth.type() != CV_32FC1 || truthInverseDepth.size() != truth.size())
        throw std::runtime_error("Scorer scorePanorama() truth inverse depth must be CV_32F and truth-sized");
    if (reducedRows < 1)
        throw std::runtime_error("Scorer scorePanorama() reduced height must be positive");

    const int rows = std::min({reducedRows, panorama.rows, truth.rows});
    const cv::Size size(2 * rows, rows);

    const cv::Mat coverage = reducePlane(coverageMask(panorama), size);
    const std::vector<cv::Mat> pano = reduceColour(panorama, size);
    const std::vector<cv::Mat> ref = reduceColour(truth, size);
    cv::Mat inverseDepth;
    cv::resize(truthInverseDepth, inverseDepth, size, 0, 0, cv::INTER_AREA);

    Score score;
    double sumAll = 0.0, sumNear = 0.0, sumFar = 0.0;
    Accumulator sectors[4];
    std::vector<Accumulator> rowSums(static_cast<std::size_t>(rows));
    std::vector<int> sectorOf(static_cast<std::size_t>(size.width));
    for (int c = 0; c < size.width; ++c) {
        const double azimuth = (c + 0.5 - size.width * 0.5) * 360.0 / size.width;
        const int k = static_cast<int>(std::floor((azimuth + 45.0) / 90.0));
        sectorOf[static_cast<std::size_t>(c)] = ((k % 4) + 4) % 4;
    }
    // Area averaging of 255s can land a hair below 255 in float.
    const float full = 255.0f * (1.0f - 1e-6f);
    for (int r = 0; r < rows; ++r) {
        const float* cov = coverage.ptr<float>(r);
        const float* inv = inverseDepth.ptr<float>(r);
        const float* p[3] = {pano[0].ptr<float>(r), pano[1].ptr<float>(r), pano[2].ptr<float>(r)};
        const float* t[3] = {ref[0].ptr<float>(r), ref[1].ptr<float>(r), ref[2].ptr<float>(r)};
        Accumulator& rowSum = rowSums[static_cast<std::size_t>(r)];
        for (int c = 0; c < size.width; ++c) {
            const bool isNear = inv[c] > 0.5f;
            score.near += isNear;
            Accumulator& sector = sectors[sectorOf[static_cast<std::size_t>(c)]];
            ++sector.pixels;
            ++rowSum.pixels;
            if (!(cov[c] >= full))
                continue;
            double err = 0.0;
            for (int k = 0; k < 3; ++k) {
                const double d = static_cast<double>(p[k][c]) - t[k][c];
                err += d * d;
            }
            ++score.covered;
            sumAll += err;
            ++sector.covered;
            sector.all += err;
            ++rowSum.covered;
            rowSum.all += err;
            if (isNear) {
                ++score.nearCovered;
                sumNear += err;
            } else {
                sumFar += err;
                ++sector.farCovered;
                sector.far += err;
                ++rowSum.farCovered;
                rowSum.far += err;
            }
        }
    }
    score.pixels = static_cast<long long>(size.area());
    score.coverage = static_cast<double>(score.covered) / static_cast<double>(score.pixels);
    score.psnr = psnrFromSum(sumAll, score.covered);
    score.psnrNear = psnrFromSum(sumNear, score.nearCovered);
    score.psnrFar = psnrFromSum(sumFar, score.covered - score.nearCovered);

    for (const Accumulator& sector : sectors)
        score.sectors.push_back(sector.score());
    std::vector<std::pair<int, int>> bandLimits;
    for (int high = 90; high > -90; high -= 10)
        bandLimits.emplace_back(high - 10, high);
    bandLimits.emplace_back(-30, 30);
    bandLimits.emplace_back(-70, -40);
    for (const auto& [low, high] : bandLimits) {
        Accumulator band;
        for (int r = 0; r < rows; ++r) {
            const double elevation = 90.0 - (r + 0.5) * 180.0 / rows;
            if (elevation >= low && elevation < high)
                band.add(rowSums[static_cast<std::size_t>(r)]);
        }
        BandScore b;
        static_cast<RegionScore&>(b) = band.score();
        b.lowDeg = low;
        b.highDeg = high;
        score.bands.push_back(b);
    }
    return score;
}

std::string formatScore(const Score& s)
{
    std::string out;
    out += "coverage " + formatDouble(s.coverage, 6) + "\n";
    out += "psnr " + formatDouble(s.psnr, 3) + "\n";
    out += "psnr_near " + formatDouble(s.psnrNear, 3) + "\n";
    out += "psnr_far " + formatDouble(s.psnrFar, 3) + "\n";
    out += "pixels " + std::to_string(s.pixels) + "\n";
    out += "covered " + std::to_string(s.covered) + "\n";
    out += "near " + std::to_string(s.near) + "\n";
    out += "near_covered " + std::to_string(s.nearCovered) + "\n";
    return out;
}

std::string formatScoreDetail(const Score& s)
{
    std::string out;
    const auto region = [&out](const std::string& prefix, const RegionScore& r) {
        out += prefix + "_psnr " + formatDouble(r.psnr, 3) + "\n";
        out += prefix + "_psnr_far " + formatDouble(r.psnrFar, 3) + "\n";
        out += prefix + "_coverage " + formatDouble(r.coverage, 6) + "\n";
    };
    for (std::size_t k = 0; k < s.sectors.size() && k < 4; ++k)
        region(std::string("sector_") + kSectorNames[k], s.sectors[k]);
    for (const BandScore& b : s.bands)
        region("band_" + std::to_string(b.lowDeg) + "_" + std::to_string(b.highDeg), b);
    return out;
}

Comparison comparePanoramas(const cv::Mat& a, const cv::Mat& b, int factor)
{
    if (a.empty() || a.size() != b.size() || a.type() != b.type())
        throw std::runtime_error("Scorer comparePanoramas() panoramas must be non-empty and of one size and type");
    if (factor < 1)
        throw std::runtime_error("Scorer comparePanoramas() reduction factor must be positive");
    const cv::Mat coverA = coverageMask(a);
    const cv::Mat coverB = coverageMask(b);
    Comparison result;
    result.coverageDiffering = cv::countNonZero(coverA != coverB);

    const cv::Size size(std::max(1, a.cols / factor), std::max(1, a.rows / factor));
    cv::Mat both;
    cv::min(coverA, coverB, both);
    const cv::Mat coverage = reducePlane(both, size);
    const std::vector<cv::Mat> pa = reduceColour(a, size);
    const std::vector<cv::Mat> pb = reduceColour(b, size);
    const float full = 255.0f * (1.0f - 1e-6f);
    for (int r = 0; r < size.height; ++r) {
        const float* cov = coverage.ptr<float>(r);
        for (int c = 0; c < size.width; ++c) {
            if (!(cov[c] >= full))
                continue;
            ++result.compared;
            for (int k = 0; k < 3; ++k) {
                const double d = std::fabs(static_cast<double>(pa[k].at<float>(r, c)) - pb[k].at<float>(r, c));
                result.maxDifference = std::max(result.maxDifference, d);
            }
        }
    }
    return result;
}

const char* NearVersus::kindName(int kind)
{
    static const char* const names[kKinds] = {"ceiling", "floor", "objects", "outlines"};
    return kind >= 0 && kind < kKinds ? names[kind] : "";
}

namespace {

// What kind of near surface the truth shows at (r, c) of an equirectangular inverse
// depth: on the ceiling's or the floor's plane (within 3 %), next to a depth jump, or
// an object's surface.
NearVersus::Kind nearKind(const cv::Mat& inverseDepth, int r, int c)
{
    const int rows = inverseDepth.rows;
    const int cols = inverseDepth.cols;
    const float rho = inverseDepth.at<float>(r, c);
    const double elevation = CV_PI / 2 - (r + 0.5) * CV_PI / rows;
    const double up = std::sin(elevation);
    if (up > 0 && std::fabs(rho - up / kRoomCeilingAbove) < 0.03 * rho)
        return NearVersus::kCeiling;
    if (up < 0 && std::fabs(rho + up / kRoomFloorBelow) < 0.03 * rho)
        return NearVersus::kFloor;
    for (int dr = -2; dr <= 2; ++dr) {
        const int rr = std::clamp(r + dr, 0, rows - 1);
        for (int dc = -2; dc <= 2; ++dc) {
            if (std::fabs(inverseDepth.at<float>(rr, (c + dc + cols) % cols) - rho) > 0.15f * rho)
                return NearVersus::kOutlines;
        }
    }
    return NearVersus::kObjects;
}

// The smallest value under each pixel of a reduction of an 8-bit plane to size
// (each source pixel belongs to the reduced pixel its centre falls in).
cv::Mat fewestUnder(const cv::Mat& plane, const cv::Size& size)
{
    cv::Mat out(size, CV_8UC1, cv::Scalar(255));
    for (int r = 0; r < plane.rows; ++r) {
        const int rr = std::min(size.height - 1, static_cast<int>((r + 0.5) * size.height / plane.rows));
        const uchar* in = plane.ptr<uchar>(r);
        uchar* o = out.ptr<uchar>(rr);
        for (int c = 0; c < plane.cols; ++c) {
            const int cc = std::min(size.width - 1, static_cast<int>((c + 0.5) * size.width / plane.cols));
            o[cc] = std::min(o[cc], in[c]);
        }
    }
    return out;
}

} // namespace

NearVersus compareNear(const cv::Mat& panorama, const cv::Mat& other, const cv::Mat& truth,
                       const cv::Mat& truthInverseDepth, int reducedRows, double tolerance, cv::Mat* picture,
                       const cv::Mat& truthSeen)
{
    checkPanoramaShape(panorama, "panorama");
    checkPanoramaShape(other, "other panorama");
    checkPanoramaShape(truth, "truth");
    if (truth.type() != CV_8UC3 || truthInverseDepth.type() != CV_32FC1 || truthInverseDepth.size() != truth.size())
        throw std::runtime_error("Scorer compareNear() needs an 8-bit BGR truth and its CV_32F inverse depth");
    if (reducedRows < 1)
        throw std::runtime_error("Scorer compareNear() reduced height must be positive");
    if (!(tolerance >= 0.0))
        throw std::runtime_error("Scorer compareNear() tolerance must be non-negative");
    if (!truthSeen.empty() && (truthSeen.type() != CV_8UC1 || truthSeen.size() != truth.size()))
        throw std::runtime_error("Scorer compareNear() needs an 8-bit sighting count of the truth's size");
    const int rows = std::min({reducedRows, panorama.rows, other.rows, truth.rows});
    const cv::Size size(2 * rows, rows);
    const cv::Mat coverA = reducePlane(coverageMask(panorama), size);
    const cv::Mat coverB = reducePlane(coverageMask(other), size);
    std::vector<cv::Mat> a = reduceColour(panorama, size);
    std::vector<cv::Mat> b = reduceColour(other, size);
    const std::vector<cv::Mat> t = reduceColour(truth, size);
    cv::Mat inverseDepth;
    cv::resize(truthInverseDepth, inverseDepth, size, 0, 0, cv::INTER_AREA);
    const float full = 255.0f * (1.0f - 1e-6f);
    const cv::Mat sight = truthSeen.empty() ? cv::Mat() : fewestUnder(truthSeen, size);
    NearVersus v;
    v.tolerance = tolerance;
    v.sightKnown = !sight.empty();
    {
        // Each panorama at its own level per colour against the truth, the median
        // ratio over the pixels both cover (not a fit, which a region of gross errors
        // would pull): the cameras' common exposure is unknown to any stitch, so a
        // panorama uniformly a little brighter is not worse.
        const cv::Mat bothCovered = (coverA >= full) & (coverB >= full);
        for (int k = 0; k < 3; ++k) {
            const auto level = [&](cv::Mat& plane) {
                std::vector<float> ratios;
                for (int r = 0; r < rows; ++r) {
                    const uchar* m = bothCovered.ptr<uchar>(r);
                    const float* p = plane.ptr<float>(r);
                    const float* q = t[k].ptr<float>(r);
                    for (int c = 0; c < size.width; ++c)
                        if (m[c] && q[c] >= 16.0f && p[c] >= 1.0f)
                            ratios.push_back(q[c] / p[c]);
                }
                if (ratios.empty())
                    return 1.0;
                const auto middle = ratios.begin() + static_cast<long>(ratios.size() / 2);
                std::nth_element(ratios.begin(), middle, ratios.end());
                const double gain = *middle;
                plane *= gain;
                return gain;
            };
            v.level[k] = level(a[k]);
            v.otherLevel[k] = level(b[k]);
        }
    }
    if (picture) {
        cv::Mat grey;
        cv::cvtColor(truth, grey, cv::COLOR_BGR2GRAY);
        cv::resize(grey, grey, size, 0, 0, cv::INTER_AREA);
        grey.convertTo(grey, CV_8U, 0.35);
        cv::cvtColor(grey, *picture, cv::COLOR_GRAY2BGR);
    }
    {
        constexpr int kTileRows = 18, kTileCols = 36;
        std::vector<double> errorA(kTileRows * kTileCols, 0.0), errorB(errorA.size(), 0.0);
        std::vector<long long> count(errorA.size(), 0), area(errorA.size(), 0);
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < size.width; ++c) {
                const int tile = (r * kTileRows / rows) * kTileCols + c * kTileCols / size.width;
                ++area[tile];
                if (!(coverA.at<float>(r, c) >= full) || !(coverB.at<float>(r, c) >= full))
                    continue;
                ++count[tile];
                for (int k = 0; k < 3; ++k) {
                    const double da = a[k].at<float>(r, c) - t[k].at<float>(r, c);
                    const double db = b[k].at<float>(r, c) - t[k].at<float>(r, c);
                    errorA[tile] += da * da;
                    errorB[tile] += db * db;
                }
            }
        for (std::size_t tile = 0; tile < count.size(); ++tile) {
            if (count[tile] == 0 || 2 * count[tile] < area[tile])
                continue;
            ++v.tilesCompared;
            // Both over the same pixels: the PSNR difference is the ratio of the errors.
            const double shortfall =
                10.0 * std::log10(std::max(errorA[tile], 1e-9) / std::max(errorB[tile], 1e-9));
            if (shortfall > kTileMarginDb)
                ++v.tilesWorse;
            v.worstTileDb = std::max(v.worstTileDb, shortfall);
        }
    }
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < size.width; ++c) {
            if (!(inverseDepth.at<float>(r, c) > 0.5f) || !(coverB.at<float>(r, c) >= full))
                continue;
            ++v.compared;
            const int kind = nearKind(inverseDepth, r, c);
            ++v.comparedOf[kind];
            const int seen = sight.empty() ? 0 : std::min<int>(2, sight.at<uchar>(r, c));
            ++v.comparedBySight[seen];
            if (!(coverA.at<float>(r, c) >= full)) {
                ++v.uncovered;
                ++v.worse;
                ++v.worseOf[kind];
                ++v.worseBySight[seen];
                ++v.worseStrict;
                if (picture)
                    picture->at<cv::Vec3b>(r, c) = cv::Vec3b(255, 0, 255);
                continue;
            }
            double ea = 0.0, eb = 0.0;
            for (int k = 0; k < 3; ++k) {
                ea += std::fabs(a[k].at<float>(r, c) - t[k].at<float>(r, c)) / 3.0;
                eb += std::fabs(b[k].at<float>(r, c) - t[k].at<float>(r, c)) / 3.0;
            }
            v.worseStrict += ea > eb;
            if (ea > eb + tolerance) {
                ++v.worse;
                ++v.worseOf[kind];
                ++v.worseBySight[seen];
                if (picture)
                    picture->at<cv::Vec3b>(r, c) =
                        cv::Vec3b(0, 0, cv::saturate_cast<uchar>(96.0 + 159.0 * (ea - eb - tolerance) / 32.0));
            } else if (eb > ea + tolerance) {
                ++v.better;
                if (picture)
                    picture->at<cv::Vec3b>(r, c) = cv::Vec3b(0, 160, 0);
            }
        }
    }
    return v;
}

std::string formatNearVersus(const NearVersus& v)
{
    std::string out;
    out += "near_tolerance " + formatDouble(v.tolerance, 2) + "\n";
    out += "near_worse_share " + formatDouble(v.share(v.worse), 6) + "\n";
    out += "near_worse_strict_share " + formatDouble(v.share(v.worseStrict), 6) + "\n";
    out += "near_uncovered_share " + formatDouble(v.share(v.uncovered), 6) + "\n";
    out += "near_better_share " + formatDouble(v.share(v.better), 6) + "\n";
    out += "near_compared " + std::to_string(v.compared) + "\n";
    out += "near_worse " + std::to_string(v.worse) + "\n";
    out += "near_level " + formatDouble(v.level[0], 4) + "," + formatDouble(v.level[1], 4) + ","
           + formatDouble(v.level[2], 4) + "\n";
    out += "near_other_level " + formatDouble(v.otherLevel[0], 4) + "," + formatDouble(v.otherLevel[1], 4) + ","
           + formatDouble(v.otherLevel[2], 4) + "\n";
    out += "near_worse_strict " + std::to_string(v.worseStrict) + "\n";
    out += "tiles_compared " + std::to_string(v.tilesCompared) + "\n";
    out += "tiles_worse_share " + formatDouble(v.tileShare(), 6) + "\n";
    out += "tiles_worst_db " + formatDouble(v.worstTileDb, 2) + "\n";
    // One group of near pixels: how many were compared, and the share of them worse.
    const auto group = [&out](const std::string& name, long long compared, long long worse) {
        out += "near_" + name + "_compared " + std::to_string(compared) + "\n";
        out += "near_" + name + "_worse_share " +
               formatDouble(compared ? static_cast<double>(worse) / static_cast<double>(compared) : 0.0, 6) + "\n";
    };
    for (std::size_t k = 0; k < NearVersus::kKinds; ++k)
        group(NearVersus::kindName(static_cast<int>(k)), v.comparedOf[k], v.worseOf[k]);
    if (v.sightKnown) {
        const char* const sights[3] = {"unseen", "seen_once", "seen_twice"};
        for (std::size_t k = 0; k < 3; ++k)
            group(sights[k], v.comparedBySight[k], v.worseBySight[k]);
    }
    return out;
}

std::string formatComparison(const Comparison& c)
{
    std::string out;
    out += "max_difference " + formatDouble(c.maxDifference, 3) + "\n";
    out += "coverage_differing " + std::to_string(c.coverageDiffering) + "\n";
    out += "compared " + std::to_string(c.compared) + "\n";
    return out;
}

} // namespace sim
} // namespace orb
