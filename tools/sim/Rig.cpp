#include "sim/Rig.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace orb {
namespace sim {

namespace {

const double kDeg = CV_PI / 180.0;

// Values are stored as float in the calibration file; rendering with the rounded
// values keeps the file an exact description of the images.
double asFloat(double v) { return static_cast<double>(static_cast<float>(v)); }

cv::Matx33d cameraRotation(double azimuth, double pitchUp, double roll)
{
    const double ca = std::cos(azimuth), sa = std::sin(azimuth);
    const double cp = std::cos(pitchUp), sp = std::sin(pitchUp);
    const cv::Vec3d axis(cp * ca, cp * sa, -sp);  // z is down, so up is -z
    const cv::Vec3d right(-sa, ca, 0.0);
    const cv::Vec3d down = axis.cross(right);
    const double cr = std::cos(roll), sr = std::sin(roll);
    const cv::Vec3d x = cr * right + sr * down;
    const cv::Vec3d y = -sr * right + cr * down;
    cv::Matx33d r;
    for (int i = 0; i < 3; ++i) {
        r(0, i) = asFloat(axis[i]);
        r(1, i) = asFloat(x[i]);
        r(2, i) = asFloat(y[i]);
    }
    return r;
}

} // namespace

RigCamera::RigCamera(int number, const FisheyeLens& lens, const cv::Matx33d& rotation,
                     const cv::Vec3d& position, double exposure, const cv::Size& imageSize)
    : number_(number), lens_(lens), rotation_(rotation), position_(position),
      exposure_(exposure), imageSize_(imageSize)
{
}

cv::Matx44d RigCamera::tmBToC() const
{
    const cv::Vec3d t = -(rotation_ * position_);
    cv::Matx44d m = cv::Matx44d::eye();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            m(r, c) = rotation_(r, c);
        m(r, 3) = t[r];
    }
    return m;
}

double simulatedMaxTheta() { return 95.0 * kDeg; }

std::vector<RigCamera> makeRig(const cv::Size& imageSize, std::uint64_t seed)
{
    return makeRig(imageSize, seed, kNominalRigRadius);
}

std::vector<RigCamera> makeRig(const cv::Size& imageSize, std::uint64_t seed, double radius)
{
    if (!(radius >= 0.0) || !std::isfinite(radius))
        throw std::runtime_error("Rig makeRig() rig radius must be finite and non-negative");
    if (imageSize.width < 16 || imageSize.height < 16)
        throw std::runtime_error("Rig makeRig() camera images must be at least 16 x 16 pixels");
    cv::RNG rng(seed ^ 0x5bd1e9955bd1e995ULL);
    const double scale = std::min(imageSize.width, imageSize.height) / 1280.0;
    std::vector<RigCamera> cams;
    for (int k = 0; k < 4; ++k) {
        const double azimuth = k * 90.0 * kDeg + rng.uniform(-0.6, 0.6) * kDeg;
        const double pitch = 20.0 * kDeg + rng.uniform(-0.5, 0.5) * kDeg;
        const double roll = rng.uniform(-0.6, 0.6) * kDeg;
        const cv::Matx33d rotation = cameraRotation(azimuth, pitch, roll);

        // One draw per statement: argument evaluation order is unspecified.
        cv::Vec4d coeffs(1.0, 0.0, 0.0, 0.0);
        coeffs[1] = rng.uniform(-0.024, -0.016);
        coeffs[2] = rng.uniform(0.0008, 0.0012);
        coeffs[3] = rng.uniform(-0.00024, -0.00016);
        // Scale so that the 83-degree ray lands about 575 px (at 1280 px) from the centre.
        const FisheyeLens unit(coeffs, cv::Point2d(0, 0), simulatedMaxTheta());
        coeffs[0] = 575.0 * scale * rng.uniform(0.99, 1.01) / unit.radius(kStitchedMaxTheta);
        for (int i = 0; i < 4; ++i)
            coeffs[i] = asFloat(coeffs[i]);
        const double offsetX = rng.uniform(-6.0, 6.0) * scale;
        const double offsetY = rng.uniform(-6.0, 6.0) * scale;
        const cv::Point2d centre(asFloat((imageSize.width - 1) * 0.5 + offsetX),
                                 asFloat((imageSize.height - 1) * 0.5 + offsetY));
        const FisheyeLens lens(coeffs, centre, simulatedMaxTheta());

        const double out = 0.05 + rng.uniform(-0.002, 0.002);
        const double nominalAz = k * 90.0 * kDeg;
        const double height = rng.uniform(-0.003, 0.003);
        cv::Vec3d position(out * std::cos(nominalAz), out * std::sin(nominalAz), height);
        // Scaled only when asked, so the nominal rig keeps its exact positions.
        if (radius != kNominalRigRadius)
            position *= radius / kNominalRigRadius;
        const double exposure = rng.uniform(0.97, 1.03);
        cams.emplace_back(k + 1, lens, rotation, position, exposure, imageSize);
    }
    return cams;
}

std::vector<RigCamera> withGains(const std::vector<RigCamera>& rig, const std::vector<double>& gains)
{
    if (gains.size() != rig.size())
        throw std::runtime_error("Rig withGains() needs one gain per camera");
    std::vector<RigCamera> out;
    for (std::size_t i = 0; i < rig.size(); ++i) {
        if (!(gains[i] > 0.0) || !std::isfinite(gains[i]))
            throw std::runtime_error("Rig withGains() gains must be positive and finite");
        const RigCamera& c = rig[i];
        out.emplace_back(c.number(), c.lens(), c.rotation(), c.position(), c.exposure() * gains[i], c.imageSize());
    }
    return out;
}

namespace {

// Rotation by the angle |v| (radians) about v.
cv::Matx33d axisAngle(const cv::Vec3d& v)
{
    const double angle = cv::norm(v);
    if (angle == 0.0)
        return cv::Matx33d::eye();
    const cv::Vec3d k = v * (1.0 / angle);
    const cv::Matx33d cross(0, -k[2], k[1], k[2], 0, -k[0], -k[1], k[0], 0);
    return cv::Matx33d::eye() + std::sin(angle) * cross + (1.0 - std::cos(angle)) * (cross * cross);
}

} // namespace

std::vector<RigCamera> withRotationErrors(const std::vector<RigCamera>& rig, double sigmaDegrees, std::uint64_t seed)
{
    if (!(sigmaDegrees >= 0.0) || !std::isfinite(sigmaDegrees) || rig.size() < 2)
        throw std::runtime_error("Rig withRotationErrors() needs a finite, non-negative sigma and several cameras");
    cv::RNG rng(seed ^ 0x243f6a8885a308d3ULL);
    const double n = static_cast<double>(rig.size());
    std::vector<cv::Vec3d> turns;
    cv::Vec3d mean(0, 0, 0);
    for (std::size_t i = 0; i < rig.size(); ++i) {
        cv::Vec3d v;
        for (int a = 0; a < 3; ++a)
            v[a] = rng.gaussian(sigmaDegrees * kDeg);
        turns.push_back(v);
        mean += v * (1.0 / n);
    }
    std::vector<RigCamera> out;
    for (std::size_t i = 0; i < rig.size(); ++i) {
        // Taking the mean out leaves (n - 1) / n of the variance.
        const cv::Vec3d turn = (turns[i] - mean) * std::sqrt(n / (n - 1.0));
        const RigCamera& c = rig[i];
        // Rig-to-camera R' with R'^T = turn * R^T.
        const cv::Matx33d rotation = c.rotation() * axisAngle(turn).t();
        cv::Matx33d rounded;
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k)
                rounded(r, k) = asFloat(rotation(r, k));
        out.emplace_back(c.number(), c.lens(), rounded, c.position(), c.exposure(), c.imageSize());
    }
    return out;
}

void writeCalibration(const std::string& path, const std::vector<RigCamera>& cameras)
{
    cv::FileStorage fs(path, cv::FileStorage::WRITE);
    if (!fs.isOpened())
        throw std::runtime_error("Rig writeCalibration() cannot open '" + path + "' for writing");
    fs << "cameras" << "[";
    for (const RigCamera& cam : cameras) {
        cv::Mat lens(4, 1, CV_32F), centre(2, 1, CV_32F), tm(4, 4, CV_32F);
        for (int i = 0; i < 4; ++i)
            lens.at<float>(i) = static_cast<float>(cam.lens().coeffs()[i]);
        centre.at<float>(0) = static_cast<float>(cam.lens().centre().x);
        centre.at<float>(1) = static_cast<float>(cam.lens().centre().y);
        const cv::Matx44d m = cam.tmBToC();
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c)
                tm.at<float>(r, c) = static_cast<float>(m(r, c));
        fs << "{" << "lensCoeffs" << lens << "centre" << centre << "tmBToC" << tm << "imageSize" << cam.imageSize()
           << "}";
    }
    fs << "]";
    fs.release();
    // The storage reports write failures only by leaving a short file: read it back.
    cv::FileStorage check(path, cv::FileStorage::READ);
    if (!check.isOpened() || check["cameras"].size() != cameras.size())
        throw std::runtime_error("Rig writeCalibration() could not write '" + path + "'");
}

} // namespace sim
} // namespace orb
