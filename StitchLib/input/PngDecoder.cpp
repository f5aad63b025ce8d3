#include "StitchLib/input/PngDecoder.h"

#include "StitchLib/input/ImageLimits.h"

#include <opencv2/imgproc/hal/hal.hpp>

#include <libdeflate.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace orb {
namespace input {
namespace {

// Longest ancillary chunk the general decoder accepts (its default chunk limit);
// a longer one makes it fail, so this decoder declines it too.
constexpr std::uint32_t kMaxAncillaryChunk = 8000000;

// Deflate cannot expand data by more than about 1032 times; a stream that would
// have to is declined before the output buffer is allocated.
constexpr std::size_t kMaxInflateRatio = 1032;

std::uint32_t bigEndian32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool isLetter(std::uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

struct DecompressorDeleter {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
};

std::uint8_t paeth(std::uint8_t a, std::uint8_t b, std::uint8_t c)
{
    const int pa = std::abs(int{b} - int{c});
    const int pb = std::abs(int{a} - int{c});
    const int pc = std::abs(int{a} + int{b} - 2 * int{c});
    if (pa <= pb && pa <= pc)
        return a;
    return pb <= pc ? b : c;
}

// Undoes one row's filter in place. `prior` is the row above, already unfiltered
// (zeros for the first row); Bpp bytes per pixel, `length` a multiple of it. The
// pixel to the left and the one above it are kept in registers (the inner loops
// unrolled), which makes the left-dependent filters several times faster than a
// byte loop through memory. False for an unknown filter.
template <int Bpp>
bool unfilterRow(int filter, std::uint8_t* row, const std::uint8_t* prior, std::size_t length)
{
    std::uint8_t left[Bpp] = {}, upperLeft[Bpp] = {};
    switch (filter) {
    case 0:
        return true;
    case 1:
        for (std::size_t i = 0; i < length; i += Bpp) {
#pragma GCC unroll 4
            for (int k = 0; k < Bpp; ++k) {
                left[k] = static_cast<std::uint8_t>(row[i + k] + left[k]);
                row[i + k] = left[k];
            }
        }
        return true;
    case 2:
        for (std::size_t i = 0; i < length; ++i)
            row[i] = static_cast<std::uint8_t>(row[i] + prior[i]);
        return true;
    case 3:
        for (std::size_t i = 0; i < length; i += Bpp) {
#pragma GCC unroll 4
            for (int k = 0; k < Bpp; ++k) {
                left[k] = static_cast<std::uint8_t>(row[i + k] + ((left[k] + prior[i + k]) >> 1));
                row[i + k] = left[k];
            }
        }
        return true;
    case 4:
        for (std::size_t i = 0; i < length; i += Bpp) {
#pragma GCC unroll 4
            for (int k = 0; k < Bpp; ++k) {
                const std::uint8_t up = prior[i + k];
                left[k] = static_cast<std::uint8_t>(row[i + k] + paeth(left[k], up, upperLeft[k]));
                upperLeft[k] = up;
                row[i + k] = left[k];
            }
        }
        return true;
    default:
        return false;
    }
}

bool unfilterRow(int filter, std::uint8_t* row, const std::uint8_t* prior, std::size_t length, int channels)
{
    switch (channels) {
    case 1: return unfilterRow<1>(filter, row, prior, length);
    case 3: return unfilterRow<3>(filter, row, prior, length);
    default: return unfilterRow<4>(filter, row, prior, length);
    }
}

} // namespace

bool decodeCommonPng(const std::uint8_t* data, std::size_t size, cv::Mat& image)
{
    image.release();
    static const std::uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (size < 8 + 12 + 13 || std::memcmp(data, kSignature, 8) != 0)
        return false;
    const std::uint8_t* ihdr = data + 8;
    if (bigEndian32(ihdr) != 13 || std::memcmp(ihdr + 4, "IHDR", 4) != 0)
        return false;
    const std::uint32_t width = bigEndian32(ihdr + 8);
    const std::uint32_t height = bigEndian32(ihdr + 12);
    const int bitDepth = ihdr[16], colourType = ihdr[17];
    const int compression = ihdr[18], filterMethod = ihdr[19], interlace = ihdr[20];
    if (width == 0 || height == 0 || width > kMaxImageSide || height > kMaxImageSide)
        return false;
    if (bitDepth != 8 || compression != 0 || filterMethod != 0 || interlace != 0)
        return false;
    int channels = 0;
    switch (colourType) {
    case 0: channels = 1; break;
    case 2: channels = 3; break;
    case 6: channels = 4; break;
    default: return false;
    }
    const std::size_t rowBytes = std::size_t{width} * static_cast<std::size_t>(channels);
    const std::size_t stride = rowBytes + 1;
    const std::size_t rawSize = stride * height;

    // The chunks: IDAT runs are gathered (without copying when there is one), every
    // other chunk must be one the general decoder passes over without changing pixels.
    std::vector<std::pair<const std::uint8_t*, std::size_t>> idat;
    std::size_t compressedSize = 0;
    bool idatEnded = false;
    std::size_t offset = 8 + 12 + 13;
    for (;;) {
        if (size - offset < 12)
            return false;
        const std::uint32_t length = bigEndian32(data + offset);
        const std::uint8_t* type = data + offset + 4;
        if (length > 0x7fffffffu || length > size - offset - 12)
            return false;
        if (!isLetter(type[0]) || !isLetter(type[1]) || !isLetter(type[2]) || !isLetter(type[3]))
            return false;
        if (std::memcmp(type, "IDAT", 4) == 0) {
            if (idatEnded || (length > kMaxAncillaryChunk && length > rawSize))
                return false;
            idat.emplace_back(type + 4, length);
            compressedSize += length;
        } else if (std::memcmp(type, "IEND", 4) == 0) {
            if (length != 0)
                return false;
            break;
        } else {
            // Critical chunks (upper-case first letter) other than these, e.g. a
            // palette, are declined; so are transparency, which adds an alpha
            // channel, and Exif data, which the general decoder parses.
            const bool critical = (type[0] & 0x20) == 0;
            if (critical || std::memcmp(type, "tRNS", 4) == 0 || std::memcmp(type, "eXIf", 4) == 0 ||
                length > kMaxAncillaryChunk)
                return false;
            idatEnded = !idat.empty();
        }
        offset += std::size_t{length} + 12;
    }
    if (idat.empty() || compressedSize == 0 || rawSize / kMaxInflateRatio > compressedSize)
        return false;

    std::vector<std::uint8_t> joined;
    const std::uint8_t* compressed = idat[0].first;
    if (idat.size() > 1) {
        joined.reserve(compressedSize);
        for (const auto& part : idat)
            joined.insert(joined.end(), part.first, part.first + part.second);
        compressed = joined.data();
    }

    thread_local std::unique_ptr<libdeflate_decompressor, DecompressorDeleter> decompressor(
        libdeflate_alloc_decompressor());
    if (!decompressor)
        return false;
    std::unique_ptr<std::uint8_t[]> raw(new std::uint8_t[rawSize]);
    std::size_t consumed = 0, produced = 0;
    // The stream must fill the image exactly and end with the image data; the
    // general decoder only warns about a surplus, so this one leaves it to it.
    if (libdeflate_zlib_decompress_ex(decompressor.get(), compressed, compressedSize, raw.get(), rawSize, &consumed,
                                      &produced) != LIBDEFLATE_SUCCESS ||
        consumed != compressedSize || produced != rawSize)
        return false;

    // Rows are unfiltered a band at a time and copied out while still in cache, in the
    // library's channel order: PNG stores RGB(A), the library's images are BGR(A).
    constexpr std::uint32_t kBandRows = 16;
    image.create(static_cast<int>(height), static_cast<int>(width), CV_8UC(channels));
    const std::vector<std::uint8_t> zeros(rowBytes, 0);
    const std::uint8_t* prior = zeros.data();
    for (std::uint32_t band = 0; band < height; band += kBandRows) {
        const std::uint32_t bandEnd = std::min(height, band + kBandRows);
        for (std::uint32_t r = band; r < bandEnd; ++r) {
            std::uint8_t* row = raw.get() + stride * r;
            if (!unfilterRow(row[0], row + 1, prior, rowBytes, channels)) {
                image.release();
                return false;
            }
            prior = row + 1;
        }
        const std::uint8_t* first = raw.get() + stride * band + 1;
        if (channels == 1) {
            for (std::uint32_t r = band; r < bandEnd; ++r)
                std::memcpy(image.ptr(static_cast<int>(r)), first + stride * (r - band), rowBytes);
        } else {
            cv::hal::cvtBGRtoBGR(first, stride, image.ptr(static_cast<int>(band)), image.step, static_cast<int>(width),
                                 static_cast<int>(bandEnd - band), CV_8U, channels, channels, true);
        }
    }
    return true;
}

} // namespace input
} // namespace orb
