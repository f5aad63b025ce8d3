// The blending steps run as fused passes over row bands on all cores; each
// must give exactly the bits of the straightforward whole-plane chain of
// OpenCV calls (tests/blending/ReferenceBlending.h), on one thread and on many.
#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/PlaneKernels.h"
#include "StitchLib/blending/QualitySeamFinder.h"

#include "tests/blending/ReferenceBlending.h"
#include "tests/blending/TestImages.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace orb {
namespace {

using namespace test;

// Sizes around the band boundaries and the image edges: tall ones span
// several bands of the passes.
const cv::Size kSizes[] = {cv::Size(1, 1), cv::Size(3, 2), cv::Size(7, 5), cv::Size(2, 9), cv::Size(61, 37),
                           cv::Size(33, 700), cv::Size(20, 1101), cv::Size(257, 300)};

// A mask mostly 0 and 255 in blobs, with some arbitrary values, so that
// rounding of mask / 255 at 127 and 128 is exercised too.
cv::Mat randomMask(cv::Size size, unsigned seed)
{
    cv::Mat noise = randomMat(size.height, size.width, CV_8UC1, seed);
    cv::Mat mask;
    cv::threshold(noise, mask, 100, 255, cv::THRESH_BINARY);
    cv::Mat odd = randomMat(size.height, size.width, CV_8UC1, seed + 1);
    noise.forEach<uchar>([&](uchar& v, const int* p) {
        if (v % 17 == 0) mask.at<uchar>(p[0], p[1]) = odd.at<uchar>(p[0], p[1]);
        if (v % 29 == 0) mask.at<uchar>(p[0], p[1]) = static_cast<uchar>(127 + v % 2);
    });
    return mask;
}

MaskedImage randomImage(cv::Size size, unsigned seed)
{
    return MaskedImage(randomMat(size.height, size.width, CV_8UC1, seed),
                       randomMat(size.height, size.width, CV_8UC1, seed + 1),
                       randomMat(size.height, size.width, CV_8UC1, seed + 2), randomMask(size, seed + 3),
                       randomMask(size, seed + 5));
}

bool sameImage(MaskedImage a, MaskedImage b)
{
    return same(a.red(), b.red()) && same(a.green(), b.green()) && same(a.blue(), b.blue()) &&
           same(a.validPixels(), b.validPixels()) && same(a.contributingPixels(), b.contributingPixels());
}

// Runs action on all threads, then on one: {serial, parallel}.
template <typename Result>
std::pair<Result, Result> serialAndParallel(const std::function<Result()>& action)
{
    const int threads = cv::getNumThreads();
    Result parallel = action();
    cv::setNumThreads(1);
    Result serial = action();
    cv::setNumThreads(threads);
    return {serial, parallel};
}

TEST(ByteTableTest, TablesMatchOpenCVOnEveryPairOfValues)
{
    // One element per call takes OpenCV's scalar path; the tables were filled
    // through its vector path, so this also shows that the two agree.
    cv::Mat a(1, 1, CV_8UC1), b(1, 1, CV_8UC1), r;
    int mismatches = 0;
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 256; ++y) {
            a.at<uchar>(0) = static_cast<uchar>(x);
            b.at<uchar>(0) = static_cast<uchar>(y);
            cv::multiply(a, b, r, 1.0 / 255.0, CV_8U);
            mismatches += r.at<uchar>(0) != PlaneKernels::weighted()(a.at<uchar>(0), b.at<uchar>(0));
            cv::divide(a, b, r, 255.0, CV_8U);
            mismatches += r.at<uchar>(0) != PlaneKernels::normalised()(a.at<uchar>(0), b.at<uchar>(0));
            r = a.mul(b, 0.003921568859368563);
            mismatches += r.at<uchar>(0) != PlaneKernels::maskedSingle()(a.at<uchar>(0), b.at<uchar>(0));
        }
    }
    EXPECT_EQ(0, mismatches);
    // Spot checks of the arithmetic itself.
    EXPECT_EQ(100, PlaneKernels::weighted()(100, 255));
    EXPECT_EQ(0, PlaneKernels::normalised()(77, 0));
    EXPECT_EQ(255, PlaneKernels::normalised()(200, 100));
}

TEST(ByteTableTest, BandsCoverEveryRowOnce)
{
    for (int rows : {0, 1, 5, 64, 1000}) {
        for (int band : {1, 3, 64, 5000}) {
            std::vector<int> seen(static_cast<std::size_t>(rows), 0);
            PlaneKernels::forRowBands(rows, band, [&](int begin, int end) {
                for (int r = begin; r < end; ++r) ++seen[static_cast<std::size_t>(r)];
            });
            EXPECT_EQ(rows, std::count(seen.begin(), seen.end(), 1)) << rows << " " << band;
        }
    }
}

// Pyramid steps and the seams' band pass skip every column outside these runs: a
// run cut short at an edge, at the vector width or by the row range loses data.
TEST(ByteTableTest, ColumnRunsCoverEveryNonZeroColumnOfTheRowsAsked)
{
    cv::Mat plane(6, 37, CV_8UC1, cv::Scalar(0));
    plane.at<uchar>(1, 0) = 1;                              // at the left edge
    plane(cv::Rect(15, 2, 3, 1)).setTo(200);                // across the first 16 columns
    plane.at<uchar>(3, 18) = 7;                             // joins the run before it
    plane.at<uchar>(4, 36) = 255;                           // at the right edge, in the tail
    plane.at<uchar>(5, 25) = 9;                             // only in a row left out below
    const auto runs = PlaneKernels::nonZeroColumnRuns(plane, 0, 5);
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], cv::Range(0, 1));
    EXPECT_EQ(runs[1], cv::Range(15, 19));
    EXPECT_EQ(runs[2], cv::Range(36, 37));
    const auto lastRow = PlaneKernels::nonZeroColumnRuns(plane, 5, 6);
    ASSERT_EQ(lastRow.size(), 1u);
    EXPECT_EQ(lastRow[0], cv::Range(25, 26));
    EXPECT_TRUE(PlaneKernels::nonZeroColumnRuns(plane, 0, 1).empty());
}

TEST(ByteTableTest, ZeroPlanesStartAsZerosEvenWhereFreedPlanesWereWritten)
{
    // Small planes come from the heap, large ones are mappings of their own;
    // both must read as zeros, also after planes of the same size were freed.
    for (const cv::Size size : {cv::Size(7, 5), cv::Size(3000, 2000)}) {
        for (int round = 0; round < 2; ++round) {
            cv::Mat dirty;
            PlaneKernels::createPlane(dirty, size, CV_8UC1);
            dirty.setTo(77);
            dirty.release();
            cv::Mat zeros;
            PlaneKernels::createZeroPlane(zeros, size.height, size.width, CV_8UC1);
            EXPECT_EQ(0, cv::countNonZero(zeros)) << size;
            // Copies share the buffer and keep it alive after the original goes.
            zeros.at<uchar>(size.height - 1, size.width - 1) = 5;
            cv::Mat copy = zeros;
            zeros.release();
            EXPECT_EQ(5, copy.at<uchar>(size.height - 1, size.width - 1));
        }
    }
}

// Creates a written plane of this size filled with value, frees it and
// returns where it was.
const uchar* freedPlane(cv::Size size, uchar value)
{
    cv::Mat plane;
    PlaneKernels::createPlane(plane, size, CV_8UC1);
    plane.setTo(value);
    return plane.data;
}

TEST(ByteTableTest, FreedPlanesAreKeptWithinTheirBudgetOnly)
{
    // A freed written plane comes back for the next plane of its size (its old
    // contents show); with no budget the next one is a fresh mapping.
    const cv::Size size(3000, 2000);
    const auto freedThenNew = [&] {
        const uchar* address = freedPlane(size, 77);
        cv::Mat second;
        PlaneKernels::createPlane(second, size, CV_8UC1);
        return std::make_pair(second.data == address, cv::countNonZero(second));
    };
    const auto kept = freedThenNew();
    EXPECT_TRUE(kept.first);
    EXPECT_EQ(size.area(), kept.second);
    PlaneKernels::keepFreedPlanes(0);
    EXPECT_EQ(0, freedThenNew().second);
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
}

TEST(ByteTableTest, MorePlanesAreKeptWithinAScopeOnly)
{
    // With no budget of its own, two 6 MB planes freed inside a scope that
    // keeps 12 MB more both come back; freed after the scope, neither does.
    PlaneKernels::keepFreedPlanes(0);
    const cv::Size size(3000, 2000);
    const auto freedTwiceThenNew = [&] {
        cv::Mat first, second;
        PlaneKernels::createPlane(first, size, CV_8UC1);
        PlaneKernels::createPlane(second, size, CV_8UC1);
        first.setTo(77);
        second.setTo(77);
        first.release();
        second.release();
        PlaneKernels::createPlane(first, size, CV_8UC1);
        PlaneKernels::createPlane(second, size, CV_8UC1);
        return cv::countNonZero(first) + cv::countNonZero(second);
    };
    {
        const PlaneKernels::KeepMorePlanes keep(2 * static_cast<std::size_t>(size.area()));
        EXPECT_EQ(2 * size.area(), freedTwiceThenNew());
    }
    EXPECT_EQ(0, freedTwiceThenNew());
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
}

TEST(ByteTableTest, ScratchPlanesAreKeptWhileAScopeIsAliveAndDroppedFirst)
{
    // A scratch plane freed outside any scope goes back to the system even
    // with budget to spare; inside a scope it comes back with its old
    // contents; once the scope ends it is dropped, and a written plane kept
    // beside it stays.
    const cv::Size size(3100, 1700), written(2900, 1700);
    const auto freedScratch = [&](uchar value) {
        cv::Mat plane;
        PlaneKernels::createScratchPlane(plane, size.height, size.width, CV_8UC1);
        plane.setTo(value);
    };
    const auto nextScratchHolds = [&](uchar value) {
        cv::Mat plane;
        PlaneKernels::createScratchPlane(plane, size.height, size.width, CV_8UC1);
        return cv::countNonZero(plane == value);
    };
    freedScratch(66);
    EXPECT_EQ(0, nextScratchHolds(66));
    {
        const PlaneKernels::KeepMorePlanes keep(static_cast<std::size_t>(size.area()));
        freedScratch(67);
        EXPECT_EQ(size.area(), nextScratchHolds(67));
        freedScratch(68);
        freedPlane(written, 69);
    }
    EXPECT_EQ(0, nextScratchHolds(68));
    cv::Mat kept;
    PlaneKernels::createPlane(kept, written, CV_8UC1);
    EXPECT_EQ(written.area(), cv::countNonZero(kept == 69));
    // Leaves no kept plane behind for the tests after this one.
    kept.release();
    PlaneKernels::keepFreedPlanes(0);
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
}

TEST(ByteTableTest, EveryLargePlaneIsReusedAndZeroPlanesComeBackCleared)
{
    // A take reuses all large planes: a written plane returns as a zero plane,
    // cleared, within the budget.
    const cv::Size size(3000, 2000), other(2100, 2000);
    PlaneKernels::keepFreedPlanes(std::size_t(8) << 20, PlaneKernels::Reuse::EveryLargePlane);
    const uchar* address = freedPlane(size, 77);
    cv::Mat zeros;
    PlaneKernels::createZeroPlane(zeros, size.height, size.width, CV_8UC1);
    EXPECT_EQ(address, zeros.data);
    EXPECT_EQ(0, cv::countNonZero(zeros));

    // Kept, the 6 MB plane fills most of the 8 MiB budget: a 4.2 MB plane
    // freed beside it is not kept. The next 4.2 MB plane is the front of the
    // kept block (its old contents show), and the one after, with 1.8 MB
    // left kept, a fresh one.
    zeros.setTo(77);
    cv::Mat beside;
    PlaneKernels::createPlane(beside, other, CV_8UC1);
    beside.setTo(55);
    zeros.release();
    beside.release();
    cv::Mat front, fresh;
    PlaneKernels::createPlane(front, other, CV_8UC1);
    PlaneKernels::createPlane(fresh, other, CV_8UC1);
    EXPECT_EQ(address, front.data);
    EXPECT_EQ(other.area(), cv::countNonZero(front == 77));
    EXPECT_EQ(0, cv::countNonZero(fresh));
    front.release();
    fresh.release();

#ifndef __SANITIZE_ADDRESS__
    // OpenCV's own large matrices join in, and leave again with the default.
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20, PlaneKernels::Reuse::EveryLargePlane);
    { cv::Mat first(1400, 1000, CV_8UC3, cv::Scalar::all(9)); }
    const cv::Mat reused(1400, 1000, CV_8UC3); // not initialised: the freed one's contents
    EXPECT_EQ(reused.total() * 3, static_cast<std::size_t>(cv::countNonZero(reused.reshape(1) == 9)));
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
    EXPECT_EQ(cv::Mat::getDefaultAllocator(), cv::Mat::getStdAllocator());
#endif
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
}

TEST(ByteTableTest, KeptBlocksAreSplitAndJoinedWhenEveryPlaneIsKept)
{
    const long page = sysconf(_SC_PAGESIZE);
    const cv::Size whole(4096, 3000), half(4096, 1500); // 12 MB, two halves of whole pages
    ASSERT_EQ(0, half.area() % page);
    const auto planeOf = [](cv::Size size, cv::Mat& plane) { PlaneKernels::createPlane(plane, size, CV_8UC1); };
    // Counted without OpenCV's temporaries, which would take kept blocks too.
    const auto count = [](const cv::Mat& plane, uchar value) {
        int n = 0;
        for (int r = 0; r < plane.rows; ++r)
            n += static_cast<int>(std::count(plane.ptr<uchar>(r), plane.ptr<uchar>(r) + plane.cols, value));
        return n;
    };

    // Only exact sizes come back while written planes alone are kept, as in a
    // single stitch (none kept from earlier tests).
    PlaneKernels::keepFreedPlanes(0);
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
    const uchar* block = freedPlane(whole, 31);
    cv::Mat a;
    planeOf(half, a);
    EXPECT_NE(block, a.data);
    a.release();
    planeOf(whole, a);
    EXPECT_EQ(block, a.data);
    a.release();

    // Every plane kept: two halves are cut from the kept block, one after the
    // other, with its contents; a zero plane cut from it is cleared.
    PlaneKernels::keepFreedPlanes(0);
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20, PlaneKernels::Reuse::EveryLargePlane);
    block = freedPlane(whole, 31);
    planeOf(half, a);
    cv::Mat zeros;
    PlaneKernels::createZeroPlane(zeros, half.height, half.width, CV_8UC1);
    EXPECT_EQ(block, a.data);
    EXPECT_EQ(block + half.area(), zeros.data);
    EXPECT_EQ(half.area(), count(a, 31));
    EXPECT_EQ(0, half.area() - count(zeros, 0));

    // Freed in either order, the halves join again into the whole block,
    // which then serves a plane of its full size.
    a.setTo(41);
    zeros.setTo(42);
    zeros.release();
    a.release();
    planeOf(whole, a);
    EXPECT_EQ(block, a.data);
    EXPECT_EQ(half.area(), count(a.rowRange(0, half.height), 41));
    EXPECT_EQ(half.area(), count(a.rowRange(half.height, whole.height), 42));
    a.release();
    PlaneKernels::keepFreedPlanes(0);
    PlaneKernels::keepFreedPlanes(std::size_t(64) << 20);
}

TEST(ByteTableTest, PreparedWritesKeepContentsAndLeaveOtherPagesUntouched)
{
    // A large zero plane: only pages under the marked columns of the row may
    // take memory, and values already written stay as they are.
    const int cols = 64 * 1024;
    cv::Mat plane;
    PlaneKernels::createZeroPlane(plane, 80, cols, CV_8UC1); // large enough to be a mapping
    plane.at<uchar>(1, 100) = 9;
    std::vector<uchar> where(static_cast<std::size_t>(cols), 0);
    std::fill(where.begin() + 40000, where.begin() + 41000, uchar(1));
    where[100] = 1;
    PlaneKernels::prepareWrites(plane, 1, where.data(), cols);

    const long page = sysconf(_SC_PAGESIZE);
    const auto resident = [&](int row, int col) {
        const auto address = reinterpret_cast<std::uintptr_t>(plane.ptr<uchar>(row) + col);
        unsigned char state = 0;
        EXPECT_EQ(0, mincore(reinterpret_cast<void*>(address & ~static_cast<std::uintptr_t>(page - 1)),
                             static_cast<std::size_t>(page), &state));
        return (state & 1) != 0;
    };
    EXPECT_TRUE(resident(1, 40500));
    EXPECT_TRUE(resident(1, 40000));
    EXPECT_FALSE(resident(1, 20000));
    EXPECT_FALSE(resident(2, 40500));
    EXPECT_FALSE(resident(0, 40500));
    // Read last: reading maps untouched pages too.
    EXPECT_EQ(9, plane.at<uchar>(1, 100));
    EXPECT_EQ(1, cv::countNonZero(plane));

    // Several planes at once: two whose rows lie alike on their pages, and a
    // narrower one whose row 3 starts elsewhere within a page. Each gets the
    // pages under its own row's marked columns, whichever plane came first.
    cv::Mat a, b, narrow;
    PlaneKernels::createZeroPlane(a, 80, cols, CV_8UC1);
    PlaneKernels::createZeroPlane(narrow, 80, cols - 1000, CV_8UC1);
    PlaneKernels::createZeroPlane(b, 80, cols, CV_8UC1);
    std::fill(where.begin() + 30000, where.begin() + 30001, uchar(1));
    cv::Mat* planes[] = {&a, &narrow, &b};
    PlaneKernels::prepareWrites(planes, 3, 3, where.data(), cols - 1000);
    for (cv::Mat* prepared : planes) {
        plane = *prepared;
        EXPECT_TRUE(resident(3, 30000));
        EXPECT_TRUE(resident(3, 40999));
        EXPECT_TRUE(resident(3, 100));
        EXPECT_FALSE(resident(3, 20000));
        EXPECT_FALSE(resident(3, 50000));
        EXPECT_FALSE(resident(4, 40500));
        EXPECT_EQ(0, cv::countNonZero(*prepared));
    }
}

TEST(FusedPassesTest, ImageConversionMatchesTheWholePlaneChain)
{
    unsigned seed = 11;
    for (const cv::Size size : kSizes) {
        for (const int type : {CV_8UC3, CV_8UC4}) {
            cv::Mat image = randomMat(size.height, size.width, type, seed++);
            if (type == CV_8UC4) {
                // Alpha mostly opaque, with holes, soft values and 254.
                cv::Mat alpha = randomMask(size, seed++);
                alpha.setTo(254, randomMat(size.height, size.width, CV_8UC1, seed++) > 240);
                cv::Mat withAlpha[] = {image};
                const int pairs[] = {0, 3};
                cv::mixChannels(&alpha, 1, withAlpha, 1, pairs, 1);
            }
            for (const bool erode : {false, true}) {
                auto results =
                    serialAndParallel<MaskedImage>([&] { return MaskedImage(image, erode); });
                EXPECT_TRUE(sameImage(reference::fromImage(image, erode), results.first))
                    << size << " type " << type << " erode " << erode;
                EXPECT_TRUE(sameImage(results.first, results.second)) << size;
                // The contribution is a copy of its own, not the valid mask.
                EXPECT_NE(results.first.validPixels().data, results.first.contributingPixels().data);
            }
        }
    }
}

TEST(FusedPassesTest, MaskedSumAndDifferenceMatchTheWholePlaneChain)
{
    unsigned seed = 100;
    for (const cv::Size size : kSizes) {
        MaskedImage a = randomImage(size, seed);
        MaskedImage b = randomImage(size, seed + 10);
        seed += 20;
        for (const bool subtract : {true, false}) {
            auto results = serialAndParallel<MaskedImage>([&] { return subtract ? a - b : a + b; });
            EXPECT_TRUE(sameImage(reference::combined(a, b, subtract), results.first)) << size << subtract;
            EXPECT_TRUE(sameImage(results.first, results.second)) << size;
            EXPECT_NE(a.validPixels().data, results.first.validPixels().data);
        }
    }
    // Planes of different sizes are refused, as by the whole-plane operations.
    EXPECT_THROW(flat(4, 5, 1) - flat(4, 6, 1), cv::Exception);
}

TEST(FusedPassesTest, PyramidStepsMatchTheWholePlaneChainAtEverySize)
{
    OpenCVPyramidGenerator generator;
    unsigned seed = 300;
    std::vector<cv::Size> sizes(std::begin(kSizes), std::end(kSizes));
    sizes.emplace_back(10, 1000);
    sizes.emplace_back(7, 513);
    for (const cv::Size size : sizes) {
        MaskedImage image = randomImage(size, seed);
        seed += 10;
        const auto down = serialAndParallel<MaskedImage>([&] { return generator.scaleDown(image); });
        EXPECT_TRUE(sameImage(reference::resample(image, true, cv::Size()), down.first)) << size;
        EXPECT_TRUE(sameImage(down.first, down.second)) << size;

        // Expansion to both targets that halve to this size.
        for (const cv::Size target : {cv::Size(2 * size.width, 2 * size.height),
                                      cv::Size(2 * size.width - 1, 2 * size.height - 1),
                                      cv::Size(2 * size.width, 2 * size.height - 1)}) {
            if (target.width < 1 || target.height < 1) continue;
            const auto up = serialAndParallel<MaskedImage>(
                [&] { return generator.scaleUp(image, target.height, target.width); });
            EXPECT_TRUE(sameImage(reference::resample(image, false, target), up.first)) << size << target;
            EXPECT_TRUE(sameImage(up.first, up.second)) << size << target;
        }
    }
}

TEST(FusedPassesTest, PyramidStepsMatchTheWholePlaneChainWhereDataLiesInColumnStrips)
{
    // Resampling skips the columns far from any valid pixel: strips inside,
    // at either edge, at both (a part that wraps around), close enough to be
    // taken as one, a single column, and none. Colour and contribution are
    // noise outside the strips too, which the valid mask must keep out. Only
    // the upper rows hold data, so that later bands of rows hold none.
    OpenCVPyramidGenerator generator;
    const std::vector<std::vector<cv::Range>> stripSets = {
        {cv::Range(140, 190)}, {cv::Range(0, 30), cv::Range(262, 300)}, {cv::Range(100, 110), cv::Range(150, 160)},
        {cv::Range(5, 6)},     {cv::Range(230, 300)},                  {}};
    unsigned seed = 500;
    for (const int cols : {300, 301}) {
        for (const std::vector<cv::Range>& strips : stripSets) {
            const cv::Size size(cols, 530);
            MaskedImage image = randomImage(size, seed);
            seed += 10;
            cv::Mat valid = cv::Mat::zeros(size, CV_8UC1);
            for (const cv::Range& strip : strips) {
                const cv::Rect area(strip.start, 0, strip.size(), 270);
                image.validPixels()(area).copyTo(valid(area));
            }
            image.validPixels() = valid;
            const auto down = serialAndParallel<MaskedImage>([&] { return generator.scaleDown(image); });
            EXPECT_TRUE(sameImage(reference::resample(image, true, cv::Size()), down.first)) << cols;
            EXPECT_TRUE(sameImage(down.first, down.second)) << cols;
            for (const cv::Size target : {cv::Size(2 * cols, 1060), cv::Size(2 * cols - 1, 1059)}) {
                const MaskedImage up = generator.scaleUp(image, target.height, target.width);
                EXPECT_TRUE(sameImage(reference::resample(image, false, target), up)) << cols << target;
            }
        }
    }
}

TEST(FusedPassesTest, FeatherBlendMatchesTheWholePlaneChainForOneToFourImages)
{
    FeatherBlender blender;
    unsigned seed = 500;
    for (const cv::Size size : kSizes) {
        std::vector<MaskedImage> images;
        for (int count = 1; count <= 4; ++count) {
            images.push_back(randomImage(size, seed));
            seed += 10;
            MaskedImageSet set;
            for (MaskedImage& image : images) set.addImage(image);
            auto results = serialAndParallel<MaskedImage>([&] { return blender.blend(set); });
            EXPECT_TRUE(sameImage(reference::feather(images), results.first)) << size << " " << count;
            EXPECT_TRUE(sameImage(results.first, results.second)) << size << " " << count;
            EXPECT_EQ(results.first.validPixels().data, results.first.contributingPixels().data);
        }
    }
}

// The seam walk of the pair step on a given cut cost, as the seam finder
// describes it, to judge the fused cost through the masks it leaves.
void referenceSeam(cv::Mat cost, cv::Mat maskA, cv::Mat maskB)
{
    const int last = cost.cols - 1;
    for (int i = 1; i < cost.rows; ++i) {
        for (int x = 0; x <= last; ++x) {
            float m = cost.at<float>(i - 1, x);
            if (x > 0) m = std::min(m, cost.at<float>(i - 1, x - 1));
            if (x < last) m = std::min(m, cost.at<float>(i - 1, x + 1));
            cost.at<float>(i, x) += m;
        }
    }
    int s = 0;
    for (int x = 1; x < last; ++x) {
        if (cost.at<float>(cost.rows - 1, x) < cost.at<float>(cost.rows - 1, s)) s = x;
    }
    for (int r = cost.rows - 1; r >= 0; --r) {
        for (int x = 0; x <= maskA.cols - 3; ++x) {
            if (maskA.at<uchar>(r, x) == 255 && maskB.at<uchar>(r, x) == 255) {
                (x <= s ? maskB : maskA).at<uchar>(r, x) = 0;
            }
        }
        if (r > 0) {
            int n = s;
            if (s > 0 && cost.at<float>(r - 1, s) > cost.at<float>(r - 1, s - 1)) n = s - 1;
            if (s < last && cost.at<float>(r - 1, s) > cost.at<float>(r - 1, s + 1)) n = s + 1;
            s = n;
        }
    }
}

TEST(FusedPassesTest, SeamPairCutsWhereTheWholePlaneCostSays)
{
    QualitySeamFinder finder;
    unsigned seed = 700;
    for (const cv::Size size : {cv::Size(3, 2), cv::Size(61, 37), cv::Size(40, 700), cv::Size(300, 260)}) {
        // Similar images, so that the cost has structure below saturation.
        MaskedImage a = randomImage(size, seed);
        MaskedImage b = randomImage(size, seed + 10);
        seed += 20;
        cv::Mat noise = randomMat(size.height, size.width, CV_8UC1, seed);
        cv::Mat* aPlanes[] = {&a.red(), &a.green(), &a.blue()};
        cv::Mat* bPlanes[] = {&b.red(), &b.green(), &b.blue()};
        for (int p = 0; p < 3; ++p) {
            cv::Mat scaled;
            noise.convertTo(scaled, CV_8U, 0.3);
            cv::add(*aPlanes[p], scaled, *bPlanes[p]);
        }
        // Masks: wide overlapping columns, plus arbitrary values.
        a.contributingPixels() = columns(size.height, size.width, 0, size.width * 2 / 3) | randomMask(size, seed + 1);
        b.contributingPixels() = columns(size.height, size.width, size.width / 3, size.width);

        const cv::Mat cost = reference::cutCost(a, b);
        cv::Mat expectedA = a.contributingPixels().clone();
        cv::Mat expectedB = b.contributingPixels().clone();
        if (size.height >= 2 && size.width >= 3) {
            referenceSeam(cost.clone(), expectedA, expectedB);
        }
        auto results = serialAndParallel<std::pair<cv::Mat, cv::Mat>>([&] {
            MaskedImage copyA(a.red(), a.green(), a.blue(), a.validPixels(), a.contributingPixels().clone());
            MaskedImage copyB(b.red(), b.green(), b.blue(), b.validPixels(), b.contributingPixels().clone());
            finder.findSeamPair(copyA, copyB);
            return std::make_pair(copyA.contributingPixels(), copyB.contributingPixels());
        });
        EXPECT_TRUE(same(expectedA, results.first.first)) << size;
        EXPECT_TRUE(same(expectedB, results.first.second)) << size;
        EXPECT_TRUE(same(results.first.first, results.second.first)) << size;
        EXPECT_TRUE(same(results.first.second, results.second.second)) << size;
    }
}

} // namespace
} // namespace orb

namespace orb {
namespace {

// Derived types take the spline's step-by-step path: every expansion, band
// and blend through the collaborators' own operations.
class StepwiseGenerator : public OpenCVPyramidGenerator {};
class StepwiseBlender : public FeatherBlender {};

MaskedImageSet copyOfSet(MaskedImageSet& set)
{
    MaskedImageSet copy;
    for (int i = 0; i < static_cast<int>(set.numImages()); ++i) {
        MaskedImage& image = set.image(i);
        copy.addImage(MaskedImage(image.red().clone(), image.green().clone(), image.blue().clone(),
                                  image.validPixels().clone(), image.contributingPixels().clone()));
    }
    return copy;
}

MaskedImage splineOf(MaskedImageSet set, PyramidGeneratorBase& generator, BlenderBase& blender)
{
    MultiResolutionSpline spline(generator, blender);
    return spline.spline(set);
}

TEST(FusedPassesTest, SplineLevelPassesMatchTheStepByStepSpline)
{
    OpenCVPyramidGenerator generator;
    FeatherBlender blender;
    StepwiseGenerator stepwiseGenerator;
    StepwiseBlender stepwiseBlender;

    // Rig-like parts with seams, and sets of random images with arbitrary
    // mask values, of sizes that make one, two and many levels.
    std::vector<MaskedImageSet> sets;
    for (const int rows : {70, 201}) {
        std::vector<cv::Mat> parts = makeSyntheticRigParts(rows, static_cast<unsigned>(rows));
        MaskedImageSet set(parts, true);
        QualitySeamFinder().findSeam(set);
        sets.push_back(set);
    }
    unsigned seed = 900;
    for (const cv::Size size : {cv::Size(5, 3), cv::Size(40, 33), cv::Size(61, 130), cv::Size(33, 700)}) {
        for (int count = 1; count <= 3; ++count) {
            MaskedImageSet set;
            for (int i = 0; i < count; ++i) {
                set.addImage(randomImage(size, seed));
                seed += 10;
            }
            sets.push_back(set);
        }
    }
    for (MaskedImageSet& set : sets) {
        MaskedImage stepwise = splineOf(copyOfSet(set), stepwiseGenerator, stepwiseBlender);
        auto fused = serialAndParallel<MaskedImage>([&] { return splineOf(copyOfSet(set), generator, blender); });
        const cv::Size size(set.cols(), set.rows());
        EXPECT_TRUE(sameImage(stepwise, fused.first)) << size << " " << set.numImages();
        EXPECT_TRUE(sameImage(fused.first, fused.second)) << size;
        // The finest level collapsed straight into the interleaved image.
        for (const bool withAlpha : {true, false}) {
            auto interleaved = serialAndParallel<cv::Mat>([&] {
                MaskedImageSet copy = copyOfSet(set);
                return MultiResolutionSpline(generator, blender).splineImage(copy, withAlpha);
            });
            EXPECT_TRUE(test::same(stepwise.cvMat(withAlpha), interleaved.first)) << size << " " << withAlpha;
            EXPECT_TRUE(test::same(interleaved.first, interleaved.second)) << size;
        }
    }
}

} // namespace
} // namespace orb

namespace orb {
namespace {

TEST(FusedPassesTest, MaskSimplificationMatchesTheRowByRowRule)
{
    // Wide masks with scattered zeros take the vector path and the tails.
    for (const cv::Size size : {cv::Size(1030, 40), cv::Size(37, 9), cv::Size(530, 301)}) {
        cv::Mat mask;
        cv::threshold(test::randomMat(size.height, size.width, CV_8UC1, 77), mask, 6, 255, cv::THRESH_BINARY);
        cv::Mat expected = mask.clone();
        const int rows = size.height, last = size.width - 1;
        for (int r = rows / 4; r < rows; ++r)
            for (int c = 0; c < last; ++c)
                if (expected.at<uchar>(r - 1, c) == 0) expected.at<uchar>(r, c) = 0;
        for (int r = (3 * rows) / 4; r >= 0; --r)
            for (int c = 0; c < last; ++c)
                if (expected.at<uchar>(r + 1, c) == 0) expected.at<uchar>(r, c) = 0;
        QualitySeamFinder().simplifyMask(mask);
        EXPECT_TRUE(test::same(expected, mask)) << size;
    }
}

} // namespace
} // namespace orb
