#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>

namespace orb {
namespace {

const cv::Matx<float, 4, 4> kIdentity = cv::Matx<float, 4, 4>::eye();

using testrig::sameBits;

// Records what the builders ask for: map element = (column, row) requested.
struct EchoMapper {
    int row = -100;
    void setRow(int r) { row = r; }
    void getCoords(int col, float* out) const
    {
        out[0] = static_cast<float>(col);
        out[1] = static_cast<float>(row);
    }
};

TEST(ImageMapping, MapElementsBelongToTheRectangle)
{
    EchoMapper mapper;
    cv::Mat map;
    const cv::Rect roi(7, 3, 5, 4);
    ImageMapping::initMap(roi, mapper, map);
    ASSERT_EQ(map.type(), CV_32FC2);
    ASSERT_EQ(map.size(), cv::Size(5, 4));
    for (int i = 0; i < roi.height; ++i)
        for (int j = 0; j < roi.width; ++j)
            EXPECT_EQ(map.at<cv::Vec2f>(i, j), cv::Vec2f(static_cast<float>(7 + j), static_cast<float>(3 + i)));
    EXPECT_EQ(mapper.row, 6); // the rectangle's last row

    ImageMapping::initMap(cv::Size(3, 2), mapper, map);
    EXPECT_EQ(map.size(), cv::Size(3, 2));
    EXPECT_EQ(map.at<cv::Vec2f>(1, 2), cv::Vec2f(2.f, 1.f));
}

TEST(ImageMapping, FastMapLeavesTheCallersMapperAlone)
{
    auto mapper = makeEqrToFisheye(testrig::makeCamera(0.0, 300.f, 640.f, 480.f), kIdentity, 50, 100, 1.4486f);
    mapper.setRow(17);
    cv::Mat fast, serial;
    ImageMapping::initFastMap(cv::Rect(20, 5, 30, 12), mapper, fast);
    EXPECT_EQ(mapper.getCurrentRow(), 17);
    ImageMapping::initMap(cv::Rect(20, 5, 30, 12), mapper, serial);
    EXPECT_EQ(mapper.getCurrentRow(), 16);
    EXPECT_TRUE(sameBits(fast, serial));
}

// Compares the serial and parallel builders on a rectangle holding mapped and unmapped pixels.
template <typename Mapper>
void expectParallelIdentical(Mapper serialMapper)
{
    const cv::Rect roi{37, 11, 150, 97};
    Mapper parallelMapper = serialMapper;
    cv::Mat serial, parallel;
    ImageMapping::initMap(roi, serialMapper, serial);
    ImageMapping::initMapParallel(roi, parallelMapper, parallel);
    EXPECT_TRUE(sameBits(serial, parallel));
    EXPECT_EQ(parallelMapper.getCurrentRow(), roi.y + roi.height - 1);
    const int mappedValues = cv::countNonZero(serial.reshape(1) != -1.f);
    EXPECT_GT(mappedValues, static_cast<int>(serial.total()) / 2);
    EXPECT_LT(mappedValues, static_cast<int>(serial.total()) * 2);
}

TEST(ImageMapping, ParallelBuilderIsBitIdenticalToSerial)
{
    const int H = 120, W = 240;
    const CameraIntrinsics camera = testrig::makeCamera(90.0, 280.f, 600.f, 450.f, 0.08f, -0.01f, 0.0005f, 0.f);
    expectParallelIdentical(makeEqrToFisheye(camera, kIdentity, H, W, 1.4486f));

    cv::Mat depth(H, W, CV_32F);
    cv::RNG rng(7);
    rng.fill(depth, cv::RNG::UNIFORM, 0.0, 2.0); // distances from 0.5 m to infinity
    for (int c = 0; c < W; c += 9)
        depth.at<float>(40, c) = 0.f; // gaps
    expectParallelIdentical(makeEqrToFisheye(camera, kIdentity, depth, H - 20, 1.6580628f));
}

} // namespace
} // namespace orb
