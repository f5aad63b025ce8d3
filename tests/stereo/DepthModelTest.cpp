#include "StitchLib/stereo/DepthModel.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>

using namespace orb;

TEST(DepthModelSigmoid, PassesMidpointAndTendsToBothEnds)
{
    EXPECT_FLOAT_EQ(Stereo::sigmoid(3.0f, 2.0f, 10.0f, 4.0f, 3.0f), 7.0f);
    EXPECT_NEAR(Stereo::sigmoid(3.0f, 2.0f, 10.0f, 4.0f, -1e4f), 10.0f, 1e-3f);
    EXPECT_NEAR(Stereo::sigmoid(3.0f, 2.0f, 10.0f, 4.0f, 1e4f), 4.0f, 1e-3f);
    // One width above the centre: mid + half/sqrt(2).
    EXPECT_NEAR(Stereo::sigmoid(0.0f, 1.0f, 0.0f, 2.0f, 1.0f), 1.0f + 1.0f / std::sqrt(2.0f), 1e-6f);
}

TEST(DepthModelSchedule, MatchesCheckValues)
{
    const std::pair<int, float> values[] = {{0, 35.1917f}, {1, 33.0533f}, {8, 6.9546f},
                                            {19, 2.1397f}, {28, 20.7721f}, {31, 36.9409f}};
    for (const auto& [band, value] : values)
        EXPECT_NEAR(Stereo::smoothingSchedule(band), value, 1e-4f) << band;
}

TEST(DepthModelTransition, FourHypothesesMatchReferenceAndSymmetry)
{
    const cv::Mat t = Stereo::makeTransitionMatrix(4, 1.0f);
    ASSERT_EQ(t.type(), CV_32F);
    ASSERT_EQ(t.size(), cv::Size(4, 4));
    ASSERT_TRUE(t.isContinuous());
    const float expected[4][4] = {{0.485274f, 0.377789f, 0.099139f, 0.162412f},
                                  {0.201292f, 0.306994f, 0.216077f, 0.151021f},
                                  {0.151021f, 0.216077f, 0.306994f, 0.201292f},
                                  {0.162412f, 0.099139f, 0.377789f, 0.485274f}};
    for (int k = 0; k < 4; ++k)
        for (int i = 0; i < 4; ++i) {
            EXPECT_NEAR(t.at<float>(k, i), expected[k][i], 2e-6f) << k << "," << i;
            EXPECT_FLOAT_EQ(t.at<float>(k, i), t.at<float>(3 - k, 3 - i));
        }
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(cv::sum(t.col(i))[0], 1.0, 1e-6);
}

TEST(DepthModelTransition, SmallSpreadIsNearIdentityLargeSpreadIsUShaped)
{
    const cv::Mat narrow = Stereo::makeTransitionMatrix(3, 0.3f);
    EXPECT_NEAR(narrow.at<float>(0, 0), 0.976210f, 2e-6f);
    EXPECT_NEAR(narrow.at<float>(1, 1), 0.996898f, 2e-6f);
    EXPECT_NEAR(narrow.at<float>(2, 2), 0.976210f, 2e-6f);

    const cv::Mat wide = Stereo::makeTransitionMatrix(69, 35.1917f);
    EXPECT_NEAR(wide.at<float>(0, 34), 0.1625f, 1e-4f);
    EXPECT_NEAR(wide.at<float>(68, 34), 0.1625f, 1e-4f);
    EXPECT_NEAR(wide.at<float>(34, 34), 0.0047f, 1e-4f);
    for (int i = 0; i < 69; ++i) {
        EXPECT_NEAR(cv::sum(wide.col(i))[0], 1.0, 1e-5) << i;
        for (int k = 0; k < 69; ++k)
            ASSERT_TRUE(std::isfinite(wide.at<float>(k, i)) && wide.at<float>(k, i) >= 0.0f);
    }
}

TEST(DepthModelPrior, RowsSumToOneWithExpectedMeans)
{
    const cv::Mat prior = Stereo::makePrior(32, 69);
    ASSERT_EQ(prior.type(), CV_32F);
    ASSERT_EQ(prior.size(), cv::Size(69, 32));
    for (int t = 0; t < 32; ++t) {
        double sum = 0.0;
        double mean = 0.0;
        for (int j = 0; j < 69; ++j) {
            ASSERT_GT(prior.at<float>(t, j), 0.0f);
            sum += prior.at<float>(t, j);
            mean += j * prior.at<float>(t, j);
        }
        EXPECT_NEAR(sum, 1.0, 1e-5) << t;
        const double expectedMean = t == 0 ? 32.400 : t == 15 ? 10.548 : t == 31 ? 42.339 : mean;
        EXPECT_NEAR(mean, expectedMean, 2e-3) << t;
    }
}

TEST(DepthModelNormalizeRows, ScalesEachRowAndWorksOnRowViews)
{
    cv::Mat m = (cv::Mat_<float>(2, 3) << 1, 2, 1, 0, 5, 15);
    Stereo::normalizeRows(m);
    EXPECT_FLOAT_EQ(m.at<float>(0, 0), 0.25f);
    EXPECT_FLOAT_EQ(m.at<float>(0, 1), 0.5f);
    EXPECT_FLOAT_EQ(m.at<float>(1, 2), 0.75f);

    cv::Mat big = cv::Mat::ones(3, 4, CV_32F);
    cv::Mat middle = big.row(1);
    Stereo::normalizeRows(middle);
    EXPECT_FLOAT_EQ(big.at<float>(1, 3), 0.25f);
    EXPECT_FLOAT_EQ(big.at<float>(0, 3), 1.0f);
    EXPECT_FLOAT_EQ(big.at<float>(2, 0), 1.0f);

    // A strided column block must not be read across its row gaps.
    cv::Mat wide = cv::Mat::ones(2, 6, CV_32F);
    cv::Mat block = wide.colRange(0, 2);
    Stereo::normalizeRows(block);
    EXPECT_FLOAT_EQ(wide.at<float>(1, 0), 0.5f);
    EXPECT_FLOAT_EQ(wide.at<float>(1, 2), 1.0f);

    cv::Mat zeros = cv::Mat::zeros(1, 3, CV_32F);
    Stereo::normalizeRows(zeros);
    EXPECT_TRUE(std::isnan(zeros.at<float>(0, 1)));

    cv::Mat doubles = cv::Mat::ones(2, 2, CV_64F);
    EXPECT_THROW(Stereo::normalizeRows(doubles), std::runtime_error);
}
