#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace video {

// A video file that cannot be used: not a video, truncated or corrupt. The message
// names the file.
class VideoError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One decoded picture and when it is shown.
struct VideoFrame {
    cv::Mat image;          // 8-bit BGR (or grey or I420, see VideoReader::Options)
    double seconds = 0;     // presentation time from the stream's start
    std::int64_t index = 0; // position in presentation order, from 0
};

// Decodes the video stream of one file picture by picture, in presentation order, as
// the caller asks for them: memory holds the decoder's few reference pictures and one
// converted frame, however long the file. Any container and codec libavformat and
// libavcodec read. Errors in the data stop decoding with a VideoError: a damaged
// picture is never passed on as if it were whole.
class VideoReader {
public:
    struct Options {
        bool grey = false; // 8-bit luma instead of BGR
        // 4:2:0 planes as the encoder takes them instead of BGR: a CV_8UC1 picture of
        // height*3/2 rows (Y, then U, then V), limited-range BT.601. Streams stored so
        // are copied as they are; others are converted. Needs even sides.
        bool planar = false;
        // Pass a picture whose size differs from the stream's on, for the caller to
        // judge, instead of stopping with a VideoError.
        bool passOtherSizes = false;
        int threads = 0;   // decoder threads; 0 lets the decoder choose
    };

    explicit VideoReader(const std::string& path);
    VideoReader(const std::string& path, const Options& options);
    ~VideoReader();
    VideoReader(const VideoReader&) = delete;
    VideoReader& operator=(const VideoReader&) = delete;

    const std::string& path() const { return path_; }
    int width() const;
    int height() const;
    // Nominal frame rate as a fraction (the container's average, else its base rate).
    int frameRateNumerator() const;
    int frameRateDenominator() const;
    double frameRate() const;
    // Length of the video stream in seconds (< 0 when the file does not say).
    double durationSeconds() const;
    // Frames the container declares (0 when it does not say).
    std::int64_t declaredFrames() const;
    // Presentation time of the stream's start in the file's own timeline, seconds:
    // VideoFrame::seconds counts from here.
    double startSeconds() const;
    bool hasAudio() const;
    std::string codecName() const;
    // Switches between BGR and I420 pictures (see Options::planar) from the next read on.
    void setPlanar(bool planar);

    // The next picture in presentation order; false at the end of the stream. Throws
    // VideoError for corrupt or truncated data.
    bool read(VideoFrame& frame);
    // Goes back to the key frame at or before `seconds` (from the stream's start): the
    // next read returns that key frame's picture, and reading on reaches `seconds`.
    // Frame indices count on from there as if from the start of the file.
    void seekTo(double seconds);

private:
    struct State;
    std::string path_;
    std::unique_ptr<State> state_;
};

// The libraries' own message for an error code ("Invalid data found when processing input").
std::string avErrorText(int code);

} // namespace video
