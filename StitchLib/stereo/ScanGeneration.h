#pragma once

#include "BaseLib/CameraIntrinsics.h"
#include "StitchLib/geometry/ScanImages.h"

#include <opencv2/core.hpp>

#include <vector>

namespace orb {
namespace Stereo {

// Coarse panoramic depth model of one frame: for each pair of neighbouring
// cameras (p, p + 1 mod 4) a depth profile of 32 bands is estimated by stereo
// matching in a rectified strip, written into the scan column at the pair's
// view azimuth, and the columns in between are interpolated around the circle.
// The scan is height x 2*height; validRows = height; intensity is all zero.
// A failing pair does not stop the others; the last failure is rethrown after
// all four pairs have run.
ScanImages generateScan(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras,
                        int height, float maxAngle);

// ---- Steps of scan generation, exposed for testing ----

// Geometry of the rectified strips.
constexpr int kScanViewColumns = 128;
constexpr int kScanViewRows = 1024;
constexpr int kScanBands = 32;
constexpr int kScanRowsPerBand = kScanViewRows / kScanBands;
constexpr int kScanMinDisparity = -4;
constexpr int kScanMaxDisparity = 64;
constexpr int kScanHypotheses = kScanMaxDisparity - kScanMinDisparity + 1;

// Tilt of the view axis above the horizon (21 degrees) and the strip's focal
// length (pixels per radian), both single precision.
float scanTilt();
float scanFocalLength();

// Mean absolute grey difference per band (rows) and hypothesis (columns) of two
// rectified 8-bit strips, column x of A against column x - d of B, over the
// columns where both masks cover the whole band. Hypotheses that cannot be
// scored keep the cost 1000. Returns kScanBands x kScanHypotheses CV_32F.
cv::Mat bandCosts(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat& maskA, const cv::Mat& maskB);

// Posterior over hypotheses per band from the costs: likelihoods, a forward and
// a backward pass through band-dependent kernels, and the prior. Rows sum to 1.
cv::Mat bandPosterior(const cv::Mat& cost);

// Index of the largest element of row[0..n-1]; ties keep the lowest index and
// NaN never wins (0 if nothing beats -infinity).
int bestHypothesis(const float* row, int n);

// Scan column at which a profile of the given azimuth (radians) is written.
int profileColumn(float azimuth, int width);

// Elevation (radians) of the centre of scan row `row` of `height`.
float rowElevation(int row, int height);

// Continuous band index at an elevation: j is the centre of band j.
float bandCoordinate(float elevation);

// Scan value at an elevation for pair `pair` of a kScanBands x 4 table of
// inverse depths along the view axes: the bands around the elevation blended
// linearly, turned into inverse distance along the ray and lifted by 1e-6.
float profileValue(const cv::Mat& bandTable, int pair, float elevation);

} // namespace Stereo
} // namespace orb
