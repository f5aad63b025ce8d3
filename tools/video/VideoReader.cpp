#include "VideoReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace video {

std::string avErrorText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = "";
    av_strerror(code, text, sizeof text);
    return text;
}

struct VideoReader::State {
    Options options;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* frame = nullptr;
    SwsContext* sws = nullptr;
    int stream = -1;
    bool audio = false;
    bool draining = false;
    bool ended = false;
    bool seeked = false; // frame counts no longer start at the file's first frame
    std::int64_t decoded = 0;
    std::int64_t start = 0; // stream start in time-base units
    int width = 0, height = 0; // the stream's picture size as opened (the decoder's follows changes)
    double lastSeconds = -1;
    cv::Mat planar; // a 4:2:0 picture's planes, contiguous for the converter

    ~State()
    {
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        avformat_close_input(&format);
    }
    AVStream* videoStream() const { return format->streams[stream]; }
};

namespace {

// Decoders report damaged data instead of concealing it.
constexpr int kStrictErrors = AV_EF_CRCCHECK | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_EXPLODE;

} // namespace

VideoReader::VideoReader(const std::string& path) : VideoReader(path, Options{}) {}

VideoReader::VideoReader(const std::string& path, const Options& options) : path_(path), state_(new State)
{
    State& s = *state_;
    if (options.grey && options.planar)
        throw std::logic_error("VideoReader: grey and planar pictures exclude each other");
    s.options = options;
    av_log_set_level(AV_LOG_FATAL); // errors reach the user through our messages, naming the file
    int rc = avformat_open_input(&s.format, path.c_str(), nullptr, nullptr);
    if (rc < 0)
        throw VideoError("'" + path + "': cannot open as a video: " + avErrorText(rc));
    rc = avformat_find_stream_info(s.format, nullptr);
    if (rc < 0)
        throw VideoError("'" + path + "': cannot read the streams: " + avErrorText(rc));
    const AVCodec* decoder = nullptr;
    s.stream = av_find_best_stream(s.format, AVMEDIA_TYPE_VIDEO, -1, -1, &decoder, 0);
    if (s.stream < 0 || !decoder) {
        throw VideoError("'" + path + "': " +
                         (s.stream == AVERROR_DECODER_NOT_FOUND ? std::string("no decoder for its video stream")
                                                                : std::string("not a video (no video stream)")));
    }
    for (unsigned i = 0; i < s.format->nb_streams; ++i)
        s.audio = s.audio || s.format->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO;
    AVStream* st = s.videoStream();
    // Still pictures (a PNG or JPEG file) open as one-frame "videos": not a take.
    if (st->disposition & AV_DISPOSITION_ATTACHED_PIC || s.format->iformat->flags & AVFMT_NOTIMESTAMPS ||
        std::string(s.format->iformat->name).find("_pipe") != std::string::npos ||
        std::string(s.format->iformat->name) == "image2")
        throw VideoError("'" + path + "': a still picture, not a video");
    s.codec = avcodec_alloc_context3(decoder);
    if (!s.codec)
        throw std::bad_alloc();
    rc = avcodec_parameters_to_context(s.codec, st->codecpar);
    if (rc < 0)
        throw VideoError("'" + path + "': unusable video parameters: " + avErrorText(rc));
    s.codec->thread_count = options.threads;
    s.codec->err_recognition = kStrictErrors;
    s.codec->pkt_timebase = st->time_base;
    rc = avcodec_open2(s.codec, decoder, nullptr);
    if (rc < 0)
        throw VideoError("'" + path + "': cannot open the " + decoder->name + " decoder: " + avErrorText(rc));
    if (s.codec->width <= 0 || s.codec->height <= 0)
        throw VideoError("'" + path + "': the video stream has no picture size");
    s.width = s.codec->width;
    s.height = s.codec->height;
    s.packet = av_packet_alloc();
    s.frame = av_frame_alloc();
    if (!s.packet || !s.frame)
        throw std::bad_alloc();
    s.start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    // A container with an index (MP4, MOV) tells a cut-off file before any decoding:
    // its last picture would lie beyond the end of the file.
    const int entries = avformat_index_get_entries_count(st);
    const std::int64_t fileSize = s.format->pb ? avio_size(s.format->pb) : -1;
    if (entries > 0 && fileSize > 0) {
        const AVIndexEntry* last = avformat_index_get_entry(st, entries - 1);
        if (last && last->pos + last->size > fileSize)
            throw VideoError("'" + path + "': truncated: the file ends at byte " + std::to_string(fileSize) +
                             ", its last frame at byte " + std::to_string(last->pos + last->size));
    }
}

VideoReader::~VideoReader() = default;

int VideoReader::width() const { return state_->width; }
int VideoReader::height() const { return state_->height; }

namespace {
AVRational rateOf(const AVStream* st)
{
    if (st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0)
        return st->avg_frame_rate;
    if (st->r_frame_rate.num > 0 && st->r_frame_rate.den > 0)
        return st->r_frame_rate;
    return AVRational{30, 1};
}
} // namespace

int VideoReader::frameRateNumerator() const { return rateOf(state_->videoStream()).num; }
int VideoReader::frameRateDenominator() const { return rateOf(state_->videoStream()).den; }
double VideoReader::frameRate() const { return av_q2d(rateOf(state_->videoStream())); }

double VideoReader::durationSeconds() const
{
    const AVStream* st = state_->videoStream();
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
        return static_cast<double>(st->duration) * av_q2d(st->time_base);
    if (state_->format->duration != AV_NOPTS_VALUE && state_->format->duration > 0)
        return static_cast<double>(state_->format->duration) / AV_TIME_BASE;
    return -1;
}

std::int64_t VideoReader::declaredFrames() const { return state_->videoStream()->nb_frames; }

double VideoReader::startSeconds() const
{
    return static_cast<double>(state_->start) * av_q2d(state_->videoStream()->time_base);
}

bool VideoReader::hasAudio() const { return state_->audio; }

void VideoReader::seekTo(double seconds)
{
    State& s = *state_;
    const AVStream* st = s.videoStream();
    const std::int64_t target = s.start + static_cast<std::int64_t>(std::floor(std::max(0.0, seconds) / av_q2d(st->time_base)));
    const int rc = av_seek_frame(s.format, s.stream, target, AVSEEK_FLAG_BACKWARD);
    if (rc < 0)
        throw VideoError("'" + path_ + "': cannot seek to " + std::to_string(seconds) + " s: " + avErrorText(rc));
    avcodec_flush_buffers(s.codec);
    s.draining = s.ended = false;
    s.seeked = true;
    s.lastSeconds = -1;
}

std::string VideoReader::codecName() const { return state_->codec->codec->name; }

void VideoReader::setPlanar(bool planar)
{
    if (planar && state_->options.grey)
        throw std::logic_error("VideoReader: grey and planar pictures exclude each other");
    state_->options.planar = planar;
}

bool VideoReader::read(VideoFrame& out)
{
    State& s = *state_;
    if (s.ended)
        return false;
    for (;;) {
        int rc = avcodec_receive_frame(s.codec, s.frame);
        if (rc == 0)
            break;
        if (rc == AVERROR_EOF) {
            s.ended = true;
            // A container that declares its frames tells a cut-off file by the count.
            const std::int64_t declared = declaredFrames();
            if (declared > 0 && s.decoded < declared && !s.seeked)
                throw VideoError("'" + path_ + "': truncated: " + std::to_string(s.decoded) + " of " +
                                 std::to_string(declared) + " frames could be read");
            if (s.decoded == 0 && !s.seeked)
                throw VideoError("'" + path_ + "': no picture could be decoded");
            return false;
        }
        if (rc != AVERROR(EAGAIN))
            throw VideoError("'" + path_ + "': corrupt video data after frame " + std::to_string(s.decoded) + ": " +
                             avErrorText(rc));
        if (s.draining) {
            rc = avcodec_send_packet(s.codec, nullptr);
            if (rc < 0 && rc != AVERROR_EOF)
                throw VideoError("'" + path_ + "': " + avErrorText(rc));
            continue;
        }
        rc = av_read_frame(s.format, s.packet);
        if (rc == AVERROR_EOF || (rc < 0 && s.format->pb && avio_feof(s.format->pb) && !s.format->pb->error)) {
            s.draining = true;
            avcodec_send_packet(s.codec, nullptr);
            continue;
        }
        if (rc < 0)
            throw VideoError("'" + path_ + "': cannot read after frame " + std::to_string(s.decoded) + ": " +
                             avErrorText(rc));
        if (s.packet->stream_index == s.stream) {
            if (s.packet->flags & AV_PKT_FLAG_CORRUPT) {
                av_packet_unref(s.packet);
                throw VideoError("'" + path_ + "': corrupt packet after frame " + std::to_string(s.decoded));
            }
            rc = avcodec_send_packet(s.codec, s.packet);
            av_packet_unref(s.packet);
            if (rc < 0 && rc != AVERROR(EAGAIN))
                throw VideoError("'" + path_ + "': corrupt video data after frame " + std::to_string(s.decoded) +
                                 ": " + avErrorText(rc));
        } else {
            av_packet_unref(s.packet);
        }
    }
    AVFrame* f = s.frame;
    if ((f->flags & AV_FRAME_FLAG_CORRUPT) || f->decode_error_flags) {
        av_frame_unref(f);
        throw VideoError("'" + path_ + "': frame " + std::to_string(s.decoded) + " is damaged");
    }
    if ((f->width != s.width || f->height != s.height) && !s.options.passOtherSizes) {
        const std::string found = std::to_string(f->width) + "x" + std::to_string(f->height);
        av_frame_unref(f);
        throw VideoError("'" + path_ + "': frame " + std::to_string(s.decoded) + " changes the picture size to " +
                         found);
    }
    const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    double seconds;
    if (pts == AV_NOPTS_VALUE)
        seconds = s.lastSeconds < 0 ? 0 : s.lastSeconds + 1.0 / frameRate();
    else
        seconds = static_cast<double>(pts - s.start) * av_q2d(s.videoStream()->time_base);
    s.lastSeconds = seconds;

    const bool fullRange = f->color_range == AVCOL_RANGE_JPEG || f->format == AV_PIX_FMT_YUVJ420P ||
                           f->format == AV_PIX_FMT_YUVJ422P || f->format == AV_PIX_FMT_YUVJ444P;
    const bool common = f->format == AV_PIX_FMT_YUV420P && !fullRange && f->colorspace != AVCOL_SPC_BT709 &&
                        !(f->width % 2) && !(f->height % 2);
    if (s.options.planar && (f->width % 2 || f->height % 2)) {
        const std::string found = std::to_string(f->width) + "x" + std::to_string(f->height);
        av_frame_unref(f);
        throw VideoError("'" + path_ + "': frame " + std::to_string(s.decoded) + " is " + found +
                         ": 4:2:0 planes need even sides");
    }
    // The three planes of a 4:2:0 picture into one contiguous I420 matrix.
    auto copyPlanes = [&](cv::Mat& i420) {
        i420.create(f->height * 3 / 2, f->width, CV_8UC1);
        cv::Mat(f->height, f->width, CV_8UC1, f->data[0], static_cast<std::size_t>(f->linesize[0]))
            .copyTo(i420.rowRange(0, f->height));
        const int cw = f->width / 2, ch = f->height / 2;
        uchar* chroma = i420.data + static_cast<std::size_t>(f->width) * f->height;
        cv::Mat u(ch, cw, CV_8UC1, chroma), v(ch, cw, CV_8UC1, chroma + cw * ch);
        cv::Mat(ch, cw, CV_8UC1, f->data[1], static_cast<std::size_t>(f->linesize[1])).copyTo(u);
        cv::Mat(ch, cw, CV_8UC1, f->data[2], static_cast<std::size_t>(f->linesize[2])).copyTo(v);
    };
    // Any stream through the scaler's exact path.
    auto convert = [&](cv::Mat& target, bool grey) {
        const AVPixelFormat format = grey ? AV_PIX_FMT_GRAY8 : AV_PIX_FMT_BGR24;
        target.create(f->height, f->width, grey ? CV_8UC1 : CV_8UC3);
        s.sws = sws_getCachedContext(s.sws, f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
                                     f->height, format, SWS_BILINEAR | SWS_ACCURATE_RND, nullptr, nullptr, nullptr);
        if (!s.sws) {
            const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(f->format));
            const std::string what = name ? name : "unknown";
            av_frame_unref(f);
            throw VideoError("'" + path_ + "': cannot convert pixel format " + what);
        }
        // The matrix the stream declares; unspecified is BT.601, as encoders write by default.
        const int space = f->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_DEFAULT;
        sws_setColorspaceDetails(s.sws, sws_getCoefficients(space), fullRange ? 1 : 0,
                                 sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        uint8_t* dst[4] = {target.data, nullptr, nullptr, nullptr};
        int dstStride[4] = {static_cast<int>(target.step[0]), 0, 0, 0};
        sws_scale(s.sws, f->data, f->linesize, 0, f->height, dst, dstStride);
    };
    cv::Mat image;
    if (s.options.planar && common) {
        // The camera's own planes, as they are.
        copyPlanes(image);
    } else if (s.options.planar) {
        // Any other stream through BGR into limited-range BT.601 planes.
        cv::Mat bgr;
        convert(bgr, false);
        cv::cvtColor(bgr, image, cv::COLOR_BGR2YUV_I420);
    } else if (common && s.options.grey) {
        // The common camera stream (BT.601 limited range 4:2:0): OpenCV's converter is
        // exact to rounding and several times faster than the scaler's exact path.
        cv::Mat(f->height, f->width, CV_8UC1, f->data[0], static_cast<std::size_t>(f->linesize[0])).copyTo(image);
        // Limited-range luma to full-range grey, as the scaler does.
        image.convertTo(image, CV_8U, 255.0 / 219.0, -16.0 * 255.0 / 219.0);
    } else if (common) {
        copyPlanes(s.planar);
        cv::cvtColor(s.planar, image, cv::COLOR_YUV2BGR_I420);
    } else {
        convert(image, s.options.grey);
    }
    av_frame_unref(f);
    out.image = image;
    out.seconds = seconds;
    out.index = s.seeked ? static_cast<std::int64_t>(std::llround(seconds * frameRate())) : s.decoded;
    ++s.decoded;
    return true;
}

} // namespace video
