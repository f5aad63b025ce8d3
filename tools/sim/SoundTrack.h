#pragma once

#include <cstdint>
#include <vector>

namespace orb {
namespace sim {

// The sound of a simulated take: clicks and short noise bursts at random moments
// of the scene's clock (0.15 to 0.6 s apart, never periodic), which every camera's
// microphone hears alike, each with its own faint hiss.
class SoundTrack {
public:
    // Events between firstSecond and lastSecond of the scene's clock; the same seed
    // gives the same sound.
    SoundTrack(std::uint64_t seed, double firstSecond, double lastSecond, int sampleRate);

    // A camera's recording, `count` samples from the start of its file, where the
    // file's time t hears the scene at t - delaySeconds (a camera started earlier
    // hears everything later in its file). Each event lands on the nearest sample.
    // Hiss is Gaussian with the given RMS, drawn from hissSeed.
    std::vector<float> recording(double delaySeconds, std::size_t count, double hiss, std::uint64_t hissSeed) const;

    int sampleRate() const { return rate_; }
    std::size_t eventCount() const { return events_.size(); }

private:
    struct Event {
        double time;       // seconds on the scene's clock
        int length;        // samples
        double amplitude;
        double decay;      // per sample
        std::uint64_t seed;
    };
    std::vector<Event> events_;
    int rate_;
};

} // namespace sim
} // namespace orb
