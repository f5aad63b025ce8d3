#include "PanoramaMetadata.h"
#include "TakeOutput.h"

#include "app/PanoramaEncoder.h"

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

// The batch tool writes a PNG's chunk in place as it writes the file: the same file as
// the one with the chunk added, byte for byte. Other formats get no chunk to insert.
TEST(PanoramaMetadata, PngChunkWrittenInPlaceGivesTheSameFile)
{
    cv::Mat panorama(60, 120, CV_8UC3);
    cv::randu(panorama, cv::Scalar::all(0), cv::Scalar::all(256));
    const std::vector<uchar> png = encodePanorama(panorama, ".png", PngCompression::Bands);
    const batch::PanoramaMetadataChunk chunk = batch::pngPanoramaMetadata(png, panorama.cols, panorama.rows);
    ASSERT_FALSE(chunk.bytes.empty());
    const fs::path dir = writeFile("unused", {}).parent_path() / "in-place";
    fs::create_directories(dir);
    batch::TakeOutput output(dir.string());
    ASSERT_TRUE(output.write(7, "png", png, chunk.offset, chunk.bytes));
    std::ifstream in(output.panoramaPath(7, "png"), std::ios::binary);
    const std::vector<uchar> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(written == batch::addPanoramaMetadata(png, panorama.cols, panorama.rows));
    EXPECT_TRUE(batch::pngPanoramaMetadata(encodePanorama(panorama, ".jpg", PngCompression::Bands), 120, 60)
                    .bytes.empty());
    fs::remove_all(dir.parent_path());
}
