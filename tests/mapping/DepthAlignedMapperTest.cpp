#include "StitchLib/mapping/DepthAlignedMapper.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "BaseLib/LensParameters.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace orb {
namespace {

// Every row of a rows x 2 rows panorama through both mappers, in runs of odd
// lengths and offsets (so that vector lanes and the scalar tail both meet every
// column); the floats must be the same bits, NaN included.
void expectSameBits(const CameraIntrinsics& camera, const cv::Matx44f& extrinsic, const cv::Mat& inverseDepth,
                    int validRows, float maxAngle, const char* what)
{
    EqrToFisheye<true, true> reference(camera, extrinsic, inverseDepth, validRows, maxAngle);
    DepthAlignedMapper mapper(camera, extrinsic, inverseDepth, validRows, maxAngle);
    const int cols = inverseDepth.cols;
    std::vector<float> want(2 * static_cast<std::size_t>(cols)), got(want.size());
    long differing = 0;
    long mapped = 0;
    for (int row = 0; row < inverseDepth.rows; ++row) {
        reference.setRow(row);
        mapper.setRow(row);
        reference.getRowCoords(0, cols, want.data());
        const int split = (row * 37) % 11; // a first run of 0 to 10 columns
        mapper.getRowCoords(0, split, got.data());
        mapper.getRowCoords(split, cols - split, got.data() + 2 * split);
        for (int c = 0; c < cols; ++c) {
            differing += std::memcmp(&want[2 * c], &got[2 * c], 2 * sizeof(float)) != 0;
            mapped += want[2 * c] != -1.0f;
        }
    }
    EXPECT_EQ(differing, 0) << what;
    EXPECT_GT(mapped, inverseDepth.total() / 5) << what; // real positions were compared
}

TEST(DepthAlignedMapper, GivesTheBitsOfTheScalarMapping)
{
    // Cameras off the rig's centre, lenses with strong odd terms (so that the
    // powers near a rounding midpoint go to pow), depths from infinity to
    // half a metre, valid rows ending early, both lens angles.
    cv::RNG rng(26);
    const std::vector<CameraIntrinsics> rig = testrig::makeRig(400.f, 640.f, 620.f, 0.1f);
    for (int trial = 0; trial < 6; ++trial) {
        CameraIntrinsics camera = rig[static_cast<std::size_t>(trial % 4)];
        camera.lensCoeffs = cv::Matx41f(rng.uniform(300.f, 450.f), rng.uniform(-0.1f, 0.1f), rng.uniform(-0.02f, 0.02f),
                                        rng.uniform(-0.005f, 0.005f));
        camera.centre = cv::Matx21f(rng.uniform(600.f, 680.f), rng.uniform(600.f, 680.f));
        const int rows = 60 + trial * 13;
        cv::Mat inverseDepth(rows, 2 * rows, CV_32F);
        rng.fill(inverseDepth, cv::RNG::UNIFORM, 0.0, trial == 0 ? 1e-30 : 2.0);
        const cv::Matx44f extrinsic = trial < 3 ? cv::Matx44f::eye()
                                                : cv::Matx44f(0.99f, -0.1f, 0.f, 0.02f, 0.1f, 0.99f, 0.f, -0.01f, 0.f,
                                                              0.f, 1.f, 0.03f, 0.f, 0.f, 0.f, 1.f);
        expectSameBits(camera, extrinsic, inverseDepth, rows - trial * 3, maxAngleForLensVersion(trial % 2),
                       ("trial " + std::to_string(trial)).c_str());
    }
}

TEST(DepthAlignedMapper, DegenerateDirectionsAndRowsGoTheScalarWay)
{
    // A transform that sends every direction to zero (the scalar mapping's
    // unit vector (1, 0, 0), the optical axis), rows outside the depth image
    // and runs reaching beyond it.
    CameraIntrinsics camera = testrig::makeRig(400.f, 640.f, 620.f)[1];
    camera.tmBToC = cv::Matx44f::zeros();
    cv::Mat inverseDepth(40, 80, CV_32F, cv::Scalar(0.5f));
    EqrToFisheye<true, true> reference(camera, cv::Matx44f::eye(), inverseDepth, 40, 1.4486f);
    DepthAlignedMapper mapper(camera, cv::Matx44f::eye(), inverseDepth, 40, 1.4486f);
    for (const int row : {-1, 0, 17, 39, 40}) {
        reference.setRow(row);
        mapper.setRow(row);
        for (const int first : {-3, 0, 5, 70}) {
            const int count = 13;
            std::vector<float> want(2 * count), got(2 * count);
            reference.getRowCoords(first, count, want.data());
            mapper.getRowCoords(first, count, got.data());
            EXPECT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(float)), 0)
                << "row " << row << " from " << first;
        }
    }
}

} // namespace
} // namespace orb
