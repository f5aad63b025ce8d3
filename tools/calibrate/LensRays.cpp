#include "calibrate/LensRays.h"

#include "BaseLib/CoordinateSystems.h"

namespace calibrate {

bool rayToPixel(const orb::CameraIntrinsics& camera, const cv::Vec3d& ray, double maxAngle, cv::Point2d& pixel)
{
    const double lateral = std::hypot(ray[1], ray[2]);
    const double theta = std::atan2(lateral, ray[0]);
    if (!(theta <= maxAngle))
        return false;
    const float* k = camera.lensCoeffs.val;
    if (lateral == 0.0) {
        pixel = cv::Point2d(camera.centre(0), camera.centre(1));
        return true;
    }
    const double radius = orb::coordinateSystems::fisheye_radial_f(theta, k);
    pixel = cv::Point2d(camera.centre(0) + ray[1] / lateral * radius, camera.centre(1) + ray[2] / lateral * radius);
    return true;
}

cv::Vec3d pixelToRay(const orb::CameraIntrinsics& camera, const cv::Point2d& pixel)
{
    const float* k = camera.lensCoeffs.val;
    cv::Vec3d ray;
    lensRay<double>(pixel.x, pixel.y, camera.centre(0), camera.centre(1), k[0], k[1], k[2], k[3], ray.val);
    return ray;
}

cv::Matx33d rigToCamera(const orb::CameraIntrinsics& camera)
{
    return cv::Matx33d(orb::rotationBToC(camera));
}

cv::Vec3d cameraCentre(const orb::CameraIntrinsics& camera)
{
    const cv::Matx31d t(orb::translationBToC(camera));
    const cv::Matx31d c = -(rigToCamera(camera).t() * t);
    return cv::Vec3d(c(0), c(1), c(2));
}

} // namespace calibrate
