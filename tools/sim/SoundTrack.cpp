#include "sim/SoundTrack.h"

#include <opencv2/core.hpp>

#include <cmath>
#include <stdexcept>

namespace orb {
namespace sim {

SoundTrack::SoundTrack(std::uint64_t seed, double firstSecond, double lastSecond, int sampleRate) : rate_(sampleRate)
{
    if (sampleRate <= 0 || !std::isfinite(firstSecond) || !std::isfinite(lastSecond) || lastSecond < firstSecond)
        throw std::runtime_error("SoundTrack SoundTrack() needs a positive sample rate and a time span");
    cv::RNG rng(seed * 0x9e3779b97f4a7c15ULL + 0x632be59bd9b4e019ULL);
    for (double t = firstSecond + rng.uniform(0.0, 0.3); t < lastSecond; t += rng.uniform(0.15, 0.6)) {
        // Clicks of 2-6 ms and bursts of 40-200 ms, like claps, knocks and voices.
        const bool burst = rng.uniform(0.0, 1.0) < 0.4;
        const double seconds = burst ? rng.uniform(0.04, 0.2) : rng.uniform(0.002, 0.006);
        Event e;
        e.time = t;
        e.length = std::max(1, static_cast<int>(seconds * sampleRate));
        e.amplitude = rng.uniform(0.1, 0.45);
        e.decay = 4.0 / e.length;
        e.seed = rng.next() | 1u;
        events_.push_back(e);
    }
}

std::vector<float> SoundTrack::recording(double delaySeconds, std::size_t count, double hiss,
                                         std::uint64_t hissSeed) const
{
    std::vector<float> out(count, 0.0f);
    for (const Event& e : events_) {
        const long long start = std::llround((e.time + delaySeconds) * rate_);
        if (start >= static_cast<long long>(count) || start + e.length <= 0)
            continue;
        cv::RNG rng(e.seed);
        for (int k = 0; k < e.length; ++k) {
            const double v = e.amplitude * std::exp(-e.decay * k) * rng.gaussian(1.0);
            const long long at = start + k;
            if (at >= 0 && at < static_cast<long long>(count))
                out[static_cast<std::size_t>(at)] += static_cast<float>(v);
        }
    }
    if (hiss > 0.0) {
        cv::RNG rng(hissSeed * 0xbf58476d1ce4e5b9ULL + 1);
        for (float& v : out)
            v += static_cast<float>(rng.gaussian(hiss));
    }
    return out;
}

} // namespace sim
} // namespace orb
