#include "Segments.h"
#include "VideoReader.h"
#include "VideoWriter.h"

#include "VideoTestFiles.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

using video::SegmentPlan;
using video::SegmentStore;

TEST(SegmentPlan, SegmentsAndSharesCoverEveryFrameOnce)
{
    const SegmentPlan plan{5, 23, 4};
    ASSERT_EQ(plan.count(), 6u);
    EXPECT_EQ(plan.begin(0), 5);
    EXPECT_EQ(plan.end(5), 28); // the last one is shorter
    for (unsigned n : {1u, 2u, 4u, 7u}) {
        std::vector<int> seen(plan.count(), 0);
        for (unsigned k = 1; k <= n; ++k) {
            const auto share = video::shareOfSegments(plan.count(), k, n);
            for (std::size_t i = share.first; i < share.second; ++i)
                ++seen[i];
        }
        for (int s : seen)
            EXPECT_EQ(s, 1) << n << " shares";
    }
}

// The output's frame limits come from the codecs' highest levels.
TEST(VideoWriter, SizesBeyondTheCodecsLevelsAreRefused)
{
    EXPECT_EQ(video::checkOutputSize("h264", 3840, 1920), "");
    EXPECT_EQ(video::checkOutputSize("hevc", 7680, 3840), "");
    EXPECT_EQ(video::checkOutputSize("h264", 8192, 4096), "");
    EXPECT_NE(video::checkOutputSize("h264", 10000, 5000).find("H.264 level 6.2"), std::string::npos);
    EXPECT_NE(video::checkOutputSize("hevc", 10000, 5000).find("HEVC level 6.2"), std::string::npos);
    EXPECT_NE(video::checkOutputSize("h264", 17000, 16), "");
    EXPECT_NE(video::checkOutputSize("h264", 641, 320), ""); // yuv420p needs even sides
}

// A run with other settings must not mix its segments with the ones there.
TEST(SegmentStore, RefusesSegmentsOfOtherSettings)
{
    const auto dir = videotest::scratch("store-claim");
    const SegmentStore store((dir / "out.mp4").string());
    store.claim("size: 256x128\ncrf: 23\n");
    store.claim("size: 256x128\ncrf: 23\n");
    try {
        store.claim("size: 256x128\ncrf: 30\n");
        FAIL() << "other settings accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("crf: 30"), std::string::npos) << e.what();
    }
}

// Segments written apart and joined by copying give the frames of one encode, with
// times running on across the joins; a missing segment stops the join with its number.
TEST(SegmentStore, JoinCopiesSegmentsIntoOneVideo)
{
    const auto dir = videotest::scratch("store-join");
    const std::string output = (dir / "out.mkv").string();
    const SegmentStore store(output);
    store.claim("test\n");
    const SegmentPlan plan{0, 10, 4};
    video::EncoderSettings settings;
    settings.width = 64;
    settings.height = 32;
    settings.rateNumerator = 25;
    settings.preset = "ultrafast";
    settings.crf = 10;
    std::vector<cv::Mat> pictures;
    for (int i = 0; i < 10; ++i) {
        pictures.emplace_back(32, 64, CV_8UC3, cv::Scalar(20 * i, 255 - 20 * i, 128));
        pictures.back()(cv::Rect(4 * i, 8, 8, 8)).setTo(cv::Scalar(255, 255, 255));
    }
    for (std::size_t s = 0; s < plan.count(); ++s) {
        if (s == 1)
            continue;
        const std::string temporary = store.temporaryPath(s, 1);
        video::VideoWriter writer(temporary, settings, "mp4");
        for (std::int64_t f = plan.begin(s); f < plan.end(s); ++f)
            writer.write(pictures[static_cast<std::size_t>(f)]);
        writer.finish();
        store.commit(temporary, s);
    }
    try {
        video::joinSegments(store, plan, output, 25, 1, {});
        FAIL() << "joined with a segment missing";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(": 2"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(std::filesystem::exists(output));
    {
        const std::string temporary = store.temporaryPath(1, 1);
        video::VideoWriter writer(temporary, settings, "mp4");
        for (std::int64_t f = plan.begin(1); f < plan.end(1); ++f)
            writer.write(pictures[static_cast<std::size_t>(f)]);
        writer.finish();
        store.commit(temporary, 1);
    }
    const video::JoinResult joined = video::joinSegments(store, plan, output, 25, 1, {});
    EXPECT_EQ(joined.videoPackets, 10);
    video::VideoReader reader(output);
    video::VideoFrame f;
    int n = 0;
    while (reader.read(f)) {
        EXPECT_NEAR(f.seconds, n / 25.0, 1e-3);
        // Each decoded frame is nearest to its own picture: in order, none lost or doubled.
        const double own = cv::norm(f.image, pictures[static_cast<std::size_t>(n)], cv::NORM_L1);
        for (int other = 0; other < 10; ++other) {
            if (other != n) {
                EXPECT_LT(own, cv::norm(f.image, pictures[static_cast<std::size_t>(other)], cv::NORM_L1)) << n;
            }
        }
        ++n;
    }
    EXPECT_EQ(n, 10);
}

} // namespace
