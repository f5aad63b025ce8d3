// The mappers read the azimuth's cosine and sine from a per-column table and
// fill the maps in runs of a row; the remap maps must stay the same to the bit
// as when every pixel evaluated everything on its own.
#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/geometry/ImageMapping.h"

#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

namespace orb {
namespace {

// The mapper as it was: azimuth trigonometry per pixel, then the same
// projection. Plain when depth is empty.
class PerPixelMapper {
public:
    PerPixelMapper(const CameraIntrinsics& camera, int rows, int cols, const cv::Mat& depth, int validRows,
                   float maxAngle)
        : camera(camera), rows(rows), cols(cols), depth(depth), validRows(validRows), maxAngle(maxAngle),
          cosMaxAngle(std::cos(maxAngle))
    {
    }

    void setRow(int r)
    {
        row = r;
        const float phi = static_cast<float>(rows - 2 * r - 1) * coordinateSystems::kHalfPi / static_cast<float>(rows);
        sinElevation = static_cast<float>(std::sin(static_cast<double>(phi)));
        cosElevation = static_cast<float>(std::cos(static_cast<double>(phi)));
    }

    void getCoords(int c, float* out) const
    {
        float direction[4];
        if (!depth.empty() && (row >= validRows || row >= depth.rows || c < 0 || c >= depth.cols)) {
            out[0] = out[1] = -1.0f;
            return;
        }
        const float theta = static_cast<float>(2 * c + 1 - cols) * coordinateSystems::kPi / static_cast<float>(cols);
        const float cosAzimuth = static_cast<float>(std::cos(static_cast<double>(theta)));
        const float sinAzimuth = static_cast<float>(std::sin(static_cast<double>(theta)));
        direction[0] = static_cast<float>(static_cast<double>(cosAzimuth) * static_cast<double>(cosElevation));
        direction[1] = static_cast<float>(static_cast<double>(sinAzimuth) * static_cast<double>(cosElevation));
        direction[2] = -sinElevation;
        direction[3] = depth.empty() ? 0.0f : depth.at<float>(row, c);
        coordinateSystems::calculateUv<false, float, float>(direction, camera.tmBToC.val, camera.lensCoeffs.val,
                                                           camera.centre.val, out, maxAngle, cosMaxAngle);
    }

private:
    CameraIntrinsics camera;
    int rows, cols;
    cv::Mat depth;
    int validRows;
    float maxAngle, cosMaxAngle;
    int row = 0;
    float sinElevation = 0, cosElevation = 0;
};

TEST(AzimuthTableTest, MapsMatchPerPixelTrigonometryOnManyRigsAndHeights)
{
    cv::RNG rng(2024);
    int compared = 0;
    for (int rig = 0; rig < 6; ++rig) {
        const CameraIntrinsics camera = testrig::makeCamera(
            rng.uniform(-180.0, 180.0), rng.uniform(300.f, 500.f), rng.uniform(600.f, 680.f),
            rng.uniform(600.f, 680.f), rng.uniform(0.f, 0.1f), rng.uniform(-0.05f, 0.05f),
            rng.uniform(-0.01f, 0.01f), rng.uniform(-0.001f, 0.001f), rng.uniform(-20.0, 20.0));
        const float maxAngle = rng.uniform(1.4f, 1.7f);
        for (const int rows : {4, 7, 33, 250, 5000}) {
            const int cols = 2 * rows;
            // Whole panoramas, and for the full height a band of rows across
            // all columns plus a region off the origin.
            std::vector<cv::Rect> regions{cv::Rect(0, 0, cols, rows)};
            if (rows == 5000) {
                regions = {cv::Rect(0, 2400, cols, 12), cv::Rect(3001, 57, 1620, 9)};
            }
            cv::Mat depth(rows, cols, CV_32F);
            rng.fill(depth, cv::RNG::UNIFORM, 0.0, 1.5);
            depth.at<float>(rows / 2, 0) = 0.0f;
            depth.at<float>(rows - 1, cols - 1) = std::numeric_limits<float>::quiet_NaN();
            // Points behind the rig, and near enough to be on the far side of a camera.
            depth.at<float>(0, cols / 3) = -2.0f;
            depth.at<float>(rows / 3, cols / 2) = 50.0f;
            depth.at<float>(rows - 1, 1) = std::numeric_limits<float>::infinity();
            for (const cv::Rect& region : regions) {
                auto plain = makeEqrToFisheye(camera, cv::Matx44f::eye(), rows, cols, maxAngle);
                PerPixelMapper plainReference(camera, rows, cols, cv::Mat(), 0, maxAngle);
                cv::Mat map, expected;
                ImageMapping::initMapParallel(region, plain, map);
                ImageMapping::initMap(region, plainReference, expected);
                EXPECT_TRUE(testrig::sameBits(expected, map)) << "plain rig " << rig << " rows " << rows << region;

                const int validRows = rows - rows / 5;
                auto aligned = makeEqrToFisheye(camera, cv::Matx44f::eye(), depth, validRows, maxAngle);
                PerPixelMapper alignedReference(camera, rows, cols, depth, validRows, maxAngle);
                ImageMapping::initMapParallel(region, aligned, map);
                ImageMapping::initMap(region, alignedReference, expected);
                EXPECT_TRUE(testrig::sameBits(expected, map)) << "depth rig " << rig << " rows " << rows << region;
                compared += 2;
            }
        }
    }
    EXPECT_EQ(6 * (4 * 2 + 2 * 2), compared);
}

TEST(AzimuthTableTest, ColumnsOutsideThePanoramaStillGetTheirDirection)
{
    // The plain mapper may be asked for any column; the table covers 0..cols-1.
    EqrRowColToUnitVecE geometry(10, 20);
    geometry.setRow(3);
    for (const int c : {-1, 20, 37}) {
        float d[3];
        geometry.GetUnitVect(c, d);
        const double azimuth = (2.0 * c + 1 - 20) * CV_PI / 20;
        EXPECT_NEAR(std::cos(azimuth), d[0] / std::sqrt(d[0] * d[0] + d[1] * d[1]), 1e-5) << c;
        EXPECT_NEAR(std::sin(azimuth), d[1] / std::sqrt(d[0] * d[0] + d[1] * d[1]), 1e-5) << c;
    }
}

} // namespace
} // namespace orb
