#include "calibrate/OverlapMatches.h"

#include "calibrate/LensRays.h"

#include "StitchLib/geometry/Rig.h"

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>

namespace calibrate {

namespace {

const char* const kCameraNames[] = {"forward", "right", "back", "left"};

cv::Ptr<cv::Feature2D> makeDetector(const MatchSettings& settings)
{
    switch (settings.features) {
    case FeatureKind::Sift:
        return cv::SIFT::create(settings.maxFeatures);
    case FeatureKind::Akaze:
        return cv::AKAZE::create();
    case FeatureKind::Orb:
        return cv::ORB::create(settings.maxFeatures);
    }
    return {};
}

int descriptorNorm(FeatureKind kind) { return kind == FeatureKind::Sift ? cv::NORM_L2 : cv::NORM_HAMMING; }

// Keeps the `count` strongest keypoints (AKAZE has no limit of its own).
void keepStrongest(std::vector<cv::KeyPoint>& keypoints, cv::Mat& descriptors, int count)
{
    if (static_cast<int>(keypoints.size()) <= count)
        return;
    std::vector<int> order(keypoints.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = static_cast<int>(i);
    std::stable_sort(order.begin(), order.end(),
                     [&](int l, int r) { return keypoints[l].response > keypoints[r].response; });
    order.resize(count);
    std::vector<cv::KeyPoint> kept;
    cv::Mat keptDescriptors(count, descriptors.cols, descriptors.type());
    for (int i = 0; i < count; ++i) {
        kept.push_back(keypoints[order[i]]);
        descriptors.row(order[i]).copyTo(keptDescriptors.row(i));
    }
    keypoints.swap(kept);
    descriptors = keptDescriptors;
}

cv::Matx33d rotationOf(const cv::Vec3d& rotationVector)
{
    cv::Matx33d r;
    cv::Rodrigues(rotationVector, r);
    return r;
}

double parallax(const cv::Vec3d& rayA, const cv::Vec3d& rayB, const cv::Vec3d& baselineUnit)
{
    const cv::Vec3d normal = baselineUnit.cross(rayA);
    const double length = cv::norm(normal);
    return length > 0 ? rayA.cross(rayB).dot(normal) / length : 0.0;
}

} // namespace

FeatureKind parseFeatureKind(const std::string& text)
{
    if (text == "sift")
        return FeatureKind::Sift;
    if (text == "akaze")
        return FeatureKind::Akaze;
    if (text == "orb")
        return FeatureKind::Orb;
    throw std::invalid_argument("features '" + text + "': expected sift, akaze or orb");
}

const char* featureKindName(FeatureKind kind)
{
    switch (kind) {
    case FeatureKind::Sift:
        return "sift";
    case FeatureKind::Akaze:
        return "akaze";
    case FeatureKind::Orb:
        return "orb";
    }
    return "?";
}

std::string pairName(int cameraA, int cameraB)
{
    return "cameras " + std::to_string(cameraA + 1) + " and " + std::to_string(cameraB + 1) + " (" +
           kCameraNames[cameraA % 4] + " and " + kCameraNames[cameraB % 4] + ")";
}

TooFewMatchesError::TooFewMatchesError(const PairMatches& pair, std::size_t minimum)
    : std::runtime_error("too few good matches between " + pairName(pair.cameraA, pair.cameraB) + ": " +
                         std::to_string(pair.matches.size()) + " of " + std::to_string(pair.candidates) +
                         " candidates agree with the rig's geometry, at least " + std::to_string(minimum) +
                         " are needed (is their overlap textureless or covered?)"),
      cameraA(pair.cameraA), cameraB(pair.cameraB)
{
}

void requireMatches(const std::vector<PairMatches>& pairs, std::size_t minimum)
{
    for (const PairMatches& pair : pairs) {
        if (pair.matches.size() < minimum)
            throw TooFewMatchesError(pair, minimum);
    }
}

double epipolarResidual(const cv::Vec3d& rayA, const cv::Vec3d& rayB, const cv::Vec3d& baselineUnit)
{
    const double volume = baselineUnit.dot(rayA.cross(rayB));
    const double spread = std::sqrt(cv::norm(baselineUnit.cross(rayA)) * cv::norm(baselineUnit.cross(rayB)));
    return spread > 0 ? volume / spread : 0.0;
}

std::vector<std::size_t> consistentMatches(const std::vector<cv::Vec3d>& raysA, const std::vector<cv::Vec3d>& raysB,
                                           const cv::Vec3d& baseline, double thresholdRadians,
                                           double maxRotationRadians)
{
    const std::size_t n = raysA.size();
    if (n < 3)
        return {};
    const cv::Vec3d unit = baseline * (1.0 / cv::norm(baseline));
    // Residual of match i after rotating B's ray by `rotation`, and its gradient with
    // respect to a further small rotation.
    auto linearised = [&](std::size_t i, const cv::Matx33d& rotation, cv::Vec3d& gradient) {
        const cv::Vec3d b = rotation * raysB[i];
        const double spread =
            std::sqrt(cv::norm(unit.cross(raysA[i])) * cv::norm(unit.cross(b)));
        gradient = b.cross(unit.cross(raysA[i])) * (1.0 / spread);
        return unit.dot(raysA[i].cross(b)) / spread;
    };

    // RANSAC over three matches at a time; seeded, so the same matches give the same answer.
    cv::RNG rng(0x6a09e667f3bcc909ULL);
    const double loose = 4.0 * thresholdRadians;
    cv::Vec3d best(0, 0, 0);
    std::size_t bestCount = 0;
    const cv::Matx33d identity = cv::Matx33d::eye();
    std::vector<double> residual(n);
    std::vector<cv::Vec3d> gradient(n);
    for (std::size_t i = 0; i < n; ++i)
        residual[i] = linearised(i, identity, gradient[i]);
    for (int iteration = 0; iteration < 400; ++iteration) {
        const std::size_t i = rng.uniform(0, static_cast<int>(n));
        const std::size_t j = rng.uniform(0, static_cast<int>(n));
        const std::size_t k = rng.uniform(0, static_cast<int>(n));
        if (i == j || j == k || i == k)
            continue;
        cv::Matx33d g;
        cv::Vec3d rhs;
        const std::size_t picked[3] = {i, j, k};
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c)
                g(r, c) = gradient[picked[r]][c];
            rhs[r] = -residual[picked[r]];
        }
        cv::Vec3d omega;
        if (!cv::solve(g, rhs, omega, cv::DECOMP_LU) || !(cv::norm(omega) <= maxRotationRadians))
            continue;
        std::size_t count = 0;
        for (std::size_t m = 0; m < n; ++m)
            count += std::abs(residual[m] + gradient[m].dot(omega)) < loose;
        if (count > bestCount) {
            bestCount = count;
            best = omega;
        }
    }
    if (bestCount < 3)
        return {};

    // Refine on the inliers with the exact residual, narrowing the threshold.
    cv::Matx33d rotation = rotationOf(best);
    const double thresholds[] = {loose, 2.0 * thresholdRadians, thresholdRadians, thresholdRadians};
    std::vector<std::size_t> inliers;
    for (double threshold : thresholds) {
        cv::Matx33d normal = cv::Matx33d::zeros();
        cv::Vec3d rhs(0, 0, 0);
        inliers.clear();
        for (std::size_t m = 0; m < n; ++m) {
            cv::Vec3d g;
            const double r = linearised(m, rotation, g);
            if (std::abs(r) >= threshold)
                continue;
            inliers.push_back(m);
            normal += g * g.t();
            rhs -= g * r;
        }
        cv::Vec3d step;
        if (inliers.size() < 3 || !cv::solve(normal, rhs, step, cv::DECOMP_CHOLESKY))
            return {};
        rotation = rotationOf(step) * rotation;
    }

    // The rays must meet in front of both cameras; far points may miss by the noise.
    std::vector<std::size_t> kept;
    for (std::size_t m : inliers) {
        cv::Vec3d g;
        if (std::abs(linearised(m, rotation, g)) < thresholdRadians &&
            parallax(raysA[m], rotation * raysB[m], unit) > -thresholdRadians)
            kept.push_back(m);
    }
    return kept;
}

OverlapMatches::OverlapMatches(const std::vector<orb::CameraIntrinsics>& cameras, cv::Size imageSize,
                               double maxAngle, const MatchSettings& settings)
    : cameras_(cameras), imageSize_(imageSize), settings_(settings)
{
    for (int a = 0; a < orb::Rig::pairCount(); ++a) {
        const int b = orb::Rig::rightNeighbour(a);
        const double scale = std::min(cameras[a].lensCoeffs(0), cameras[b].lensCoeffs(0)) * settings.viewScale;
        views_.emplace_back(cameras[a], cameras[b], imageSize, maxAngle, scale);
        PairMatches pair;
        pair.cameraA = a;
        pair.cameraB = b;
        candidates_.push_back(pair);
    }
}

void OverlapMatches::addFrame(std::uint32_t frame, const std::vector<cv::Mat>& images)
{
    std::vector<cv::Mat> grey(images.size());
    for (std::size_t c = 0; c < images.size(); ++c) {
        if (images[c].channels() == 1)
            grey[c] = images[c];
        else
            cv::cvtColor(images[c], grey[c], cv::COLOR_BGR2GRAY);
    }
    const double maxOffset = std::cos(settings_.maxOffsetDegrees * CV_PI / 180.0);
    // Pairs side by side; each writes only its own candidates.
    cv::parallel_for_(cv::Range(0, static_cast<int>(views_.size())), [&](const cv::Range& range) {
        for (int p = range.start; p < range.end; ++p) {
            const OverlapView& view = views_[p];
            PairMatches& pair = candidates_[p];
            const cv::Ptr<cv::Feature2D> detector = makeDetector(settings_);
            std::vector<cv::KeyPoint> keypoints[2];
            cv::Mat descriptors[2];
            const int cameras[2] = {pair.cameraA, pair.cameraB};
            for (int which = 0; which < 2; ++which) {
                detector->detectAndCompute(view.resample(grey[cameras[which]], which), view.mask(), keypoints[which],
                                           descriptors[which]);
                keepStrongest(keypoints[which], descriptors[which], settings_.maxFeatures);
            }
            if (keypoints[0].size() < 2 || keypoints[1].size() < 2)
                continue;
            cv::BFMatcher matcher(descriptorNorm(settings_.features));
            std::vector<std::vector<cv::DMatch>> nearest;
            matcher.knnMatch(descriptors[0], descriptors[1], nearest, 2);
            for (const std::vector<cv::DMatch>& m : nearest) {
                if (m.size() < 2 || !(m[0].distance < settings_.ratio * m[1].distance))
                    continue;
                const cv::Vec3d dirA = view.direction(keypoints[0][m[0].queryIdx].pt);
                const cv::Vec3d dirB = view.direction(keypoints[1][m[0].trainIdx].pt);
                if (dirA.dot(dirB) < maxOffset)
                    continue;
                PixelMatch match;
                match.frame = frame;
                rayToPixel(cameras_[pair.cameraA], rigToCamera(cameras_[pair.cameraA]) * dirA, CV_PI, match.a);
                rayToPixel(cameras_[pair.cameraB], rigToCamera(cameras_[pair.cameraB]) * dirB, CV_PI, match.b);
                pair.matches.push_back(match);
                ++pair.candidates;
            }
        }
    });
}

std::vector<PairMatches> OverlapMatches::checkedMatches() const
{
    std::vector<PairMatches> checked;
    for (const PairMatches& pair : candidates_) {
        const orb::CameraIntrinsics& a = cameras_[pair.cameraA];
        const orb::CameraIntrinsics& b = cameras_[pair.cameraB];
        const cv::Matx33d toRigA = rigToCamera(a).t(), toRigB = rigToCamera(b).t();
        std::vector<cv::Vec3d> raysA, raysB;
        for (const PixelMatch& m : pair.matches) {
            raysA.push_back(toRigA * pixelToRay(a, m.a));
            raysB.push_back(toRigB * pixelToRay(b, m.b));
        }
        const std::vector<std::size_t> kept =
            consistentMatches(raysA, raysB, cameraCentre(b) - cameraCentre(a), settings_.inlierDegrees * CV_PI / 180.0,
                              settings_.maxOffsetDegrees * CV_PI / 180.0);
        PairMatches result;
        result.cameraA = pair.cameraA;
        result.cameraB = pair.cameraB;
        result.candidates = pair.candidates;
        for (std::size_t i : kept)
            result.matches.push_back(pair.matches[i]);
        checked.push_back(result);
    }
    return checked;
}

} // namespace calibrate
