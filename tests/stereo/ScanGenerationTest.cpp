#include "StitchLib/stereo/ScanGeneration.h"

#include "BaseLib/LensParameters.h"
#include "tests/support/SyntheticRig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>

using namespace orb;

namespace {

constexpr float kFloor = 9.999999974752427e-07f;
constexpr double kDeg = CV_PI / 180.0;

cv::Mat randomStrip(unsigned seed)
{
    cv::Mat strip(Stereo::kScanViewRows, Stereo::kScanViewColumns, CV_8U);
    cv::RNG rng(seed);
    rng.fill(strip, cv::RNG::UNIFORM, 0, 256);
    return strip;
}

cv::Mat fullMask() { return cv::Mat::ones(Stereo::kScanViewRows, Stereo::kScanViewColumns, CV_8U); }

cv::Mat maskColumns(int first, int last)
{
    cv::Mat mask = cv::Mat::zeros(Stereo::kScanViewRows, Stereo::kScanViewColumns, CV_8U);
    mask.colRange(first, last + 1).setTo(1);
    return mask;
}

// Band table whose band j holds j + 1 for every pair.
cv::Mat rampTable()
{
    cv::Mat table(Stereo::kScanBands, 4, CV_32F);
    for (int j = 0; j < Stereo::kScanBands; ++j)
        table.row(j).setTo(j + 1.0f);
    return table;
}

} // namespace

TEST(ScanProfile, ConstantsAndColumns)
{
    EXPECT_FLOAT_EQ(Stereo::scanTilt(), 0.36651915f);
    EXPECT_FLOAT_EQ(Stereo::scanFocalLength(), 425.15125f);
    EXPECT_FLOAT_EQ(Stereo::bandCoordinate(0.0f), 20.369564f);
    EXPECT_FLOAT_EQ(Stereo::bandCoordinate(1.0f) - Stereo::bandCoordinate(0.0f), -13.285976f);

    EXPECT_EQ(Stereo::profileColumn(0.0f, 10000), 4999);
    EXPECT_EQ(Stereo::profileColumn(1.5707964f, 10000), 7499);
    EXPECT_EQ(Stereo::profileColumn(3.1415927f, 10000), 9999);
    EXPECT_EQ(Stereo::profileColumn(-3.1415927f, 10000), 9999);
    EXPECT_EQ(Stereo::profileColumn(-1.5707964f, 10000), 2499);
    EXPECT_EQ(Stereo::profileColumn(0.7853982f, 400), 249);
    // A NaN azimuth (from a broken pose) once became an arbitrary column index.
    EXPECT_THROW(Stereo::profileColumn(std::numeric_limits<float>::quiet_NaN(), 400), std::invalid_argument);
    EXPECT_THROW(Stereo::profileColumn(std::numeric_limits<float>::infinity(), 400), std::invalid_argument);

    EXPECT_FLOAT_EQ(Stereo::rowElevation(0, 4), 3.0f * 3.1415927f / 8.0f);
    EXPECT_FLOAT_EQ(Stereo::rowElevation(3, 4), -3.0f * 3.1415927f / 8.0f);
}

TEST(ScanProfile, HorizonBlendsBands20And21)
{
    const double cosTilt = std::cos(-static_cast<double>(Stereo::scanTilt()));
    cv::Mat table = cv::Mat::zeros(Stereo::kScanBands, 4, CV_32F);
    table.at<float>(20, 2) = 1.0f;
    EXPECT_NEAR(Stereo::profileValue(table, 2, 0.0f), 0.630436 * cosTilt + 1e-6, 1e-6);
    EXPECT_EQ(Stereo::profileValue(table, 1, 0.0f), kFloor);
    table.at<float>(20, 2) = 0.0f;
    table.at<float>(21, 2) = 1.0f;
    EXPECT_NEAR(Stereo::profileValue(table, 2, 0.0f), 0.369564 * cosTilt + 1e-6, 1e-6);

    // Negative and NaN band values count as 0: the value is the floor.
    table.at<float>(20, 3) = -5.0f;
    table.at<float>(21, 3) = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Stereo::profileValue(table, 3, 0.0f), kFloor);
}

TEST(ScanProfile, RowRangesAt5000Rows)
{
    const cv::Mat table = rampTable();
    auto valueAt = [&](int row) {
        const float m = Stereo::rowElevation(row, 5000);
        return Stereo::profileValue(table, 0, m);
    };
    auto cosFactor = [](int row) {
        return std::cos(static_cast<double>(Stereo::rowElevation(row, 5000) - Stereo::scanTilt()));
    };
    // Above the centre of band 0 the value is band 0's.
    EXPECT_NEAR(valueAt(0), 1.0 * cosFactor(0) + 1e-6, 1e-6);
    EXPECT_NEAR(valueAt(59), 1.0 * cosFactor(59) + 1e-6, 1e-6);
    EXPECT_GT(valueAt(60), 1.0 * cosFactor(60) + 1e-6 + 1e-4);
    // From the centre of band 31 down the value is band 31's.
    EXPECT_NEAR(valueAt(3773), 32.0 * cosFactor(3773) + 1e-6, 1e-5);
    EXPECT_LT(valueAt(3772), 32.0 * cosFactor(3772) - 1e-3);
    // More than 69 degrees below the horizon the ray faces away from the view axis.
    EXPECT_GT(valueAt(4416), 0.0f);
    EXPECT_LT(valueAt(4417), 0.0f);
    EXPECT_LT(valueAt(4999), 0.0f);
}

TEST(ScanBestHypothesis, TiesKeepLowestAndNaNNeverWins)
{
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float tie[] = {0.1f, 0.4f, 0.2f, 0.4f};
    EXPECT_EQ(Stereo::bestHypothesis(tie, 4), 1);
    const float withNaN[] = {nan, 0.1f, nan, 0.3f, nan};
    EXPECT_EQ(Stereo::bestHypothesis(withNaN, 5), 3);
    const float allNaN[] = {nan, nan};
    EXPECT_EQ(Stereo::bestHypothesis(allNaN, 2), 0);
}

TEST(ScanBandCosts, ShiftedTextureScoresZeroAtItsDisparity)
{
    const cv::Mat a = randomStrip(3);
    for (int d : {-3, 0, 12, 64}) {
        // A scene point in column x of A lies in column x - d of B.
        cv::Mat b(a.size(), CV_8U, cv::Scalar(0));
        for (int x = 0; x < b.cols; ++x)
            if (x + d >= 0 && x + d < a.cols)
                a.col(x + d).copyTo(b.col(x));
        const cv::Mat cost = Stereo::bandCosts(a, b, fullMask(), fullMask());
        ASSERT_EQ(cost.size(), cv::Size(Stereo::kScanHypotheses, Stereo::kScanBands));
        ASSERT_EQ(cost.type(), CV_32F);
        for (int j = 0; j < Stereo::kScanBands; ++j) {
            const float* row = cost.ptr<float>(j);
            EXPECT_EQ(row[d + 4], 0.0f) << "d " << d << " band " << j;
            for (int k = 0; k < Stereo::kScanHypotheses; ++k) {
                if (k != d + 4) {
                    ASSERT_GT(row[k], 20.0f) << "d " << d << " k " << k;
                }
            }
        }
    }
}

TEST(ScanBandCosts, OverlapLimitsTheScoredHypotheses)
{
    const cv::Mat a(Stereo::kScanViewRows, Stereo::kScanViewColumns, CV_8U, cv::Scalar(10));
    const cv::Mat b(Stereo::kScanViewRows, Stereo::kScanViewColumns, CV_8U, cv::Scalar(30));

    // Full columns 0..99 in A and 20..127 in B: overlap 80, so disparities up
    // to 32 (hypotheses 0..36) are scored, each as the mean difference 20.
    cv::Mat maskA = maskColumns(0, 99);
    const cv::Mat maskB = maskColumns(20, 127);
    // One hole makes column 99 not full in band 5 only: overlap 79 there.
    maskA.at<uchar>(5 * 32 + 7, 99) = 0;
    const cv::Mat cost = Stereo::bandCosts(a, b, maskA, maskB);
    for (int j = 0; j < Stereo::kScanBands; ++j) {
        const int lastScored = j == 5 ? 35 : 36;
        for (int k = 0; k < Stereo::kScanHypotheses; ++k)
            EXPECT_EQ(cost.at<float>(j, k), k <= lastScored ? 20.0f : 1000.0f) << j << "," << k;
    }

    // Overlap 44 scores only disparity -4; overlap 43 scores nothing.
    const cv::Mat c44 = Stereo::bandCosts(a, b, maskColumns(0, 63), maskColumns(20, 127));
    EXPECT_EQ(c44.at<float>(0, 0), 20.0f);
    EXPECT_EQ(c44.at<float>(0, 1), 1000.0f);
    const cv::Mat c43 = Stereo::bandCosts(a, b, maskColumns(0, 62), maskColumns(20, 127));
    EXPECT_EQ(cv::countNonZero(c43 != 1000.0f), 0);
}

TEST(ScanBandPosterior, FollowsEvidenceAndBridgesUnscoredBands)
{
    cv::Mat cost(Stereo::kScanBands, Stereo::kScanHypotheses, CV_32F, cv::Scalar(60.0f));
    cost.col(30).setTo(5.0f);
    cost.row(18).setTo(1000.0f);
    const cv::Mat q = Stereo::bandPosterior(cost);
    ASSERT_EQ(q.size(), cost.size());
    for (int j = 0; j < Stereo::kScanBands; ++j) {
        EXPECT_NEAR(cv::sum(q.row(j))[0], 1.0, 1e-5) << j;
        const int best = Stereo::bestHypothesis(q.ptr<float>(j), Stereo::kScanHypotheses);
        if (j == 18) {
            // No evidence here: the tight middle-band kernels carry the neighbours' answer.
            EXPECT_NEAR(best, 30, 2);
        } else {
            EXPECT_EQ(best, 30) << j;
        }
    }

    // Without any evidence the posterior is still a proper distribution.
    const cv::Mat none = Stereo::bandPosterior(
        cv::Mat(Stereo::kScanBands, Stereo::kScanHypotheses, CV_32F, cv::Scalar(1000.0f)));
    for (int j = 0; j < Stereo::kScanBands; ++j) {
        EXPECT_NEAR(cv::sum(none.row(j))[0], 1.0, 1e-5);
        EXPECT_TRUE(cv::checkRange(none.row(j)));
    }
}

class ScanGenerationRig : public ::testing::Test {
protected:
    static constexpr int kHeight = 200;
    synthetic::RigLayout layout;
    std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    synthetic::DirectionTexture texture{0.7};

    // The four pairs look outward between their cameras: 45, 135, -135, -45 degrees.
    static int pairColumn(int pair)
    {
        const float azimuths[] = {0.7853982f, 2.3561945f, -2.3561945f, -0.7853982f};
        return Stereo::profileColumn(azimuths[pair], 2 * kHeight);
    }
};

TEST_F(ScanGenerationRig, SceneAtInfinityGivesTheFloorAroundTheHorizon)
{
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, 0.0);
    const ScanImages scan = Stereo::generateScan(images, cameras, kHeight, maxAngleForLensVersion(0));
    ASSERT_EQ(scan.inverseDepth.rows, kHeight);
    ASSERT_EQ(scan.inverseDepth.cols, 2 * kHeight);
    ASSERT_EQ(scan.intensity.size(), scan.inverseDepth.size());
    EXPECT_EQ(scan.validRows, kHeight);
    EXPECT_EQ(cv::countNonZero(scan.intensity), 0);
    // From 40 degrees up to 15 degrees down every pair's strips match clearly at
    // disparity 0. (Nearer the strip's ends the evidence is weak and the prior
    // may pull a band to disparity 1.)
    for (int r = 56; r <= 116; ++r)
        for (int c = 0; c < 2 * kHeight; ++c)
            ASSERT_NEAR(scan.inverseDepth(r, c), kFloor, 1e-12f) << r << "," << c;
}

TEST_F(ScanGenerationRig, NearSphereIsMeasuredAndInterpolated)
{
    const double radius = 1.5;
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, radius);
    const ScanImages scan = Stereo::generateScan(images, cameras, kHeight, maxAngleForLensVersion(0));
    const double baseline = 2.0 * layout.radius * std::sqrt(0.5);
    const double step = 1.0 / (Stereo::scanFocalLength() * baseline);
    for (int p = 0; p < 4; ++p) {
        const int column = pairColumn(p);
        // Elevations from about +30 to -30 degrees.
        for (int r = 67; r < 134; ++r)
            EXPECT_NEAR(scan.inverseDepth(r, column), 1.0 / radius, 2.0 * step) << "pair " << p << " row " << r;
    }
    // Between two profiles the row is the linear blend of the two.
    const int r = 100;
    const int left = pairColumn(0);
    const int right = pairColumn(1);
    const int mid = (left + right) / 2;
    const float t = static_cast<float>(mid - left) / static_cast<float>(right - left);
    EXPECT_NEAR(scan.inverseDepth(r, mid),
                (1.0f - t) * scan.inverseDepth(r, left) + t * scan.inverseDepth(r, right), 1e-5f);
}

TEST_F(ScanGenerationRig, BadImageFailsAfterAllPairsWithTheLastError)
{
    std::vector<cv::Mat> images(4, cv::Mat(32, 32, CV_8UC3, cv::Scalar::all(90)));
    // Image 0 is empty and image 2 has one channel: pairs 0, 1, 2 and 3 all
    // fail; the error of pair 3 (cameras 3 and 0) is the one reported.
    images[0] = cv::Mat();
    images[2] = cv::Mat(32, 32, CV_8UC1, cv::Scalar(90));
    try {
        Stereo::generateScan(images, cameras, kHeight, maxAngleForLensVersion(0));
        FAIL() << "expected an exception";
    } catch (const cv::Exception& e) {
        EXPECT_NE(e.err.find("empty"), std::string::npos) << e.err;
    }
    // Swapped: the last failing pair now trips on the one-channel image.
    images[0] = cv::Mat(32, 32, CV_8UC1, cv::Scalar(90));
    images[2] = cv::Mat();
    try {
        Stereo::generateScan(images, cameras, kHeight, maxAngleForLensVersion(0));
        FAIL() << "expected an exception";
    } catch (const cv::Exception& e) {
        EXPECT_EQ(e.err.find("empty"), std::string::npos) << e.err;
    }

    // One bad image among good ones still fails the whole scan.
    std::vector<cv::Mat> oneBad(4, cv::Mat(32, 32, CV_8UC3, cv::Scalar::all(90)));
    oneBad[1] = cv::Mat(32, 32, CV_8UC1);
    EXPECT_THROW(Stereo::generateScan(oneBad, cameras, kHeight, maxAngleForLensVersion(0)), cv::Exception);

    EXPECT_THROW(Stereo::generateScan(std::vector<cv::Mat>(3), cameras, kHeight, 1.4486f), std::runtime_error);
}

TEST_F(ScanGenerationRig, BandsOfRowsOnManyThreadsGiveTheBitsOfOneThread)
{
    // One thread fills the whole plane in one band; more threads fill bands
    // of rows into memory that is not cleared first. Heights that do not
    // split evenly, and a scan made after another one freed its planes, so
    // that a row a band forgets would show stale values.
    const std::vector<cv::Mat> images = synthetic::renderSphere(cameras, layout, texture, 1.5);
    const int threads = cv::getNumThreads();
    for (const int height : {kHeight, 37}) {
        cv::setNumThreads(1);
        const ScanImages whole = Stereo::generateScan(images, cameras, height, maxAngleForLensVersion(0));
        cv::setNumThreads(7);
        ScanImages banded = Stereo::generateScan(images, cameras, height, maxAngleForLensVersion(0));
        banded = Stereo::generateScan(images, cameras, height, maxAngleForLensVersion(0));
        cv::setNumThreads(threads);
        ASSERT_EQ(banded.inverseDepth.size(), whole.inverseDepth.size());
        EXPECT_EQ(cv::norm(banded.intensity, whole.intensity, cv::NORM_INF), 0.0) << height;
        EXPECT_EQ(std::memcmp(banded.inverseDepth.data, whole.inverseDepth.data, whole.inverseDepth.total() * sizeof(float)), 0)
            << height;
        EXPECT_GT(cv::countNonZero(whole.inverseDepth > 0.0f), 0);
        EXPECT_EQ(banded.validRows, height);
    }
}
