#include "sim/CameraVideo.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <vector>

namespace orb {
namespace sim {

namespace {

std::string avText(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

} // namespace

struct CameraVideo::State {
    std::string path, partial;
    Settings settings;
    AVFormatContext* format = nullptr;
    AVCodecContext* video = nullptr;
    AVCodecContext* audio = nullptr;
    AVStream* videoStream = nullptr;
    AVStream* audioStream = nullptr;
    SwsContext* scaler = nullptr;
    AVFrame* picture = nullptr;
    AVFrame* sound = nullptr;
    AVPacket* packet = nullptr;
    std::int64_t frames = 0;
    std::int64_t samplesSent = 0;
    std::vector<float> pending;  // audio not yet a whole encoder frame
    bool opened = false, finished = false;

    ~State()
    {
        sws_freeContext(scaler);
        av_frame_free(&picture);
        av_frame_free(&sound);
        av_packet_free(&packet);
        avcodec_free_context(&video);
        avcodec_free_context(&audio);
        if (format) {
            if (opened)
                avio_closep(&format->pb);
            avformat_free_context(format);
        }
        if (!finished)
            std::remove(partial.c_str());
    }

    [[noreturn]] void fail(const std::string& what, int code) const
    {
        throw std::runtime_error("CameraVideo: " + what + " '" + path + "': " + avText(code));
    }

    // Sends a frame (or the end, null) to an encoder and muxes what comes out.
    void encode(AVCodecContext* codec, AVStream* stream, AVFrame* frame)
    {
        int r = avcodec_send_frame(codec, frame);
        if (r < 0)
            fail("cannot encode", r);
        for (;;) {
            r = avcodec_receive_packet(codec, packet);
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return;
            if (r < 0)
                fail("cannot encode", r);
            av_packet_rescale_ts(packet, codec->time_base, stream->time_base);
            packet->stream_index = stream->index;
            r = av_interleaved_write_frame(format, packet);
            if (r < 0)
                fail("cannot write", r);
        }
    }

    void encodeSound(const float* samples, int count)
    {
        if (av_frame_make_writable(sound) < 0)
            throw std::bad_alloc();
        sound->nb_samples = count;
        float* out = reinterpret_cast<float*>(sound->data[0]);
        for (int i = 0; i < count; ++i)
            out[i] = std::clamp(samples[i], -1.0f, 1.0f);
        sound->pts = samplesSent;
        samplesSent += count;
        encode(audio, audioStream, sound);
    }
};

CameraVideo::CameraVideo(const std::string& path, const Settings& settings) : state_(std::make_unique<State>())
{
    State& s = *state_;
    // The encoders' statistics are noise in a simulator's output; errors still show.
    av_log_set_level(AV_LOG_ERROR);
    s.path = path;
    s.partial = path + ".partial";
    s.settings = settings;
    if (settings.width <= 0 || settings.height <= 0 || settings.width % 2 || settings.height % 2)
        throw std::runtime_error("CameraVideo: '" + path + "' needs an even width and height, got "
                                 + std::to_string(settings.width) + " x " + std::to_string(settings.height));
    if (!(settings.frameRate > 0.0) || settings.frameRate > 1000.0)
        throw std::runtime_error("CameraVideo: '" + path + "' needs a frame rate from 0 to 1000");
    int r = avformat_alloc_output_context2(&s.format, nullptr, "mp4", s.partial.c_str());
    if (r < 0)
        s.fail("cannot make an MP4 file", r);

    const AVCodec* h264 = avcodec_find_encoder_by_name("libx264");
    if (!h264)
        throw std::runtime_error("CameraVideo: no libx264 encoder in this FFmpeg build");
    s.video = avcodec_alloc_context3(h264);
    s.video->width = settings.width;
    s.video->height = settings.height;
    s.video->pix_fmt = AV_PIX_FMT_YUV420P;
    s.video->framerate = av_d2q(settings.frameRate, 100000);
    s.video->time_base = av_inv_q(s.video->framerate);
    s.video->gop_size = std::max(1, static_cast<int>(settings.frameRate));
    av_opt_set(s.video->priv_data, "preset", settings.preset.c_str(), 0);
    av_opt_set(s.video->priv_data, "crf", std::to_string(settings.crf).c_str(), 0);
    if (s.format->oformat->flags & AVFMT_GLOBALHEADER)
        s.video->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if ((r = avcodec_open2(s.video, h264, nullptr)) < 0)
        s.fail("cannot open the H.264 encoder for", r);
    s.videoStream = avformat_new_stream(s.format, nullptr);
    avcodec_parameters_from_context(s.videoStream->codecpar, s.video);
    s.videoStream->time_base = s.video->time_base;
    s.videoStream->avg_frame_rate = s.video->framerate;

    if (settings.audio) {
        const AVCodec* aac = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!aac)
            throw std::runtime_error("CameraVideo: no AAC encoder in this FFmpeg build");
        s.audio = avcodec_alloc_context3(aac);
        s.audio->sample_fmt = AV_SAMPLE_FMT_FLTP;
        s.audio->sample_rate = settings.sampleRate;
        s.audio->bit_rate = 128000;
        av_channel_layout_default(&s.audio->ch_layout, 1);
        s.audio->time_base = AVRational{1, settings.sampleRate};
        if (s.format->oformat->flags & AVFMT_GLOBALHEADER)
            s.audio->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        if ((r = avcodec_open2(s.audio, aac, nullptr)) < 0)
            s.fail("cannot open the AAC encoder for", r);
        s.audioStream = avformat_new_stream(s.format, nullptr);
        avcodec_parameters_from_context(s.audioStream->codecpar, s.audio);
        s.audioStream->time_base = s.audio->time_base;
        s.sound = av_frame_alloc();
        s.sound->format = AV_SAMPLE_FMT_FLTP;
        s.sound->sample_rate = settings.sampleRate;
        av_channel_layout_default(&s.sound->ch_layout, 1);
        s.sound->nb_samples = s.audio->frame_size > 0 ? s.audio->frame_size : 1024;
        if (av_frame_get_buffer(s.sound, 0) < 0)
            throw std::bad_alloc();
    }

    s.picture = av_frame_alloc();
    s.picture->format = AV_PIX_FMT_YUV420P;
    s.picture->width = settings.width;
    s.picture->height = settings.height;
    s.packet = av_packet_alloc();
    if (!s.picture || !s.packet || av_frame_get_buffer(s.picture, 0) < 0)
        throw std::bad_alloc();
    s.scaler = sws_getContext(settings.width, settings.height, AV_PIX_FMT_BGR24, settings.width, settings.height,
                              AV_PIX_FMT_YUV420P, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!s.scaler)
        throw std::runtime_error("CameraVideo: cannot convert pictures to yuv420p for '" + path + "'");

    if ((r = avio_open(&s.format->pb, s.partial.c_str(), AVIO_FLAG_WRITE)) < 0)
        s.fail("cannot create", r);
    s.opened = true;
    if ((r = avformat_write_header(s.format, nullptr)) < 0)
        s.fail("cannot write the header of", r);
}

CameraVideo::~CameraVideo() = default;

void CameraVideo::writeFrame(const cv::Mat& bgr)
{
    State& s = *state_;
    if (bgr.type() != CV_8UC3 || bgr.cols != s.settings.width || bgr.rows != s.settings.height)
        throw std::runtime_error("CameraVideo writeFrame() needs 8-bit BGR pictures of "
                                 + std::to_string(s.settings.width) + " x " + std::to_string(s.settings.height));
    if (av_frame_make_writable(s.picture) < 0)
        throw std::bad_alloc();
    const std::uint8_t* source[1] = {bgr.data};
    const int stride[1] = {static_cast<int>(bgr.step)};
    sws_scale(s.scaler, source, stride, 0, bgr.rows, s.picture->data, s.picture->linesize);
    s.picture->pts = s.frames++;
    s.encode(s.video, s.videoStream, s.picture);
}

void CameraVideo::writeAudio(const float* samples, std::size_t count)
{
    State& s = *state_;
    if (!s.audio)
        throw std::logic_error("CameraVideo writeAudio() on a video without sound");
    s.pending.insert(s.pending.end(), samples, samples + count);
    const std::size_t frame = static_cast<std::size_t>(s.sound->nb_samples);
    std::size_t used = 0;
    for (; used + frame <= s.pending.size(); used += frame)
        s.encodeSound(s.pending.data() + used, static_cast<int>(frame));
    s.pending.erase(s.pending.begin(), s.pending.begin() + static_cast<std::ptrdiff_t>(used));
}

void CameraVideo::finish()
{
    State& s = *state_;
    if (s.audio) {
        if (!s.pending.empty()) {
            // The encoder takes whole frames: the last is padded with silence.
            s.pending.resize(static_cast<std::size_t>(s.sound->nb_samples), 0.0f);
            s.encodeSound(s.pending.data(), s.sound->nb_samples);
            s.pending.clear();
        }
        s.encode(s.audio, s.audioStream, nullptr);
    }
    s.encode(s.video, s.videoStream, nullptr);
    int r = av_write_trailer(s.format);
    if (r < 0)
        s.fail("cannot finish", r);
    r = avio_closep(&s.format->pb);
    s.opened = false;
    if (r < 0)
        s.fail("cannot close", r);
    if (std::rename(s.partial.c_str(), s.path.c_str()) != 0)
        throw std::runtime_error("CameraVideo: cannot rename '" + s.partial + "' to '" + s.path + "'");
    s.finished = true;
}

} // namespace sim
} // namespace orb
