#include "VideoWriter.h"

#include "VideoReader.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
#include <libavutil/spherical.h>
#include <libswscale/swscale.h>
}

#include <cmath>

namespace video {

CodecLimit codecLimit(const std::string& codec)
{
    if (codec == "hevc")
        return {35651584, static_cast<int>(std::sqrt(8.0 * 35651584)), "HEVC level 6.2"};
    // H.264 counts 16 x 16 macroblocks.
    return {139264ll * 256, static_cast<int>(std::sqrt(8.0 * 139264)) * 16, "H.264 level 6.2"};
}

std::string checkOutputSize(const std::string& codec, int width, int height)
{
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    if (width < 16 || height < 16)
        return size + " is smaller than 16x16";
    if (width % 2 || height % 2)
        return size + ": yuv420p needs even sides";
    const CodecLimit limit = codecLimit(codec);
    std::int64_t samples = static_cast<std::int64_t>(width) * height;
    if (codec != "hevc")
        samples = static_cast<std::int64_t>((width + 15) / 16) * ((height + 15) / 16) * 256;
    if (samples > limit.maxSamples || width > limit.maxSide || height > limit.maxSide) {
        return size + " is beyond " + limit.level + " (at most " + std::to_string(limit.maxSamples) +
               " pixels, sides up to " + std::to_string(limit.maxSide) + ")";
    }
    return "";
}

cv::Size defaultOutputSize(const std::string& codec)
{
    return codec == "hevc" ? cv::Size(7680, 3840) : cv::Size(3840, 1920);
}

void addSphericalSideData(AVStream* stream)
{
    size_t size = 0;
    AVSphericalMapping* mapping = av_spherical_alloc(&size);
    if (!mapping)
        throw std::bad_alloc();
    mapping->projection = AV_SPHERICAL_EQUIRECTANGULAR;
    if (av_stream_add_side_data(stream, AV_PKT_DATA_SPHERICAL, reinterpret_cast<uint8_t*>(mapping), size) < 0) {
        av_free(mapping);
        throw std::bad_alloc();
    }
}

struct VideoWriter::State {
    EncoderSettings settings;
    AVFormatContext* format = nullptr;
    AVCodecContext* codec = nullptr;
    AVStream* stream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwsContext* sws = nullptr;
    std::int64_t written = 0;
    bool headerWritten = false;
    bool finished = false;

    ~State()
    {
        if (format && headerWritten && !finished)
            av_write_trailer(format);
        sws_freeContext(sws);
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&codec);
        if (format && !(format->oformat->flags & AVFMT_NOFILE))
            avio_closep(&format->pb);
        avformat_free_context(format);
    }
};

VideoWriter::VideoWriter(const std::string& path, const EncoderSettings& settings, const std::string& formatName)
    : path_(path), state_(new State)
{
    State& s = *state_;
    s.settings = settings;
    av_log_set_level(AV_LOG_FATAL); // the encoder's statistics are not for the user; errors come as exceptions
    const std::string problem = checkOutputSize(settings.codec, settings.width, settings.height);
    if (!problem.empty())
        throw std::invalid_argument("--size " + problem);
    int rc = avformat_alloc_output_context2(&s.format, nullptr, formatName.empty() ? nullptr : formatName.c_str(),
                                            path.c_str());
    if (rc < 0 || !s.format)
        throw VideoError("'" + path + "': no container for this file name: " + avErrorText(rc));
    const char* encoderName = settings.codec == "hevc" ? "libx265" : "libx264";
    const AVCodec* encoder = avcodec_find_encoder_by_name(encoderName);
    if (!encoder)
        throw VideoError(std::string("the ") + encoderName + " encoder is not in this FFmpeg build");
    s.stream = avformat_new_stream(s.format, nullptr);
    s.codec = avcodec_alloc_context3(encoder);
    s.frame = av_frame_alloc();
    s.packet = av_packet_alloc();
    if (!s.stream || !s.codec || !s.frame || !s.packet)
        throw std::bad_alloc();
    AVCodecContext* c = s.codec;
    c->width = settings.width;
    c->height = settings.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{settings.rateDenominator, settings.rateNumerator};
    c->framerate = AVRational{settings.rateNumerator, settings.rateDenominator};
    c->color_range = AVCOL_RANGE_MPEG;
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    c->thread_count = settings.threads;
    if (s.format->oformat->flags & AVFMT_GLOBALHEADER)
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "preset", settings.preset.c_str(), 0);
    if (settings.crf >= 0)
        av_dict_set(&options, "crf", std::to_string(settings.crf).c_str(), 0);
    if (settings.codec == "hevc")
        av_dict_set(&options, "x265-params", "log-level=error", 0);
    rc = avcodec_open2(c, encoder, &options);
    av_dict_free(&options);
    if (rc < 0)
        throw VideoError(std::string("cannot open the ") + encoderName + " encoder (preset '" + settings.preset +
                         "'): " + avErrorText(rc));
    rc = avcodec_parameters_from_context(s.stream->codecpar, c);
    if (rc < 0)
        throw VideoError("'" + path + "': " + avErrorText(rc));
    s.stream->time_base = c->time_base;
    s.stream->avg_frame_rate = c->framerate;
    addSphericalSideData(s.stream);
    if (!(s.format->oformat->flags & AVFMT_NOFILE)) {
        rc = avio_open(&s.format->pb, path.c_str(), AVIO_FLAG_WRITE);
        if (rc < 0)
            throw VideoError("'" + path + "': cannot create: " + avErrorText(rc));
    }
    AVDictionary* muxerOptions = nullptr;
    av_dict_set(&muxerOptions, "strict", "unofficial", 0);
    rc = avformat_write_header(s.format, &muxerOptions);
    av_dict_free(&muxerOptions);
    if (rc < 0)
        throw VideoError("'" + path + "': cannot write the header: " + avErrorText(rc));
    s.headerWritten = true;
    s.frame->format = c->pix_fmt;
    s.frame->width = c->width;
    s.frame->height = c->height;
    if (av_frame_get_buffer(s.frame, 0) < 0)
        throw std::bad_alloc();
}

VideoWriter::~VideoWriter() = default;

namespace {

void drain(const std::string& path, AVFormatContext* format, AVCodecContext* codec, AVStream* stream, AVPacket* packet)
{
    for (;;) {
        int rc = avcodec_receive_packet(codec, packet);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return;
        if (rc < 0)
            throw VideoError("'" + path + "': encoding failed: " + avErrorText(rc));
        av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
        packet->stream_index = stream->index;
        rc = av_interleaved_write_frame(format, packet);
        if (rc < 0)
            throw VideoError("'" + path + "': cannot write: " + avErrorText(rc));
    }
}

} // namespace

void VideoWriter::write(const cv::Mat& picture)
{
    State& s = *state_;
    if (picture.cols != s.settings.width || picture.rows != s.settings.height || picture.depth() != CV_8U ||
        (picture.channels() != 3 && picture.channels() != 4))
        throw std::invalid_argument("VideoWriter::write: expected 8-bit BGR or BGRA of the output size");
    if (av_frame_make_writable(s.frame) < 0)
        throw std::bad_alloc();
    const AVPixelFormat source = picture.channels() == 4 ? AV_PIX_FMT_BGRA : AV_PIX_FMT_BGR24;
    s.sws = sws_getCachedContext(s.sws, picture.cols, picture.rows, source, picture.cols, picture.rows,
                                 AV_PIX_FMT_YUV420P,
                                 s.settings.exactConversion ? SWS_BILINEAR | SWS_ACCURATE_RND : SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!s.sws)
        throw std::bad_alloc();
    sws_setColorspaceDetails(s.sws, sws_getCoefficients(SWS_CS_DEFAULT), 1, sws_getCoefficients(SWS_CS_ITU601), 0,
                             0, 1 << 16, 1 << 16);
    const uint8_t* src[4] = {picture.data, nullptr, nullptr, nullptr};
    const int srcStride[4] = {static_cast<int>(picture.step[0]), 0, 0, 0};
    sws_scale(s.sws, src, srcStride, 0, picture.rows, s.frame->data, s.frame->linesize);
    send();
}

void VideoWriter::writeI420(const cv::Mat& planes)
{
    State& s = *state_;
    const int w = s.settings.width, h = s.settings.height;
    if (planes.type() != CV_8UC1 || !planes.isContinuous() || planes.cols != w || planes.rows != h * 3 / 2 ||
        w % 2 != 0 || h % 2 != 0)
        throw std::invalid_argument("VideoWriter::writeI420: expected continuous 8-bit I420 planes of the output size");
    if (av_frame_make_writable(s.frame) < 0)
        throw std::bad_alloc();
    const uint8_t* y = planes.data;
    const uint8_t* u = y + static_cast<std::size_t>(w) * h;
    const uint8_t* v = u + static_cast<std::size_t>(w / 2) * (h / 2);
    av_image_copy_plane(s.frame->data[0], s.frame->linesize[0], y, w, w, h);
    av_image_copy_plane(s.frame->data[1], s.frame->linesize[1], u, w / 2, w / 2, h / 2);
    av_image_copy_plane(s.frame->data[2], s.frame->linesize[2], v, w / 2, w / 2, h / 2);
    send();
}

void VideoWriter::send()
{
    State& s = *state_;
    s.frame->pts = s.written++;
    int rc = avcodec_send_frame(s.codec, s.frame);
    if (rc < 0)
        throw VideoError("'" + path_ + "': encoding failed: " + avErrorText(rc));
    drain(path_, s.format, s.codec, s.stream, s.packet);
}

void VideoWriter::finish()
{
    State& s = *state_;
    if (s.finished)
        return;
    int rc = avcodec_send_frame(s.codec, nullptr);
    if (rc < 0 && rc != AVERROR_EOF)
        throw VideoError("'" + path_ + "': encoding failed: " + avErrorText(rc));
    drain(path_, s.format, s.codec, s.stream, s.packet);
    s.finished = true;
    rc = av_write_trailer(s.format);
    if (rc < 0)
        throw VideoError("'" + path_ + "': cannot finish: " + avErrorText(rc));
    if (s.format->pb) {
        avio_flush(s.format->pb);
        if (s.format->pb->error < 0)
            throw VideoError("'" + path_ + "': cannot write: " + avErrorText(s.format->pb->error));
    }
}

std::int64_t VideoWriter::framesWritten() const { return state_->written; }

} // namespace video
