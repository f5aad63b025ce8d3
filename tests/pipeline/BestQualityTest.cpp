// The best quality mode on small simulated frames: reduced-size checks that catch
// regressions of its stages (the benchmark measures the quality itself).
#include "StitchLib/pipeline/BestQuality.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"
#include "tests/support/SyntheticRig.h"
#include "tests/support/TestRig.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

using namespace orb;

TEST(BestQualityOptions, QualityNamesAndSeedDefaults)
{
    EXPECT_EQ(pipeline::parseQuality("seed"), pipeline::Quality::Seed);
    EXPECT_EQ(pipeline::parseQuality("best"), pipeline::Quality::Best);
    EXPECT_THROW(pipeline::parseQuality("Best"), std::invalid_argument);
    EXPECT_THROW(pipeline::parseQuality(""), std::invalid_argument);

    const pipeline::StitchOptions seed = pipeline::qualityOptions(pipeline::Quality::Seed);
    EXPECT_NE(std::dynamic_pointer_cast<pipeline::ProfileDepthStage>(seed.depth), nullptr);
    EXPECT_TRUE(seed.partsStages.empty());
    EXPECT_FALSE(seed.cleanCoverageEdge);
    EXPECT_EQ(seed.seamFinder, nullptr);

    const pipeline::StitchOptions best = pipeline::qualityOptions(pipeline::Quality::Best);
    EXPECT_NE(std::dynamic_pointer_cast<pipeline::DenseDepthStage>(best.depth), nullptr);
    ASSERT_EQ(best.partsStages.size(), 1u);
    EXPECT_STREQ(best.partsStages[0]->name(), "exposure");
    EXPECT_TRUE(best.cleanCoverageEdge);
    // The take's seams and depth share a history that lives with the options, and two
    // pipelines never share one; without the temporal stage seams are found afresh.
    ASSERT_NE(best.seamFinder, nullptr);
    EXPECT_EQ(best.seamFinder->framesBefore(), pipeline::QualityStages().seamWindow - 1);
    pipeline::QualityStages noMemory;
    noMemory.temporal = false;
    EXPECT_EQ(pipeline::qualityOptions(pipeline::Quality::Best, noMemory).seamFinder, nullptr);
    ASSERT_NE(best.keepAlive, nullptr);
    EXPECT_NE(pipeline::qualityOptions(pipeline::Quality::Best).keepAlive, best.keepAlive);
}

TEST(BestQualityDepth, ACalibrationTheImagesContradictFallsBackAndIsReported)
{
    synthetic::RigLayout layout;
    layout.imageSize = 480;
    layout.k0 = 150.0f;
    const std::vector<CameraIntrinsics> cameras = synthetic::makeRig(layout);
    const std::vector<cv::Mat> images =
        synthetic::renderSphere(cameras, layout, synthetic::DirectionTexture(0.7), 1.5);
    // One camera turned 2 degrees off its calibration.
    std::vector<CameraIntrinsics> believed = cameras;
    const float centre = 0.5f * (layout.imageSize - 1);
    believed[0] = testrig::makeCamera(0.0, layout.k0, centre, centre, layout.radius, 0.f, 0.f, 0.f, layout.pitch - 2.0);
    const auto fact = [](const pipeline::DepthStage& stage, const std::string& name) {
        for (const auto& f : stage.facts())
            if (f.first == name)
                return f.second;
        ADD_FAILURE() << "no fact " << name;
        return -1.0;
    };
    Stereo::DenseDepthSettings small;
    small.viewRows = 384;
    small.panoramaRows = 128;
    // A take's history of two frames: the seed's resampling holds while any frame
    // in the window found the calibration contradicted.
    pipeline::DenseDepthStage stage(std::make_shared<pipeline::TakeHistory>(2), small);
    EXPECT_TRUE(stage.geometryTrusted());
    const ScanImages off = stage.estimate(Rig(believed, 0), images, 200);
    EXPECT_FALSE(stage.geometryTrusted());
    EXPECT_GT(fact(stage, "fallback_pair_1_2"), 0.3);
    EXPECT_GT(fact(stage, "fallback_pair_4_1"), 0.3);
    EXPECT_EQ(fact(stage, "fallback_pair_2_3"), 0.0);
    EXPECT_EQ(fact(stage, "calibration_contradicted"), 1.0);
    EXPECT_GT(fact(stage, "fallback_cells"), 0.1);
    double lowest = 0.0;
    cv::minMaxLoc(off.inverseDepth, &lowest);
    EXPECT_GT(lowest, 0.0);
    // With the calibration right, the next frame falls back nowhere but keeps the
    // seed's resampling; the one after it trusts the geometry again.
    stage.estimate(Rig(cameras, 0), images, 200);
    EXPECT_FALSE(stage.geometryTrusted());
    EXPECT_EQ(fact(stage, "fallback_pair_1_2"), 0.0);
    EXPECT_EQ(fact(stage, "fallback_cells"), 0.0);
    EXPECT_EQ(fact(stage, "calibration_contradicted"), 0.0);
    stage.estimate(Rig(cameras, 0), images, 200);
    EXPECT_TRUE(stage.geometryTrusted());
}

#ifdef QUADSTITCH_SIM_BIN

namespace fs = std::filesystem;

namespace {

constexpr int kHeight = 500;

class SmallTake : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // One folder per process: ctest runs the cases of this suite side by side.
        dir = new fs::path(fs::path(QUADSTITCH_TEST_TMP) / ("best-quality-take-" + std::to_string(::getpid())));
        fs::create_directories(*dir);
        // One static scene, frames with independent sensor noise.
        for (int frame = 0; frame < kFrames; ++frame) {
            const std::string command = std::string("'") + QUADSTITCH_SIM_BIN + "' generate '" + dir->string() +
                                        "' --camera-size 320 --truth-height 250 --seed 5 --noise 3 --frame " +
                                        std::to_string(frame) + " >/dev/null";
            ASSERT_EQ(std::system(command.c_str()), 0);
        }
    }
    static void TearDownTestSuite()
    {
        fs::remove_all(*dir);
        delete dir;
    }

    static std::vector<cv::Mat> images(int frame)
    {
        std::vector<std::string> paths;
        for (int k = 1; k <= 4; ++k)
            paths.push_back((*dir / ("000000000" + std::to_string(frame) + "-" + std::to_string(k) + ".png")).string());
        return input::readCameraImages(paths);
    }
    static Rig rig() { return Rig(input::readCalibration((*dir / "calibration.yaml").string(), 4), 0); }

    // PSNR against the truth on far content (beyond 2 m), at the truth's size; only
    // fully covered pixels count.
    static double farPsnr(const cv::Mat& panorama)
    {
        const cv::Mat truth = cv::imread((*dir / "truth.png").string(), cv::IMREAD_COLOR);
        const cv::Mat depth = cv::imread((*dir / "truth-invdepth.tiff").string(), cv::IMREAD_UNCHANGED);
        cv::Mat small;
        cv::resize(panorama, small, truth.size(), 0, 0, cv::INTER_AREA);
        double sum = 0.0;
        long count = 0;
        for (int r = 0; r < truth.rows; ++r)
            for (int c = 0; c < truth.cols; ++c) {
                const cv::Vec4b p = small.at<cv::Vec4b>(r, c);
                if (p[3] != 255 || depth.at<float>(r, c) > 0.5f)
                    continue;
                const cv::Vec3b t = truth.at<cv::Vec3b>(r, c);
                for (int k = 0; k < 3; ++k)
                    sum += (p[k] - t[k]) * (p[k] - t[k]);
                count += 3;
            }
        return 10.0 * std::log10(255.0 * 255.0 * count / sum);
    }

    // The largest colour difference after 8x area reduction, over blocks both cover
    // fully.
    static double largestDifference(const cv::Mat& x, const cv::Mat& y)
    {
        const cv::Size reduced(x.cols / 8, x.rows / 8);
        cv::Mat a, b;
        cv::resize(x, a, reduced, 0, 0, cv::INTER_AREA);
        cv::resize(y, b, reduced, 0, 0, cv::INTER_AREA);
        cv::Mat diff;
        cv::absdiff(a, b, diff);
        double worst = 0.0;
        for (int r = 0; r < reduced.height; ++r)
            for (int c = 0; c < reduced.width; ++c) {
                const cv::Vec4b d = diff.at<cv::Vec4b>(r, c);
                if (a.at<cv::Vec4b>(r, c)[3] == 255 && b.at<cv::Vec4b>(r, c)[3] == 255)
                    worst = std::max({worst, double(d[0]), double(d[1]), double(d[2])});
            }
        return worst;
    }

    static constexpr int kFrames = 8;
    static fs::path* dir;
};
fs::path* SmallTake::dir = nullptr;

} // namespace

TEST_F(SmallTake, BestAlignsTheFarRoomWhereSeedSpreadsNearDepth)
{
    pipeline::StitchPipeline seed(rig(), pipeline::qualityOptions(pipeline::Quality::Seed));
    pipeline::StitchPipeline best(rig(), pipeline::qualityOptions(pipeline::Quality::Best));
    const double seedPsnr = farPsnr(seed.fullStitch(images(0), kHeight));
    const double bestPsnr = farPsnr(best.fullStitch(images(0), kHeight));
    EXPECT_GT(bestPsnr, seedPsnr + 3.0) << "seed " << seedPsnr << " dB, best " << bestPsnr << " dB";
}

TEST_F(SmallTake, EveryStageSwitchedOffIsTheSeedStitch)
{
    pipeline::QualityStages none;
    none.denseDepth = none.exposure = none.cleanEdge = none.temporal = none.sharp = false;
    pipeline::StitchPipeline seed(rig(), pipeline::qualityOptions(pipeline::Quality::Seed));
    pipeline::StitchPipeline off(rig(), pipeline::qualityOptions(pipeline::Quality::Best, none));
    const cv::Mat a = seed.fullStitch(images(0), kHeight);
    const cv::Mat b = off.fullStitch(images(0), kHeight);
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(cv::norm(a, b, cv::NORM_INF), 0.0);
}

TEST_F(SmallTake, StaticSceneStitchesToTheSamePanoramaUpToNoise)
{
    pipeline::StitchPipeline best(rig(), pipeline::qualityOptions(pipeline::Quality::Best));
    const cv::Mat first = best.fullStitch(images(0), kHeight);
    const cv::Mat second = best.fullStitch(images(1), kHeight);
    cv::Mat alphaA, alphaB;
    cv::extractChannel(first, alphaA, 3);
    cv::extractChannel(second, alphaB, 3);
    EXPECT_EQ(cv::countNonZero(alphaA != alphaB), 0);

    const double held = largestDifference(first, second);
    EXPECT_LE(held, 16.0);

    // Without the frame-to-frame memory the depth and seams follow the noise.
    pipeline::QualityStages noMemory;
    noMemory.temporal = false;
    pipeline::StitchPipeline forgetful(rig(), pipeline::qualityOptions(pipeline::Quality::Best, noMemory));
    const cv::Mat third = forgetful.fullStitch(images(0), kHeight);
    const cv::Mat fourth = forgetful.fullStitch(images(1), kHeight);
    // (The coverage no longer does: the depth at the coverage edge is held in sight.)
    EXPECT_GT(largestDifference(third, fourth), held);
}

TEST_F(SmallTake, ARunInsideTheTakePreRollsToTheSingleRunsPanoramas)
{
    // Short windows keep the case small: the seams of frame 5 depend on those of
    // frames 3 to 5, and the depth of frame 3 on frames 1 to 3.
    pipeline::QualityStages stages;
    stages.window = 3;
    stages.seamWindow = 3;
    const int height = 256;
    pipeline::StitchPipeline single(rig(), pipeline::qualityOptions(pipeline::Quality::Best, stages));
    EXPECT_EQ(single.prerollFrames(), 4);
    EXPECT_EQ(pipeline::StitchPipeline(rig(), pipeline::qualityOptions(pipeline::Quality::Seed)).prerollFrames(), 0);
    std::vector<cv::Mat> take;
    for (int frame = 0; frame < 6; ++frame)
        take.push_back(single.fullStitch(images(frame), height));

    // Another run also takes in frame 0, beyond the windows, then pre-rolls frames 1
    // to 4: frame 5 comes out pixel for pixel as in the single run, and so does the
    // next frame after it.
    pipeline::StitchPipeline split(rig(), pipeline::qualityOptions(pipeline::Quality::Best, stages));
    for (int frame = 0; frame < 5; ++frame)
        split.preroll(images(frame), height);
    const cv::Mat fifth = split.fullStitch(images(5), height);
    ASSERT_EQ(fifth.size(), take[5].size());
    EXPECT_EQ(cv::norm(fifth, take[5], cv::NORM_INF), 0.0);
    EXPECT_EQ(cv::norm(split.fullStitch(images(0), height), single.fullStitch(images(0), height), cv::NORM_INF), 0.0);

    // Started without them, it would be another panorama.
    pipeline::StitchPipeline cold(rig(), pipeline::qualityOptions(pipeline::Quality::Best, stages));
    EXPECT_GT(cv::norm(cold.fullStitch(images(5), height), take[5], cv::NORM_INF), 0.0);
}

TEST_F(SmallTake, AStaticTakesSeamsStayWhereNoiseWouldMoveThem)
{
    // Found afresh every frame, this take's seams now and then take another way round
    // an outline, and consecutive frames differ by more than the noise does.
    const auto largestStep = [](int seamWindow) {
        pipeline::QualityStages stages;
        stages.seamWindow = seamWindow;
        pipeline::StitchPipeline best(rig(), pipeline::qualityOptions(pipeline::Quality::Best, stages));
        cv::Mat previous = best.fullStitch(images(0), kHeight);
        double most = 0.0;
        for (int frame = 1; frame < kFrames; ++frame) {
            cv::Mat panorama = best.fullStitch(images(frame), kHeight);
            most = std::max(most, largestDifference(previous, panorama));
            previous = panorama;
        }
        return most;
    };
    const double held = largestStep(pipeline::QualityStages().seamWindow);
    const double fresh = largestStep(1);
    EXPECT_LE(held, 16.0);
    EXPECT_GT(fresh, held + 2.0) << "held " << held << ", fresh " << fresh;
}

#endif
