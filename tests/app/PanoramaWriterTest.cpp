#include "app/PanoramaWriter.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include <fstream>

namespace fs = boost::filesystem;

namespace {

class PanoramaWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / "writer" /
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
        destination = dir / "0000000001.png";
        temporary = dir / ".0000000001.partial-1.png";
    }
    fs::path dir, destination, temporary;
};

} // namespace

TEST_F(PanoramaWriter, ReplacesTheDestinationWithTheCompleteImage)
{
    { std::ofstream old(destination.string()); old << "previous run"; }
    const cv::Mat panorama(6, 12, CV_8UC4, cv::Scalar(1, 2, 3, 255));
    writePanoramaAtomically(panorama, destination, temporary);
    const cv::Mat back = cv::imread(destination.string(), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(back.type(), CV_8UC4);
    EXPECT_EQ(cv::norm(back, panorama, cv::NORM_INF), 0.0);
    EXPECT_FALSE(fs::exists(temporary));
}

TEST_F(PanoramaWriter, FailuresLeaveTheDestinationAloneAndNoTemporaryFile)
{
    { std::ofstream old(destination.string()); old << "previous run"; }
    // An empty result is a failure, not an image.
    EXPECT_THROW(writePanoramaAtomically(cv::Mat(), destination, temporary), std::runtime_error);
    EXPECT_FALSE(fs::exists(temporary));

    // The encoder cannot write into a directory that does not exist.
    const cv::Mat panorama(4, 8, CV_8UC3, cv::Scalar::all(9));
    EXPECT_THROW(writePanoramaAtomically(panorama, destination, dir / "missing" / "x.png"), std::runtime_error);

    // The rename fails when a directory stands in the destination's place.
    const fs::path blocked = dir / "blocked.png";
    fs::create_directories(blocked / "inside");
    try {
        writePanoramaAtomically(panorama, blocked, temporary);
        FAIL() << "expected a failure";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(blocked.string()), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(temporary));

    std::ifstream in(destination.string());
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "previous run");
}
