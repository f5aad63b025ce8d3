#include "StitchLib/stereo/TemporalDepth.h"

#include "BaseLib/CoordinateSystems.h"

#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace orb {
namespace Stereo {

namespace {

// Changed cells spread this far (in cells), since filling carries depth sideways.
const int kChangeMargin = 3;

cv::Mat reducedGrey(const cv::Mat& image, int reduction)
{
    cv::Mat grey;
    if (image.channels() == 1)
        grey = image;
    else
        cv::cvtColor(image, grey, image.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    cv::Mat small;
    cv::resize(grey, small, cv::Size(std::max(1, grey.cols / reduction), std::max(1, grey.rows / reduction)), 0, 0,
               cv::INTER_AREA);
    return small;
}

} // namespace

DepthHistory::DepthHistory(int reduction, double threshold) : reduction(reduction), threshold(threshold)
{
    if (reduction < 1 || !(threshold >= 0.0))
        throw std::runtime_error("DepthHistory needs a positive reduction and a non-negative threshold");
}

void DepthHistory::reset()
{
    previousGreys.clear();
    previousDepth.release();
    unchanged.release();
    kept = 0.0;
}

cv::Mat DepthHistory::changedCells(const cv::Size& size, const std::vector<cv::Mat>& greys,
                                   const std::vector<CameraIntrinsics>& cameras, float maxAngle) const
{
    // Per camera: where its reduced image moved beyond the threshold.
    std::vector<cv::Mat> changed(greys.size());
    for (std::size_t k = 0; k < greys.size(); ++k) {
        cv::Mat diff;
        cv::absdiff(greys[k], previousGreys[k], diff);
        cv::compare(diff, threshold, changed[k], cv::CMP_GT);
        cv::dilate(changed[k], changed[k], cv::Mat());
    }
    const float cosMaxAngle = std::cos(maxAngle);
    cv::Mat cells(size, CV_8U, cv::Scalar(0));
    cv::parallel_for_(cv::Range(0, size.height), [&](const cv::Range& range) {
        for (int r = range.start; r < range.end; ++r) {
            const double elevation = (0.5 - (r + 0.5) / size.height) * CV_PI;
            uchar* out = cells.ptr<uchar>(r);
            for (int c = 0; c < size.width; ++c) {
                const double azimuth = ((c + 0.5) / size.width - 0.5) * 2.0 * CV_PI;
                const double dirB[3] = {std::cos(azimuth) * std::cos(elevation),
                                        std::sin(azimuth) * std::cos(elevation), -std::sin(elevation)};
                for (std::size_t k = 0; k < greys.size() && !out[c]; ++k) {
                    const CameraIntrinsics& cam = cameras[k];
                    float u[3];
                    for (int i = 0; i < 3; ++i)
                        u[i] = static_cast<float>(cam.tmBToC(i, 0) * dirB[0] + cam.tmBToC(i, 1) * dirB[1] +
                                                  cam.tmBToC(i, 2) * dirB[2]);
                    float xy[2];
                    float* p = xy;
                    coordinateSystems::unitVecCToFisheye<false>(u, cam.lensCoeffs.val, cam.centre.val, maxAngle,
                                                                cosMaxAngle, p);
                    if (xy[0] < 0.0f || xy[1] < 0.0f)
                        continue;
                    const int x = static_cast<int>(xy[0] / reduction);
                    const int y = static_cast<int>(xy[1] / reduction);
                    if (x < changed[k].cols && y < changed[k].rows && changed[k].at<uchar>(y, x))
                        out[c] = 255;
                }
            }
        }
    });
    cv::dilate(cells, cells, cv::getStructuringElement(cv::MORPH_RECT,
                                                       cv::Size(2 * kChangeMargin + 1, 2 * kChangeMargin + 1)));
    return cells;
}

void DepthHistory::stabilise(cv::Mat_<float>& filledDepth, const std::vector<cv::Mat>& images,
                             const std::vector<CameraIntrinsics>& cameras, float maxAngle)
{
    if (images.size() < cameras.size())
        throw std::runtime_error("DepthHistory stabilise() needs an image per camera");
    std::vector<cv::Mat> greys;
    for (std::size_t k = 0; k < cameras.size(); ++k)
        greys.push_back(reducedGrey(images[k], reduction));

    bool comparable = !previousDepth.empty() && previousDepth.size() == filledDepth.size() &&
                      previousGreys.size() == greys.size();
    for (std::size_t k = 0; comparable && k < greys.size(); ++k)
        comparable = previousGreys[k].size() == greys[k].size();
    kept = 0.0;
    unchanged.release();
    if (comparable) {
        const cv::Mat changed = changedCells(filledDepth.size(), greys, cameras, maxAngle);
        unchanged = changed == 0;
        previousDepth.copyTo(filledDepth, unchanged);
        kept = static_cast<double>(cv::countNonZero(unchanged)) / static_cast<double>(unchanged.total());
    }
    previousGreys = greys;
    previousDepth = filledDepth.clone();
}

} // namespace Stereo
} // namespace orb
