#include "Segments.h"

#include "VideoReader.h"
#include "VideoWriter.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace video {

namespace fs = std::filesystem;

std::size_t SegmentPlan::count() const
{
    if (frameCount <= 0 || framesPerSegment <= 0)
        return 0;
    return static_cast<std::size_t>((frameCount + framesPerSegment - 1) / framesPerSegment);
}

std::int64_t SegmentPlan::begin(std::size_t i) const
{
    return firstFrame + static_cast<std::int64_t>(i) * framesPerSegment;
}

std::int64_t SegmentPlan::end(std::size_t i) const
{
    return std::min(begin(i) + framesPerSegment, firstFrame + frameCount);
}

std::pair<std::size_t, std::size_t> shareOfSegments(std::size_t segments, unsigned k, unsigned n)
{
    return {segments * (k - 1) / n, segments * k / n};
}

SegmentStore::SegmentStore(std::string outputPath) : directory_(std::move(outputPath) + ".segments") {}

std::string SegmentStore::segmentPath(std::size_t i) const
{
    char name[64];
    std::snprintf(name, sizeof name, "segment-%06zu.mp4", i + 1);
    return (fs::path(directory_) / name).string();
}

std::string SegmentStore::temporaryPath(std::size_t i, long pid) const
{
    char name[80];
    std::snprintf(name, sizeof name, ".segment-%06zu.partial-%ld.mp4", i + 1, pid);
    return (fs::path(directory_) / name).string();
}

bool SegmentStore::finished(std::size_t i) const
{
    std::error_code ec;
    return fs::is_regular_file(segmentPath(i), ec);
}

std::vector<std::size_t> SegmentStore::missing(std::size_t count) const
{
    std::vector<std::size_t> result;
    for (std::size_t i = 0; i < count; ++i) {
        if (!finished(i))
            result.push_back(i);
    }
    return result;
}

void SegmentStore::claim(const std::string& settings) const
{
    std::error_code ec;
    fs::create_directories(directory_, ec);
    if (!fs::is_directory(directory_, ec))
        throw std::runtime_error("cannot create the segment folder '" + directory_ + "'");
    const fs::path file = fs::path(directory_) / "settings.txt";
    // Several shards may start at once: the first to link its copy in wins, the others
    // compare against it.
    const std::string temporary = (fs::path(directory_) / (".settings.partial-" + std::to_string(::getpid()))).string();
    {
        std::ofstream out(temporary);
        out << settings;
        if (!out)
            throw std::runtime_error("cannot write '" + temporary + "'");
    }
    const int rc = ::link(temporary.c_str(), file.c_str());
    const int linkErrno = errno;
    fs::remove(temporary, ec);
    if (rc != 0 && linkErrno != EEXIST)
        throw std::runtime_error("cannot write '" + file.string() + "': " + std::strerror(linkErrno));
    if (rc == 0)
        return;
    std::ifstream in(file);
    std::stringstream existing;
    existing << in.rdbuf();
    if (existing.str() == settings)
        return;
    std::istringstream a(existing.str()), b(settings);
    std::string lineA, lineB;
    while (std::getline(b, lineB)) {
        if (!std::getline(a, lineA) || lineA != lineB)
            break;
    }
    throw std::runtime_error("the segments in '" + directory_ + "' were made with other settings (they have '" +
                             lineA + "', this run '" + lineB +
                             "'): run with the same options, or remove the folder to start over");
}

void SegmentStore::commit(const std::string& temporary, std::size_t i) const
{
    const int fd = ::open(temporary.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) {
        const std::string reason = std::strerror(errno);
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot flush '" + temporary + "': " + reason);
    }
    ::close(fd);
    std::error_code ec;
    fs::rename(temporary, segmentPath(i), ec);
    if (ec)
        throw std::runtime_error("cannot rename '" + temporary + "' to '" + segmentPath(i) + "': " + ec.message());
}

void SegmentStore::removeStaleTemporaries(std::size_t begin, std::size_t end) const
{
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(directory_, ec)) {
        const std::string name = entry.path().filename().string();
        std::size_t segment = 0;
        long pid = 0;
        if (std::sscanf(name.c_str(), ".segment-%zu.partial-%ld.mp4", &segment, &pid) != 2 || segment == 0)
            continue;
        if (segment - 1 < begin || segment - 1 >= end)
            continue;
        if (pid == ::getpid() || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH))
            fs::remove(entry.path(), ec);
    }
}

namespace {

struct Input {
    AVFormatContext* format = nullptr;
    ~Input() { avformat_close_input(&format); }
    void open(const std::string& path)
    {
        int rc = avformat_open_input(&format, path.c_str(), nullptr, nullptr);
        if (rc < 0)
            throw std::runtime_error("'" + path + "': cannot open: " + avErrorText(rc));
        rc = avformat_find_stream_info(format, nullptr);
        if (rc < 0)
            throw std::runtime_error("'" + path + "': cannot read the streams: " + avErrorText(rc));
    }
};

struct Output {
    AVFormatContext* format = nullptr;
    std::string path;
    bool opened = false;
    ~Output()
    {
        if (format && opened)
            avio_closep(&format->pb);
        avformat_free_context(format);
        if (!path.empty()) {
            std::error_code ec;
            fs::remove(path, ec); // still set: the join did not finish
        }
    }
};

struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;
Packet newPacket()
{
    Packet p(av_packet_alloc());
    if (!p)
        throw std::bad_alloc();
    return p;
}

// The video packets of the segments in order, retimed to the whole video.
class SegmentPackets {
public:
    SegmentPackets(const SegmentStore& store, const SegmentPlan& plan, AVRational frameTime)
        : store_(store), plan_(plan), frameTime_(frameTime) {}

    // The next packet in the output stream's time base; false after the last segment.
    bool next(AVPacket* out, AVRational outBase)
    {
        for (;;) {
            if (!input_) {
                if (segment_ >= plan_.count())
                    return false;
                open(segment_);
            }
            int rc = av_read_frame(input_->format, out);
            if (rc == AVERROR_EOF) {
                input_.reset();
                ++segment_;
                continue;
            }
            if (rc < 0)
                throw std::runtime_error("'" + store_.segmentPath(segment_) + "': " + avErrorText(rc));
            if (out->stream_index != stream_) {
                av_packet_unref(out);
                continue;
            }
            const AVRational base = input_->format->streams[stream_]->time_base;
            if (firstPts_ == AV_NOPTS_VALUE)
                firstPts_ = out->pts;
            // The segment's first packet (its key frame) is its earliest picture.
            const std::int64_t shift = av_rescale_q(plan_.begin(segment_) - plan_.firstFrame, frameTime_, outBase);
            out->pts = av_rescale_q(out->pts - firstPts_, base, outBase) + shift;
            out->dts = av_rescale_q(out->dts - firstPts_, base, outBase) + shift;
            out->duration = av_rescale_q(out->duration, base, outBase);
            ++packets_;
            return true;
        }
    }

    const AVCodecParameters* parameters()
    {
        if (!input_)
            open(0);
        return input_->format->streams[stream_]->codecpar;
    }

private:
    void open(std::size_t i)
    {
        input_ = std::make_unique<Input>();
        input_->open(store_.segmentPath(i));
        stream_ = av_find_best_stream(input_->format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (stream_ < 0)
            throw std::runtime_error("'" + store_.segmentPath(i) + "': no video stream");
        const AVCodecParameters* p = input_->format->streams[stream_]->codecpar;
        if (i == 0) {
            extradata_.assign(p->extradata, p->extradata + p->extradata_size);
            width_ = p->width;
            height_ = p->height;
            codec_ = p->codec_id;
        } else if (p->width != width_ || p->height != height_ || p->codec_id != codec_ ||
                   std::vector<uint8_t>(p->extradata, p->extradata + p->extradata_size) != extradata_) {
            throw std::runtime_error("'" + store_.segmentPath(i) +
                                     "' was encoded with other parameters than the first segment");
        }
        firstPts_ = AV_NOPTS_VALUE;
    }

    const SegmentStore& store_;
    const SegmentPlan& plan_;
    AVRational frameTime_;
    std::unique_ptr<Input> input_;
    std::size_t segment_ = 0;
    int stream_ = -1;
    std::int64_t firstPts_ = AV_NOPTS_VALUE;
    std::vector<uint8_t> extradata_;
    int width_ = 0, height_ = 0;
    AVCodecID codec_ = AV_CODEC_ID_NONE;
    std::int64_t packets_ = 0;
};

} // namespace

JoinResult joinSegments(const SegmentStore& store, const SegmentPlan& plan, const std::string& outputPath,
                        int rateNumerator, int rateDenominator, const AudioSource& audio)
{
    const std::vector<std::size_t> missing = store.missing(plan.count());
    if (!missing.empty()) {
        std::string list;
        for (std::size_t i = 0; i < missing.size() && i < 20; ++i)
            list += (i ? ", " : "") + std::to_string(missing[i] + 1);
        if (missing.size() > 20)
            list += ", ...";
        throw std::runtime_error(std::to_string(missing.size()) + " of " + std::to_string(plan.count()) +
                                 " segments are not finished in '" + store.directory() + "': " + list);
    }
    JoinResult result;
    const AVRational frameTime{rateDenominator, rateNumerator};
    SegmentPackets video(store, plan, frameTime);

    const fs::path final(outputPath);
    const std::string temporary =
        (final.parent_path() / ("." + final.filename().string() + ".partial-" + std::to_string(::getpid()))).string();
    const AVOutputFormat* format = av_guess_format(nullptr, outputPath.c_str(), nullptr);
    if (!format)
        throw std::runtime_error("'" + outputPath + "': no container for this file name");
    Output out;
    int rc = avformat_alloc_output_context2(&out.format, format, nullptr, temporary.c_str());
    if (rc < 0)
        throw std::runtime_error("'" + outputPath + "': " + avErrorText(rc));
    AVStream* videoOut = avformat_new_stream(out.format, nullptr);
    if (!videoOut)
        throw std::bad_alloc();
    avcodec_parameters_copy(videoOut->codecpar, video.parameters());
    videoOut->codecpar->codec_tag = 0;
    videoOut->time_base = frameTime;
    videoOut->avg_frame_rate = AVRational{rateNumerator, rateDenominator};
    addSphericalSideData(videoOut);

    // The audio track of the chosen camera, copied as it is.
    Input audioIn;
    int audioStream = -1;
    AVStream* audioOut = nullptr;
    if (!audio.path.empty()) {
        audioIn.open(audio.path);
        audioStream = av_find_best_stream(audioIn.format, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
        if (audioStream < 0) {
            result.audioNote = "'" + audio.path + "' has no audio";
        } else {
            const AVCodecParameters* p = audioIn.format->streams[audioStream]->codecpar;
            if (avformat_query_codec(format, p->codec_id, FF_COMPLIANCE_NORMAL) != 1) {
                result.audioNote = std::string("the ") + format->name + " container cannot hold the " +
                                   avcodec_get_name(p->codec_id) + " audio of '" + audio.path +
                                   "' without re-encoding; the video has no audio";
                audioStream = -1;
            } else {
                audioOut = avformat_new_stream(out.format, nullptr);
                if (!audioOut)
                    throw std::bad_alloc();
                avcodec_parameters_copy(audioOut->codecpar, p);
                audioOut->codecpar->codec_tag = 0;
                audioOut->time_base = audioIn.format->streams[audioStream]->time_base;
            }
        }
    }

    rc = avio_open(&out.format->pb, temporary.c_str(), AVIO_FLAG_WRITE);
    if (rc < 0)
        throw std::runtime_error("'" + temporary + "': cannot create: " + avErrorText(rc));
    out.opened = true;
    out.path = temporary;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "strict", "unofficial", 0);
    rc = avformat_write_header(out.format, &options);
    av_dict_free(&options);
    if (rc < 0)
        throw std::runtime_error("'" + outputPath + "': cannot write the header: " + avErrorText(rc));

    const double videoSeconds = static_cast<double>(plan.frameCount) * av_q2d(frameTime);
    const AVRational videoBase = videoOut->time_base;
    Packet v = newPacket();
    Packet a = newPacket();
    bool haveVideo = video.next(v.get(), videoBase);
    bool haveAudio = false;
    AVRational audioInBase{1, 1};
    auto nextAudio = [&]() {
        if (!audioOut)
            return false;
        for (;;) {
            const int r = av_read_frame(audioIn.format, a.get());
            if (r == AVERROR_EOF)
                return false;
            if (r < 0)
                throw std::runtime_error("'" + audio.path + "': cannot read the audio: " + avErrorText(r));
            if (a->stream_index != audioStream || a->pts == AV_NOPTS_VALUE) {
                av_packet_unref(a.get());
                continue;
            }
            const double at = static_cast<double>(a->pts) * av_q2d(audioInBase) - audio.fromSeconds;
            // Packets that begin before the video's start, or after its end, are left out.
            if (at < -1e-4) {
                av_packet_unref(a.get());
                continue;
            }
            if (at >= videoSeconds - 1e-4) {
                av_packet_unref(a.get());
                return false;
            }
            const std::int64_t shift = av_rescale_q(static_cast<std::int64_t>(std::llround(audio.fromSeconds * 1e6)),
                                                    AVRational{1, 1000000}, audioInBase);
            a->pts -= shift;
            if (a->dts != AV_NOPTS_VALUE)
                a->dts -= shift;
            av_packet_rescale_ts(a.get(), audioInBase, audioOut->time_base);
            a->stream_index = audioOut->index;
            return true;
        }
    };
    if (audioOut) {
        audioInBase = audioIn.format->streams[audioStream]->time_base;
        const std::int64_t target = static_cast<std::int64_t>(std::max(0.0, audio.fromSeconds - 1.0) /
                                                              av_q2d(audioInBase));
        av_seek_frame(audioIn.format, audioStream, target, AVSEEK_FLAG_BACKWARD);
        haveAudio = nextAudio();
    }
    // Interleaved by time, so the muxer holds at most a packet of each.
    while (haveVideo || haveAudio) {
        const bool videoFirst =
            haveVideo && (!haveAudio || av_compare_ts(v->dts, videoBase, a->dts, audioOut->time_base) <= 0);
        if (videoFirst) {
            v->stream_index = videoOut->index;
            rc = av_write_frame(out.format, v.get());
            ++result.videoPackets;
            av_packet_unref(v.get());
            haveVideo = rc >= 0 && video.next(v.get(), videoBase);
        } else {
            rc = av_write_frame(out.format, a.get());
            ++result.audioPackets;
            av_packet_unref(a.get());
            haveAudio = rc >= 0 && nextAudio();
        }
        if (rc < 0)
            throw std::runtime_error("'" + temporary + "': cannot write: " + avErrorText(rc));
    }
    rc = av_write_trailer(out.format);
    if (rc < 0)
        throw std::runtime_error("'" + temporary + "': cannot finish: " + avErrorText(rc));
    avio_closep(&out.format->pb);
    out.opened = false;
    const int fd = ::open(temporary.c_str(), O_RDONLY);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
    std::error_code ec;
    fs::rename(temporary, outputPath, ec);
    if (ec)
        throw std::runtime_error("cannot rename '" + temporary + "' to '" + outputPath + "': " + ec.message());
    out.path.clear();
    return result;
}

} // namespace video
