#include "calibrate/RigRefinement.h"

#include "calibrate/LensRays.h"

#include <ceres/ceres.h>
#include <ceres/rotation.h>
#include <ceres/version.h>

#include <opencv2/calib3d.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

namespace calibrate {

namespace {

constexpr double kDegrees = 180.0 / CV_PI;

// Matches further off than this count less and less (the loss grows linearly beyond
// it): about three times what matching noise leaves on a good calibration.
constexpr double kRobustScale = 0.1 / kDegrees;

// The two rays of a match through the lens and rotation parameters, and how far they
// are from meeting. Per camera: a rotation vector (3) and the lens change (centre
// shift x, y in pixels, relative k0 change).
struct MatchCost {
    MatchCost(const orb::CameraIntrinsics& a, const orb::CameraIntrinsics& b, const PixelMatch& match,
              const cv::Vec3d& baselineUnit)
        : pixelA(match.a), pixelB(match.b), cameraA(a), cameraB(b), baseline(baselineUnit),
          toRigA(rigToCamera(a).t()), toRigB(rigToCamera(b).t())
    {
    }

    template <typename T>
    void rigRay(const cv::Point2d& pixel, const orb::CameraIntrinsics& camera, const cv::Matx33d& toRig,
                const T* rotation, const T* lens, T* ray) const
    {
        const float* k = camera.lensCoeffs.val;
        T local[3];
        lensRay(T(pixel.x), T(pixel.y), T(camera.centre(0)) + lens[0], T(camera.centre(1)) + lens[1],
                T(k[0]) * (1.0 + lens[2]), k[1], k[2], k[3], local);
        T rig[3];
        for (int r = 0; r < 3; ++r)
            rig[r] = toRig(r, 0) * local[0] + toRig(r, 1) * local[1] + toRig(r, 2) * local[2];
        ceres::AngleAxisRotatePoint(rotation, rig, ray);
    }

    template <typename T>
    bool operator()(const T* rotationA, const T* lensA, const T* rotationB, const T* lensB, T* residual) const
    {
        using std::sqrt;
        T a[3], b[3];
        rigRay(pixelA, cameraA, toRigA, rotationA, lensA, a);
        rigRay(pixelB, cameraB, toRigB, rotationB, lensB, b);
        T cross[3];
        ceres::CrossProduct(a, b, cross);
        const T volume = baseline[0] * cross[0] + baseline[1] * cross[1] + baseline[2] * cross[2];
        const T u[3] = {T(baseline[0]), T(baseline[1]), T(baseline[2])};
        T ua[3], ub[3];
        ceres::CrossProduct(u, a, ua);
        ceres::CrossProduct(u, b, ub);
        const T spread = sqrt(sqrt(ceres::DotProduct(ua, ua)) * sqrt(ceres::DotProduct(ub, ub)));
        residual[0] = volume / spread;
        return true;
    }

    cv::Point2d pixelA, pixelB;
    orb::CameraIntrinsics cameraA, cameraB;
    cv::Vec3d baseline;
    cv::Matx33d toRigA, toRigB;
};

// Holds the rig as a whole: the sum of the cameras' blocks (first `size` entries), weighted.
struct GaugeCost {
    GaugeCost(double weight, int size) : weight(weight), size(size) {}
    template <typename T>
    bool operator()(const T* c0, const T* c1, const T* c2, const T* c3, T* residual) const
    {
        for (int i = 0; i < 3; ++i)
            residual[i] = i < size ? weight * (c0[i] + c1[i] + c2[i] + c3[i]) : T(0.0);
        return true;
    }
    double weight;
    int size;
};

cv::Vec3d baselineUnit(const orb::CameraIntrinsics& a, const orb::CameraIntrinsics& b, int cameraA, int cameraB)
{
    const cv::Vec3d baseline = cameraCentre(b) - cameraCentre(a);
    const double length = cv::norm(baseline);
    if (!(length > 1e-4)) {
        throw std::runtime_error("the calibration puts " + pairName(cameraA, cameraB) +
                                 " at one place (no baseline between their centres); their rotations cannot be "
                                 "refined against it");
    }
    return baseline * (1.0 / length);
}

} // namespace

std::string solverVersion() { return std::string("Ceres Solver ") + CERES_VERSION_STRING + " (the solve)"; }

RefineMode parseRefineMode(const std::string& text)
{
    if (text == "rotation")
        return RefineMode::Rotation;
    if (text == "rotation+centre")
        return RefineMode::RotationCentre;
    if (text == "all")
        return RefineMode::All;
    throw std::invalid_argument("refine '" + text + "': expected rotation, rotation+centre or all");
}

const char* refineModeName(RefineMode mode)
{
    switch (mode) {
    case RefineMode::Rotation:
        return "rotation";
    case RefineMode::RotationCentre:
        return "rotation+centre";
    case RefineMode::All:
        return "all";
    }
    return "?";
}

orb::CameraIntrinsics corrected(const orb::CameraIntrinsics& camera, const CameraCorrection& correction)
{
    orb::CameraIntrinsics out = camera;
    cv::Matx33d turn;
    cv::Rodrigues(correction.rotation, turn);
    const cv::Vec3d centre = cameraCentre(camera);
    // New rig-to-camera rotation R' with R'^T = turn * R^T, so R' = R * turn^T.
    const cv::Matx33d rotation = rigToCamera(camera) * turn.t();
    const cv::Vec3d translation = -(rotation * centre);
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c)
            out.tmBToC(r, c) = static_cast<float>(rotation(r, c));
        out.tmBToC(r, 3) = static_cast<float>(translation[r]);
    }
    out.centre(0) = static_cast<float>(camera.centre(0) + correction.centreShift[0]);
    out.centre(1) = static_cast<float>(camera.centre(1) + correction.centreShift[1]);
    out.lensCoeffs(0) = static_cast<float>(camera.lensCoeffs(0) * correction.k0Scale);
    return out;
}

double matchResidual(const orb::CameraIntrinsics& a, const orb::CameraIntrinsics& b, const PixelMatch& match)
{
    const cv::Vec3d baseline = cameraCentre(b) - cameraCentre(a);
    const double length = cv::norm(baseline);
    if (!(length > 0))
        return 0.0;
    return epipolarResidual(rigToCamera(a).t() * pixelToRay(a, match.a), rigToCamera(b).t() * pixelToRay(b, match.b),
                            baseline * (1.0 / length));
}

double medianResidualDegrees(const std::vector<orb::CameraIntrinsics>& cameras, const PairMatches& pair)
{
    std::vector<double> residuals;
    for (const PixelMatch& m : pair.matches)
        residuals.push_back(std::abs(matchResidual(cameras[pair.cameraA], cameras[pair.cameraB], m)));
    if (residuals.empty())
        return 0.0;
    std::nth_element(residuals.begin(), residuals.begin() + residuals.size() / 2, residuals.end());
    return residuals[residuals.size() / 2] * kDegrees;
}

Refinement refineRig(const std::vector<orb::CameraIntrinsics>& cameras, const std::vector<PairMatches>& pairs,
                     RefineMode mode)
{
    const int count = static_cast<int>(cameras.size());
    if (count != 4)
        throw std::invalid_argument("RigRefinement refineRig() needs four cameras");
    std::vector<std::array<double, 3>> rotation(count, {0, 0, 0});
    std::vector<std::array<double, 3>> lens(count, {0, 0, 0});

    ceres::Problem::Options problemOptions;
    problemOptions.loss_function_ownership = ceres::DO_NOT_TAKE_OWNERSHIP;
    ceres::Problem problem(problemOptions);
    // Huber first, which converges from a calibration several degrees off; then
    // Cauchy from there, under which a wrong match far off pulls next to nothing.
    ceres::LossFunctionWrapper loss(new ceres::HuberLoss(kRobustScale), ceres::TAKE_OWNERSHIP);
    std::size_t matchCount = 0;
    for (const PairMatches& pair : pairs) {
        const orb::CameraIntrinsics& a = cameras[pair.cameraA];
        const orb::CameraIntrinsics& b = cameras[pair.cameraB];
        const cv::Vec3d unit = baselineUnit(a, b, pair.cameraA, pair.cameraB);
        for (const PixelMatch& m : pair.matches) {
            problem.AddResidualBlock(new ceres::AutoDiffCostFunction<MatchCost, 1, 3, 3, 3, 3>(
                                         new MatchCost(a, b, m, unit)),
                                     &loss, rotation[pair.cameraA].data(), lens[pair.cameraA].data(),
                                     rotation[pair.cameraB].data(), lens[pair.cameraB].data());
            ++matchCount;
        }
    }
    // Strong enough to hold the rig's frame against the weak pull of the parallax,
    // weak enough to leave the conditioning alone.
    const double weight = 10.0 * std::sqrt(static_cast<double>(std::max<std::size_t>(matchCount, 1)));
    for (int part = 0; part < 2; ++part) {
        std::vector<double*> blocks;
        for (int c = 0; c < count; ++c) {
            double* block = part == 0 ? rotation[c].data() : lens[c].data();
            if (problem.HasParameterBlock(block))
                blocks.push_back(block);
        }
        if (blocks.size() == 4 && part == 0) {
            problem.AddResidualBlock(new ceres::AutoDiffCostFunction<GaugeCost, 3, 3, 3, 3, 3>(
                                         new GaugeCost(weight, part == 0 ? 3 : 2)),
                                     nullptr, blocks);
        }
    }
    for (int c = 0; c < count; ++c) {
        if (!problem.HasParameterBlock(lens[c].data()))
            continue;
        if (mode == RefineMode::Rotation)
            problem.SetParameterBlockConstant(lens[c].data());
        else if (mode == RefineMode::RotationCentre)
            problem.SetManifold(lens[c].data(), new ceres::SubsetManifold(3, {2}));
    }

    ceres::Solver::Options options;
    options.linear_solver_type = ceres::DENSE_QR;
    options.max_num_iterations = 100;
    options.num_threads = 2;
    options.function_tolerance = 1e-12;
    options.parameter_tolerance = 1e-12;
    ceres::Solver::Summary summary;
    int iterations = 0;
    if (matchCount > 0) {
        ceres::Solve(options, &problem, &summary);
        iterations += static_cast<int>(summary.iterations.size());
        loss.Reset(new ceres::CauchyLoss(kRobustScale), ceres::TAKE_OWNERSHIP);
        ceres::Solve(options, &problem, &summary);
        iterations += static_cast<int>(summary.iterations.size());
    }

    // Remove what is left of a turn of the whole rig.
    cv::Vec3d meanRotation(0, 0, 0);
    for (int c = 0; c < count; ++c) {
        meanRotation += cv::Vec3d(rotation[c][0], rotation[c][1], rotation[c][2]) * (1.0 / count);
    }
    Refinement result;
    for (int c = 0; c < count; ++c) {
        CameraCorrection correction;
        correction.rotation = cv::Vec3d(rotation[c][0], rotation[c][1], rotation[c][2]) - meanRotation;
        if (mode != RefineMode::Rotation)
            correction.centreShift = cv::Vec2d(lens[c][0], lens[c][1]);
        if (mode == RefineMode::All)
            correction.k0Scale = 1.0 + lens[c][2];
        result.corrections.push_back(correction);
        result.cameras.push_back(corrected(cameras[c], correction));
    }
    for (const PairMatches& pair : pairs) {
        PairResidual residual;
        residual.cameraA = pair.cameraA;
        residual.cameraB = pair.cameraB;
        residual.matches = pair.matches.size();
        residual.beforeDegrees = medianResidualDegrees(cameras, pair);
        residual.afterDegrees = medianResidualDegrees(result.cameras, pair);
        result.pairs.push_back(residual);
    }
    result.iterations = iterations;
    result.converged = matchCount > 0 && summary.termination_type == ceres::CONVERGENCE;
    return result;
}

} // namespace calibrate
