#pragma once

#include <opencv2/core.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

// Encodes a panorama for the file extension given (".png", ".jpg", ...; case
// does not matter). The decoded pixels are those cv::imencode would give.
// 8-bit PNG (1, 3 or 4 channels) is compressed in independent bands of rows
// on all cores and joined into one valid stream; the bytes do not depend on
// the number of threads. Every other case goes to cv::imencode. Throws
// std::runtime_error ("the '<ext>' encoder failed...") when the format has no
// encoder or cannot hold the image. The panorama writer encodes through it.
std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension);

// How an 8-bit PNG is compressed; the decoded pixels are the same either way.
enum class PngCompression {
    // Independent bands of rows on all cores: one image done soonest (the program).
    Bands,
    // One whole-buffer stream on the calling thread. Since the bands use the vectorised
    // deflate, this takes more CPU time than they do; the batch tool uses the bands too.
    // Needs a second copy of the image's bytes meanwhile.
    OneStream,
};
std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension,
                                  PngCompression compression);

// The same, with the JPEG quality (1 to 100) for a JPEG; 0 leaves the library's
// default (95), with the same bytes as the calls above.
std::vector<uchar> encodePanorama(const cv::Mat& panorama, const std::string& extension,
                                  PngCompression compression, int jpegQuality);

// Every PNG starts with its signature and image header, this many bytes.
constexpr std::size_t kPngHeaderBytes = 33;
// Whether the `size` bytes at `bytes` start with a PNG's signature and image header.
bool startsWithPngHeader(const uchar* bytes, std::size_t size);

// Receives an encoded file's bytes in order, piece by piece.
using PanoramaSink = std::function<void(const std::vector<uchar>& bytes)>;
// The bytes of encodePanorama(panorama, extension), handed to `write` in order
// as they become ready: an 8-bit PNG band by band while later bands are still
// being compressed, so that writing overlaps compressing; other formats in one
// piece. Errors are encodePanorama's; an exception thrown by `write` stops the
// writing and is rethrown once the compressing threads are done.
void encodePanoramaTo(const cv::Mat& panorama, const std::string& extension, const PanoramaSink& write);
