#pragma once

#include <opencv2/core.hpp>

#include <string>

namespace orb {
namespace sim {

// How well a stitched panorama matches the true one, compared at a reduced size.
// "Near" pixels are those whose true inverse distance exceeds 0.5 (closer than 2 m);
// the others are "far".
// PSNR is over covered pixels only, in dB for 8-bit values: infinite for an exact
// match, NaN when no pixel counts.
struct Score {
    double coverage = 0.0;
    double psnr = 0.0;
    double psnrNear = 0.0;
    double psnrFar = 0.0;
    long long pixels = 0;
    long long covered = 0;
    long long near = 0;
    long long nearCovered = 0;
};

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

} // namespace sim
} // namespace orb
