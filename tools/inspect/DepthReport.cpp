#include "DepthReport.h"

#include "BaseLib/Matrix.h"
#include "StitchLib/stereo/CameraPosition.h"
#include "StitchLib/stereo/RectifiedFrame.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <iomanip>

namespace DepthReport {

namespace {

// The rectified matching views: 21 degree tilt, 1024 rows over 138 degrees in 32 bands,
// 128 columns.
const float tilt = 21.0f * 3.1415927f / 180.0f;
const float focal = 1024.0f / (3.1415927f - 2.0f * tilt);
const int bands = 32;

float baseline(const std::vector<orb::CameraIntrinsics>& cameras, int pair)
{
    const cv::Matx31f a = orb::BaseApi::getCamPosB(cameras[pair]);
    const cv::Matx31f b = orb::BaseApi::getCamPosB(cameras[(pair + 1) % 4]);
    return static_cast<float>(cv::norm(a - b));
}

// Elevation (radians) of the centre of band j of the matching view.
float bandElevation(int band)
{
    const float slope = 32.0f / (2.0f * tilt - 3.1415927f);
    const float offset = -0.5f - 3.1415927f * slope / 2.0f;
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
    const orb::Matrix<float, 3, 3> frame = orb::ImageMapping::getRectifiedFrame(a.val, b.val, tilt);
    // Row 2 of the frame is the view axis in the rig frame.
    return std::atan2(frame(2, 1), frame(2, 0));
}

std::vector<BandRow> compareBands(const cv::Mat& scan, const cv::Mat& truth,
                                  const std::vector<orb::CameraIntrinsics>& cameras)
{
    std::vector<BandRow> rows;
    const int h = scan.rows;
    const int w = scan.cols;
    const float halfWindow = 64.0f / focal;       // +-64 columns about the view axis
    const float bandHeight = 32.0f / focal;       // 32 rows of row angle
    for (int p = 0; p < 4; ++p) {
        const float az = pairAzimuth(cameras, p);
        const int column = static_cast<int>(std::floor(w * 0.5f + w * az / 6.2831855f - 0.5f));
        const int c = column < 0 ? w - 1 : column;
        const float step = 1.0f / (focal * baseline(cameras, p));
        for (int j = 0; j < bands; ++j) {
            const float m = bandElevation(j);
            const int r = std::clamp(static_cast<int>(std::lround(h * 0.5 - m * h / CV_PI - 0.5)), 0, h - 1);
            const float rowElevation = static_cast<float>(-((r + 0.5) - h * 0.5) * CV_PI / h);
            const double cosFactor = std::cos(rowElevation - tilt);
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
