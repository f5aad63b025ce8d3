// Runs the built quadstitch program on small synthetic frames and checks what
// a user sees: help text, exit statuses, messages and the files left behind.
#include "tests/app/RunQuadstitch.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace fs = boost::filesystem;

namespace {

// A ring of four cameras facing forward, right, back and left with an equidistant lens.
void writeCalibration(const fs::path& path, int cameras)
{
    cv::FileStorage fsOut(path.string(), cv::FileStorage::WRITE);
    fsOut << "cameras" << "[";
    for (int i = 0; i < cameras; ++i) {
        const float az = static_cast<float>(i * CV_PI / 2);
        cv::Matx44f t = cv::Matx44f::eye();
        t(0, 0) = std::cos(az);  t(0, 1) = std::sin(az);  t(0, 2) = 0;
        t(1, 0) = -std::sin(az); t(1, 1) = std::cos(az);  t(1, 2) = 0;
        t(2, 0) = 0;             t(2, 1) = 0;             t(2, 2) = 1;
        fsOut << "{" << "lensCoeffs" << cv::Mat(cv::Matx41f(20.f, 0.f, 0.f, 0.f))
              << "centre" << cv::Mat(cv::Matx21f(31.5f, 31.5f)) << "tmBToC" << cv::Mat(t) << "}";
    }
    fsOut << "]";
}

void writeFrame(const fs::path& dir, uint32_t frame, const std::string& ext, int type = CV_8UC3)
{
    char stem[16];
    std::snprintf(stem, sizeof stem, "%010u", frame);
    for (int k = 1; k <= 4; ++k) {
        cv::Mat image(64, 64, type, cv::Scalar::all(40.0 * k));
        ASSERT_TRUE(cv::imwrite((dir / (std::string(stem) + "-" + std::to_string(k) + ext)).string(), image));
    }
    writeCalibration(dir / "calibration.yaml", 4);
}

class CommandLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir = fs::path(QUADSTITCH_TEST_TMP) / "cli" / info->name();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    fs::path dir;
};

const char* const expectedHelp =
    "Allowed options:\n"
    "  -h [ --help ]                         Help Screen\n"
    "  -d [ --working-directory ] arg (=.)   Working Directory\n"
    "  -f [ --frameNumber ] arg (=0)         The frame number\n"
    "  -s [ --stitch-type ] arg (=0)         0 = full stitch, 1 = fast stitch\n"
    "  -t [ --height-faststitch ] arg (=1000)\n"
    "                                        height in pixels of the fast stitch\n"
    "  -i [ --image-file-extension ] arg (=.png)\n"
    "                                        The type of image file including .\n"
    "\n";

} // namespace

TEST_F(CommandLine, HelpPrintsTheOptionsAndTouchesNoFile)
{
    writeFrame(dir, 0, ".png");
    const auto before = listDirectory(dir);
    for (const std::string args : {"--help", "-h", "-f 3 -s 1 --help"}) {
        const RunResult r = runQuadstitch(dir, args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, expectedHelp) << args;
        EXPECT_EQ(r.err, "") << args;
    }
    EXPECT_EQ(listDirectory(dir), before);
}

TEST_F(CommandLine, UnusableOptionsFailWithTheParserMessage)
{
    writeFrame(dir, 0, ".png");
    const auto before = listDirectory(dir);
    for (const std::string args : {"--bogus", "-f abc", "-f 99999999999", "-t", "positional"}) {
        const RunResult r = runQuadstitch(dir, args);
        EXPECT_EQ(r.status, 1) << args;
        EXPECT_FALSE(r.err.empty()) << args;
        EXPECT_EQ(r.out, "") << args;
    }
    EXPECT_NE(runQuadstitch(dir, "--bogus").err.find("bogus"), std::string::npos);
    EXPECT_EQ(listDirectory(dir), before);
}

TEST_F(CommandLine, FastStitchReadsTheNamedFramesAndWritesThePanorama)
{
    const fs::path data = dir / "run";
    fs::create_directories(data);
    writeFrame(data, 42, ".jpg");
    const RunResult r = runQuadstitch(dir, "-f 42 -d run -i .jpg -s 1 -t 800");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    const cv::Mat pano = cv::imread((data / "0000000042.jpg").string(), cv::IMREAD_UNCHANGED);
    ASSERT_FALSE(pano.empty());
    EXPECT_EQ(pano.rows, 800);
    EXPECT_EQ(pano.cols, 1600);
    EXPECT_EQ(pano.channels(), 3);
    // Nothing but the inputs and the panorama: no temporary file is left.
    EXPECT_EQ(listDirectory(data).size(), 6u);

    // Any non-zero stitch type selects the fast stitch; a trailing separator is harmless.
    writeFrame(dir, 7, ".png");
    ASSERT_EQ(runQuadstitch(dir, "-f 7 -s 2 -t 12 -d ./").status, 0);
    EXPECT_EQ(cv::imread((dir / "0000000007.png").string()).size(), cv::Size(24, 12));
}

TEST_F(CommandLine, BadImagesAreNamedAndNothingIsWritten)
{
    writeFrame(dir, 5, ".png");
    fs::remove(dir / "0000000005-3.png");
    RunResult r = runQuadstitch(dir, "-f 5 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("0000000005-3.png"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;

    { std::ofstream junk((dir / "0000000005-3.png").string()); junk << "not an image"; }
    r = runQuadstitch(dir, "-f 5 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("0000000005-3.png"), std::string::npos) << r.err;

    writeFrame(dir, 6, ".png", CV_8UC4);
    r = runQuadstitch(dir, "-f 6 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("0000000006-1.png"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("CV_8UC4"), std::string::npos) << r.err;

    writeFrame(dir, 8, ".png", CV_16UC3);
    r = runQuadstitch(dir, "-f 8 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("CV_16UC3"), std::string::npos) << r.err;

    for (uint32_t frame : {5u, 6u, 8u}) {
        char name[32];
        std::snprintf(name, sizeof name, "%010u.png", frame);
        EXPECT_FALSE(fs::exists(dir / name)) << name;
    }
}

TEST_F(CommandLine, BadCalibrationIsNamedAndNothingIsWritten)
{
    writeFrame(dir, 1, ".png");
    const fs::path calibration = dir / "calibration.yaml";

    fs::remove(calibration);
    RunResult r = runQuadstitch(dir, "-f 1 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("calibration.yaml"), std::string::npos) << r.err;

    { std::ofstream broken(calibration.string()); broken << "%YAML:1.0\ncameras: [ { lensCoeffs: 3 ]\n"; }
    r = runQuadstitch(dir, "-f 1 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Error in reading calibration file. Check that calibration file '" +
                         (fs::path(".") / "calibration.yaml").string() + "' is valid"),
              std::string::npos)
        << r.err;

    writeCalibration(calibration, 3);
    r = runQuadstitch(dir, "-f 1 -s 1");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("holds 3 camera records"), std::string::npos) << r.err;

    EXPECT_FALSE(fs::exists(dir / "0000000001.png"));
}

TEST_F(CommandLine, FastStitchHeightMustBeUsable)
{
    writeFrame(dir, 1, ".png");
    // A height that cannot be used is a command-line error, found before any file is read.
    RunResult r = runQuadstitch(dir, "-f 1 -s 1 -t 3");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("at least 4"), std::string::npos) << r.err;

    r = runQuadstitch(dir, "-f 1 -s 1 -t 4000000000");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot be allocated"), std::string::npos) << r.err;

    // The smallest height whose four sectors are all non-empty works.
    EXPECT_EQ(runQuadstitch(dir, "-f 1 -s 1 -t 4").status, 0);
    EXPECT_EQ(cv::imread((dir / "0000000001.png").string()).size(), cv::Size(8, 4));
}

TEST_F(CommandLine, UnwritablePanoramaFailsAndLeavesNoPartialFile)
{
    writeFrame(dir, 3, ".png");
    // A directory in the panorama's place cannot be replaced by the rename.
    fs::create_directories(dir / "0000000003.png" / "occupied");
    const auto before = listDirectory(dir);
    RunResult r = runQuadstitch(dir, "-f 3 -s 1 -t 8");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("Could not write panorama"), std::string::npos) << r.err;
    EXPECT_EQ(listDirectory(dir), before);

    // An extension without an encoder is refused before any work.
    writeFrame(dir, 4, ".png");
    fs::copy_file(dir / "0000000004-1.png", dir / "0000000004-1.xyz");
    r = runQuadstitch(dir, "-f 4 -s 1 -i .xyz");
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no image encoder"), std::string::npos) << r.err;
}
