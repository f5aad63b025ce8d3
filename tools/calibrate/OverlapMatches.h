#pragma once

#include "calibrate/OverlapView.h"

#include "BaseLib/CameraIntrinsics.h"

#include <opencv2/core.hpp>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace calibrate {

// Feature detectors to match the overlaps with.
enum class FeatureKind { Sift, Akaze, Orb };
// "sift", "akaze" or "orb"; throws std::invalid_argument quoting the text.
FeatureKind parseFeatureKind(const std::string& text);
const char* featureKindName(FeatureKind kind);

struct MatchSettings {
    FeatureKind features = FeatureKind::Sift;
    // Lowe's ratio: the best match must be this much closer than the second best.
    double ratio = 0.8;
    // View resolution relative to the lenses' own scale k0 at the image centre.
    double viewScale = 0.75;
    // Most features kept per view.
    int maxFeatures = 3000;
    // Largest angle between the two rays of a match through the current calibration:
    // a calibration off by a few degrees per camera, plus the parallax of near objects.
    double maxOffsetDegrees = 15.0;
    // A match is consistent with its pair's geometry when its ray lies this close to
    // the epipolar plane of the other, once the pair's relative rotation is corrected.
    double inlierDegrees = 0.2;
};

// One feature seen by both cameras of a pair: its pixel in either camera image.
struct PixelMatch {
    cv::Point2d a, b;
    std::uint32_t frame = 0;
};

// The matches of one pair of neighbouring cameras (counted from 0; B is A's right-hand
// neighbour) over all frames.
struct PairMatches {
    int cameraA = 0, cameraB = 1;
    std::size_t candidates = 0;       // passed the ratio test and the offset limit
    std::vector<PixelMatch> matches;  // and then the geometric check
};

// "cameras 2 and 3 (right and back)": how reports and errors name a pair.
std::string pairName(int cameraA, int cameraB);

// A pair with too few matches to trust (a textureless overlap): the result would be a guess.
class TooFewMatchesError : public std::runtime_error {
public:
    TooFewMatchesError(const PairMatches& pair, std::size_t minimum);
    int cameraA, cameraB;
};

// Fewer matches than this in a pair neither measure nor refine it reliably.
constexpr std::size_t kMinimumMatches = 30;

// Throws TooFewMatchesError for the first pair with fewer than `minimum` matches.
void requireMatches(const std::vector<PairMatches>& pairs, std::size_t minimum);

// Features where neighbouring cameras both see, frame after frame: each pair's
// overlap is resampled from both cameras into one view (OverlapView), features are
// detected there and matched with a ratio test; checkedMatches() keeps those that
// agree with one relative rotation of the pair and the rig's baseline.
class OverlapMatches {
public:
    OverlapMatches(const std::vector<orb::CameraIntrinsics>& cameras, cv::Size imageSize, double maxAngle,
                   const MatchSettings& settings);

    // One frame's camera images (8-bit BGR or grey, camera order, of the size given above).
    void addFrame(std::uint32_t frame, const std::vector<cv::Mat>& images);
    std::vector<PairMatches> checkedMatches() const;

private:
    std::vector<orb::CameraIntrinsics> cameras_;
    cv::Size imageSize_;
    MatchSettings settings_;
    std::vector<OverlapView> views_;
    std::vector<PairMatches> candidates_;
};

// Helpers of the geometric check, in the rig frame.

// Indices of the matches (unit rays `raysA` from camera A's centre, `raysB` from
// camera B's, `baseline` from A's centre to B's) that one small rotation of B's rays
// brings within `thresholdRadians` of their epipolar planes, in front of both
// cameras. The rotation is found by a seeded RANSAC over the linearised constraint and
// refined on its inliers; rotations beyond `maxRotationRadians` are not considered.
std::vector<std::size_t> consistentMatches(const std::vector<cv::Vec3d>& raysA, const std::vector<cv::Vec3d>& raysB,
                                           const cv::Vec3d& baseline, double thresholdRadians,
                                           double maxRotationRadians);

// Signed angle (radians) of the rays off their common epipolar plane, shared between
// them: zero when the two rays from the ends of `baseline` can meet.
double epipolarResidual(const cv::Vec3d& rayA, const cv::Vec3d& rayB, const cv::Vec3d& baselineUnit);

} // namespace calibrate
