#include "StitchLib/stereo/ScanGeneration.h"

#include "BaseLib/CoordinateSystems.h"
#include "BaseLib/Matrix.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/Rig.h"
#include "StitchLib/stereo/CameraPosition.h"
#include "StitchLib/stereo/DepthModel.h"
#include "StitchLib/stereo/GapInterpolation.h"
#include "StitchLib/stereo/HybridRowColToUnitVecB.h"
#include "StitchLib/stereo/HybridToFisheye.h"
#include "StitchLib/stereo/RectifiedFrame.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <vector>

namespace orb {
namespace Stereo {

namespace {

using coordinateSystems::kPi;
using coordinateSystems::kTwoPi;
constexpr int kCameras = Rig::kCameraCount;
// Columns both strips must share beyond the disparity, so that every scored
// hypothesis compares a reasonable number of columns.
constexpr int kOverlapMargin = 48;
constexpr float kUnscoredCost = 1000.0f;
constexpr float kTemperature = 12.0f;
// Added to every profile value so that a measured "infinitely far" is still a
// valid (positive) pixel for gap interpolation.
constexpr double kInverseDepthFloor = 9.999999974752427e-07;

// Band-coordinate line: band j's centre at j, -0.5 at the zenith, 31.5 at the
// bottom of the strip (elevation 2*tilt - pi/2).
float bandSlope() { return static_cast<float>(kScanBands) / (2.0f * scanTilt() - kPi); }
float bandOffset() { return -0.5f - kPi * bandSlope() / 2.0f; }

struct PairDepth {
    float azimuth;
    float bandInverseDepth[kScanBands];
};

// Renders camera `camera`'s grey image into the rectified strip and marks the
// strip pixels that sample inside the image and the lens's field.
void renderStrip(const cv::Mat& image, HybridToFisheye& mapper, cv::Mat& map, cv::Mat& view, cv::Mat& mask)
{
    ImageMapping::initMap(cv::Size(kScanViewColumns, kScanViewRows), mapper, map);
    cv::Mat grey;
    cv::cvtColor(image, grey, cv::COLOR_BGR2GRAY);
    cv::remap(grey, view, map, cv::noArray(), cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    cv::remap(cv::Mat::ones(grey.size(), CV_8U), mask, map, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT,
              cv::Scalar(0));
}

PairDepth estimatePair(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras, int pair,
                       float maxAngle)
{
    const int a = pair;
    const int b = Rig::rightNeighbour(pair);
    cv::Matx<float, 3, 1> posA = BaseApi::getCamPosB(cameras[a]);
    cv::Matx<float, 3, 1> posB = BaseApi::getCamPosB(cameras[b]);
    const Matrix<float, 3, 3> frame = ImageMapping::getRectifiedFrame(posA.val, posB.val, scanTilt());
    const Matrix<float, 3, 1> viewAxis = transpose(frame) * Matrix<float, 3, 1>(0.0f, 0.0f, 1.0f);

    PairDepth result;
    result.azimuth = std::atan2(viewAxis[1], viewAxis[0]);

    const float f = scanFocalLength();
    const HybridRowColToUnitVecB rowColToUnitVec(f, kScanViewColumns / 2 + 0.5f, kScanViewRows / 2 + 0.5f, frame);
    HybridToFisheye mapperA(cameras[a], rowColToUnitVec, maxAngle);
    HybridToFisheye mapperB(cameras[b], rowColToUnitVec, maxAngle);

    cv::Mat map;
    cv::Mat viewA, viewB, maskA, maskB;
    renderStrip(images[a], mapperA, map, viewA, maskA);
    renderStrip(images[b], mapperB, map, viewB, maskB);

    const cv::Mat posterior = bandPosterior(bandCosts(viewA, viewB, maskA, maskB));

    const cv::Matx<float, 3, 1> diff = posA - posB;
    const float baseline = static_cast<float>(std::sqrt(static_cast<double>(diff(0)) * diff(0) +
                                                        static_cast<double>(diff(1)) * diff(1) +
                                                        static_cast<double>(diff(2)) * diff(2)));
    const float disparityScale = f * baseline;
    for (int j = 0; j < kScanBands; ++j) {
        const int disparity = std::max(0, bestHypothesis(posterior.ptr<float>(j), kScanHypotheses) +
                                              kScanMinDisparity);
        // Cameras at one point see no parallax: every band reads as infinitely
        // far instead of dividing by a zero baseline.
        result.bandInverseDepth[j] =
            disparityScale > 0.0f ? static_cast<float>(disparity) / disparityScale : 0.0f;
    }
    return result;
}

} // namespace

float scanTilt() { return 21.0f * kPi / 180.0f; }

float scanFocalLength() { return static_cast<float>(kScanViewRows) / (kPi - 2.0f * scanTilt()); }

cv::Mat bandCosts(const cv::Mat& viewA, const cv::Mat& viewB, const cv::Mat& maskA, const cv::Mat& maskB)
{
    CV_Assert(viewA.type() == CV_8UC1 && viewB.type() == CV_8UC1 && maskA.type() == CV_8UC1 &&
              maskB.type() == CV_8UC1);
    CV_Assert(viewA.rows == kScanViewRows && viewA.cols == kScanViewColumns && viewB.size() == viewA.size() &&
              maskA.size() == viewA.size() && maskB.size() == viewA.size());

    cv::Mat cost(kScanBands, kScanHypotheses, CV_32F, cv::Scalar(kUnscoredCost));
    int fullA[kScanViewColumns];
    int fullB[kScanViewColumns];
    for (int j = 0; j < kScanBands; ++j) {
        const int y0 = j * kScanRowsPerBand;
        const int y1 = y0 + kScanRowsPerBand;

        std::fill(fullA, fullA + kScanViewColumns, 0);
        std::fill(fullB, fullB + kScanViewColumns, 0);
        for (int y = y0; y < y1; ++y) {
            const uchar* ma = maskA.ptr<uchar>(y);
            const uchar* mb = maskB.ptr<uchar>(y);
            for (int x = 0; x < kScanViewColumns; ++x) {
                fullA[x] += ma[x];
                fullB[x] += mb[x];
            }
        }
        int firstB = kScanViewColumns;
        for (int x = kScanViewColumns - 1; x >= 0; --x)
            if (fullB[x] == kScanRowsPerBand)
                firstB = x;
        int lastA = -1;
        for (int x = 0; x < kScanViewColumns; ++x)
            if (fullA[x] == kScanRowsPerBand)
                lastA = x;

        const int overlap = lastA + 1 - firstB;
        const int maxDisparity = std::min(overlap - kOverlapMargin, kScanMaxDisparity);
        float* costRow = cost.ptr<float>(j);
        for (int k = 0; k <= maxDisparity - kScanMinDisparity; ++k) {
            const int d = k + kScanMinDisparity;
            const int xb0 = std::max(firstB, 1 - d);
            const int xa0 = xb0 + d;
            const int xa1 = std::min(lastA, kScanViewColumns - 1 + d);
            const int count = xa1 - xa0 + 1;
            float sum = 0.0f;
            for (int y = y0; y < y1; ++y) {
                const uchar* rowA = viewA.ptr<uchar>(y) + xa0;
                const uchar* rowB = viewB.ptr<uchar>(y) + xb0;
                for (int i = 0; i < count; ++i)
                    sum += std::fabs(static_cast<float>(rowA[i]) - static_cast<float>(rowB[i]));
            }
            costRow[k] = sum / static_cast<float>(count * kScanRowsPerBand);
        }
    }
    return cost;
}

cv::Mat bandPosterior(const cv::Mat& cost)
{
    CV_Assert(cost.type() == CV_32F && cost.rows == kScanBands && cost.cols == kScanHypotheses);
    cv::Mat likelihood;
    cv::exp(-cost / kTemperature, likelihood);
    normalizeRows(likelihood);

    // Both passes use band t's kernel when computing band t, in the same
    // orientation; each kernel is built once.
    std::vector<cv::Mat> kernels(kScanBands);
    for (int t = 0; t < kScanBands; ++t)
        kernels[t] = makeTransitionMatrix(kScanHypotheses, smoothingSchedule(t));

    // Band t of `pass` from its neighbour `from`, already computed.
    const auto propagate = [&likelihood, &kernels](cv::Mat& pass, int from, int t) {
        cv::Mat propagated = pass.row(from).mul(likelihood.row(from)) * kernels[t];
        cv::Mat row = pass.row(t);
        propagated.copyTo(row);
        normalizeRows(row);
    };

    const float uniform = 1.0f / kScanHypotheses;
    const int last = kScanBands - 1;

    cv::Mat forward(kScanBands, kScanHypotheses, CV_32F);
    forward.row(0).setTo(uniform);
    for (int t = 1; t < kScanBands; ++t)
        propagate(forward, t - 1, t);

    cv::Mat backward(kScanBands, kScanHypotheses, CV_32F);
    backward.row(last).setTo(uniform);
    for (int t = last - 1; t >= 0; --t)
        propagate(backward, t + 1, t);

    const cv::Mat prior = makePrior(kScanBands, kScanHypotheses);
    cv::Mat posterior = likelihood.mul(forward.mul(backward.mul(prior)));
    normalizeRows(posterior);
    return posterior;
}

int bestHypothesis(const float* row, int n)
{
    int best = 0;
    float bestValue = -std::numeric_limits<float>::infinity();
    for (int k = 0; k < n; ++k) {
        if (row[k] > bestValue) {
            bestValue = row[k];
            best = k;
        }
    }
    return best;
}

int profileColumn(float azimuth, int width)
{
    // Casting a NaN or out-of-range float to int is undefined; an azimuth outside one
    // turn can only come from a broken calibration.
    if (!(std::fabs(azimuth) <= kTwoPi))
        throw std::invalid_argument("profileColumn(): azimuth " + std::to_string(azimuth) + " is not an angle");
    const float w = static_cast<float>(width);
    const int column = static_cast<int>(std::floor(w * 0.5f + w * azimuth / kTwoPi - 0.5f));
    // The panorama wraps in azimuth: -pi lands just left of column 0.
    if (column < 0)
        return column + width;
    if (column >= width)
        return column - width;
    return column;
}

float rowElevation(int row, int height)
{
    const float h = static_cast<float>(height);
    return -((static_cast<float>(row) + 0.5f) - h * 0.5f) * kPi / h;
}

float bandCoordinate(float elevation) { return bandSlope() * elevation + bandOffset(); }

float profileValue(const cv::Mat& bandTable, int pair, float elevation)
{
    CV_Assert(bandTable.type() == CV_32F && bandTable.rows == kScanBands);
    const float bc = bandCoordinate(elevation);
    const int o = static_cast<int>(std::floor(bc));
    float v;
    if (o < 0) {
        v = bandTable.at<float>(0, pair);
    } else if (o + 1 >= kScanBands) {
        v = bandTable.at<float>(kScanBands - 1, pair);
    } else {
        const float w = static_cast<float>(o + 1) - bc;
        v = w * bandTable.at<float>(o, pair) + (1.0f - w) * bandTable.at<float>(o + 1, pair);
    }
    // max(0, v) also turns NaN into 0. The cosine converts inverse depth along
    // the view axis into inverse distance along a ray at this elevation.
    const float clamped = std::max(0.0f, v);
    return static_cast<float>(static_cast<double>(clamped) * std::cos(static_cast<double>(elevation - scanTilt())) +
                              kInverseDepthFloor);
}

ScanImages generateScan(const std::vector<cv::Mat>& images, const std::vector<CameraIntrinsics>& cameras,
                        int height, float maxAngle)
{
    if (images.size() < static_cast<std::size_t>(kCameras) || cameras.size() < static_cast<std::size_t>(kCameras))
        throw std::runtime_error("Stereo generateScan() requires four images and four cameras");

    cv::Mat bandTable(kScanBands, kCameras, CV_32F, cv::Scalar(0));
    float azimuths[kCameras] = {0.0f, 0.0f, 0.0f, 0.0f};
    // The pairs are independent, one per core. One bad image or calibration
    // should not hide what the other pairs report: every pair runs, and the
    // failure of the last failing pair is rethrown.
    std::exception_ptr errors[kCameras];
    cv::parallel_for_(cv::Range(0, kCameras), [&](const cv::Range& pairs) {
        for (int p = pairs.start; p < pairs.end; ++p) {
            try {
                const PairDepth depth = estimatePair(images, cameras, p, maxAngle);
                azimuths[p] = depth.azimuth;
                for (int j = 0; j < kScanBands; ++j)
                    bandTable.at<float>(j, p) = depth.bandInverseDepth[j];
            } catch (...) {
                errors[p] = std::current_exception();
            }
        }
    });
    for (int p = kCameras - 1; p >= 0; --p) {
        if (errors[p])
            std::rethrow_exception(errors[p]);
    }

    const int width = 2 * height;
    int columns[kCameras] = {0, 0, 0, 0};
    for (int p = 0; p < kCameras; ++p)
        columns[p] = width > 0 ? profileColumn(azimuths[p], width) : 0;
    ScanImages result;
    // Left unset: each band of rows below is cleared and filled by the core that
    // fills it, so that a single thread does not clear and fault in the whole
    // depth plane first (250 MB at full size) before the fill reads it again.
    result.intensity.create(height, width);
    result.inverseDepth.create(height, width);
    // Rows are independent, so filling bands of them gives the bits of one
    // fill of the whole plane.
    std::exception_ptr fillError;
    std::mutex fillErrorMutex;
    cv::parallel_for_(cv::Range(0, height), [&](const cv::Range& rows) {
        ScanImages band;
        band.intensity = result.intensity.rowRange(rows.start, rows.end);
        band.inverseDepth = result.inverseDepth.rowRange(rows.start, rows.end);
        for (int r = rows.start; r < rows.end; ++r) {
            std::fill_n(result.intensity.ptr<uchar>(r), width, uchar(0));
            float* depth = result.inverseDepth.ptr<float>(r);
            std::fill_n(depth, width, 0.0f);
            for (int p = 0; p < kCameras; ++p)
                depth[columns[p]] = profileValue(bandTable, p, rowElevation(r, height));
        }
        try {
            BaseApi::interpolateSmallGaps(band, width, true);
        } catch (...) {
            std::lock_guard<std::mutex> lock(fillErrorMutex);
            fillError = std::current_exception();
        }
    });
    if (fillError)
        std::rethrow_exception(fillError);
    result.validRows = height;
    return result;
}

} // namespace Stereo
} // namespace orb
