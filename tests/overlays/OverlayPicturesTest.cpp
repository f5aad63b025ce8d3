#include "StitchLib/overlays/OverlayPictures.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace fs = std::filesystem;
using namespace orb::Overlays;

namespace {

const cv::Vec4b kClear(0, 0, 0, 0);
const cv::Vec4b kWhite(255, 255, 255, 255);

cv::Vec4b tableColour(int map, int index)
{
    cv::Mat one(1, 1, CV_8U, cv::Scalar(index)), coloured;
    cv::applyColorMap(one, coloured, map);
    const cv::Vec3b c = coloured.at<cv::Vec3b>(0, 0);
    return cv::Vec4b(c[0], c[1], c[2], 255);
}

// Masks of a rig seen as four 90 degree sectors: forward in the middle, back split
// over the two edges, as in a panorama; the bottom `uncovered` rows belong to nobody.
std::vector<cv::Mat> sectorMasks(cv::Size size, int uncovered)
{
    std::vector<cv::Mat> masks(4);
    const int quarter = size.width / 4;
    const int firstColumn[4] = {quarter + quarter / 2, 2 * quarter + quarter / 2, -quarter / 2, quarter / 2};
    for (int camera = 0; camera < 4; ++camera) {
        masks[camera] = cv::Mat(size, CV_8UC1, cv::Scalar(0));
        for (int x = firstColumn[camera]; x < firstColumn[camera] + quarter; ++x)
            masks[camera](cv::Rect((x + size.width) % size.width, 0, 1, size.height - uncovered)).setTo(255);
    }
    return masks;
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(OverlaySize, NeverLargerThanThePanorama)
{
    EXPECT_EQ(overlaySize(cv::Size(10000, 5000)), cv::Size(1024, 512));
    EXPECT_EQ(overlaySize(cv::Size(512, 256)), cv::Size(512, 256));
    EXPECT_EQ(overlaySize(cv::Size(2000, 1000), cv::Size(4096, 256)), cv::Size(2000, 256));
}

TEST(SeamPicture, EachCameraInItsOwnColourWithSeamsBetweenAndNothingWhereNoneContributes)
{
    const cv::Mat picture = seamPicture(sectorMasks(cv::Size(400, 200), 40), cv::Size(200, 100));
    ASSERT_EQ(picture.type(), CV_8UC4);
    ASSERT_EQ(picture.size(), cv::Size(200, 100));
    // Sector centres (reduced columns): forward 100, right 150, back 0 and 199, left 50.
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 100), cameraColour(0));
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 150), cameraColour(1));
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 2), cameraColour(2));
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 197), cameraColour(2));
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 50), cameraColour(3));
    // Seams sit where forward meets right and left meets forward; the back camera's
    // wrap over the picture edge is no seam.
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 124), kWhite);
    EXPECT_EQ(picture.at<cv::Vec4b>(40, 74), kWhite);
    EXPECT_NE(picture.at<cv::Vec4b>(40, 199), kWhite);
    // The bottom fifth is covered by no camera.
    EXPECT_EQ(picture.at<cv::Vec4b>(90, 100), kClear);
    // The last covered output row borders the uncovered ones without a seam line.
    EXPECT_EQ(picture.at<cv::Vec4b>(79, 100), cameraColour(0));

    // A seam that falls on the picture edge shows on the last column.
    std::vector<cv::Mat> edge(4);
    for (auto& m : edge) m = cv::Mat(20, 40, CV_8UC1, cv::Scalar(0));
    edge[3](cv::Rect(0, 0, 20, 20)).setTo(255);
    edge[2](cv::Rect(20, 0, 20, 20)).setTo(255);
    const cv::Mat wrapped = seamPicture(edge, cv::Size(40, 20));
    EXPECT_EQ(wrapped.at<cv::Vec4b>(5, 39), kWhite);
    EXPECT_EQ(wrapped.at<cv::Vec4b>(5, 19), kWhite);
    EXPECT_EQ(wrapped.at<cv::Vec4b>(5, 0), cameraColour(3));
}

TEST(SeamPicture, UnevenReductionLeavesNoHolesAndHalfCoveredPixelsDecideByMajority)
{
    // 333 x 167 does not divide 1000 x 500: every output pixel must still be filled.
    std::vector<cv::Mat> masks(4);
    for (auto& m : masks) m = cv::Mat(500, 1000, CV_8UC1, cv::Scalar(0));
    masks[1].setTo(255);
    const cv::Mat full = seamPicture(masks, cv::Size(333, 167));
    for (int r = 0; r < full.rows; ++r)
        for (int c = 0; c < full.cols; ++c)
            ASSERT_EQ(full.at<cv::Vec4b>(r, c), cameraColour(1)) << r << "," << c;

    // A 4 x 4 box a quarter covered stays clear; three quarters covered is painted.
    for (auto& m : masks) m = cv::Mat(8, 16, CV_8UC1, cv::Scalar(0));
    masks[3](cv::Rect(0, 0, 2, 2)).setTo(255);
    masks[3](cv::Rect(4, 0, 4, 3)).setTo(255);
    const cv::Mat small = seamPicture(masks, cv::Size(4, 2));
    EXPECT_EQ(small.at<cv::Vec4b>(0, 0), kClear);
    EXPECT_EQ(small.at<cv::Vec4b>(0, 1), cameraColour(3));
}

TEST(SeamPicture, RejectsInputsItCannotDraw)
{
    auto masks = sectorMasks(cv::Size(40, 20), 0);
    EXPECT_THROW(seamPicture(masks, cv::Size(80, 40)), std::invalid_argument);
    EXPECT_THROW(seamPicture(masks, cv::Size(0, 10)), std::invalid_argument);
    masks.pop_back();
    EXPECT_THROW(seamPicture(masks, cv::Size(20, 10)), std::invalid_argument);
    masks = sectorMasks(cv::Size(40, 20), 0);
    masks[2] = cv::Mat(20, 30, CV_8UC1, cv::Scalar(0));
    EXPECT_THROW(seamPicture(masks, cv::Size(20, 10)), std::invalid_argument);
    masks[2] = cv::Mat(20, 40, CV_32FC1, cv::Scalar(0));
    EXPECT_THROW(seamPicture(masks, cv::Size(20, 10)), std::invalid_argument);
}

TEST(DepthPicture, NearAndFarTakeTheEndsOfTheScaleAndTheLegendGivesTheirMetres)
{
    // Left half 1 m away, right half 10 m.
    cv::Mat inverse(100, 200, CV_32FC1, cv::Scalar(0.1f));
    inverse(cv::Rect(0, 0, 100, 100)).setTo(1.0f);
    const DepthPicture depth = depthPicture(inverse, 100, cv::Size(100, 50));
    ASSERT_EQ(depth.picture.size(), cv::Size(100, 50));
    EXPECT_NEAR(depth.legend.nearMetres, 1.0, 1e-4);
    EXPECT_NEAR(depth.legend.farMetres, 10.0, 1e-3);
    EXPECT_EQ(depth.legend.scale, "turbo");
    EXPECT_EQ(depth.picture.at<cv::Vec4b>(25, 20), tableColour(cv::COLORMAP_TURBO, 255));
    EXPECT_EQ(depth.picture.at<cv::Vec4b>(25, 80), tableColour(cv::COLORMAP_TURBO, 0));
}

TEST(DepthPicture, UncoveredPixelsAreHatchedNeverDrawnAsFar)
{
    cv::Mat inverse(100, 200, CV_32FC1, cv::Scalar(0.2f));
    inverse(cv::Rect(0, 0, 20, 60)).setTo(std::numeric_limits<float>::quiet_NaN());
    inverse(cv::Rect(20, 0, 20, 60)).setTo(-0.5f);
    inverse(cv::Rect(40, 0, 20, 60)).setTo(0.0f);
    inverse(cv::Rect(60, 0, 20, 60)).setTo(std::numeric_limits<float>::infinity());
    // What is covered lies at 5 m and 20 m; rows from 60 on are below validRows and
    // uncovered whatever they hold.
    inverse(cv::Rect(100, 0, 100, 60)).setTo(0.05f);
    const DepthPicture depth = depthPicture(inverse, 60, cv::Size(100, 50));

    const cv::Vec4b far = tableColour(cv::COLORMAP_TURBO, 0);
    auto checkUncovered = [&](cv::Rect region) {
        int grey = 0;
        for (int r = region.y; r < region.y + region.height; ++r) {
            for (int c = region.x; c < region.x + region.width; ++c) {
                const cv::Vec4b p = depth.picture.at<cv::Vec4b>(r, c);
                ASSERT_TRUE(p == kClear || p == cv::Vec4b(150, 150, 150, 255)) << r << "," << c;
                grey += p[3] == 255;
            }
        }
        // Hatching, not a blank: both stripes and gaps show.
        EXPECT_GT(grey, 0);
        EXPECT_LT(grey, region.area());
    };
    checkUncovered(cv::Rect(0, 0, 40, 30));  // NaN, negative, zero, infinite
    checkUncovered(cv::Rect(0, 30, 100, 20)); // below validRows
    EXPECT_EQ(depth.picture.at<cv::Vec4b>(10, 75), far);
    EXPECT_NEAR(depth.legend.farMetres, 20.0, 1e-3);
    EXPECT_NEAR(depth.legend.nearMetres, 5.0, 1e-3);
}

TEST(DepthPicture, DegenerateFieldsStillGiveAFiniteOrderedLegend)
{
    // One distance everywhere.
    const DepthPicture flat = depthPicture(cv::Mat(20, 40, CV_32FC1, cv::Scalar(0.5f)), 20, cv::Size(40, 20));
    EXPECT_LT(flat.legend.nearMetres, 2.0);
    EXPECT_GT(flat.legend.farMetres, 2.0);
    // Practically infinitely far: far is capped rather than a million metres.
    const DepthPicture sky = depthPicture(cv::Mat(20, 40, CV_32FC1, cv::Scalar(1e-6f)), 20, cv::Size(40, 20));
    EXPECT_TRUE(std::isfinite(sky.legend.farMetres));
    EXPECT_LE(sky.legend.farMetres, 1000.0 * 1.1 + 1e-6);
    EXPECT_LT(sky.legend.nearMetres, sky.legend.farMetres);
    // Nothing covered at all: all hatching, and a legend that is still usable.
    const DepthPicture none = depthPicture(cv::Mat(20, 40, CV_32FC1, cv::Scalar(0.5f)), 0, cv::Size(40, 20));
    EXPECT_EQ(none.picture.at<cv::Vec4b>(0, 0), cv::Vec4b(150, 150, 150, 255));
    EXPECT_GT(none.legend.nearMetres, 0.0);
    EXPECT_LT(none.legend.nearMetres, none.legend.farMetres);
    EXPECT_THROW(depthPicture(cv::Mat(20, 40, CV_8UC1, cv::Scalar(1)), 20, cv::Size(40, 20)), std::invalid_argument);
}

TEST(DisagreementPicture, OnlyNeighbouringPartsThatBothHoldDataAreCompared)
{
    std::vector<cv::Mat> parts(4);
    for (auto& p : parts) p = cv::Mat(20, 80, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    // Columns 0-9: parts 0 and 1 overlap, 32 grey levels apart in green only.
    parts[0](cv::Rect(0, 0, 10, 20)).setTo(cv::Scalar(100, 100, 100, 255));
    parts[1](cv::Rect(0, 0, 10, 20)).setTo(cv::Scalar(100, 132, 100, 255));
    // Columns 10-19: parts 3 and 0 (the wrap-around pair) agree exactly.
    parts[3](cv::Rect(10, 0, 20, 20)).setTo(cv::Scalar(50, 60, 70, 255));
    parts[0](cv::Rect(10, 0, 10, 20)).setTo(cv::Scalar(50, 60, 70, 255));
    // Columns 20-29: part 3 alone.
    // Columns 30-39: parts 0 and 2 are not neighbours.
    parts[0](cv::Rect(30, 0, 10, 20)).setTo(cv::Scalar(0, 0, 0, 255));
    parts[2](cv::Rect(30, 0, 10, 20)).setTo(cv::Scalar(255, 255, 255, 255));
    // Columns 40-49: part 2 is only partly valid (the blended rim), so no comparison.
    parts[1](cv::Rect(40, 0, 10, 20)).setTo(cv::Scalar(0, 0, 0, 255));
    parts[2](cv::Rect(40, 0, 10, 20)).setTo(cv::Scalar(255, 255, 255, 254));
    // Columns 50-59: far apart beyond the full scale.
    parts[1](cv::Rect(50, 0, 10, 20)).setTo(cv::Scalar(0, 0, 0, 255));
    parts[2](cv::Rect(50, 0, 10, 20)).setTo(cv::Scalar(0, 0, 200, 255));

    const cv::Mat picture = disagreementPicture(parts, cv::Size(80, 20));
    ASSERT_EQ(picture.size(), cv::Size(80, 20));
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 5), tableColour(cv::COLORMAP_INFERNO, 128));
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 15), tableColour(cv::COLORMAP_INFERNO, 0));
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 25), kClear);
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 35), kClear);
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 45), kClear);
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 55), tableColour(cv::COLORMAP_INFERNO, 255));
    EXPECT_EQ(picture.at<cv::Vec4b>(5, 70), kClear);

    // Reduced 4x: the means carry over.
    const cv::Mat reduced = disagreementPicture(parts, cv::Size(20, 5));
    EXPECT_EQ(reduced.at<cv::Vec4b>(2, 1), tableColour(cv::COLORMAP_INFERNO, 128));
    EXPECT_EQ(reduced.at<cv::Vec4b>(2, 6), kClear);

    parts[3] = cv::Mat(20, 80, CV_8UC3);
    EXPECT_THROW(disagreementPicture(parts, cv::Size(80, 20)), std::invalid_argument);
}

TEST(OverlayPictures, OneThreadAndManyGiveTheSameBits)
{
    cv::RNG rng(7);
    std::vector<cv::Mat> masks(4), parts(4);
    for (int i = 0; i < 4; ++i) {
        masks[i] = cv::Mat(301, 602, CV_8UC1);
        rng.fill(masks[i], cv::RNG::UNIFORM, 0, 2);
        masks[i] *= 255;
        parts[i] = cv::Mat(301, 602, CV_8UC4);
        rng.fill(parts[i], cv::RNG::UNIFORM, 0, 256);
        parts[i].forEach<cv::Vec4b>([](cv::Vec4b& p, const int*) { p[3] = p[3] < 64 ? 0 : 255; });
    }
    cv::Mat inverse(301, 602, CV_32FC1);
    rng.fill(inverse, cv::RNG::UNIFORM, -0.2, 2.0);
    const cv::Size size(211, 97);

    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const cv::Mat seams1 = seamPicture(masks, size);
    const DepthPicture depth1 = depthPicture(inverse, 250, size);
    const cv::Mat disagreement1 = disagreementPicture(parts, size);
    cv::setNumThreads(std::max(threads, 2));
    const cv::Mat seamsN = seamPicture(masks, size);
    const DepthPicture depthN = depthPicture(inverse, 250, size);
    const cv::Mat disagreementN = disagreementPicture(parts, size);
    cv::setNumThreads(threads);

    EXPECT_EQ(cv::norm(seams1, seamsN, cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(depth1.picture, depthN.picture, cv::NORM_INF), 0.0);
    EXPECT_EQ(depth1.legend.nearMetres, depthN.legend.nearMetres);
    EXPECT_EQ(cv::norm(disagreement1, disagreementN, cv::NORM_INF), 0.0);
    // Random data leaves every kind of pixel in play.
    EXPECT_GT(cv::countNonZero(disagreement1.reshape(1) != 0), 0);
}

class WriteOverlaysTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / "overlays" /
              ::testing::UnitTest::GetInstance()->current_test_info()->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    fs::path dir;
};

TEST_F(WriteOverlaysTest, WritesThePicturesAndTheirDescriptionBesideThePanorama)
{
    OverlaySet set;
    set.seams = seamPicture(sectorMasks(cv::Size(64, 32), 4), cv::Size(32, 16));
    cv::Mat inverse(32, 64, CV_32FC1, cv::Scalar(0.25f));
    inverse(cv::Rect(0, 0, 32, 32)).setTo(0.5f);
    set.depth = depthPicture(inverse, 28, cv::Size(32, 16));
    set.disagreement = cv::Mat(16, 32, CV_8UC4, cv::Scalar(1, 2, 3, 255));
    writeOverlays(dir.string(), 42, set);

    const cv::Mat seams = cv::imread((dir / "0000000042.seams.png").string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(seams.empty());
    EXPECT_EQ(cv::norm(seams, set.seams, cv::NORM_INF), 0.0);
    const cv::Mat depth = cv::imread((dir / "0000000042.depth.png").string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(depth.empty());
    EXPECT_EQ(cv::norm(depth, set.depth.picture, cv::NORM_INF), 0.0);
    EXPECT_TRUE(fs::exists(dir / "0000000042.disagreement.png"));

    // The description reads back as JSON with the legend in metres.
    cv::FileStorage json((dir / "0000000042.overlays.json").string(), cv::FileStorage::READ);
    ASSERT_TRUE(json.isOpened());
    EXPECT_EQ(static_cast<int>(json["frame"]), 42);
    EXPECT_EQ(static_cast<int>(json["width"]), 32);
    EXPECT_EQ(static_cast<int>(json["height"]), 16);
    EXPECT_EQ(static_cast<std::string>(json["seams"]["file"]), "0000000042.seams.png");
    EXPECT_EQ(json["seams"]["cameras"].size(), 4u);
    EXPECT_EQ(static_cast<std::string>(json["seams"]["cameras"][2]["name"]), "back");
    EXPECT_NEAR(static_cast<double>(json["depth"]["nearMetres"]), 2.0, 1e-4);
    EXPECT_NEAR(static_cast<double>(json["depth"]["farMetres"]), 4.0, 1e-4);
    EXPECT_EQ(static_cast<std::string>(json["depth"]["scale"]), "turbo");
    EXPECT_EQ(static_cast<int>(json["disagreement"]["fullScale"]), kDisagreementFullScale);

    // Nothing temporary is left behind.
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
        ++files;
    }
    EXPECT_EQ(files, 4);
}

TEST_F(WriteOverlaysTest, MissingPicturesAreLeftOutAndUnwritableDirectoriesAreReported)
{
    OverlaySet set;
    set.seams = cv::Mat(8, 16, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    writeOverlays(dir.string(), 7, set);
    EXPECT_TRUE(fs::exists(dir / "0000000007.seams.png"));
    EXPECT_FALSE(fs::exists(dir / "0000000007.depth.png"));
    const std::string json = readText(dir / "0000000007.overlays.json");
    EXPECT_EQ(json.find("depth"), std::string::npos);
    EXPECT_EQ(json.find("disagreement"), std::string::npos);

    EXPECT_THROW(writeOverlays((dir / "missing" / "deeper").string(), 7, set), std::runtime_error);
    set.disagreement = cv::Mat(4, 8, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    EXPECT_THROW(writeOverlays(dir.string(), 8, set), std::invalid_argument);
    EXPECT_FALSE(fs::exists(dir / "0000000008.seams.png"));
}
