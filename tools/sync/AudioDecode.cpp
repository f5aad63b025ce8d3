#include "sync/AudioDecode.h"

#include "sync/SyncError.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

#include <cmath>
#include <memory>
#include <stdexcept>

namespace orb {
namespace sync {

namespace {

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct FormatCloser {
    void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ResamplerFreer {
    void operator()(SwrContext* s) const { swr_free(&s); }
};

// "video h264, data" for the error of a file without sound.
std::string streamList(const AVFormatContext* format)
{
    std::string list;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVCodecParameters* p = format->streams[i]->codecpar;
        const char* type = av_get_media_type_string(p->codec_type);
        std::string item = type ? type : "unknown";
        if (p->codec_id != AV_CODEC_ID_NONE)
            item += std::string(" ") + avcodec_get_name(p->codec_id);
        list += (list.empty() ? "" : ", ") + item;
    }
    return list.empty() ? "no streams" : list;
}

double seconds(std::int64_t ts, AVRational base) { return static_cast<double>(ts) * av_q2d(base); }

// Converts decoded frames to mono float and lays them on the track's time line.
class TrackBuilder {
public:
    TrackBuilder(const std::string& path, int rate, std::size_t wanted, double startTime)
        : path_(path), rate_(rate), wanted_(wanted), startTime_(startTime)
    {
    }

    bool full() const { return samples_.size() >= wanted_; }

    void add(const AVFrame* frame, AVRational timeBase)
    {
        const double t = frame->best_effort_timestamp != AV_NOPTS_VALUE
                             ? seconds(frame->best_effort_timestamp, timeBase)
                             : (resampler_ ? nextTime_ : startTime_);
        if (!resampler_) {
            open(frame);
            const long long start = std::llround((t - startTime_) * rate_);
            if (start > 0)
                appendSilence(static_cast<std::size_t>(start));
            else
                drop_ = static_cast<std::size_t>(-start);
        } else if (t > nextTime_ + 0.010) {
            // A gap in the stream (lost packets): silence keeps later sound in place.
            appendSilence(static_cast<std::size_t>(std::llround((t - nextTime_) * rate_)));
        }
        nextTime_ = t + static_cast<double>(frame->nb_samples) / frame->sample_rate;
        convert(const_cast<const std::uint8_t**>(frame->extended_data), frame->nb_samples);
    }

    // Drains what the resampler still holds.
    void finish()
    {
        if (resampler_)
            convert(nullptr, 0);
    }

    std::vector<float> take()
    {
        if (samples_.size() > wanted_)
            samples_.resize(wanted_);
        return std::move(samples_);
    }

private:
    void open(const AVFrame* frame)
    {
        AVChannelLayout in;
        if (frame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC || frame->ch_layout.nb_channels == 0)
            av_channel_layout_default(&in, frame->ch_layout.nb_channels > 0 ? frame->ch_layout.nb_channels : 1);
        else if (av_channel_layout_copy(&in, &frame->ch_layout) < 0)
            throw SyncError("AudioDecode decodeAudio() cannot read the channel layout of '" + path_ + "'");
        AVChannelLayout mono = AV_CHANNEL_LAYOUT_MONO;
        SwrContext* raw = nullptr;
        const int err = swr_alloc_set_opts2(&raw, &mono, AV_SAMPLE_FMT_FLT, rate_, &in,
                                            static_cast<AVSampleFormat>(frame->format), frame->sample_rate, 0,
                                            nullptr);
        av_channel_layout_uninit(&in);
        resampler_.reset(raw);
        if (err < 0 || swr_init(raw) < 0)
            throw SyncError("AudioDecode decodeAudio() cannot convert the audio of '" + path_ + "' ("
                            + std::to_string(frame->sample_rate) + " Hz, "
                            + std::to_string(frame->ch_layout.nb_channels) + " channels) to mono");
    }

    void appendSilence(std::size_t count)
    {
        const std::size_t room = wanted_ > samples_.size() ? wanted_ - samples_.size() : 0;
        samples_.resize(samples_.size() + std::min(count, room), 0.0f);
    }

    void convert(const std::uint8_t** in, int count)
    {
        const int capacity = swr_get_out_samples(resampler_.get(), count);
        if (capacity <= 0)
            return;
        buffer_.resize(static_cast<std::size_t>(capacity));
        std::uint8_t* out = reinterpret_cast<std::uint8_t*>(buffer_.data());
        const int made = swr_convert(resampler_.get(), &out, capacity, in, count);
        if (made < 0)
            throw SyncError("AudioDecode decodeAudio() cannot convert the audio of '" + path_ + "': " + avError(made));
        std::size_t first = std::min(drop_, static_cast<std::size_t>(made));
        drop_ -= first;
        for (std::size_t i = first; i < static_cast<std::size_t>(made) && !full(); ++i)
            samples_.push_back(buffer_[i]);
    }

    std::string path_;
    int rate_;
    std::size_t wanted_;
    double startTime_;
    double nextTime_ = 0.0;
    std::size_t drop_ = 0;  // samples before the first video frame still to skip
    std::unique_ptr<SwrContext, ResamplerFreer> resampler_;
    std::vector<float> buffer_;
    std::vector<float> samples_;
};

} // namespace

AudioTrack decodeAudio(const std::string& path, int sampleRate, double secondsWanted)
{
    if (sampleRate <= 0 || !(secondsWanted > 0.0) || !std::isfinite(secondsWanted))
        throw std::invalid_argument("AudioDecode decodeAudio() needs a positive sample rate and duration");
    AVFormatContext* rawFormat = nullptr;
    int err = avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr);
    if (err < 0)
        throw SyncError("AudioDecode decodeAudio() cannot open '" + path + "' as media: " + avError(err));
    std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);
    err = avformat_find_stream_info(format.get(), nullptr);
    if (err < 0)
        throw SyncError("AudioDecode decodeAudio() cannot read the streams of '" + path + "': " + avError(err));
    const int audio = av_find_best_stream(format.get(), AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (audio < 0)
        throw SyncError("AudioDecode decodeAudio() '" + path + "' has no audio stream (it holds "
                        + streamList(format.get()) + ")");
    const int video = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVStream* audioStream = format->streams[audio];

    const AVCodec* codec = avcodec_find_decoder(audioStream->codecpar->codec_id);
    if (!codec)
        throw SyncError("AudioDecode decodeAudio() no decoder for the audio of '" + path + "' ("
                        + avcodec_get_name(audioStream->codecpar->codec_id) + ")");
    std::unique_ptr<AVCodecContext, CodecFreer> decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), audioStream->codecpar) < 0
        || (err = avcodec_open2(decoder.get(), codec, nullptr)) < 0)
        throw SyncError("AudioDecode decodeAudio() cannot open the audio decoder for '" + path + "'");

    // The first video frame is time zero: the pictures are what the offsets shift.
    double startTime = 0.0;
    if (video >= 0 && format->streams[video]->start_time != AV_NOPTS_VALUE)
        startTime = seconds(format->streams[video]->start_time, format->streams[video]->time_base);
    else if (audioStream->start_time != AV_NOPTS_VALUE)
        startTime = seconds(audioStream->start_time, audioStream->time_base);

    TrackBuilder track(path, sampleRate, static_cast<std::size_t>(std::ceil(secondsWanted * sampleRate)), startTime);
    std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
    if (!packet || !frame)
        throw std::bad_alloc();
    auto drain = [&] {
        for (;;) {
            const int r = avcodec_receive_frame(decoder.get(), frame.get());
            if (r == AVERROR(EAGAIN) || r == AVERROR_EOF)
                return;
            if (r < 0)
                throw SyncError("AudioDecode decodeAudio() cannot decode the audio of '" + path + "': " + avError(r));
            track.add(frame.get(), audioStream->time_base);
            av_frame_unref(frame.get());
        }
    };
    while (!track.full()) {
        const int r = av_read_frame(format.get(), packet.get());
        if (r == AVERROR_EOF)
            break;
        if (r < 0)
            throw SyncError("AudioDecode decodeAudio() cannot read '" + path + "': " + avError(r));
        if (packet->stream_index == audio) {
            const int sent = avcodec_send_packet(decoder.get(), packet.get());
            av_packet_unref(packet.get());
            if (sent < 0 && sent != AVERROR(EAGAIN))
                throw SyncError("AudioDecode decodeAudio() cannot decode the audio of '" + path + "': "
                                + avError(sent));
            drain();
        } else {
            av_packet_unref(packet.get());
        }
    }
    if (!track.full()) {
        avcodec_send_packet(decoder.get(), nullptr);
        drain();
    }
    track.finish();

    AudioTrack result;
    result.path = path;
    result.sampleRate = sampleRate;
    result.samples = track.take();
    if (result.samples.empty())
        throw SyncError("AudioDecode decodeAudio() the audio stream of '" + path + "' holds no sound");
    return result;
}

} // namespace sync
} // namespace orb
