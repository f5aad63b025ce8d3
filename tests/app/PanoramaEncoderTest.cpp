#include "app/PanoramaEncoder.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

// Smooth gradients with noise: compressible like a panorama, not trivially.
cv::Mat testImage(int rows, int cols, int type, unsigned seed)
{
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    const int channels = image.channels();
    for (int r = 0; r < rows; ++r) {
        uchar* row = image.ptr<uchar>(r);
        for (int c = 0; c < cols; ++c) {
            for (int k = 0; k < channels; ++k) {
                const int smooth = (r * (k + 1) + c * (3 - k % 3)) / 3;
                row[c * channels + k] = static_cast<uchar>(smooth + (rng.uniform(0, 8) == 0 ? rng.uniform(0, 256) : 0));
            }
        }
    }
    return image;
}

uint32_t bigEndian(const uchar* p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// Walks the chunks: checks the signature, every CRC, IHDR first and IEND
// last, and inflates the IDAT data as one zlib stream (which checks its
// Adler-32). Returns the inflated size, or -1 on any fault.
long checkedInflatedSize(const std::vector<uchar>& png, int& width, int& height)
{
    const uchar signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (png.size() < 8 || !std::equal(signature, signature + 8, png.begin())) return -1;
    std::vector<uchar> idat;
    std::size_t at = 8;
    std::string first, last;
    while (at + 12 <= png.size()) {
        const uint32_t length = bigEndian(&png[at]);
        if (at + 12 + length > png.size()) return -1;
        const std::string type(png.begin() + static_cast<long>(at) + 4, png.begin() + static_cast<long>(at) + 8);
        const uLong crc = crc32(0L, &png[at + 4], length + 4);
        if (crc != bigEndian(&png[at + 8 + length])) return -1;
        if (first.empty()) first = type;
        last = type;
        if (type == "IHDR") {
            width = static_cast<int>(bigEndian(&png[at + 8]));
            height = static_cast<int>(bigEndian(&png[at + 12]));
        }
        if (type == "IDAT") idat.insert(idat.end(), png.begin() + static_cast<long>(at) + 8,
                                        png.begin() + static_cast<long>(at) + 8 + length);
        at += 12 + length;
    }
    if (at != png.size() || first != "IHDR" || last != "IEND") return -1;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK) return -1;
    stream.next_in = idat.data();
    stream.avail_in = static_cast<uInt>(idat.size());
    std::vector<uchar> out(1u << 16);
    long total = 0;
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = out.data();
        stream.avail_out = static_cast<uInt>(out.size());
        status = inflate(&stream, Z_NO_FLUSH);
        total += static_cast<long>(out.size() - stream.avail_out);
    }
    const bool complete = status == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    return complete ? total : -1;
}

TEST(PanoramaEncoderTest, PngDecodesToTheLibraryEncodersPixelsAndIsAValidStream)
{
    unsigned seed = 1;
    // Awkward sizes; the tall and wide ones span several bands of rows.
    const cv::Size sizes[] = {cv::Size(1, 1), cv::Size(300, 1), cv::Size(3, 257), cv::Size(37, 600),
                              cv::Size(1500, 700), cv::Size(20011, 60)};
    for (const cv::Size size : sizes) {
        for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4}) {
            const cv::Mat image = testImage(size.height, size.width, type, seed++);
            const std::vector<uchar> png = encodePanorama(image, ".png");
            std::vector<uchar> library;
            ASSERT_TRUE(cv::imencode(".png", image, library));
            const cv::Mat decoded = cv::imdecode(png, cv::IMREAD_UNCHANGED);
            const cv::Mat expected = cv::imdecode(library, cv::IMREAD_UNCHANGED);
            ASSERT_EQ(expected.type(), decoded.type()) << size << " type " << type;
            ASSERT_EQ(expected.size(), decoded.size()) << size;
            EXPECT_EQ(0, cv::norm(expected, decoded, cv::NORM_INF)) << size << " type " << type;

            int width = 0, height = 0;
            const long inflated = checkedInflatedSize(png, width, height);
            EXPECT_EQ(static_cast<long>(size.height) * (1 + size.width * image.channels()), inflated) << size;
            EXPECT_EQ(size.width, width);
            EXPECT_EQ(size.height, height);
        }
    }
}

TEST(PanoramaEncoderTest, OneStreamGivesTheSamePixelsAsTheBands)
{
    unsigned seed = 100;
    // Down to one pixel; the widest spans several IDAT chunks.
    const cv::Size sizes[] = {cv::Size(1, 1), cv::Size(5, 3), cv::Size(37, 600), cv::Size(2001, 1000)};
    for (const cv::Size size : sizes) {
        for (const int type : {CV_8UC1, CV_8UC3, CV_8UC4}) {
            cv::Mat image = testImage(size.height, size.width, type, seed++);
            if (size.width > 1000) // noise compresses poorly: a stream longer than one chunk
                cv::randu(image, cv::Scalar::all(0), cv::Scalar::all(256));
            const std::vector<uchar> png = encodePanorama(image, ".png", PngCompression::OneStream);
            const cv::Mat decoded = cv::imdecode(png, cv::IMREAD_UNCHANGED);
            ASSERT_EQ(image.type(), decoded.type()) << size << " type " << type;
            EXPECT_EQ(0, cv::norm(image, decoded, cv::NORM_INF)) << size << " type " << type;
            EXPECT_EQ(0, cv::norm(cv::imdecode(encodePanorama(image, ".png"), cv::IMREAD_UNCHANGED), decoded,
                                  cv::NORM_INF));

            int width = 0, height = 0;
            EXPECT_EQ(static_cast<long>(size.height) * (1 + size.width * image.channels()),
                      checkedInflatedSize(png, width, height))
                << size;
            EXPECT_EQ(size, cv::Size(width, height));
        }
    }
    // A view into a larger image (rows not contiguous), and other formats as before.
    const cv::Mat large = testImage(50, 60, CV_8UC3, 7);
    const cv::Mat view = large(cv::Rect(3, 5, 31, 20));
    EXPECT_EQ(0, cv::norm(view, cv::imdecode(encodePanorama(view, ".png", PngCompression::OneStream),
                                             cv::IMREAD_UNCHANGED),
                          cv::NORM_INF));
    EXPECT_EQ(encodePanorama(view, ".jpg"), encodePanorama(view, ".jpg", PngCompression::OneStream));
}

TEST(PanoramaEncoderTest, BytesDoNotDependOnTheNumberOfThreads)
{
    const cv::Mat image = testImage(900, 1200, CV_8UC4, 42);
    const std::vector<uchar> parallel = encodePanorama(image, ".png");
    const int threads = cv::getNumThreads();
    cv::setNumThreads(1);
    const std::vector<uchar> serial = encodePanorama(image, ".png");
    cv::setNumThreads(threads);
    EXPECT_EQ(serial, parallel);
}

TEST(PanoramaEncoderTest, StreamedPiecesJoinToTheSameBytesAndAFailingSinkStopsThem)
{
    // One band, a short last band, many bands; one thread and many: the
    // pieces, in the order given, are the bytes of the joined encoding.
    const int threads = cv::getNumThreads();
    for (const cv::Size size : {cv::Size(31, 5), cv::Size(700, 1013), cv::Size(1700, 1000)}) {
        const cv::Mat image = testImage(size.height, size.width, CV_8UC4, 7);
        const std::vector<uchar> joined = encodePanorama(image, ".png");
        for (const int n : {1, 5}) {
            cv::setNumThreads(n);
            std::vector<uchar> streamed;
            int pieces = 0;
            encodePanoramaTo(image, ".png", [&](const std::vector<uchar>& bytes) {
                streamed.insert(streamed.end(), bytes.begin(), bytes.end());
                ++pieces;
            });
            cv::setNumThreads(threads);
            EXPECT_EQ(joined, streamed) << size << " threads " << n;
            if (size.width > 1000) {
                EXPECT_GT(pieces, 4) << size; // header, four bands, end
            }
        }
    }
    std::vector<uchar> jpeg;
    const cv::Mat colour = testImage(40, 70, CV_8UC3, 3);
    encodePanoramaTo(colour, ".jpg", [&](const std::vector<uchar>& bytes) { jpeg = bytes; });
    EXPECT_EQ(encodePanorama(colour, ".jpg"), jpeg);

    // The sink's error comes out, and nothing is handed over after it.
    const cv::Mat image = testImage(1000, 1700, CV_8UC4, 8);
    int calls = 0;
    try {
        encodePanoramaTo(image, ".png", [&](const std::vector<uchar>&) {
            if (++calls == 3)
                throw std::runtime_error("disk full");
        });
        FAIL() << "expected the sink's error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ("disk full", e.what());
    }
    EXPECT_EQ(3, calls);
}

TEST(PanoramaEncoderTest, OtherFormatsAndDepthsGoToTheLibraryEncoder)
{
    const cv::Mat image = testImage(40, 70, CV_8UC3, 3);
    std::vector<uchar> library;
    ASSERT_TRUE(cv::imencode(".jpg", image, library));
    EXPECT_EQ(library, encodePanorama(image, ".jpg"));

    cv::Mat deep;
    image.convertTo(deep, CV_16U, 200.0);
    ASSERT_TRUE(cv::imencode(".png", deep, library));
    EXPECT_EQ(library, encodePanorama(deep, ".png"));

    // Upper-case extensions are PNG too.
    EXPECT_EQ(0, cv::norm(image, cv::imdecode(encodePanorama(image, ".PNG"), cv::IMREAD_UNCHANGED), cv::NORM_INF));
    EXPECT_THROW(encodePanorama(image, ".nosuchformat"), std::exception);
}

} // namespace
