#include "StitchLib/input/CalibrationCheck.h"

#include "StitchLib/input/InputError.h"

#include <cmath>
#include <sstream>

namespace orb {
namespace input {
namespace {

std::string number(float v)
{
    if (std::isnan(v))
        return "nan";  // whatever its sign bit
    std::ostringstream s;
    s << v;
    return s.str();
}

class CameraChecker {
public:
    CameraChecker(const std::string& path, std::size_t index) : path_(path), camera_(std::to_string(index + 1)) {}

    [[noreturn]] void fail(const std::string& what) const
    {
        throw CalibrationError("Calibration file '" + path_ + "', camera " + camera_ + ": " + what);
    }

    void lens(const cv::Matx<float, 4, 1>& k) const
    {
        for (int i = 0; i < 4; ++i) {
            if (!std::isfinite(k(i)))
                fail("lens coefficient k" + std::to_string(i) + " is " + number(k(i)));
        }
        if (!(k(0) > 0.0f))
            fail("lens coefficient k0 (pixels per radian) is " + number(k(0)) + "; it must be positive");
    }

    void centre(const cv::Matx<float, 2, 1>& c, cv::Size imageSize) const
    {
        // Pixel centres run from 0 to size - 1; the image covers half a pixel more each side.
        const bool inside = c(0) >= -0.5f && c(0) <= imageSize.width - 0.5f && c(1) >= -0.5f &&
                            c(1) <= imageSize.height - 0.5f;
        if (!inside) {
            fail("centre (" + number(c(0)) + ", " + number(c(1)) + ") is outside the " +
                 std::to_string(imageSize.width) + " x " + std::to_string(imageSize.height) + " image");
        }
    }

    void pose(const cv::Matx<float, 4, 4>& t) const
    {
        for (int r = 0; r < 4; ++r) {
            for (int c = 0; c < 4; ++c) {
                if (!std::isfinite(t(r, c)))
                    fail("tmBToC(" + std::to_string(r) + ", " + std::to_string(c) + ") is " + number(t(r, c)));
            }
        }
        if (t(3, 0) != 0.0f || t(3, 1) != 0.0f || t(3, 2) != 0.0f || t(3, 3) != 1.0f) {
            fail("tmBToC's last row is " + number(t(3, 0)) + " " + number(t(3, 1)) + " " + number(t(3, 2)) + " " +
                 number(t(3, 3)) + "; a rigid transform has 0 0 0 1");
        }
        const cv::Matx33d rotation(t(0, 0), t(0, 1), t(0, 2), t(1, 0), t(1, 1), t(1, 2), t(2, 0), t(2, 1), t(2, 2));
        const cv::Matx33d gram = rotation * rotation.t() - cv::Matx33d::eye();
        double deviation = 0.0;
        for (int i = 0; i < 9; ++i)
            deviation = std::max(deviation, std::fabs(gram.val[i]));
        if (deviation > kRotationTolerance || cv::determinant(rotation) <= 0.0) {
            fail("tmBToC's rotation is not orthonormal with determinant +1 (R R^T deviates from identity by " +
                 number(static_cast<float>(deviation)) + ", determinant " +
                 number(static_cast<float>(cv::determinant(rotation))) + "); it must be a rigid transform");
        }
    }

private:
    std::string path_;
    std::string camera_;
};

// Optical centre in the rig frame: the point tmBToC maps to the camera origin.
cv::Vec3d position(const cv::Matx<float, 4, 4>& t)
{
    const cv::Matx33d r(t(0, 0), t(0, 1), t(0, 2), t(1, 0), t(1, 1), t(1, 2), t(2, 0), t(2, 1), t(2, 2));
    return -(r.t() * cv::Vec3d(t(0, 3), t(1, 3), t(2, 3)));
}

} // namespace

void checkCalibration(const std::vector<CameraIntrinsics>& cameras, const std::string& path)
{
    for (std::size_t i = 0; i < cameras.size(); ++i) {
        const CameraChecker check(path, i);
        check.lens(cameras[i].lensCoeffs);
        check.pose(cameras[i].tmBToC);
    }
    // Depth is estimated between each camera and the next around the ring. Cameras at
    // one place are harmless (the pair sees no parallax); one above the other leaves no
    // horizontal direction to rectify along.
    for (std::size_t i = 0; cameras.size() > 1 && i < cameras.size(); ++i) {
        const std::size_t j = (i + 1) % cameras.size();
        const cv::Vec3d baseline = position(cameras[j].tmBToC) - position(cameras[i].tmBToC);
        const double length = cv::norm(baseline);
        const double horizontal = std::hypot(baseline[0], baseline[1]);
        if (length > 0.0 && horizontal <= 1e-3 * length) {
            throw CalibrationError("Calibration file '" + path + "': cameras " + std::to_string(i + 1) + " and " +
                                   std::to_string(j + 1) +
                                   " are one above the other; neighbouring cameras need a horizontal baseline");
        }
    }
}

void checkCalibrationFitsImages(const std::vector<CameraIntrinsics>& cameras, cv::Size imageSize,
                                const std::string& path)
{
    for (std::size_t i = 0; i < cameras.size(); ++i)
        CameraChecker(path, i).centre(cameras[i].centre, imageSize);
}

void checkCalibrationMatchesImages(const Calibration& calibration, cv::Size imageSize, const std::string& path)
{
    const auto sizeText = [](cv::Size s) { return std::to_string(s.width) + " x " + std::to_string(s.height); };
    for (std::size_t i = 0; i < calibration.cameras.size(); ++i) {
        const CameraChecker check(path, i);
        const cv::Size recorded = i < calibration.imageSizes.size() ? calibration.imageSizes[i] : cv::Size();
        if (!recorded.empty() && recorded != imageSize) {
            check.fail("it was made for images of " + sizeText(recorded) + " (imageSize), but the camera images are " +
                       sizeText(imageSize));
        }
    }
    checkCalibrationFitsImages(calibration.cameras, imageSize, path);
    for (std::size_t i = 0; i < calibration.cameras.size(); ++i) {
        const bool recorded = i < calibration.imageSizes.size() && !calibration.imageSizes[i].empty();
        if (recorded)
            continue; // the recorded size is the better evidence, and it matched
        const CameraChecker check(path, i);
        const CameraIntrinsics& camera = calibration.cameras[i];
        const double cx = camera.centre(0), cy = camera.centre(1);
        // Pixel centres run from 0 to size - 1, so the image centre is at (size - 1) / 2.
        const double offsetX = std::fabs(cx - 0.5 * (imageSize.width - 1)) / imageSize.width;
        const double offsetY = std::fabs(cy - 0.5 * (imageSize.height - 1)) / imageSize.height;
        if (offsetX > kMaxCentreOffset || offsetY > kMaxCentreOffset) {
            // An optical centre sits near the middle of the images it was found in.
            const cv::Size guess(static_cast<int>(std::lround(2.0 * cx + 1.0)),
                                 static_cast<int>(std::lround(2.0 * cy + 1.0)));
            check.fail("optical centre (" + number(camera.centre(0)) + ", " + number(camera.centre(1)) +
                       ") lies far from the middle of the camera images, which are " + sizeText(imageSize) +
                       "; the calibration looks made for images of about " + sizeText(guess));
        }
        // Radius of a ray 45 degrees off the axis, against the farthest image corner.
        const auto& k = camera.lensCoeffs;
        const double t = kMinLensReach;
        const double reach = k(0) * (t + k(1) * std::pow(t, 3) + k(2) * std::pow(t, 5) + k(3) * std::pow(t, 7));
        const double corner = std::hypot(std::max(cx + 0.5, imageSize.width - 0.5 - cx),
                                         std::max(cy + 0.5, imageSize.height - 0.5 - cy));
        if (reach > corner) {
            const double scale = reach / corner;
            const cv::Size guess(static_cast<int>(std::lround(imageSize.width * scale)),
                                 static_cast<int>(std::lround(imageSize.height * scale)));
            check.fail("its lens puts a ray 45 degrees off the axis " + number(static_cast<float>(reach)) +
                       " pixels from the optical centre, beyond every corner of the camera images, which are " +
                       sizeText(imageSize) +
                       "; four cameras must each see at least that far, so the calibration looks made for images "
                       "of at least " + sizeText(guess));
        }
    }
}

} // namespace input
} // namespace orb
