#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <string>

namespace video {

// How the 360 video is encoded.
struct EncoderSettings {
    std::string codec = "h264"; // h264 (libx264) or hevc (libx265)
    int crf = -1;               // < 0: the encoder's default
    std::string preset = "medium";
    int width = 3840;
    int height = 1920;
    int rateNumerator = 30;     // frames per second as a fraction
    int rateDenominator = 1;
    int threads = 0;            // encoder threads; 0 lets the encoder choose
    // Exact colour conversion (about 10 ms more per 2000 x 1000 picture, about 0.5 dB
    // nearer the stitch); the scaler's fast path otherwise.
    bool exactConversion = true;
};

// The largest picture a codec's highest level holds, for checking --size before any
// work: H.264 level 6.2 (139264 macroblocks, sides up to sqrt(8 x that)), HEVC level
// 6.2 (35651584 luma samples, sides up to sqrt(8 x that)).
struct CodecLimit {
    std::int64_t maxSamples;
    int maxSide;
    std::string level;
};
CodecLimit codecLimit(const std::string& codec);
// Empty when the size can be encoded, else why not (naming the limit).
std::string checkOutputSize(const std::string& codec, int width, int height);
// 3840 x 1920 for h264, 7680 x 3840 for hevc.
cv::Size defaultOutputSize(const std::string& codec);

// Encodes pictures into one video file (format from the file name's extension, or
// given): yuv420p, BT.601 limited range, constant frame rate, with equirectangular
// spherical side data on the stream. The file is complete only after finish().
class VideoWriter {
public:
    VideoWriter(const std::string& path, const EncoderSettings& settings, const std::string& formatName = "");
    ~VideoWriter();
    VideoWriter(const VideoWriter&) = delete;
    VideoWriter& operator=(const VideoWriter&) = delete;

    // Appends one picture (8-bit BGR or BGRA of exactly the settings' size).
    void write(const cv::Mat& picture);
    // Appends one picture given as its 4:2:0 planes: a continuous CV_8UC1 matrix of
    // height*3/2 rows of the settings' width (Y, then U, then V; limited-range BT.601),
    // taken as it is.
    void writeI420(const cv::Mat& planes);
    // Flushes the encoder and writes the trailer.
    void finish();
    std::int64_t framesWritten() const;

private:
    void send();

    struct State;
    std::string path_;
    std::unique_ptr<State> state_;
};

} // namespace video

struct AVStream;
namespace video {
// Attaches equirectangular spherical side data to a stream of an output being set up
// (the MP4 and Matroska muxers write it when opened with strict=unofficial).
void addSphericalSideData(AVStream* stream);
} // namespace video
