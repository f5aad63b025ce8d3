#include "BaseLib/ImportIntrinsics.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace orb {
namespace {

std::string matrixNode(int rows, int cols, const char* dt, const std::string& data)
{
    return "!!opencv-matrix\n         rows: " + std::to_string(rows) + "\n         cols: " + std::to_string(cols) +
           "\n         dt: " + dt + "\n         data: [ " + data + " ]\n";
}

// A camera element; `lens` and `centre` may be replaced to break the record.
std::string cameraElement(int n, const std::string& lens, const std::string& centre, const std::string& extra = "")
{
    const std::string t = std::to_string(n);
    std::string s = "   -\n";
    if (!lens.empty())
        s += "      lensCoeffs: " + lens;
    if (!centre.empty())
        s += "      centre: " + centre;
    s += "      tmBToC: " +
         matrixNode(4, 4, "f", "1, 0, 0, " + t + ", 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1");
    s += extra;
    return s;
}

std::string goodLens(int n) { return matrixNode(4, 1, "f", std::to_string(300 + n) + ", 0.1, -0.01, 0.001"); }
std::string goodCentre(int n) { return matrixNode(2, 1, "f", std::to_string(640 + n) + ".5, 480.25"); }

class ImportIntrinsics : public ::testing::Test {
protected:
    std::string write(const std::string& name, const std::string& cameras, const std::string& extraTop = "")
    {
        // A folder per process: the suite's tests run as processes of their own, at once.
        ::mkdir(QUADSTITCH_TEST_TMP, 0755);
        const std::string dir = std::string(QUADSTITCH_TEST_TMP) + "/intrinsics-" + std::to_string(::getpid());
        ::mkdir(dir.c_str(), 0755);
        const std::string path = dir + "/" + name;
        std::ofstream file(path);
        file << "%YAML:1.0\n---\n" << extraTop << "cameras:\n" << cameras;
        return path;
    }
};

TEST_F(ImportIntrinsics, ReadsAllCamerasInOrder)
{
    std::string cameras;
    for (int n = 1; n <= 4; ++n)
        cameras += cameraElement(n, goodLens(n), goodCentre(n));
    const auto records = BaseApi::importIntrinsics(write("four.yaml", cameras, "rig: test\n"));
    ASSERT_EQ(records.size(), 4u);
    for (int n = 1; n <= 4; ++n) {
        const CameraIntrinsics& r = records[n - 1];
        EXPECT_EQ(r.version, 1);
        EXPECT_EQ(r.lensCoeffs(0), 300.f + n);
        EXPECT_EQ(r.lensCoeffs(1), 0.1f);
        EXPECT_EQ(r.lensCoeffs(3), 0.001f);
        EXPECT_EQ(r.centre(0), 640.5f + n);
        EXPECT_EQ(r.centre(1), 480.25f);
        EXPECT_EQ(r.tmBToC(0, 3), static_cast<float>(n)); // row-major: translation in the last column
        EXPECT_EQ(r.tmBToC(3, 0), 0.f);
        EXPECT_EQ(r.tmBToC(2, 2), 1.f);
    }
}

TEST_F(ImportIntrinsics, MissingCentreNamesThePath)
{
    const std::string path = write("nocentre.yaml", cameraElement(1, goodLens(1), goodCentre(1)) +
                                                        cameraElement(2, goodLens(2), ""));
    try {
        BaseApi::importIntrinsics(path);
        FAIL() << "no error for a camera without centre";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()),
                  "Error in reading calibration file. Check that calibration file '" + path + "' is valid");
    }
}

TEST_F(ImportIntrinsics, MatrixShapesAndTypes)
{
    // A row vector is rejected...
    EXPECT_THROW(BaseApi::importIntrinsics(
                     write("rowlens.yaml", cameraElement(1, matrixNode(1, 4, "f", "300, 0, 0, 0"), goodCentre(1)))),
                 std::runtime_error);
    // ...and so is a broken document.
    EXPECT_THROW(BaseApi::importIntrinsics(write("broken.yaml", "   - [ lensCoeffs: {\n")), std::runtime_error);

    // Doubles of the right shape are converted; unknown keys are ignored.
    const auto records = BaseApi::importIntrinsics(
        write("doubles.yaml",
              cameraElement(1, matrixNode(4, 1, "d", "301.25, 0.5, 0.25, 0.125"), goodCentre(1),
                            "      imageSize: [ 1280, 960 ]\n      serial: abc\n")));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].lensCoeffs(0), 301.25f);
    EXPECT_EQ(records[0].lensCoeffs(3), 0.125f);
    EXPECT_EQ(records[0].centre(0), 641.5f);
}

TEST_F(ImportIntrinsics, MissingFileOrCamerasGiveEmptyList)
{
    EXPECT_TRUE(BaseApi::importIntrinsics(std::string(QUADSTITCH_TEST_TMP) + "/does-not-exist.yaml").empty());
    ::mkdir(QUADSTITCH_TEST_TMP, 0755);
    const std::string path = std::string(QUADSTITCH_TEST_TMP) + "/nocameras.yaml";
    std::ofstream(path) << "%YAML:1.0\n---\nrig: test\n";
    EXPECT_TRUE(BaseApi::importIntrinsics(path).empty());
}

} // namespace
} // namespace orb
