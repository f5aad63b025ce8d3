#include "StitchLib/input/PngDecoder.h"

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace orb {
namespace input {
namespace {

using Bytes = std::vector<std::uint8_t>;

cv::Mat texture(int rows, int cols, int type, unsigned seed)
{
    // Smooth ramps plus noise, so that every filter meets both kinds of data.
    cv::Mat image(rows, cols, type);
    cv::RNG rng(seed);
    rng.fill(image, cv::RNG::UNIFORM, 0, 256);
    for (int r = 0; r < rows; r += 2) {
        uchar* row = image.ptr<uchar>(r);
        for (int i = 0; i < cols * image.channels(); ++i)
            row[i] = static_cast<uchar>((r * 3 + i) & 0xff);
    }
    return image;
}

void putBigEndian32(Bytes& out, std::uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(v >> shift));
}

void putChunk(Bytes& out, const char* type, const Bytes& data)
{
    putBigEndian32(out, static_cast<std::uint32_t>(data.size()));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data.begin(), data.end());
    putBigEndian32(out, static_cast<std::uint32_t>(crc32(0, &out[typeAt], static_cast<uInt>(4 + data.size()))));
}

std::uint8_t paeth(int a, int b, int c)
{
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return static_cast<std::uint8_t>(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// A PNG writer independent of the decoder's code: row r uses filter filterOf(r),
// the stream is cut into IDAT chunks of `idatBytes`, and `extra` chunks are put
// before the image data and `trailing` ones after it.
struct PngLayout {
    int colourType = 2;
    std::vector<int> filters = {0, 1, 2, 3, 4};
    std::size_t idatBytes = 1000;
    std::vector<std::pair<std::string, Bytes>> extra;
    std::vector<std::pair<std::string, Bytes>> trailing;
    int interlace = 0;
};

Bytes filteredRows(const cv::Mat& image, const std::vector<int>& filters)
{
    const int channels = image.channels();
    const std::size_t rowBytes = static_cast<std::size_t>(image.cols) * channels;
    Bytes raw;
    Bytes prior(rowBytes, 0), row(rowBytes);
    for (int r = 0; r < image.rows; ++r) {
        const uchar* pixels = image.ptr<uchar>(r);
        for (int c = 0; c < image.cols; ++c) {
            for (int k = 0; k < channels; ++k) {
                // BGR(A) to RGB(A)
                const int from = channels >= 3 && k < 3 ? 2 - k : k;
                row[static_cast<std::size_t>(c) * channels + k] = pixels[c * channels + from];
            }
        }
        const int filter = filters[static_cast<std::size_t>(r) % filters.size()];
        raw.push_back(static_cast<std::uint8_t>(filter));
        for (std::size_t i = 0; i < rowBytes; ++i) {
            const int a = i >= static_cast<std::size_t>(channels) ? row[i - channels] : 0;
            const int b = prior[i];
            const int c = i >= static_cast<std::size_t>(channels) ? prior[i - channels] : 0;
            const int predictor = filter == 0 ? 0 : filter == 1 ? a : filter == 2 ? b : filter == 3 ? (a + b) / 2
                                                                                                      : paeth(a, b, c);
            raw.push_back(static_cast<std::uint8_t>(row[i] - predictor));
        }
        prior = row;
    }
    return raw;
}

Bytes deflateZlib(const Bytes& raw)
{
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(size);
    EXPECT_EQ(compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), 6), Z_OK);
    out.resize(size);
    return out;
}

Bytes writePng(const cv::Mat& image, const PngLayout& layout, const Bytes& stream)
{
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    putBigEndian32(ihdr, static_cast<std::uint32_t>(image.cols));
    putBigEndian32(ihdr, static_cast<std::uint32_t>(image.rows));
    ihdr.insert(ihdr.end(), {8, static_cast<std::uint8_t>(layout.colourType), 0, 0,
                             static_cast<std::uint8_t>(layout.interlace)});
    putChunk(png, "IHDR", ihdr);
    for (const auto& chunk : layout.extra)
        putChunk(png, chunk.first.c_str(), chunk.second);
    for (std::size_t at = 0; at < stream.size(); at += layout.idatBytes) {
        const std::size_t end = std::min(stream.size(), at + layout.idatBytes);
        putChunk(png, "IDAT", Bytes(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                    stream.begin() + static_cast<std::ptrdiff_t>(end)));
    }
    for (const auto& chunk : layout.trailing)
        putChunk(png, chunk.first.c_str(), chunk.second);
    putChunk(png, "IEND", {});
    return png;
}

Bytes writePng(const cv::Mat& image, const PngLayout& layout)
{
    return writePng(image, layout, deflateZlib(filteredRows(image, layout.filters)));
}

// Recomputes the checksum of every whole chunk, as far as the lengths lead.
void fixChecksums(Bytes& png)
{
    std::size_t offset = 8;
    while (png.size() - offset >= 12) {
        const std::uint32_t length = (std::uint32_t{png[offset]} << 24) | (std::uint32_t{png[offset + 1]} << 16) |
                                     (std::uint32_t{png[offset + 2]} << 8) | png[offset + 3];
        if (length > png.size() - offset - 12)
            return;
        const uLong crc = crc32(0, &png[offset + 4], length + 4);
        for (int k = 0; k < 4; ++k)
            png[offset + 8 + length + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(crc >> (24 - 8 * k));
        offset += std::size_t{length} + 12;
    }
}

cv::Mat libraryDecode(const Bytes& png)
{
    return cv::imdecode(png, cv::IMREAD_UNCHANGED);
}

bool decode(const Bytes& png, cv::Mat& image) { return decodeCommonPng(png.data(), png.size(), image); }

bool samePixels(const cv::Mat& a, const cv::Mat& b)
{
    return a.type() == b.type() && a.size() == b.size() && cv::norm(a, b, cv::NORM_INF) == 0;
}

TEST(PngDecoder, GivesTheLibraryDecodersPixelsForEveryFilterSizeAndColourType)
{
    struct Case {
        int rows, cols, type, colourType;
    };
    const Case cases[] = {{1, 1, CV_8UC3, 2}, {5, 17, CV_8UC3, 2}, {64, 33, CV_8UC3, 2},  {3, 1280, CV_8UC3, 2},
                          {9, 7, CV_8UC1, 0}, {40, 31, CV_8UC1, 0}, {9, 7, CV_8UC4, 6},   {40, 31, CV_8UC4, 6}};
    unsigned seed = 1;
    for (const Case& c : cases) {
        const cv::Mat image = texture(c.rows, c.cols, c.type, seed++);
        // Every filter on every row position, then each filter alone.
        std::vector<std::vector<int>> filterSets = {{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}};
        for (int f = 0; f <= 4; ++f)
            filterSets.push_back({f});
        for (const auto& filters : filterSets) {
            PngLayout layout;
            layout.colourType = c.colourType;
            layout.filters = filters;
            const Bytes png = writePng(image, layout);
            cv::Mat decoded;
            ASSERT_TRUE(decode(png, decoded)) << c.cols << " x " << c.rows << " colour type " << c.colourType;
            EXPECT_TRUE(samePixels(decoded, image)) << c.cols << " x " << c.rows << ", filter " << filters[0];
            EXPECT_TRUE(samePixels(decoded, libraryDecode(png)));
        }
    }
    // The library's own encoder, at its default and at its slowest settings.
    const cv::Mat camera = texture(480, 640, CV_8UC3, 99);
    for (int level : {1, 9}) {
        std::vector<uchar> png;
        ASSERT_TRUE(cv::imencode(".png", camera, png, {cv::IMWRITE_PNG_COMPRESSION, level}));
        cv::Mat decoded;
        ASSERT_TRUE(decodeCommonPng(png.data(), png.size(), decoded));
        EXPECT_TRUE(samePixels(decoded, camera));
    }
}

TEST(PngDecoder, AncillaryChunksAndOneIdatOrManyAreDecoded)
{
    const cv::Mat image = texture(20, 21, CV_8UC3, 7);
    PngLayout layout;
    layout.extra = {{"gAMA", {0, 0, 0xb1, 0x8f}}, {"tEXt", {'a', 0, 'b'}}};
    layout.trailing = {{"tIME", {7, 0xea, 12, 7, 14, 0, 0}}};
    for (std::size_t idatBytes : {std::size_t{1}, std::size_t{100}, std::size_t{1} << 20}) {
        layout.idatBytes = idatBytes;
        const Bytes png = writePng(image, layout);
        cv::Mat decoded;
        ASSERT_TRUE(decode(png, decoded)) << idatBytes;
        EXPECT_TRUE(samePixels(decoded, libraryDecode(png)));
    }
}

TEST(PngDecoder, DeclinesWhatItDoesNotHandleAndLeavesNoImage)
{
    const cv::Mat image = texture(12, 10, CV_8UC3, 3);
    const Bytes stream = deflateZlib(filteredRows(image, {1}));
    const auto declines = [](const Bytes& png, const std::string& what) {
        cv::Mat decoded(2, 2, CV_8UC3);
        EXPECT_FALSE(decode(png, decoded)) << what;
        EXPECT_TRUE(decoded.empty()) << what;
    };

    PngLayout layout;
    layout.extra = {{"tRNS", {0, 1, 0, 2, 0, 3}}};
    declines(writePng(image, layout, stream), "transparency: the library adds alpha");
    layout.extra = {{"PLTE", {1, 2, 3}}};
    declines(writePng(image, layout, stream), "a palette chunk");
    layout.extra = {{"eXIf", {'M', 'M', 0, 42}}};
    declines(writePng(image, layout, stream), "Exif data");
    layout.extra = {{"ab1d", {}}};
    declines(writePng(image, layout, stream), "a chunk name that is not letters");
    layout.extra = {};
    layout.interlace = 1;
    declines(writePng(image, layout, stream), "interlaced");
    layout.interlace = 0;
    layout.colourType = 3;
    declines(writePng(image, layout, stream), "palette colour type");

    // 16-bit, through the library's encoder.
    std::vector<uchar> deep;
    ASSERT_TRUE(cv::imencode(".png", cv::Mat(8, 8, CV_16UC3, cv::Scalar::all(300)), deep));
    declines(Bytes(deep.begin(), deep.end()), "16 bits");

    // IDAT chunks separated by another chunk.
    layout = PngLayout();
    layout.idatBytes = stream.size() / 2 + 1;
    Bytes split = writePng(image, layout, stream);
    const Bytes text = [] {
        Bytes chunk;
        putChunk(chunk, "tEXt", {'a', 0, 'b'});
        return chunk;
    }();
    const std::size_t secondIdat = 8 + 25 + 12 + layout.idatBytes;
    ASSERT_EQ(std::memcmp(&split[secondIdat + 4], "IDAT", 4), 0);
    split.insert(split.begin() + static_cast<std::ptrdiff_t>(secondIdat), text.begin(), text.end());
    declines(split, "interrupted image data");
}

TEST(PngDecoder, DeclinesStreamsThatDoNotFillTheImageExactly)
{
    const cv::Mat image = texture(12, 10, CV_8UC3, 4);
    const Bytes raw = filteredRows(image, {2});
    cv::Mat decoded;

    Bytes shortRaw(raw.begin(), raw.end() - 1);
    EXPECT_FALSE(decode(writePng(image, PngLayout(), deflateZlib(shortRaw)), decoded)) << "one byte missing";
    EXPECT_TRUE(libraryDecode(writePng(image, PngLayout(), deflateZlib(shortRaw))).empty());

    Bytes longRaw = raw;
    longRaw.push_back(0);
    EXPECT_FALSE(decode(writePng(image, PngLayout(), deflateZlib(longRaw)), decoded)) << "one byte too many";

    Bytes surplus = deflateZlib(raw);
    surplus.push_back(0);
    EXPECT_FALSE(decode(writePng(image, PngLayout(), surplus), decoded)) << "bytes after the stream";

    Bytes badFilter = raw;
    badFilter[raw.size() / 2 / (1 + 30) * (1 + 30)] = 5;
    EXPECT_FALSE(decode(writePng(image, PngLayout(), deflateZlib(badFilter)), decoded)) << "filter type 5";
    EXPECT_TRUE(libraryDecode(writePng(image, PngLayout(), deflateZlib(badFilter))).empty());

    Bytes badChecksum = deflateZlib(raw);
    badChecksum.back() ^= 1;
    EXPECT_FALSE(decode(writePng(image, PngLayout(), badChecksum), decoded)) << "Adler-32";
}

TEST(PngDecoder, DamagedFilesAreDeclinedOrDecodedAsTheLibraryDecodesThem)
{
    // The chunk checksums are left to the integrity check; here they are made to
    // match again after each change, so only the decoder stands between the bytes
    // and the image. Whatever it accepts must be what the library gives.
    const cv::Mat image = texture(16, 19, CV_8UC3, 5);
    PngLayout layout;
    layout.idatBytes = 64;
    layout.extra = {{"tEXt", {'k', 0, 'v'}}};
    const Bytes png = writePng(image, layout);

    for (std::size_t cut = 0; cut < png.size(); ++cut) {
        cv::Mat decoded;
        EXPECT_FALSE(decodeCommonPng(png.data(), cut, decoded)) << "cut at " << cut;
    }
    cv::RNG rng(11);
    int accepted = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes damaged = png;
        const int flips = 1 + trial % 3;
        for (int f = 0; f < flips; ++f)
            damaged[8 + static_cast<std::size_t>(rng.uniform(0, static_cast<int>(damaged.size()) - 8))] ^=
                static_cast<std::uint8_t>(1u << rng.uniform(0, 8));
        fixChecksums(damaged);
        cv::Mat decoded;
        if (decode(damaged, decoded)) {
            ++accepted;
            EXPECT_TRUE(samePixels(decoded, libraryDecode(damaged))) << "trial " << trial;
        }
    }
    // Changes in the text chunk leave the pixels alone.
    EXPECT_GT(accepted, 0);
}

} // namespace
} // namespace input
} // namespace orb
