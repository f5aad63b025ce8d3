#include "TakeTimeline.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace video {

namespace {
// Times from containers are rounded to their time base (often 1/1000 s or finer).
constexpr double kTimeSlack = 1e-4;
} // namespace

TakeTimeline::TakeTimeline(const std::vector<double>& durations, const std::vector<double>& offsets, double rate)
    : offsets_(offsets), rate_(rate)
{
    if (durations.size() != offsets.size() || durations.empty())
        throw std::invalid_argument("TakeTimeline: one duration and one offset per camera");
    if (!(rate > 0))
        throw std::invalid_argument("TakeTimeline: the frame rate must be positive");
    start_ = -std::numeric_limits<double>::infinity();
    end_ = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < durations.size(); ++k) {
        start_ = std::max(start_, -offsets[k]);
        end_ = std::min(end_, durations[k] - offsets[k]);
    }
    frames_ = end_ > start_ ? static_cast<std::int64_t>(std::floor((end_ - start_) * rate + kTimeSlack)) : 0;
}

double TakeTimeline::cameraSeconds(int camera, std::int64_t frame) const
{
    return start_ + static_cast<double>(frame) / rate_ + offsets_.at(static_cast<std::size_t>(camera));
}

FramePicker::FramePicker(VideoReader& reader) : reader_(reader) {}

bool FramePicker::advance()
{
    if (!haveNext_) {
        if (ended_)
            return false;
        if (!reader_.read(next_)) {
            ended_ = true;
            return false;
        }
        haveNext_ = true;
    }
    if (haveCurrent_ && current_.seconds != lastServed_)
        ++passed_;
    current_ = next_;
    haveCurrent_ = true;
    haveNext_ = false;
    return true;
}

const VideoFrame& FramePicker::at(double seconds)
{
    if (!haveCurrent_ && !advance())
        throw VideoError("'" + reader_.path() + "': no picture could be decoded");
    passed_ = 0;
    for (;;) {
        if (!haveNext_ && !ended_) {
            if (reader_.read(next_))
                haveNext_ = true;
            else
                ended_ = true;
        }
        // The next frame is nearer (ties stay with the earlier one).
        if (haveNext_ && next_.seconds - seconds < seconds - current_.seconds - kTimeSlack)
            advance();
        else
            break;
    }
    lastEvent_ = 0;
    if (!fresh_) {
        if (current_.seconds == lastServed_) {
            ++reused_;
            lastEvent_ = -1;
        } else if (passed_ > 0) {
            skipped_ += passed_;
            lastEvent_ = static_cast<int>(passed_);
        }
    }
    fresh_ = false;
    lastServed_ = current_.seconds;
    return current_;
}

void FramePicker::jumpTo(double seconds)
{
    fresh_ = true;
    // Within a few seconds ahead decoding forward is cheaper than a seek.
    if (haveCurrent_ && seconds >= current_.seconds && seconds < current_.seconds + 2.0)
        return;
    reader_.seekTo(seconds);
    haveCurrent_ = haveNext_ = ended_ = false;
}

} // namespace video
