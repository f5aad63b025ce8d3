#include "DepthReport.h"

#include "BaseLib/Matrix.h"
#include "StitchLib/stereo/CameraPosition.h"
#include "StitchLib/stereo/RectifiedFrame.h"
#include "StitchLib/stereo/ScanGeneration.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iomanip>

namespace DepthReport {

namespace {

using orb::Stereo::scanFocalLength;
using orb::Stereo::scanTilt;

float baseline(const std::vector<orb::CameraIntrinsics>& cameras, int pair)
{
    const cv::Matx31f a = orb::BaseApi::getCamPosB(cameras[pair]);
    const cv::Matx31f b = orb::BaseApi::getCamPosB(cameras[(pair + 1) % 4]);
    return static_cast<float>(cv::norm(a - b));
}

// Elevation (radians) of the centre of band j of the matching view: the inverse of
// the scan's linear band coordinate.
float bandElevation(int band)
{
    const float offset = orb::Stereo::bandCoordinate(0.0f);
    const float slope = orb::Stereo::bandCoordinate(1.0f) - offset;
    return (static_cast<float>(band) - offset) / slope;
}

float sampleTruth(const cv::Mat& truth, float elevation, float azimuth)
{
    const int h = truth.rows;
    const int w = truth.cols;
    int r = static_cast<int>(std::floor(h * 0.5 - elevation * h / CV_PI));
    int c = static_cast<int>(std::floor(w * 0.5 + azimuth * w / (2 * CV_PI)));
    r = std::clamp(r, 0, h - 1);
    c = ((c % w) + w) % w;
    return truth.at<float>(r, c);
}

} // namespace

float pairAzimuth(const std::vector<orb::CameraIntrinsics>& cameras, int pair)
{
    cv::Matx31f a = orb::BaseApi::getCamPosB(cameras[pair]);
    cv::Matx31f b = orb::BaseApi::getCamPosB(cameras[(pair + 1) % 4]);
    const orb::Matrix<float, 3, 3> frame = orb::ImageMapping::getRectifiedFrame(a.val, b.val, scanTilt());
    // Row 2 of the frame is the view axis in the rig frame.
    return std::atan2(frame(2, 1), frame(2, 0));
}

std::vector<BandRow> compareBands(const cv::Mat& scan, const cv::Mat& truth,
                                  const std::vector<orb::CameraIntrinsics>& cameras)
{
    std::vector<BandRow> rows;
    const int h = scan.rows;
    const int w = scan.cols;
    const float tilt = scanTilt();
    const float focal = scanFocalLength();
    // The matching window of a band: the strip's columns about the view axis, one band of rows.
    const float halfWindow = 0.5f * orb::Stereo::kScanViewColumns / focal;
    const float bandHeight = orb::Stereo::kScanRowsPerBand / focal;
    for (int p = 0; p < 4; ++p) {
        const float az = pairAzimuth(cameras, p);
        const int c = orb::Stereo::profileColumn(az, w);
        const float step = 1.0f / (focal * baseline(cameras, p));
        for (int j = 0; j < orb::Stereo::kScanBands; ++j) {
            const float m = bandElevation(j);
            const int r = std::clamp(static_cast<int>(std::lround(h * 0.5 - m * h / CV_PI - 0.5)), 0, h - 1);
            const double cosFactor = std::cos(orb::Stereo::rowElevation(r, h) - tilt);
            BandRow row;
            row.pair = p;
            row.band = j;
            row.elevationDeg = static_cast<float>(m * 180.0 / CV_PI);
            row.estimated = static_cast<float>((scan.at<float>(r, c) - 1e-6) / cosFactor);
            row.disparityStep = step;
            const double axisFactor = std::cos(m - tilt);
            row.truthCentre = static_cast<float>(sampleTruth(truth, m, az) / axisFactor);
            std::vector<float> window;
            for (int dy = -4; dy <= 4; ++dy) {
                for (int dx = -8; dx <= 8; ++dx) {
                    const float em = m + dy * bandHeight / 8.0f;
                    const float ea = az + dx * halfWindow / 8.0f;
                    window.push_back(static_cast<float>(sampleTruth(truth, em, ea) / std::cos(em - tilt)));
                }
            }
            std::nth_element(window.begin(), window.begin() + window.size() / 2, window.end());
            row.truthMedian = window[window.size() / 2];
            rows.push_back(row);
        }
    }
    return rows;
}

void printBands(std::ostream& out, const std::vector<BandRow>& rows)
{
    out << "pair band elev_deg  est_1/m  true_ctr  true_med  err_steps(med)\n";
    for (const BandRow& r : rows) {
        out << std::setw(4) << r.pair << std::setw(5) << r.band << std::fixed << std::setprecision(1)
            << std::setw(9) << r.elevationDeg << std::setprecision(3) << std::setw(9) << r.estimated
            << std::setw(10) << r.truthCentre << std::setw(10) << r.truthMedian << std::setprecision(2)
            << std::setw(12) << (r.estimated - r.truthMedian) / r.disparityStep << "\n";
    }
}

OverlapAgreement overlapAgreement(const std::vector<cv::Mat>& parts)
{
    OverlapAgreement result;
    for (int p = 0; p < 4; ++p) {
        const cv::Mat& a = parts[p];
        const cv::Mat& b = parts[(p + 1) % 4];
        double sum = 0;
        double count = 0;
        // Below the top strip, which every camera fills across the full width.
        for (int r = a.rows / 100; r < a.rows; ++r) {
            const cv::Vec4b* pa = a.ptr<cv::Vec4b>(r);
            const cv::Vec4b* pb = b.ptr<cv::Vec4b>(r);
            for (int c = 0; c < a.cols; ++c) {
                if (pa[c][3] == 255 && pb[c][3] == 255) {
                    sum += std::abs(pa[c][0] - pb[c][0]) + std::abs(pa[c][1] - pb[c][1]) +
                           std::abs(pa[c][2] - pb[c][2]);
                    count += 3;
                }
            }
        }
        result.meanAbsDiff[p] = count > 0 ? sum / count : 0;
        result.pixels[p] = count / 3;
    }
    return result;
}

} // namespace DepthReport
