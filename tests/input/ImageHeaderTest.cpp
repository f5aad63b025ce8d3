#include "StitchLib/input/ImageHeader.h"
#include "StitchLib/input/ImageIntegrity.h"
#include "StitchLib/input/ImageLimits.h"
#include "StitchLib/input/InputError.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace orb {
namespace input {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes encode(const std::string& extension, const cv::Mat& image, const std::vector<int>& params = {})
{
    std::vector<uchar> buffer;
    EXPECT_TRUE(cv::imencode(extension, image, buffer, params));
    return Bytes(buffer.begin(), buffer.end());
}

cv::Mat texture(int rows, int cols, int type)
{
    cv::Mat image(rows, cols, type);
    cv::theRNG().state = 12345;
    cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(CV_MAT_DEPTH(type) == CV_16U ? 65535 : 255));
    return image;
}

ImageHeader header(const Bytes& bytes) { return readImageHeader(bytes.data(), bytes.size(), "x"); }

void checkWhole(const Bytes& bytes)
{
    const ImageHeader h = header(bytes);
    checkImageIntegrity(bytes.data(), bytes.size(), h, "x");
}

void putBigEndian32(std::uint8_t* p, std::uint32_t v)
{
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// Rewrites the IHDR size of a PNG and fixes its CRC, as a decompression bomb would.
void setPngSize(Bytes& png, std::uint32_t width, std::uint32_t height)
{
    putBigEndian32(&png[16], width);
    putBigEndian32(&png[20], height);
    putBigEndian32(&png[29], static_cast<std::uint32_t>(crc32(0, &png[12], 17)));
}

// Rewrites the frame size in a baseline JPEG's SOF0 segment.
void setJpegSize(Bytes& jpeg, int width, int height)
{
    for (std::size_t i = 2; i + 9 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xff && jpeg[i + 1] == 0xc0) {
            jpeg[i + 5] = static_cast<std::uint8_t>(height >> 8);
            jpeg[i + 6] = static_cast<std::uint8_t>(height);
            jpeg[i + 7] = static_cast<std::uint8_t>(width >> 8);
            jpeg[i + 8] = static_cast<std::uint8_t>(width);
            return;
        }
    }
    FAIL() << "no SOF0 segment";
}

} // namespace

// The header must predict the type OpenCV decodes to, since the type is refused
// before decoding.
TEST(ImageHeader, PredictsSizeAndDecodedTypeWithoutDecoding)
{
    struct Case {
        const char* extension;
        int type;
    };
    const Case cases[] = {{".png", CV_8UC3}, {".png", CV_8UC1}, {".png", CV_8UC4}, {".png", CV_16UC3},
                          {".png", CV_16UC1}, {".jpg", CV_8UC3}, {".jpg", CV_8UC1}, {".ppm", CV_8UC3},
                          {".pgm", CV_8UC1}, {".ppm", CV_16UC3}};
    for (const Case& c : cases) {
        const cv::Mat image = texture(21, 37, c.type);
        const Bytes bytes = encode(c.extension, image);
        const ImageHeader h = header(bytes);
        const cv::Mat decoded = cv::imdecode(bytes, cv::IMREAD_UNCHANGED);
        EXPECT_EQ(h.width, 37) << c.extension << " " << cv::typeToString(c.type);
        EXPECT_EQ(h.height, 21) << c.extension << " " << cv::typeToString(c.type);
        EXPECT_EQ(h.type, decoded.type()) << c.extension << " " << cv::typeToString(c.type);
        EXPECT_NO_THROW(checkImageIntegrity(bytes.data(), bytes.size(), h, "x"));
    }
}

TEST(ImageHeader, PaletteAndTransparencyChangeThePredictedType)
{
    // Palette PNG of four colours, then the same with a transparency chunk before IDAT.
    const std::uint8_t ihdr[] = {0, 0, 0, 4, 0, 0, 0, 4, 8, 3, 0, 0, 0};
    const std::uint8_t plte[] = {0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255};
    const std::uint8_t trns[] = {0};
    std::vector<std::uint8_t> raw;
    for (int r = 0; r < 4; ++r) raw.insert(raw.end(), {0, 0, 1, 2, 3});
    std::vector<std::uint8_t> idat(compressBound(raw.size()));
    uLongf idatSize = idat.size();
    ASSERT_EQ(compress(idat.data(), &idatSize, raw.data(), raw.size()), Z_OK);
    idat.resize(idatSize);
    const auto chunk = [](Bytes& out, const char* type, const std::uint8_t* data, std::size_t size) {
        std::uint8_t word[4];
        putBigEndian32(word, static_cast<std::uint32_t>(size));
        out.insert(out.end(), word, word + 4);
        const std::size_t start = out.size();
        out.insert(out.end(), type, type + 4);
        out.insert(out.end(), data, data + size);
        putBigEndian32(word, static_cast<std::uint32_t>(crc32(0, &out[start], static_cast<uInt>(size + 4))));
        out.insert(out.end(), word, word + 4);
    };
    for (bool transparent : {false, true}) {
        Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
        chunk(png, "IHDR", ihdr, sizeof ihdr);
        chunk(png, "PLTE", plte, sizeof plte);
        if (transparent) chunk(png, "tRNS", trns, sizeof trns);
        chunk(png, "IDAT", idat.data(), idat.size());
        chunk(png, "IEND", nullptr, 0);
        const cv::Mat decoded = cv::imdecode(png, cv::IMREAD_UNCHANGED);
        ASSERT_FALSE(decoded.empty());
        EXPECT_EQ(header(png).type, decoded.type()) << transparent;
        EXPECT_EQ(header(png).type, transparent ? CV_8UC4 : CV_8UC3);
        EXPECT_NO_THROW(checkWhole(png));
    }
}

TEST(ImageHeader, SizesOutsideTheLimitsAreRefusedFromTheHeaderAlone)
{
    Bytes png = encode(".png", texture(32, 32, CV_8UC3));
    setPngSize(png, 30000, 30000);
    ImageHeader h = header(png);
    EXPECT_EQ(h.width, 30000);
    try {
        checkImageDimensions(h, "bomb.png");
        FAIL() << "a 30000 x 30000 header passed";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("'bomb.png' is 30000 x 30000 pixels"), std::string::npos) << e.what();
    }

    Bytes jpeg = encode(".jpg", texture(32, 32, CV_8UC3));
    setJpegSize(jpeg, 30000, 30000);
    h = header(jpeg);
    EXPECT_EQ(h.height, 30000);
    EXPECT_THROW(checkImageDimensions(h, "x"), ImageError);

    for (const cv::Size size : {cv::Size(1, 1), cv::Size(kMinImageSide - 1, 64), cv::Size(64, kMaxImageSide + 1)}) {
        ImageHeader small;
        small.width = size.width;
        small.height = size.height;
        EXPECT_THROW(checkImageDimensions(small, "x"), ImageError) << size;
    }
    ImageHeader largest;
    largest.width = largest.height = kMaxImageSide;
    EXPECT_NO_THROW(checkImageDimensions(largest, "x"));
    // The limit keeps every accepted image under OpenCV's own pixel limit (2^30).
    EXPECT_LE(static_cast<double>(kMaxImageSide) * kMaxImageSide, 1 << 30);
}

TEST(ImageHeader, UnknownFormatsAndBrokenHeadersAreRefused)
{
    const Bytes bmp = encode(".bmp", texture(20, 20, CV_8UC3));
    EXPECT_THROW(header(bmp), ImageError);
    const Bytes text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
    EXPECT_THROW(header(text), ImageError);
    EXPECT_THROW(header(Bytes{}), ImageError);
    const std::string pnm[] = {"P6\n", "P6\n12", "P6\n12 -4 255\n", "P6 12 12 70000\n", "P6 0 12 255\n",
                               "P6 99999999999 1 255\n"};
    for (const std::string& s : pnm) EXPECT_THROW(header(Bytes(s.begin(), s.end())), ImageError) << s;
    // Comments between the numbers are part of the format.
    const std::string commented = "P5\n# made by hand\n16 # width\n16\n255\n" + std::string(256, 'a');
    const ImageHeader h = header(Bytes(commented.begin(), commented.end()));
    EXPECT_EQ(h.width, 16);
    EXPECT_EQ(h.type, CV_8UC1);
}

// Every cut of a valid file must be refused by the header or the integrity check:
// the decoder itself accepts a JPEG cut anywhere after its header.
TEST(ImageIntegrity, EveryTruncationIsRefused)
{
    for (const char* extension : {".png", ".jpg", ".ppm"}) {
        const Bytes whole = encode(extension, texture(24, 24, CV_8UC3));
        ASSERT_NO_THROW(checkWhole(whole)) << extension;
        for (std::size_t size = 0; size < whole.size(); ++size) {
            const Bytes cut(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(size));
            EXPECT_THROW(checkWhole(cut), ImageError) << extension << " cut at " << size << " of " << whole.size();
        }
    }
}

TEST(ImageIntegrity, CorruptDataIsRefused)
{
    const cv::Mat image = texture(64, 64, CV_8UC3);
    // A flipped bit in the PNG's pixel data fails the chunk checksum.
    Bytes png = encode(".png", image);
    png[png.size() - 30] ^= 0x10;
    EXPECT_THROW(checkWhole(png), ImageError);

    // Bytes inserted at the end of a JPEG's entropy-coded data: the decoder warns and
    // goes on. (A few bytes can vanish into the decoder's bit buffer unnoticed, harmlessly.)
    Bytes jpeg = encode(".jpg", image);
    jpeg.insert(jpeg.end() - 2, 64, 0x5a);
    EXPECT_FALSE(cv::imdecode(jpeg, cv::IMREAD_UNCHANGED).empty()) << "the decoder no longer accepts it";
    try {
        checkWhole(jpeg);
        FAIL() << "corrupt JPEG passed";
    } catch (const ImageError& e) {
        EXPECT_NE(std::string(e.what()).find("Corrupt JPEG data"), std::string::npos) << e.what();
    }

    // A progressive JPEG is whole too.
    const Bytes progressive = encode(".jpg", image, {cv::IMWRITE_JPEG_PROGRESSIVE, 1});
    EXPECT_NO_THROW(checkWhole(progressive));
}

} // namespace input
} // namespace orb
