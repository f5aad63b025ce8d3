#pragma once

// Test sounds for the audio sync: what a room and a rig's cameras hear.

#include <opencv2/core.hpp>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

namespace synctest {

// Clicks and short noise bursts at random moments over `seconds`, as one continuous
// sound (the same seed gives the same sound).
inline std::vector<float> eventSound(int rate, double seconds, std::uint64_t seed)
{
    std::vector<float> s(static_cast<std::size_t>(rate * seconds), 0.0f);
    cv::RNG rng(seed);
    for (double t = rng.uniform(0.05, 0.3); t < seconds; t += rng.uniform(0.15, 0.6)) {
        const std::size_t at = static_cast<std::size_t>(t * rate);
        const bool burst = rng.uniform(0, 2) == 1;
        const std::size_t length = static_cast<std::size_t>((burst ? 0.05 : 0.004) * rate);
        for (std::size_t k = 0; k < length && at + k < s.size(); ++k) {
            const double decay = std::exp(-6.0 * static_cast<double>(k) / static_cast<double>(length));
            s[at + k] += static_cast<float>(0.5 * decay * rng.gaussian(1.0));
        }
    }
    return s;
}

// A camera's recording of `sound`: delayed by `delay` samples (the first samples
// silent), `length` long, with its own microphone hiss.
inline std::vector<float> recording(const std::vector<float>& sound, long delay, std::size_t length, double hiss,
                                    std::uint64_t seed)
{
    std::vector<float> r(length, 0.0f);
    cv::RNG rng(seed);
    for (std::size_t i = 0; i < length; ++i) {
        const long source = static_cast<long>(i) - delay;
        const float v = source >= 0 && source < static_cast<long>(sound.size()) ? sound[static_cast<std::size_t>(source)] : 0.0f;
        r[i] = v + static_cast<float>(rng.gaussian(hiss));
    }
    return r;
}

// 16-bit PCM mono WAV file.
inline void writeWav(const std::string& path, const std::vector<float>& samples, int rate)
{
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    const std::uint32_t bytes = static_cast<std::uint32_t>(samples.size() * 2);
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);
    u16(1);
    u32(static_cast<std::uint32_t>(rate));
    u32(static_cast<std::uint32_t>(rate * 2));
    u16(2);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    for (float f : samples) {
        const double v = std::max(-1.0, std::min(1.0, static_cast<double>(f)));
        u16(static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32000.0))));
    }
}

} // namespace synctest
