#include "BaseLib/ImportIntrinsics.h"
#include "StitchLib/input/CalibrationCheck.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CalibrationText.h"
#include "StitchLib/input/ImageLimits.h"
#include "StitchLib/input/InputError.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <string>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orb {
namespace input {
namespace {

// A ring of four cameras 3 cm from the centre facing forward, right, back and left,
// slightly tilted, as a file of the program's own format.
std::vector<CameraIntrinsics> ring()
{
    std::vector<CameraIntrinsics> cameras(4);
    for (int i = 0; i < 4; ++i) {
        const double az = i * CV_PI / 2, tilt = 0.2;
        const cv::Matx33d yaw(std::cos(az), -std::sin(az), 0, std::sin(az), std::cos(az), 0, 0, 0, 1);
        const cv::Matx33d pitch(std::cos(tilt), 0, std::sin(tilt), 0, 1, 0, -std::sin(tilt), 0, std::cos(tilt));
        const cv::Matx33d bodyToCamera = (yaw * pitch).t();
        const cv::Vec3d position(0.03 * std::cos(az), 0.03 * std::sin(az), 0);
        const cv::Vec3d t = -(bodyToCamera * position);
        cv::Matx44f& m = cameras[i].tmBToC;
        m = cv::Matx44f::eye();
        for (int r = 0; r < 3; ++r) {
            for (int c = 0; c < 3; ++c) m(r, c) = static_cast<float>(bodyToCamera(r, c));
            m(r, 3) = static_cast<float>(t[r]);
        }
        cameras[i].lensCoeffs = cv::Matx41f(80.f, -0.02f, 0.001f, -0.0002f);
        cameras[i].centre = cv::Matx21f(127.5f, 128.f);
    }
    return cameras;
}

// Tests run as processes of their own, several at once, and write files of the same
// names: a folder per process keeps one from rewriting a file another is reading.
std::string scratchPath(const std::string& name)
{
    ::mkdir(QUADSTITCH_TEST_TMP, 0755);
    const std::string dir = std::string(QUADSTITCH_TEST_TMP) + "/calibration-" + std::to_string(::getpid());
    ::mkdir(dir.c_str(), 0755);
    return dir + "/" + name;
}

std::string writeText(const std::string& name, const std::string& text)
{
    const std::string path = scratchPath(name);
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string writeRing(const std::string& name, const std::vector<CameraIntrinsics>& cameras)
{
    const std::string path = scratchPath(name);
    cv::FileStorage out(path, cv::FileStorage::WRITE);
    out << "cameras" << "[";
    for (const CameraIntrinsics& c : cameras) {
        out << "{" << "lensCoeffs" << cv::Mat(c.lensCoeffs) << "centre" << cv::Mat(c.centre) << "tmBToC"
            << cv::Mat(c.tmBToC) << "}";
    }
    out << "]";
    return path;
}

std::string readFileText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string messageOf(const std::function<void()>& f)
{
    try {
        f();
    } catch (const CalibrationError& e) {
        return e.what();
    }
    return "";
}

const cv::Size kImage(256, 256);
const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

} // namespace

TEST(CalibrationFile, ReadsAValidRingAndItsWrittenForm)
{
    auto cameras = readCalibration(writeRing("ring.yaml", ring()), 4);
    ASSERT_EQ(cameras.size(), 4u);
    // Free text beside the records (names, notes) is no reason to refuse a calibration.
    std::string text = readFileText(writeRing("ring.yaml", ring()));
    text.insert(text.find("cameras:"), "rig: \"front ring, v2 (lab)\"\nnote: two words\n");
    cameras = parseCalibration(text, "noted.yaml");
    ASSERT_EQ(cameras.size(), 4u);
    EXPECT_FLOAT_EQ(cameras[2].lensCoeffs(0), 80.f);
    EXPECT_FLOAT_EQ(cameras[3].centre(1), 128.f);
    EXPECT_NEAR(cameras[1].tmBToC(0, 1), ring()[1].tmBToC(0, 1), 1e-6);
}

// Each broken value is named with its camera; none may reach the stitch.
TEST(CalibrationCheck, RefusesValuesNoRigCanHave)
{
    struct Case {
        const char* what;
        std::function<void(CameraIntrinsics&)> breakIt;
        const char* expected;
    };
    const Case cases[] = {
        {"NaN k0", [](CameraIntrinsics& c) { c.lensCoeffs(0) = kNaN; }, "lens coefficient k0 is nan"},
        {"infinite k2", [](CameraIntrinsics& c) { c.lensCoeffs(2) = kInf; }, "lens coefficient k2 is inf"},
        {"zero k0", [](CameraIntrinsics& c) { c.lensCoeffs(0) = 0; }, "must be positive"},
        {"negative k0", [](CameraIntrinsics& c) { c.lensCoeffs(0) = -80; }, "must be positive"},
        {"NaN centre", [](CameraIntrinsics& c) { c.centre(1) = kNaN; }, "outside the 256 x 256 image"},
        {"centre right of the image", [](CameraIntrinsics& c) { c.centre(0) = 256.f; }, "outside"},
        {"centre above the image", [](CameraIntrinsics& c) { c.centre(1) = -1.f; }, "outside"},
        {"infinite pose", [](CameraIntrinsics& c) { c.tmBToC(1, 2) = kInf; }, "tmBToC(1, 2) is inf"},
        {"zero pose", [](CameraIntrinsics& c) { c.tmBToC = cv::Matx44f::zeros(); }, "last row"},
        {"singular rotation", [](CameraIntrinsics& c) { for (int k = 0; k < 3; ++k) c.tmBToC(2, k) = 0; },
         "not orthonormal"},
        {"scaled rotation", [](CameraIntrinsics& c) { for (int k = 0; k < 9; ++k) c.tmBToC(k / 3, k % 3) *= 1.01f; },
         "not orthonormal"},
        {"mirror", [](CameraIntrinsics& c) { for (int k = 0; k < 4; ++k) c.tmBToC(1, k) = -c.tmBToC(1, k); },
         "determinant"},
        {"projective last row", [](CameraIntrinsics& c) { c.tmBToC(3, 0) = 0.5f; }, "last row is 0.5 0 0 1"},
    };
    for (const Case& c : cases) {
        auto cameras = ring();
        c.breakIt(cameras[2]);
        const std::string message = messageOf([&] {
            checkCalibration(cameras, "rig.yaml");
            checkCalibrationFitsImages(cameras, kImage, "rig.yaml");
        });
        EXPECT_NE(message.find("'rig.yaml', camera 3: "), std::string::npos) << c.what << ": " << message;
        EXPECT_NE(message.find(c.expected), std::string::npos) << c.what << ": " << message;
    }
}

TEST(CalibrationCheck, AcceptsRoundingButNotNeighboursOneAboveTheOther)
{
    auto cameras = ring();
    // Six significant digits, as calibration files are often written.
    for (auto& c : cameras)
        for (float& v : c.tmBToC.val) v = std::round(v * 1e6f) / 1e6f;
    EXPECT_NO_THROW(checkCalibration(cameras, "x"));
    // The centre may lie on the edge of the image.
    cameras[0].centre = cv::Matx21f(-0.5f, 255.5f);
    EXPECT_NO_THROW(checkCalibrationFitsImages(cameras, kImage, "x"));
    // Cameras at one place are allowed (no parallax), one above the other is not.
    auto together = ring();
    for (auto& c : together) c.tmBToC(0, 3) = c.tmBToC(1, 3) = c.tmBToC(2, 3) = 0;
    EXPECT_NO_THROW(checkCalibration(together, "x"));
    auto stacked = together;
    stacked[1].tmBToC(0, 3) = 0.2f * stacked[1].tmBToC(0, 2);
    stacked[1].tmBToC(1, 3) = 0.2f * stacked[1].tmBToC(1, 2);
    stacked[1].tmBToC(2, 3) = 0.2f * stacked[1].tmBToC(2, 2);
    EXPECT_NE(messageOf([&] { checkCalibration(stacked, "x"); }).find("cameras 1 and 2 are one above"),
              std::string::npos);
}

TEST(CalibrationFile, CountAndImageSizeMustMatch)
{
    const std::string path = writeRing("three.yaml", {ring()[0], ring()[1], ring()[2]});
    EXPECT_NE(messageOf([&] { readCalibration(path, 4); }).find("holds 3 camera records; expected 4"),
              std::string::npos);
    // The calibration describes 256 x 256 images; for 100 x 100 images its centres lie outside.
    const auto cameras = readCalibration(writeRing("ring.yaml", ring()), 4);
    EXPECT_NE(messageOf([&] { checkCalibrationFitsImages(cameras, cv::Size(100, 100), "r.yaml"); })
                  .find("'r.yaml', camera 1: centre (127.5, 128) is outside the 100 x 100 image"),
              std::string::npos);
}

// The ring's file with an image size recorded for each camera.
std::string ringWithImageSize(const std::string& size)
{
    std::string text = readFileText(writeRing("ring.yaml", ring()));
    const std::string entry = "imageSize: " + size + "\n      ";
    for (std::size_t at = text.find("centre:"); at != std::string::npos; at = text.find("centre:", at + entry.size() + 1))
        text.insert(at, entry);
    return text;
}

TEST(CalibrationCheck, ARecordedImageSizeMustBeTheImagesOwn)
{
    const std::string text = ringWithImageSize("[ 256, 256 ]");
    const std::string path = writeText("sized.yaml", text);
    const Calibration calibration = readCalibrationFile(path, 4);
    ASSERT_EQ(calibration.imageSizes.size(), 4u);
    EXPECT_EQ(calibration.imageSizes[3], cv::Size(256, 256));
    EXPECT_NO_THROW(checkCalibrationMatchesImages(calibration, kImage, path));
    // The reader of the records ignores the key: the same records with and without it.
    const auto plain = BaseApi::importIntrinsics(writeRing("ring.yaml", ring()));
    const auto sized = BaseApi::importIntrinsics(path);
    ASSERT_EQ(sized.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(sized[i].centre, plain[i].centre);
        EXPECT_EQ(sized[i].lensCoeffs, plain[i].lensCoeffs);
        EXPECT_EQ(sized[i].tmBToC, plain[i].tmBToC);
    }
    // Images of another size are refused even where the values alone would pass.
    const std::string message = messageOf([&] { checkCalibrationMatchesImages(calibration, cv::Size(240, 256), "s.yaml"); });
    EXPECT_NE(message.find("'s.yaml', camera 1: it was made for images of 256 x 256 (imageSize), but the camera "
                           "images are 240 x 256"),
              std::string::npos)
        << message;
    // A key that is no size is a broken file, not a size to ignore.
    for (const char* bad : {"[ 256 ]", "[ 0, 256 ]", "[ 256, 256, 3 ]", "wide", "[ 256.5, 256 ]", "[ 9000, 256 ]"}) {
        EXPECT_NE(messageOf([&] { parseCalibrationFile(ringWithImageSize(bad), "b.yaml"); })
                      .find("camera 1: imageSize must be [ width, height ]"),
                  std::string::npos)
            << bad;
    }
}

TEST(CalibrationCheck, WithoutARecordedSizeOnlyACertainMismatchIsRefused)
{
    Calibration calibration{ring(), std::vector<cv::Size>(4)};
    EXPECT_NO_THROW(checkCalibrationMatchesImages(calibration, kImage, "r.yaml"));
    // A real lens sits a little off the middle, and images a little larger or smaller
    // than the calibration's cannot be told apart from that.
    calibration.cameras[1].centre = cv::Matx21f(150.f, 110.f);
    EXPECT_NO_THROW(checkCalibrationMatchesImages(calibration, kImage, "r.yaml"));
    EXPECT_NO_THROW(checkCalibrationMatchesImages(calibration, cv::Size(300, 300), "r.yaml"));
    calibration.cameras = ring();

    // Made for images half or twice the size: the centres are a quarter of the image off.
    for (const cv::Size images : {cv::Size(512, 512), cv::Size(160, 160), cv::Size(256, 512)}) {
        const std::string message = messageOf([&] { checkCalibrationMatchesImages(calibration, images, "r.yaml"); });
        EXPECT_NE(message.find("'r.yaml', camera 1: optical centre (127.5, 128) lies far from the middle"),
                  std::string::npos)
            << message;
        EXPECT_NE(message.find(std::to_string(images.width) + " x " + std::to_string(images.height) +
                               "; the calibration looks made for images of about 256 x 257"),
                  std::string::npos)
            << message;
    }
    // A lens scaled for larger images cannot see its quarter of the circle in these.
    calibration.cameras[2].lensCoeffs(0) = 320.f;
    const std::string message = messageOf([&] { checkCalibrationMatchesImages(calibration, kImage, "r.yaml"); });
    EXPECT_NE(message.find("camera 3: its lens puts a ray 45 degrees off the axis"), std::string::npos) << message;
    EXPECT_NE(message.find("256 x 256"), std::string::npos) << message;
}

// Texts on which the storage parser loops for ever or overflows its stack, found by
// fuzzing, and other texts it must never see; each is refused at once.
TEST(CalibrationText, HostileTextsAreRefusedQuickly)
{
    const std::string texts[] = {
        "%YAML:1.0\n---\n{}ac\n   - {y\n",
        // Valid YAML (a plain scalar) that the storage parser reads differently and loops on.
        "%YAML:1.0\n---{}ac\n   -- ",
        "%YAML:1.0\n" + std::string(33000, '['),
        "%YAML:1.0\n" + std::string(33000, '{'),
        "%YAML:1.0\na:\n" + std::string(100, '-') + "\n",
        "%YAML:1.0\n" + std::string(kMaxCalibrationBytes, ' '),
        std::string("%YAML:1.0\ncameras: [\0]\n", 22),
        "<?xml version=\"1.0\"?>\n<opencv_storage/>\n",
        // A matrix header the storage parser would allocate 40 GB for before reading four values.
        "%YAML:1.0\nm: !!opencv-matrix\n   rows: 100000\n   cols: 100000\n   dt: f\n   data: [ 1, 2, 3, 4 ]\n",
        "%YAML:1.0\nm: !!opencv-matrix\n   rows: 2\n   cols: z\n   dt: f\n   data: [ 1, 2, 3, 4 ]\n",
        "%YAML:1.0\nm: !!opencv-matrix\n   rows: 2\n   cols: 2\n   dt: 512f\n   data: [ 1, 2, 3, 4 ]\n",
        "%YAML:1.0\na: &x 1\nb: *x\n",
        "%YAML:1.0\nname: \"a \\\" quote\"\n",
        "%YAML:1.0\n\"two words\": 1\n",
        "",
    };
    for (const std::string& text : texts) {
        const auto start = std::chrono::steady_clock::now();
        std::string canonical;
        EXPECT_FALSE(canonicalCalibrationText(text, canonical).empty()) << text.substr(0, 40);
        const std::string message = messageOf([&] { parseCalibration(text, "c.yaml"); });
        EXPECT_NE(message.find("Check that calibration file 'c.yaml' is valid ("), std::string::npos) << message;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << text.substr(0, 40);
    }
    // Nesting up to the limit is fine.
    std::string canonical;
    std::string deep = "%YAML:1.0\nx: " + std::string(kMaxCalibrationDepth - 1, '[') +
                       std::string(kMaxCalibrationDepth - 1, ']') + "\n";
    EXPECT_EQ(canonicalCalibrationText(deep, canonical), "");
    deep = "%YAML:1.0\nx: " + std::string(kMaxCalibrationDepth, '[') + std::string(kMaxCalibrationDepth, ']') + "\n";
    EXPECT_NE(canonicalCalibrationText(deep, canonical), "");
}

// OpenCV reads any mapping it is asked for as a matrix, tagged or not, and sizes it from
// the header: each header is checked against its data, and the message names the key.
TEST(CalibrationText, MatrixHeadersMustMatchTheirDataTaggedOrNot)
{
    const auto camera = [](const std::string& lens) {
        return "%YAML:1.0\n---\ncameras:\n   -\n      lensCoeffs:" + lens;
    };
    const std::string body = "\n         rows: 4\n         cols: 1\n         dt: f\n";
    const struct {
        std::string text;
        const char* expected;
    } cases[] = {
        // "#" after a space starts a comment: the mapping is untagged, and "y4" would read as 2^31 - 1 rows.
        {camera(" #!opencv-matrix\n         rows: y4\n         cols: 1\n         dt: f\n         data: [ 0. ]\n"),
         "'rows' is 'y4', not a whole number"},
        {camera("\n         rows: 4\n         cols: 1=\n         dt: f\n         data: [ 0. ]\n"),
         "'cols' is '1=', not a whole number"},
        {camera("\n         rows: \"4\"\n         cols: 1\n         dt: f\n         data: [ 1, 2, 3, 4 ]\n"),
         "'rows' is '4', not a whole number"},
        {camera("\n         rows: [ 4 ]\n         cols: 1\n         dt: f\n         data: [ 1, 2, 3, 4 ]\n"),
         "'rows' is a list"},
        {camera("\n         dt: f\n         sizes: [ 100000, 100000, 100000 ]\n         data: [ 1 ]\n"),
         "'data' holds 1 values where its size and type call for"},
        {camera("\n         dt: f\n         sizes: [ 2, x ]\n         data: [ 1, 2 ]\n"), "'sizes' holds 'x'"},
        {camera(" !!opencv-matrix" + body + "         sizes: [ 4 ]\n         data: [ 1, 2, 3, 4 ]\n"),
         "both 'sizes' and 'rows'/'cols'"},
        // OpenCV takes the first of repeated keys; a reader that took the last would size it differently.
        {camera(body + "         rows: 100000\n         data: [ 1, 2, 3, 4 ]\n"), "has 'rows' 2 times"},
        {camera(body + "         data: [ 1, [ 2 ], 3, 4 ]\n"), "'data' holds a list, not a number"},
        {camera(body + "         data: [ 1, two, 3, 4 ]\n"), "'data' holds 'two', not a number"},
        {camera(body + "         data: 4\n"), "'data' is '4', not a list of numbers"},
        {camera(body + "         data: [ 1, 2, 3 ]\n"), "'data' holds 3 values where its size and type call for 4"},
        {camera(" !!opencv-matrix" + body + "         dt: 3f\n         data: [ 1, 2, 3, 4 ]\n"), "'dt' 2 times"},
        {camera("\n         rows: 4\n         cols: 1\n         dt: 9f\n         data: [ 1, 2, 3, 4 ]\n"),
         "'dt' is '9f', not a type letter"},
        {camera("\n         rows: 4\n         cols: 1\n         data: [ 1, 2, 3, 4 ]\n"), "has no 'dt'"},
        {camera("\n         cols: 1\n         dt: f\n         data: [ 1, 2, 3, 4 ]\n"), "'cols' but no 'rows'"},
        {camera("\n         dt: f\n         data: [ 1, 2, 3, 4 ]\n"), "neither 'rows' and 'cols' nor 'sizes'"},
    };
    for (const auto& c : cases) {
        const std::string message = messageOf([&] { parseCalibration(c.text, "c.yaml"); });
        EXPECT_NE(message.find("'c.yaml' is valid (not a calibration: the matrix 'lensCoeffs' at line 5"), std::string::npos)
            << message;
        EXPECT_NE(message.find(c.expected), std::string::npos) << message;
    }

    // Well-formed matrices pass, with or without the tag, and OpenCV's spellings of
    // special values reach the value checks.
    std::string text = readFileText(writeRing("ring.yaml", ring()));
    std::size_t tag;
    while ((tag = text.find(" !!opencv-matrix")) != std::string::npos)
        text.erase(tag, 16);
    EXPECT_EQ(parseCalibration(text, "untagged.yaml").size(), 4u);
    const std::size_t lens = text.find("data: [") + 8;
    text.replace(lens, text.find(',', lens) - lens, ".Nan");
    const auto cameras = parseCalibration(text, "nan.yaml");
    EXPECT_NE(messageOf([&] { checkCalibration(cameras, "nan.yaml"); }).find("lens coefficient k0 is nan"),
              std::string::npos);
}

// Every seed and every past finding of the calibration fuzzer, through the reader as
// the fuzzer runs it: an answer or CalibrationError, never a loop (the bound is a hang
// guard with room for a loaded machine under the sanitizers; answers take milliseconds).
TEST(CalibrationFile, FuzzCorpusAndFindingsAreAnsweredQuickly)
{
    for (const char* folder : {"/corpus/calibration", "/findings/calibration"}) {
        int files = 0;
        const std::string dir = std::string(QUADSTITCH_FUZZ_DIR) + folder;
        DIR* listing = ::opendir(dir.c_str());
        ASSERT_NE(listing, nullptr) << dir;
        while (const dirent* item = ::readdir(listing)) {
            if (item->d_name[0] == '.')
                continue;
            const std::string path = dir + "/" + item->d_name;
            const auto start = std::chrono::steady_clock::now();
            try {
                checkCalibration(parseCalibration(readFileText(path), path), path);
            } catch (const CalibrationError&) {
            }
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << path;
            ++files;
        }
        ::closedir(listing);
        EXPECT_GT(files, 0) << dir;
    }
}

TEST(CalibrationFile, FilesThatAreNotCalibrationsAreNamedForWhatTheyAre)
{
    const std::string dir = scratchPath("kinds");
    ::mkdir(dir.c_str(), 0755);
    EXPECT_NE(messageOf([&] { readCalibration(dir, 4); }).find("is a directory"), std::string::npos);
    const std::string fifo = dir + "/fifo.yaml";
    ::unlink(fifo.c_str());
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    // Opening a FIFO for reading would block until a writer comes.
    EXPECT_NE(messageOf([&] { readCalibration(fifo, 4); }).find("is not a regular file"), std::string::npos);
    const std::string loop = dir + "/loop.yaml";
    ::unlink(loop.c_str());
    ASSERT_EQ(::symlink("loop.yaml", loop.c_str()), 0);
    EXPECT_NE(messageOf([&] { readCalibration(loop, 4); }).find("cannot be read: Too many levels"),
              std::string::npos);
    EXPECT_NE(messageOf([&] { readCalibration(dir + "/missing.yaml", 4); }).find("does not exist"),
              std::string::npos);
    // A file in a folder that is not there names the folder.
    EXPECT_NE(messageOf([&] { readCalibration(dir + "/nowhere/calibration.yaml", 4); })
                  .find("does not exist (there is no folder '" + dir + "/nowhere')"),
              std::string::npos);
    EXPECT_EQ(messageOf([&] { readCalibration(dir + "/missing.yaml", 4); }).find("no folder"), std::string::npos);
    const std::string big = writeText("big.yaml", "%YAML:1.0\n" + std::string(kMaxCalibrationBytes, '#'));
    EXPECT_NE(messageOf([&] { readCalibration(big, 4); }).find("is larger than"), std::string::npos);
}

} // namespace input
} // namespace orb
