#include "PanoramaMetadata.h"
#include "TakeOutput.h"

#include "app/PanoramaEncoder.h"
#include "app/PanoramaWriter.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path writeFile(const std::string& name, const std::vector<uchar>& bytes)
{
    const fs::path dir = fs::path(QUADSTITCH_TEST_TMP) / ("metadata-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path path = dir / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
}

TEST(PanoramaMetadata, PngJpegAndTiffCarryThePropertiesAndKeepTheirPixels)
{
    cv::Mat panorama(60, 120, CV_8UC4);
    cv::randu(panorama, cv::Scalar::all(0), cv::Scalar::all(256));
    for (const auto compression : {PngCompression::Bands, PngCompression::OneStream}) {
        const std::vector<uchar> png = batch::addPanoramaMetadata(
            encodePanorama(panorama, ".png", compression), panorama.cols, panorama.rows);
        // The library's decoder checks every chunk's checksum on the way.
        const cv::Mat decoded = cv::imdecode(png, cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(decoded.empty());
        EXPECT_EQ(0, cv::norm(panorama, decoded, cv::NORM_INF));

        const auto properties = batch::readXmpProperties(writeFile("pano.png", png).string());
        EXPECT_EQ(properties.at("Xmp.GPano.ProjectionType"), "equirectangular");
        EXPECT_EQ(properties.at("Xmp.GPano.UsePanoramaViewer"), "True");
        EXPECT_EQ(properties.at("Xmp.GPano.FullPanoWidthPixels"), "120");
        EXPECT_EQ(properties.at("Xmp.GPano.CroppedAreaImageHeightPixels"), "60");
        EXPECT_EQ(properties.at("Xmp.GPano.CroppedAreaLeftPixels"), "0");
    }

    cv::Mat colour;
    cv::cvtColor(panorama, colour, cv::COLOR_BGRA2BGR);
    const std::vector<uchar> jpeg = batch::addPanoramaMetadata(encodePanorama(colour, ".jpg"), 120, 60);
    EXPECT_FALSE(cv::imdecode(jpeg, cv::IMREAD_UNCHANGED).empty());
    EXPECT_EQ(batch::readXmpProperties(writeFile("pano.jpg", jpeg).string()).at("Xmp.GPano.FullPanoHeightPixels"),
              "60");
    // TIFF carries them too, lossless.
    const std::vector<uchar> tiff = batch::addPanoramaMetadata(encodePanorama(panorama, ".tif"), 120, 60);
    EXPECT_EQ(0, cv::norm(panorama, cv::imdecode(tiff, cv::IMREAD_UNCHANGED), cv::NORM_INF));
    EXPECT_EQ(batch::readXmpProperties(writeFile("pano.tif", tiff).string()).at("Xmp.GPano.ProjectionType"),
              "equirectangular");
    // The JPEG quality takes effect; unset, it is the encoder's default.
    EXPECT_EQ(encodePanorama(colour, ".jpg", PngCompression::OneStream, 0), encodePanorama(colour, ".jpg"));
    EXPECT_LT(encodePanorama(colour, ".jpg", PngCompression::OneStream, 30).size(),
              encodePanorama(colour, ".jpg", PngCompression::OneStream, 95).size());
        EXPECT_THROW(batch::addPanoramaMetadata({1, 2, 3}, 2, 1), std::runtime_error);
}

} // namespace

// The batch tool streams a PNG with its chunk after the image header as the bands are
// compressed: the same file, byte for byte, as the one with the chunk added afterwards,
// also for a depth the library encodes whole. A format that has no such header takes
// no chunk and leaves no file behind.
TEST(PanoramaMetadata, PngStreamedWithItsChunkGivesTheSameFile)
{
    cv::Mat colour(60, 120, CV_8UC3);
    cv::randu(colour, cv::Scalar::all(0), cv::Scalar::all(256));
    cv::Mat deep(40, 30, CV_16UC4);
    cv::randu(deep, cv::Scalar::all(0), cv::Scalar::all(65536));
    const fs::path dir = writeFile("unused", {}).parent_path() / "in-place";
    fs::create_directories(dir);
    batch::TakeOutput output(dir.string());
    std::uint32_t frame = 7;
    for (const cv::Mat& panorama : {colour, deep}) {
        const std::vector<uchar> chunk = batch::pngPanoramaMetadataChunk(panorama.cols, panorama.rows);
        std::size_t pieces = 0;
        ASSERT_TRUE(output.write(frame, "png", [&](const auto& sink) {
            encodePanoramaTo(panorama, ".png", chunk, [&](const std::vector<uchar>& bytes) {
                ++pieces;
                sink(bytes);
            });
        }));
        std::ifstream in(output.panoramaPath(frame, "png"), std::ios::binary);
        const std::vector<uchar> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_TRUE(written == batch::addPanoramaMetadata(encodePanorama(panorama, ".png"), panorama.cols,
                                                          panorama.rows))
            << panorama.depth();
        EXPECT_GE(pieces, 3u); // header, chunk, the rest: never joined into one buffer
        EXPECT_EQ(batch::readXmpProperties(output.panoramaPath(frame, "png")).at("Xmp.GPano.FullPanoWidthPixels"),
                  std::to_string(panorama.cols));
        ++frame;
    }

    EXPECT_THROW(output.write(frame, "jpg", [&](const auto& sink) {
        encodePanoramaTo(colour, ".jpg", batch::pngPanoramaMetadataChunk(120, 60), sink);
    }), std::invalid_argument);
    EXPECT_FALSE(fs::exists(output.panoramaPath(frame, "jpg")));
    EXPECT_FALSE(fs::exists(output.temporaryPath(frame, "jpg", ::getpid())));
    fs::remove_all(dir.parent_path());
}
