#include "sim/Generator.h"

#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/InputError.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>

#if defined(QUADSTITCH_CALIBRATE_BIN)

namespace fs = std::filesystem;

namespace {

std::string quote(const std::string& s) { return "'" + s + "'"; }

// Runs the tool with `arguments`; its standard error goes to `errors`.
int calibrateTool(const std::string& arguments, std::string* errors = nullptr)
{
    const fs::path log = fs::path(QUADSTITCH_TEST_TMP) / ("calibrate-tool-" + std::to_string(::getpid()) + ".err");
    const int raw = std::system((std::string(QUADSTITCH_CALIBRATE_BIN) + " -q " + arguments + " 2>" +
                                 quote(log.string()))
                                    .c_str());
    if (errors) {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        *errors = text.str();
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

std::string bytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

double medianRotationDegrees(const std::string& a, const std::string& b)
{
    const auto x = orb::input::readCalibration(a, 4);
    const auto y = orb::input::readCalibration(b, 4);
    std::vector<double> angles;
    for (int c = 0; c < 4; ++c) {
        cv::Vec3d v;
        cv::Rodrigues(cv::Matx33d(orb::rotationBToC(x[c])) * cv::Matx33d(orb::rotationBToC(y[c])).t(), v);
        angles.push_back(cv::norm(v) * 180.0 / CV_PI);
    }
    std::sort(angles.begin(), angles.end());
    return 0.5 * (angles[1] + angles[2]);
}

// Two small simulated frames whose calibration has the cameras' rotations off by
// 0.5 degrees per axis, made once; each test works in a copy.
class CalibrateTake : public ::testing::Test {
protected:
    static fs::path original() { return fs::path(QUADSTITCH_TEST_TMP) / ("calibrate-take-" + std::to_string(::getpid())); }

    static void SetUpTestSuite()
    {
        fs::remove_all(original());
        for (std::uint32_t frame : {0u, 1u}) {
            orb::sim::FrameSettings settings;
            settings.frame = frame;
            settings.seed = 4;
            settings.cameraWidth = settings.cameraHeight = 320;
            settings.truthHeight = 16;
            settings.noiseSigma = 2;
            settings.calibrationErrorDegrees = 0.5;
            orb::sim::generateFrame(original().string(), settings);
        }
    }

    void SetUp() override
    {
        dir = fs::path(QUADSTITCH_TEST_TMP) / ("calibrate-" + std::to_string(::getpid()) + "-" + std::string(::testing::UnitTest::GetInstance()
                                                                          ->current_test_info()
                                                                          ->name()));
        fs::remove_all(dir);
        fs::copy(original(), dir);
    }

    fs::path dir;
};

} // namespace

// The refined calibration is much closer to the truth than the one given, reads back
// through the stitcher's reader and checks with the image size recorded, passes the
// check that the given one fails, and the report says per pair and camera what changed.
TEST_F(CalibrateTake, RecoversAKnownRotationErrorIntoAFileTheStitcherReads)
{
    const std::string refined = (dir / "refined.yaml").string();
    const std::string report = (dir / "report.json").string();
    std::string errors;
    ASSERT_EQ(calibrateTool("-d " + quote(dir.string()) + " -o " + quote(refined) + " --report " + quote(report),
                            &errors),
              0)
        << errors;
    const std::string truth = (dir / "calibration-true.yaml").string();
    const double before = medianRotationDegrees((dir / "calibration.yaml").string(), truth);
    const double after = medianRotationDegrees(refined, truth);
    EXPECT_GT(before, 0.3);
    EXPECT_LT(after, 0.05) << "before " << before;

    const orb::input::Calibration calibration = orb::input::readCalibrationFile(refined, 4);
    EXPECT_NO_THROW(orb::input::checkCalibrationMatchesImages(calibration, cv::Size(320, 320), refined));
    EXPECT_THROW(orb::input::checkCalibrationMatchesImages(calibration, cv::Size(320, 240), refined),
                 orb::input::CalibrationError);
    for (const cv::Size& size : calibration.imageSizes)
        EXPECT_EQ(size, cv::Size(320, 320));

    const std::string json = bytes(report);
    EXPECT_NE(json.find("\"cameras\":[2,3],\"matches\":"), std::string::npos) << json;
    EXPECT_NE(json.find("\"medianResidualAfterDeg\""), std::string::npos);
    EXPECT_NE(json.find("\"rotationCorrectionDeg\""), std::string::npos);

    EXPECT_EQ(calibrateTool("-d " + quote(dir.string()) + " --check --calibration " + quote(refined)), 0);
    EXPECT_EQ(calibrateTool("-d " + quote(dir.string()) + " --check", &errors), 3);
    EXPECT_NE(errors.find("does not fit"), std::string::npos) << errors;
}

#if defined(QUADSTITCH_BATCH_BIN)
// The batch tool checks the calibration before the take when asked: a warning and
// the residual in the report, and the take is stitched all the same.
TEST_F(CalibrateTake, BatchToolReportsTheCalibrationCheck)
{
    const std::string report = (dir / "out" / "report.json").string();
    const std::string log = (dir / "batch.err").string();
    const std::string batch = std::string(QUADSTITCH_BATCH_BIN) + " -q -s 1 -t 32 -d " + quote(dir.string()) + " -o " +
                              quote((dir / "out").string()) + " --report " + quote(report);
    auto run = [&](const std::string& arguments) {
        const int raw = std::system((batch + arguments + " 2>" + quote(log)).c_str());
        return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    };
    ASSERT_EQ(run(" --check-calibration"), 0);
    EXPECT_NE(bytes(log).find("warning: calibration residual"), std::string::npos) << bytes(log);
    std::string json = bytes(report);
    EXPECT_NE(json.find("\"ok\":2"), std::string::npos) << json;
    EXPECT_NE(json.find("\"calibration\":{"), std::string::npos) << json;
    EXPECT_NE(json.find("\"passed\":false"), std::string::npos) << json;

    fs::copy_file(dir / "calibration-true.yaml", dir / "calibration.yaml", fs::copy_options::overwrite_existing);
    ASSERT_EQ(run(" --force --check-calibration"), 0);
    EXPECT_EQ(bytes(log).find("warning"), std::string::npos) << bytes(log);
    json = bytes(report);
    EXPECT_NE(json.find("\"passed\":true"), std::string::npos) << json;
    ASSERT_EQ(run(" --force"), 0);
    EXPECT_EQ(bytes(report).find("\"calibration\""), std::string::npos);
}
#endif

// A pair whose overlap has no texture stops the tool with status 2 and its name;
// nothing is written.
TEST_F(CalibrateTake, TexturelessPairFailsNamingIt)
{
    const cv::Mat grey(320, 320, CV_8UC3, cv::Scalar(128, 128, 128));
    for (const char* name : {"0000000000-3.png", "0000000001-3.png"})
        ASSERT_TRUE(cv::imwrite((dir / name).string(), grey));
    std::string errors;
    EXPECT_EQ(calibrateTool("-d " + quote(dir.string()) + " -o " + quote((dir / "refined.yaml").string()), &errors), 2);
    EXPECT_NE(errors.find("cameras 2 and 3 (right and back)"), std::string::npos) << errors;
    EXPECT_FALSE(fs::exists(dir / "refined.yaml"));
    EXPECT_EQ(calibrateTool("-d " + quote(dir.string()) + " --check", &errors), 2);
    EXPECT_NE(errors.find("cameras 2 and 3"), std::string::npos) << errors;
}

// The input is replaced only when asked, and then every earlier version is kept.
TEST_F(CalibrateTake, InPlaceKeepsEveryEarlierVersion)
{
    const fs::path input = dir / "calibration.yaml";
    const std::string given = bytes(input);
    std::string errors;
    EXPECT_EQ(calibrateTool("-d " + quote(dir.string()) + " -o " + quote(input.string()), &errors), 1);
    EXPECT_NE(errors.find("--in-place"), std::string::npos) << errors;
    EXPECT_EQ(calibrateTool("-d " + quote(dir.string())), 1);
    EXPECT_EQ(bytes(input), given);

    ASSERT_EQ(calibrateTool("-d " + quote(dir.string()) + " --in-place --max-frames 1", &errors), 0) << errors;
    EXPECT_EQ(bytes(dir / "calibration.yaml.bak"), given);
    const std::string once = bytes(input);
    EXPECT_NE(once, given);
    ASSERT_EQ(calibrateTool("-d " + quote(dir.string()) + " --in-place --max-frames 1"), 0);
    EXPECT_EQ(bytes(dir / "calibration.yaml.bak"), given);
    EXPECT_EQ(bytes(dir / "calibration.yaml.bak.2"), once);
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

#endif
