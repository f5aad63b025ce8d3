#include "calibrate/OverlapView.h"

#include "calibrate/LensRays.h"

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace calibrate {

namespace {

cv::Vec3d normalised(const cv::Vec3d& v) { return v * (1.0 / cv::norm(v)); }

// Longitude either side of the bisector: neighbours 90 degrees apart with 83-degree
// lenses overlap to 38 degrees; the rest allows for a calibration off by several degrees.
constexpr double kHalfWidth = 48.0 * CV_PI / 180.0;
// Latitude: beyond 80 degrees the grid's columns crowd together.
constexpr double kHalfHeight = 80.0 * CV_PI / 180.0;
// Features this close to the edge of either image or of the field are left out: their
// descriptors would reach past it.
constexpr int kEdgeMargin = 8;

} // namespace

OverlapView::OverlapView(const orb::CameraIntrinsics& cameraA, const orb::CameraIntrinsics& cameraB,
                         cv::Size imageSize, double maxAngle, double pixelsPerRadian)
    : pixelsPerRadian_(pixelsPerRadian), halfWidth_(kHalfWidth), halfHeight_(kHalfHeight)
{
    const cv::Matx33d rotation[2] = {rigToCamera(cameraA), rigToCamera(cameraB)};
    const cv::Vec3d axisA(rotation[0](0, 0), rotation[0](0, 1), rotation[0](0, 2));
    const cv::Vec3d axisB(rotation[1](0, 0), rotation[1](0, 1), rotation[1](0, 2));
    const cv::Vec3d forward = normalised(axisA + axisB);
    const cv::Vec3d towardsB = normalised((axisB - axisA) - forward * forward.dot(axisB - axisA));
    const cv::Vec3d up = towardsB.cross(forward);  // the rig's z points down
    for (int c = 0; c < 3; ++c) {
        axes_(0, c) = forward[c];
        axes_(1, c) = towardsB[c];
        axes_(2, c) = up[c];
    }
    size_ = cv::Size(static_cast<int>(std::ceil(2 * halfWidth_ * pixelsPerRadian)),
                     static_cast<int>(std::ceil(2 * halfHeight_ * pixelsPerRadian)));
    const orb::CameraIntrinsics* cameras[2] = {&cameraA, &cameraB};
    cv::Mat seen(size_, CV_8U, cv::Scalar(255));
    for (int which = 0; which < 2; ++which) {
        mapX_[which].create(size_, CV_32F);
        mapY_[which].create(size_, CV_32F);
    }
    const double lowX = kEdgeMargin, highX = imageSize.width - 1 - kEdgeMargin;
    const double lowY = kEdgeMargin, highY = imageSize.height - 1 - kEdgeMargin;
    for (int y = 0; y < size_.height; ++y) {
        for (int x = 0; x < size_.width; ++x) {
            const cv::Vec3d d = direction(cv::Point2d(x, y));
            for (int which = 0; which < 2; ++which) {
                cv::Point2d pixel(-1, -1);
                const bool inField = rayToPixel(*cameras[which], rotation[which] * d, maxAngle, pixel);
                mapX_[which].ptr<float>(y)[x] = static_cast<float>(pixel.x);
                mapY_[which].ptr<float>(y)[x] = static_cast<float>(pixel.y);
                if (!inField || pixel.x < lowX || pixel.x > highX || pixel.y < lowY || pixel.y > highY)
                    seen.ptr<uchar>(y)[x] = 0;
            }
        }
    }
    // The edge of the field of view, too, stays out of reach of the descriptors.
    cv::erode(seen, mask_, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * kEdgeMargin + 1, 2 * kEdgeMargin + 1)));
}

cv::Mat OverlapView::resample(const cv::Mat& grey, int which) const
{
    cv::Mat view;
    cv::remap(grey, view, mapX_[which], mapY_[which], cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
    return view;
}

cv::Vec3d OverlapView::direction(const cv::Point2d& position) const
{
    const double longitude = -halfWidth_ + (position.x + 0.5) / pixelsPerRadian_;
    const double latitude = halfHeight_ - (position.y + 0.5) / pixelsPerRadian_;
    const cv::Vec3d local(std::cos(latitude) * std::cos(longitude), std::cos(latitude) * std::sin(longitude),
                          std::sin(latitude));
    return axes_.t() * local;
}

} // namespace calibrate
