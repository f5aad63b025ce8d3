#include "app/PanoramaEncoder.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc/hal/hal.hpp>

#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace {

// Rows of one band: about this many bytes of image, so that there are enough
// bands for all cores while each still compresses as well as the whole would.
constexpr std::size_t kBandBytes = 2u << 20;
constexpr int kMinBandRows = 16;

// The Sub filter, as the library's default PNG settings use, and the
// vectorised compressor's level 2: on panoramas about four times the speed of
// zlib's fastest run-length level, and a tenth smaller (level 1 is a little
// slower and larger on them, level 3 much slower).
constexpr int kLevel = 2;
constexpr uint32_t kLevelBufferBytes = ISAL_DEF_LVL2_DEFAULT;
constexpr unsigned char kFilterSub = 1;

// One stream: libdeflate's fastest level, which compresses better than the
// bands' settings at about twice their speed; cut into chunks of this size.
constexpr int kOneStreamLevel = 1;
constexpr std::size_t kChunkBytes = 1u << 20;

std::string lowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

void putBigEndian(std::vector<uchar>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8) {
        out.push_back(static_cast<uchar>((value >> shift) & 0xffu));
    }
}

// Appends a chunk: length, type, data, CRC of type and data.
void putChunk(std::vector<uchar>& out, const char* type, const uchar* data, std::size_t size)
{
    if (size > 0x7fffffffu) {
        throw std::runtime_error("the '.png' encoder failed: a chunk would exceed 2 GiB");
    }
    putBigEndian(out, static_cast<uint32_t>(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    out.insert(out.end(), data, data + size);
    const std::uint32_t crc = libdeflate_crc32(0, out.data() + typeAt, 4 + size);
    putBigEndian(out, static_cast<uint32_t>(crc));
}

// Appends a chunk whose data is three pieces, one after the other (any may be
// empty), without joining them first.
struct Piece {
    const uchar* data;
    std::size_t size;
};
void putChunk(std::vector<uchar>& out, const char* type, Piece a, Piece b, Piece c)
{
    const std::size_t size = a.size + b.size + c.size;
    if (size > 0x7fffffffu) {
        throw std::runtime_error("the '.png' encoder failed: a chunk would exceed 2 GiB");
    }
    putBigEndian(out, static_cast<uint32_t>(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type, type + 4);
    for (const Piece& piece : {a, b, c})
        if (piece.size > 0)
            out.insert(out.end(), piece.data, piece.data + piece.size);
    putBigEndian(out, libdeflate_crc32(0, out.data() + typeAt, 4 + size));
}

// One band of rows, filtered and deflated on its own: raw deflate data that
// ends byte-aligned (a sync flush) unless it is the last band, which ends the
// stream. Its Adler-32 is of the filtered bytes, for the stream's trailer.
struct Band {
    std::vector<uchar> deflated;
    uLong adler = 1;
    uLong length = 0;
};

// Filter type byte, then the row in PNG's channel order (RGB, RGBA: the
// library stores BGR and BGRA), each byte minus the one a pixel to the left.
void filterRow(const uchar* row, int cols, int channels, uchar* out)
{
    const std::size_t length = static_cast<std::size_t>(cols) * channels;
    // The row in PNG order first, then one subtraction over it that vectorises.
    thread_local std::vector<uchar> ordered;
    ordered.resize(length);
    if (channels == 1)
        std::copy(row, row + length, ordered.data());
    else
        cv::hal::cvtBGRtoBGR(row, length, ordered.data(), length, cols, 1, CV_8U, channels, channels, true);
    out[0] = kFilterSub;
    uchar* filtered = out + 1;
    const uchar* in = ordered.data();
    const std::size_t step = static_cast<std::size_t>(channels);
    for (std::size_t i = 0; i < step && i < length; ++i)
        filtered[i] = in[i];
    for (std::size_t i = step; i < length; ++i)
        filtered[i] = static_cast<uchar>(in[i] - in[i - step]);
}

// A compressor's state (about 100 KiB) and its level's buffer, one per
// thread, reused band after band.
struct Compressor {
    isal_zstream stream;
    std::vector<uint8_t> levelBuffer = std::vector<uint8_t>(kLevelBufferBytes);
};

Compressor& threadCompressor()
{
    thread_local std::unique_ptr<Compressor> compressor(new Compressor());
    return *compressor;
}

// Deflates `size` bytes as raw deflate data appended to `out`: ending
// byte-aligned (a sync flush) so that more data may follow, or ending the
// stream when last.
void deflateBytes(uint8_t* data, std::size_t size, bool last, std::vector<uchar>& out)
{
    Compressor& compressor = threadCompressor();
    isal_zstream& stream = compressor.stream;
    isal_deflate_init(&stream);
    stream.level = kLevel;
    stream.level_buf = compressor.levelBuffer.data();
    stream.level_buf_size = kLevelBufferBytes;
    stream.gzip_flag = IGZIP_DEFLATE;
    stream.flush = last ? NO_FLUSH : SYNC_FLUSH;
    stream.end_of_stream = last ? 1 : 0;
    stream.next_in = data;
    stream.avail_in = static_cast<uint32_t>(size);
    if (stream.avail_in != size)
        throw std::runtime_error("the '.png' encoder failed: a band would exceed 4 GiB");
    // Room for the data as stored blocks, so that one call nearly always does.
    // The compressor writes into a buffer of the thread's, reused band after
    // band, and only what it wrote is copied out: the output vector is not
    // first cleared at the input's size, most of which deflate leaves unused.
    std::size_t room = size + size / 64 + 1024;
    thread_local std::vector<uchar> scratch;
    bool failed = false;
    // Until the compressor leaves output room unused: then it has taken all
    // input and written everything out.
    do {
        if (scratch.size() < room)
            scratch.resize(room);
        stream.next_out = scratch.data();
        stream.avail_out = static_cast<uint32_t>(room);
        failed = isal_deflate(&stream) != COMP_OK;
        out.insert(out.end(), scratch.data(), scratch.data() + (room - stream.avail_out));
        room = 1u << 16;
    } while (!failed && stream.avail_out == 0);
    if (failed || stream.avail_in != 0 || (last && stream.internal_state.state != ZSTATE_END))
        throw std::runtime_error("the '.png' encoder failed: compression failed");
}

Band deflateBand(const cv::Mat& image, int begin, int end, bool last)
{
    Band band;
    const int channels = image.channels();
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(image.cols) * channels;
    thread_local std::vector<uchar> filtered;
    filtered.resize(rowBytes * static_cast<std::size_t>(end - begin));
    for (int r = begin; r < end; ++r)
        filterRow(image.ptr<uchar>(r), image.cols, channels, filtered.data() + rowBytes * static_cast<std::size_t>(r - begin));
    band.adler = libdeflate_adler32(1, filtered.data(), filtered.size());
    band.length = static_cast<uLong>(filtered.size());
    deflateBytes(filtered.data(), filtered.size(), last, band.deflated);
    return band;
}

// Signature and image header of an 8-bit PNG of the image's size and channels.
std::vector<uchar> pngHeader(const cv::Mat& image)
{
    const int channels = image.channels();
    std::vector<uchar> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    std::vector<uchar> header;
    putBigEndian(header, static_cast<uint32_t>(image.cols));
    putBigEndian(header, static_cast<uint32_t>(image.rows));
    const uchar colourType = channels == 1 ? 0 : channels == 3 ? 2 : 6;
    header.insert(header.end(), {8, colourType, 0, 0, 0}); // 8 bits, deflate, adaptive filters, no interlace
    putChunk(png, "IHDR", header.data(), header.size());
    return png;
}

struct CompressorDeleter {
    void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};

std::vector<uchar> encodePngOneStream(const cv::Mat& image)
{
    const int channels = image.channels();
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(image.cols) * channels;
    std::unique_ptr<uchar[]> filtered(new uchar[rowBytes * static_cast<std::size_t>(image.rows)]);
    for (int r = 0; r < image.rows; ++r)
        filterRow(image.ptr<uchar>(r), image.cols, channels, filtered.get() + rowBytes * static_cast<std::size_t>(r));
    const std::size_t filteredBytes = rowBytes * static_cast<std::size_t>(image.rows);

    // One compressor per thread: it holds about a megabyte of tables.
    thread_local std::unique_ptr<libdeflate_compressor, CompressorDeleter> compressor(
        libdeflate_alloc_compressor(kOneStreamLevel));
    if (!compressor)
        throw std::runtime_error("the '.png' encoder failed: the compressor could not start");
    std::unique_ptr<uchar[]> stream(
        new uchar[libdeflate_zlib_compress_bound(compressor.get(), filteredBytes)]);
    const std::size_t streamBytes = libdeflate_zlib_compress(
        compressor.get(), filtered.get(), filteredBytes, stream.get(),
        libdeflate_zlib_compress_bound(compressor.get(), filteredBytes));
    filtered.reset();
    if (streamBytes == 0)
        throw std::runtime_error("the '.png' encoder failed: compression failed");

    std::vector<uchar> png = pngHeader(image);
    png.reserve(png.size() + streamBytes + (streamBytes / kChunkBytes + 2) * 12);
    for (std::size_t at = 0; at < streamBytes; at += kChunkBytes)
        putChunk(png, "IDAT", stream.get() + at, std::min(kChunkBytes, streamBytes - at));
    putChunk(png, "IEND", nullptr, 0);
    return png;
}

// Appends band's IDAT chunk: the zlib header before the first band's data,
// the Adler-32 of all bands after the last one's. `adler` runs over the bands
// in order.
void putBandChunk(std::vector<uchar>& out, const Band& band, bool first, bool last, uLong& adler)
{
    static const uchar zlibHeader[] = {0x78, 0x01}; // deflate, 32 KiB window, fastest
    adler = first ? band.adler : adler32_combine(adler, band.adler, static_cast<z_off_t>(band.length));
    uchar trailer[4];
    for (int k = 0; k < 4; ++k)
        trailer[k] = static_cast<uchar>((adler >> (24 - 8 * k)) & 0xffu);
    putChunk(out, "IDAT", {first ? zlibHeader : nullptr, first ? sizeof zlibHeader : 0},
             {band.deflated.data(), band.deflated.size()}, {last ? trailer : nullptr, last ? sizeof trailer : 0});
}

int pngBandRows(const cv::Mat& image);

std::vector<uchar> encodePng(const cv::Mat& image)
{
    const int bandRows = pngBandRows(image);
    const int bandCount = (image.rows + bandRows - 1) / bandRows;

    std::vector<Band> bands(static_cast<std::size_t>(bandCount));
    std::vector<std::exception_ptr> failures(bands.size());
    cv::parallel_for_(cv::Range(0, bandCount), [&](const cv::Range& range) {
        for (int b = range.start; b < range.end; ++b) {
            try {
                bands[static_cast<std::size_t>(b)] =
                    deflateBand(image, b * bandRows, std::min(image.rows, (b + 1) * bandRows), b + 1 == bandCount);
            } catch (...) {
                failures[static_cast<std::size_t>(b)] = std::current_exception();
            }
        }
    });
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }

    std::vector<uchar> png = pngHeader(image);
    // One zlib stream over all bands: a header, the bands' deflate data in
    // order, the Adler-32 of everything. One IDAT chunk per band, written
    // once into a buffer of the file's size.
    std::size_t total = png.size() + 2 + 4 + 12;
    for (const Band& band : bands)
        total += 12 + band.deflated.size();
    png.reserve(total);
    uLong adler = 1;
    for (std::size_t b = 0; b < bands.size(); ++b) {
        putBandChunk(png, bands[b], b == 0, b + 1 == bands.size(), adler);
        bands[b].deflated = std::vector<uchar>();
    }
    putChunk(png, "IEND", nullptr, 0);
    return png;
}

// Rows of each band of a banded PNG and how many bands.
int pngBandRows(const cv::Mat& image)
{
    const std::size_t rowBytes = 1 + static_cast<std::size_t>(image.cols) * image.channels();
    return std::max(kMinBandRows, static_cast<int>(std::min<std::size_t>(kBandBytes / rowBytes + 1, 1u << 30)));
}

// The bytes of encodePng, handed to `write` in order as soon as they are
// ready: each band's chunk once it and every band before it are compressed,
// by the thread that completed the run, while the other threads go on with
// later bands. So the file is written while the image is still being
// compressed rather than after. A band that fails stops the writing there;
// the error of the first band that failed is the one thrown, as encodePng's.
void encodePngTo(const cv::Mat& image, const PanoramaSink& write)
{
    const int bandRows = pngBandRows(image);
    const int bandCount = (image.rows + bandRows - 1) / bandRows;
    std::vector<Band> bands(static_cast<std::size_t>(bandCount));
    std::vector<std::exception_ptr> failures(bands.size());
    write(pngHeader(image));

    std::mutex mutex;
    std::vector<char> compressed(bands.size(), 0);
    std::size_t nextToWrite = 0;
    bool writing = false;
    bool stopped = false;
    std::exception_ptr writeFailure;
    uLong adler = 1;
    // Writes every band whose turn has come; one thread at a time, the others
    // only mark their bands done and return to compressing.
    const auto writeReady = [&](std::size_t done, bool failed) {
        std::unique_lock<std::mutex> lock(mutex);
        compressed[done] = failed ? 2 : 1;
        if (writing)
            return;
        writing = true;
        while (!stopped && nextToWrite < bands.size() && compressed[nextToWrite] != 0) {
            const std::size_t b = nextToWrite;
            if (compressed[b] == 2) {
                stopped = true;
                break;
            }
            lock.unlock();
            try {
                std::vector<uchar> chunk;
                putBandChunk(chunk, bands[b], b == 0, b + 1 == bands.size(), adler);
                bands[b].deflated = std::vector<uchar>();
                write(chunk);
            } catch (...) {
                lock.lock();
                writeFailure = std::current_exception();
                stopped = true;
                break;
            }
            lock.lock();
            ++nextToWrite;
        }
        writing = false;
    };
    cv::parallel_for_(cv::Range(0, bandCount), [&](const cv::Range& range) {
        for (int b = range.start; b < range.end; ++b) {
            bool failed = false;
            try {
                bands[static_cast<std::size_t>(b)] =
                    deflateBand(image, b * bandRows, std::min(image.rows, (b + 1) * bandRows), b + 1 == bandCount);
            } catch (...) {
                failures[static_cast<std::size_t>(b)] = std::current_exception();
                failed = true;
            }
            writeReady(static_cast<std::size_t>(b), failed);
        }
    });
    for (const std::exception_ptr& failure : failures) {
        if (failure) std::rethrow_exception(failure);
    }
    if (writeFailure)
        std::rethrow_exception(writeFailure);
    // The writing thread looks for more ready bands before it stops, so with
    // no failure every band has been written.
    if (nextToWrite != bands.size())
        throw std::runtime_error("the '.png' encoder failed: a band was not written");
    std::vector<uchar> end;
    putChunk(end, "IEND", nullptr, 0);
    write(end);
}

} // namespace

void encodePanoramaTo(const cv::Mat& panorama, const std::string& extension, const PanoramaSink& write)
{
    const int channels = panorama.channels();
    if (lowerCase(extension) == ".png" && panorama.depth() == CV_8U && panorama.dims == 2 && !panorama.empty() &&
        (channels == 1 || channels == 3 || channels == 4)) {
        encodePngTo(panorama, write);
        return;
    }
    write(encodePanorama(panorama, extension));
}

std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension)
{
    return encodePanorama(panorama, extension, PngCompression::Bands);
}

std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension,
                                  PngCompression compression)
{
    return encodePanorama(panorama, extension, compression, 0);
}

std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension,
                                  PngCompression compression, int jpegQuality)
{
    const int channels = panorama.channels();
    if (lowerCase(extension) == ".png" && panorama.depth() == CV_8U && panorama.dims == 2 && !panorama.empty() &&
        (channels == 1 || channels == 3 || channels == 4)) {
        return compression == PngCompression::OneStream ? encodePngOneStream(panorama) : encodePng(panorama);
    }
    std::vector<uchar> encoded;
    bool written = false;
    try {
        std::vector<int> parameters;
        if (jpegQuality > 0)
            parameters = {cv::IMWRITE_JPEG_QUALITY, jpegQuality};
        written = cv::imencode(extension, panorama, encoded, parameters);
    } catch (const cv::Exception& e) {
        throw std::runtime_error("the '" + extension + "' encoder failed: " + e.err);
    }
    if (!written) {
        throw std::runtime_error("the '" + extension + "' encoder failed");
    }
    return encoded;
}

bool startsWithPngHeader(const uchar* bytes, std::size_t size)
{
    static const uchar kStart[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    return size >= kPngHeaderBytes && std::memcmp(bytes, kStart, sizeof kStart) == 0;
}
