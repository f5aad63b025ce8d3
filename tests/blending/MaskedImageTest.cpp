#include "StitchLib/blending/MaskedImage.h"
#include "StitchLib/blending/PlaneKernels.h"

#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

using namespace test;

TEST(MaskedImageTest, ThreeChannelImageIsFullyValidAndRoundTrips)
{
    cv::Mat image = randomMat(5, 6, CV_8UC3, 1);
    cv::Mat channels[3];
    cv::split(image, channels);
    for (bool erode : {false, true}) {
        MaskedImage masked(image, erode);
        EXPECT_EQ(30, cv::countNonZero(masked.validPixels() == 255));
        EXPECT_EQ(30, cv::countNonZero(masked.contributingPixels() == 255));
        EXPECT_TRUE(same(channels[0], masked.red()));
        EXPECT_TRUE(same(channels[1], masked.green()));
        EXPECT_TRUE(same(channels[2], masked.blue()));
        EXPECT_TRUE(same(image, masked.cvMat(false)));
    }
}

TEST(MaskedImageTest, OnlyFullyOpaquePixelsAreValidAndErosionSparesTheBorder)
{
    cv::Mat image(3, 3, CV_8UC4, cv::Scalar(10, 20, 30, 255));
    image.at<cv::Vec4b>(1, 1) = cv::Vec4b(40, 50, 60, 254);
    image.at<cv::Vec4b>(0, 2) = cv::Vec4b(70, 80, 90, 0);
    MaskedImage masked(image, false);
    for (cv::Point p : {cv::Point(1, 1), cv::Point(2, 0)}) {
        EXPECT_EQ(0, masked.validPixelAt(p.y, p.x));
        EXPECT_EQ(0, masked.contributingPixelAt(p.y, p.x));
        EXPECT_EQ(cv::Vec3b(0, 0, 0), masked.cvMat(false).at<cv::Vec3b>(p));
    }
    EXPECT_EQ(7, cv::countNonZero(masked.validPixels() == 255));
    EXPECT_EQ(255, masked.contributingPixelAt(2, 2));
    EXPECT_EQ(cv::Vec3b(10, 20, 30), masked.cvMat(false).at<cv::Vec3b>(2, 2));

    // Erosion removes the 3x3 block around a partly transparent pixel but
    // keeps the opaque image border.
    cv::Mat holed(6, 6, CV_8UC4, cv::Scalar(1, 2, 3, 255));
    holed.at<cv::Vec4b>(3, 3)[3] = 200;
    MaskedImage eroded(holed, true);
    for (int r = 0; r < 6; ++r) {
        for (int c = 0; c < 6; ++c) {
            const bool nearHole = r >= 2 && r <= 4 && c >= 2 && c <= 4;
            EXPECT_EQ(nearHole ? 0 : 255, eroded.validPixelAt(r, c)) << r << "," << c;
            EXPECT_EQ(nearHole ? 0 : 1, eroded.red().at<uchar>(r, c)) << r << "," << c;
        }
    }
    EXPECT_EQ(35, cv::countNonZero(MaskedImage(holed, false).validPixels()));
    // The contribution is an independent copy of the valid mask.
    eroded.contributingPixelAt(0, 0) = 0;
    EXPECT_EQ(255, eroded.validPixelAt(0, 0));
}

TEST(MaskedImageTest, RejectsOtherTypesWithTheClassMessage)
{
    for (int type : {CV_8UC1, CV_8UC2, CV_16UC3, CV_32FC3, CV_16UC4}) {
        cv::Mat image(4, 4, type, cv::Scalar::all(7));
        const cv::Mat before = image.clone();
        EXPECT_EQ("MaskedImage MaskedImage(cv::Mat) image type not 8UC3 or 8UC4",
                  messageOf([&] { MaskedImage masked(image, true); }))
            << type;
        EXPECT_TRUE(same(image, before));
    }
}

TEST(MaskedImageTest, CopiesShareBuffersAndReleaseDropsOnlyOwnReferences)
{
    cv::Mat image = randomMat(4, 5, CV_8UC3, 2);
    MaskedImage original(image, false);
    MaskedImage copy(original);
    MaskedImage assigned;
    assigned = original;

    copy.contributingPixelAt(1, 2) = 0;
    EXPECT_EQ(0, original.contributingPixelAt(1, 2));
    EXPECT_EQ(0, assigned.contributingPixelAt(1, 2));
    assigned.red().at<uchar>(0, 0) = 99;
    EXPECT_EQ(99, original.red().at<uchar>(0, 0));
    EXPECT_EQ(original.validPixels().data, copy.validPixels().data);

    copy.release();
    for (cv::Mat* plane : {&copy.red(), &copy.green(), &copy.blue(), &copy.validPixels(), &copy.contributingPixels()}) {
        EXPECT_TRUE(plane->empty());
    }
    EXPECT_EQ(4, original.rows());
    EXPECT_EQ(99, original.red().at<uchar>(0, 0));
}

TEST(MaskedImageTest, DifferenceAndSumSaturateAndFollowThisImagesMasks)
{
    MaskedImage low = flat(2, 3, 10);
    low.validPixelAt(0, 1) = 0;
    low.contributingPixelAt(1, 2) = 0;
    MaskedImage mid = flat(2, 3, 20, 0, 0);
    MaskedImage high = flat(2, 3, 200);
    MaskedImage hundred = flat(2, 3, 100);

    EXPECT_EQ(0, cv::countNonZero((low - mid).red()));
    // The argument's masks play no part; this image's masks are all 0.
    EXPECT_EQ(0, cv::countNonZero((mid - low).green()));
    EXPECT_EQ(0, cv::countNonZero((mid + low).blue()));
    MaskedImage sum = low + high;
    EXPECT_EQ(210, sum.red().at<uchar>(0, 0));
    EXPECT_EQ(0, sum.red().at<uchar>(0, 1));
    EXPECT_EQ(0, sum.validPixelAt(0, 1));
    EXPECT_EQ(0, sum.contributingPixelAt(1, 2));
    EXPECT_EQ(255, sum.contributingPixelAt(0, 1));
    EXPECT_EQ(6, cv::countNonZero((high + hundred).green() == 255));
    EXPECT_EQ(6, cv::countNonZero((hundred - low).blue() == 90));

    // Result masks are copies, not the operand's buffers.
    EXPECT_NE(sum.validPixels().data, low.validPixels().data);
    sum.validPixelAt(0, 0) = 0;
    EXPECT_EQ(255, low.validPixelAt(0, 0));
}

TEST(MaskedImageTest, FourChannelConversionCarriesTheContributingMask)
{
    cv::Mat image(3, 4, CV_8UC4, cv::Scalar(5, 6, 7, 255));
    MaskedImage masked(image, false);
    masked.contributingPixelAt(2, 1) = 0;
    const cv::Mat out = masked.cvMat(true);
    ASSERT_EQ(CV_8UC4, out.type());
    EXPECT_EQ(cv::Vec4b(5, 6, 7, 0), out.at<cv::Vec4b>(2, 1));
    EXPECT_EQ(cv::Vec4b(5, 6, 7, 255), out.at<cv::Vec4b>(0, 0));
    EXPECT_EQ(255, masked.validPixelAt(2, 1));
}

TEST(MaskedImageTest, BandPassIsZeroOnFlatPlanesRespondsToDetailAndSharesMasks)
{
    cv::Mat image(40, 50, CV_8UC3, cv::Scalar(90, 140, 230));
    MaskedImage masked(image, false);
    MaskedImage band = masked.bandPassFilter();
    ASSERT_EQ(cv::Size(50, 40), band.red().size());
    EXPECT_EQ(0, cv::countNonZero(band.red()) + cv::countNonZero(band.green()) + cv::countNonZero(band.blue()));
    EXPECT_EQ(masked.validPixels().data, band.validPixels().data);
    EXPECT_EQ(masked.contributingPixels().data, band.contributingPixels().data);
    EXPECT_NE(masked.red().data, band.red().data);

    // A step edge leaves a band response, on odd sizes too; a single pixel
    // has no detail at all.
    cv::Mat step(61, 77, CV_8UC3, cv::Scalar::all(20));
    step(cv::Rect(38, 0, 39, 61)).setTo(cv::Scalar::all(220));
    MaskedImage stepBand = MaskedImage(step, false).bandPassFilter();
    EXPECT_GT(cv::norm(stepBand.red(), cv::NORM_INF), 20);
    EXPECT_GT(cv::norm(stepBand.blue(), cv::NORM_INF), 20);
    cv::Mat tiny(1, 1, CV_8UC3, cv::Scalar::all(9));
    EXPECT_EQ(0, MaskedImage(tiny, false).bandPassFilter().red().at<uchar>(0, 0));
}

TEST(MaskedImageTest, BandPassWhereNeededMatchesTheWholePlaneInThoseColumns)
{
    // Noise, so that any column filtered with too little of its surroundings
    // shows. Needed columns in the middle, at both edges (a part that wraps
    // around), in two runs close enough to be filtered as one, most of the
    // width (filtered whole), and none.
    const cv::Size size(4000, 40);
    cv::Mat colour = randomMat(size.height, size.width, CV_8UC3, 41);
    MaskedImage image(colour, false);
    MaskedImage whole = image.bandPassFilter();
    const std::vector<std::vector<cv::Range>> runSets = {{cv::Range(1800, 1900)},
                                                         {cv::Range(0, 90), cv::Range(3950, 4000)},
                                                         {cv::Range(1000, 1010), cv::Range(2500, 2600)},
                                                         {cv::Range(100, 3900)},
                                                         {}};
    for (const std::vector<cv::Range>& runs : runSets) {
        cv::Mat needed = cv::Mat::zeros(size, CV_8UC1);
        std::vector<bool> inRun(static_cast<std::size_t>(size.width), false);
        for (const cv::Range& run : runs) {
            // One pixel per column is enough to need the column.
            for (int c = run.start; c < run.end; ++c) {
                needed.at<uchar>(c % size.height, c) = 255;
                inRun[static_cast<std::size_t>(c)] = true;
            }
        }
        MaskedImage band = image.bandPassFilterWhere(needed);
        EXPECT_EQ(image.contributingPixels().data, band.contributingPixels().data);
        int differing = 0;
        int farNonZero = 0;
        for (int c = 0; c < size.width; ++c) {
            int distance = size.width;
            for (const cv::Range& run : runs) {
                distance = std::min(distance, std::max({run.start - c, c - run.end + 1, 0}));
            }
            const cv::Mat bandPlanes[] = {band.red(), band.green(), band.blue()};
            const cv::Mat wholePlanes[] = {whole.red(), whole.green(), whole.blue()};
            for (int p = 0; p < 3; ++p) {
                const cv::Mat got = bandPlanes[p].col(c);
                const cv::Mat expected = wholePlanes[p].col(c);
                if (inRun[static_cast<std::size_t>(c)]) {
                    differing += cv::norm(got, expected, cv::NORM_INF) != 0;
                } else if (distance > 1600) {
                    farNonZero += cv::countNonZero(got);
                }
            }
        }
        EXPECT_EQ(0, differing) << runs.size();
        EXPECT_EQ(0, farNonZero) << runs.size();
    }
}

TEST(MaskedImageTest, BandPassWhereNeededNeverShowsAnEarlierFilteringsPixels)
{
    // Planes large enough to be reused, inside a scope that keeps them as the
    // seam finder's is: each filtering takes the planes the one before freed.
    // Columns the earlier one wrote and this one does not filter must read 0,
    // and the filtered columns must be this image's, also after a filtering
    // of another size in between.
    const cv::Size size(4400, 1000), other(4300, 1000);
    const PlaneKernels::KeepMorePlanes keep(6 * static_cast<std::size_t>(size.area()));
    cv::Mat colour = randomMat(size.height, size.width, CV_8UC3, 43);
    MaskedImage image(colour, false);
    const auto neededAt = [](cv::Size at, cv::Range run) {
        cv::Mat needed = cv::Mat::zeros(at, CV_8UC1);
        needed.colRange(run).setTo(255);
        return needed;
    };
    // Filtered columns 0 .. 1480 (the run and the filters' reach).
    image.bandPassFilterWhere(neededAt(size, cv::Range(0, 200))).release();
    {
        cv::Mat otherColour = randomMat(other.height, other.width, CV_8UC3, 44);
        MaskedImage(otherColour, false).bandPassFilterWhere(neededAt(other, cv::Range(0, 100)));
    }
    // Filtered columns 2816 .. 4400 only (the reach, from a multiple of 256):
    // 0 .. 2816 must be cleared.
    MaskedImage band = image.bandPassFilterWhere(neededAt(size, cv::Range(4350, 4400)));
    MaskedImage whole = image.bandPassFilter();
    const cv::Mat bandPlanes[] = {band.red(), band.green(), band.blue()};
    const cv::Mat wholePlanes[] = {whole.red(), whole.green(), whole.blue()};
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(0, cv::countNonZero(bandPlanes[p].colRange(0, 2816))) << p;
        EXPECT_EQ(0.0, cv::norm(bandPlanes[p].colRange(4350, 4400), wholePlanes[p].colRange(4350, 4400),
                                cv::NORM_INF))
            << p;
    }
    // The earlier filtering did write the columns now cleared.
    EXPECT_GT(cv::countNonZero(wholePlanes[0].colRange(0, 1480)), 0);
}

TEST(MaskedImageHelpersTest, UnitMaskRoundsToNearestAndReusesTheBuffer)
{
    const cv::Mat mask = (cv::Mat_<uchar>(1, 5) << 0, 127, 128, 254, 255);
    const cv::Mat expected = (cv::Mat_<uchar>(1, 5) << 0, 0, 1, 1, 1);
    EXPECT_TRUE(same(expected, unitMask(mask)));
    cv::Mat reused = filled(1, 5, 9);
    const uchar* buffer = reused.data;
    unitMask(mask, reused);
    EXPECT_EQ(buffer, reused.data);
    EXPECT_TRUE(same(expected, reused));
}

} // namespace
} // namespace orb
