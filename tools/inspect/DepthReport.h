#pragma once

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>
#include <ostream>
#include <vector>

// Compares an estimated inverse-depth scan with a ground-truth inverse-distance
// panorama along the view axis of every neighbouring camera pair, band by band,
// and measures how well neighbouring depth-aligned parts agree in their overlaps.
namespace DepthReport {

struct BandRow {
    int pair = 0;
    int band = 0;
    float elevationDeg = 0;
    float estimated = 0;     // inverse depth along the pair's view axis, 1/m
    float truthCentre = 0;   // truth at the band's centre ray
    float truthMedian = 0;   // median truth over the band's matching window
    float disparityStep = 0; // 1/(f*b): one column of disparity in inverse depth
};

// Azimuth (radians) of the view axis of pair (p, p+1 mod 4).
float pairAzimuth(const std::vector<orb::CameraIntrinsics>& cameras, int pair);

std::vector<BandRow> compareBands(const cv::Mat& scanInverseDepth, const cv::Mat& truthInverseDistance,
                                  const std::vector<orb::CameraIntrinsics>& cameras);

void printBands(std::ostream& out, const std::vector<BandRow>& rows);

// Mean absolute colour difference of neighbouring parts where both are fully opaque.
struct OverlapAgreement {
    double meanAbsDiff[4] = {0, 0, 0, 0};
    double pixels[4] = {0, 0, 0, 0};
};
OverlapAgreement overlapAgreement(const std::vector<cv::Mat>& parts);

} // namespace DepthReport
