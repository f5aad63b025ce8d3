#include "sync/AudioSync.h"

#include "sync/SyncError.h"

#include <opencv2/core.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace orb {
namespace sync {

namespace {

cv::Mat spectrum(const std::vector<float>& samples, int size)
{
    cv::Mat padded = cv::Mat::zeros(1, size, CV_64F);
    double* p = padded.ptr<double>(0);
    for (std::size_t i = 0; i < samples.size(); ++i)
        p[i] = samples[i];
    cv::Mat out;
    cv::dft(padded, out, cv::DFT_COMPLEX_OUTPUT);
    return out;
}

std::string number(const char* format, double v)
{
    char text[64];
    std::snprintf(text, sizeof text, format, v);
    return text;
}

} // namespace

AudioMatch matchAudio(const std::vector<float>& reference, const std::vector<float>& track, int sampleRate,
                      const AudioSyncSettings& settings)
{
    if (reference.empty() || track.empty() || sampleRate <= 0)
        throw std::invalid_argument("AudioSync matchAudio() needs two non-empty tracks and a sample rate");
    // Padding to the sum of the lengths keeps the circular correlation from wrapping.
    const int size = cv::getOptimalDFTSize(static_cast<int>(reference.size() + track.size()));
    const cv::Mat a = spectrum(reference, size);
    const cv::Mat b = spectrum(track, size);
    cv::Mat cross;
    cv::mulSpectrums(b, a, cross, 0, true);  // b times conj(a): peaks at b's delay

    // Phase transform: unit magnitude wherever there is signal at all.
    double largest = 0.0;
    for (int i = 0; i < size; ++i) {
        const cv::Vec2d& v = cross.at<cv::Vec2d>(0, i);
        largest = std::max(largest, std::hypot(v[0], v[1]));
    }
    if (largest == 0.0) {
        AudioMatch silent;
        return silent;
    }
    const double floor = largest * 1e-9;
    for (int i = 0; i < size; ++i) {
        cv::Vec2d& v = cross.at<cv::Vec2d>(0, i);
        v /= std::hypot(v[0], v[1]) + floor;
    }
    cv::Mat correlation;
    cv::idft(cross, correlation, cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    const double* r = correlation.ptr<double>(0);
    auto at = [&](long lag) { return r[lag >= 0 ? lag : lag + size]; };

    const long maxLag = std::min<long>(std::lround(settings.maxOffsetSeconds * sampleRate), size / 2 - 1);
    long best = 0;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        if (at(lag) > at(best))
            best = lag;
    }
    const long width = std::max<long>(1, std::lround(settings.peakWidthSeconds * sampleRate));
    double squares = 0.0, next = -1e300;
    long nextLag = best, counted = 0;
    for (long lag = -maxLag; lag <= maxLag; ++lag) {
        if (std::labs(lag - best) <= width)
            continue;
        squares += at(lag) * at(lag);
        ++counted;
        if (at(lag) > next) {
            next = at(lag);
            nextLag = lag;
        }
    }
    // A parabola through the peak and its neighbours places it between samples.
    double fraction = 0.0;
    if (best > -maxLag && best < maxLag) {
        const double l = at(best - 1), c = at(best), h = at(best + 1);
        const double curvature = l - 2.0 * c + h;
        if (curvature < 0.0)
            fraction = std::clamp(0.5 * (l - h) / curvature, -0.5, 0.5);
    }
    AudioMatch match;
    match.seconds = (static_cast<double>(best) + fraction) / sampleRate;
    const double rms = counted > 0 ? std::sqrt(squares / static_cast<double>(counted)) : 0.0;
    match.peakToNoise = rms > 0.0 ? at(best) / rms : 0.0;
    match.confidence = next > 0.0 ? at(best) / next : (at(best) > 0.0 ? 1e9 : 0.0);
    match.nextSeconds = static_cast<double>(nextLag) / sampleRate;
    return match;
}

CameraOffsets audioOffsets(const std::vector<AudioTrack>& tracks, double frameRate, const AudioSyncSettings& settings)
{
    if (tracks.empty())
        throw std::invalid_argument("AudioSync audioOffsets() needs at least one track");
    if (!(frameRate > 0.0))
        throw std::invalid_argument("AudioSync audioOffsets() needs a positive frame rate");
    CameraOffsets offsets;
    offsets.frameRate = frameRate;
    offsets.frames.push_back(0.0);
    offsets.confidence.push_back(0.0);
    const AudioTrack& reference = tracks[0];
    for (std::size_t c = 1; c < tracks.size(); ++c) {
        const AudioTrack& track = tracks[c];
        if (track.sampleRate != reference.sampleRate)
            throw std::invalid_argument("AudioSync audioOffsets() tracks at different sample rates");
        const AudioMatch m = matchAudio(reference.samples, track.samples, reference.sampleRate, settings);
        const int camera = static_cast<int>(c) + 1;
        const std::string who = "camera " + std::to_string(camera) + " ('" + track.path + "')";
        if (m.peakToNoise < settings.minPeakToNoise || m.confidence < settings.chanceConfidence)
            throw SyncError("audio sync: " + who + " shares no clear sound with camera 1 ('" + reference.path
                                + "'): its best match (" + number("%+.3f", m.seconds) + " s) stands "
                                + number("%.1f", m.peakToNoise) + " times above the noise (needs "
                                + number("%.0f", settings.minPeakToNoise) + ") and "
                                + number("%.2f", m.confidence) + " times above the next (needs "
                                + number("%.1f", settings.minConfidence) + "); give --offsets or use --sync picture",
                            camera);
        if (m.confidence < settings.minConfidence)
            throw SyncError("audio sync: " + who + " is ambiguous: the match at " + number("%+.3f", m.seconds)
                                + " s is only " + number("%.2f", m.confidence) + " times the one at "
                                + number("%+.3f", m.nextSeconds) + " s (needs "
                                + number("%.1f", settings.minConfidence)
                                + "); a repeating sound? give --offsets or use --sync picture",
                            camera);
        offsets.frames.push_back(m.seconds * frameRate);
        offsets.confidence.push_back(m.confidence);
    }
    return offsets;
}

CameraOffsets audioOffsetsOfFiles(const std::vector<std::string>& paths, double frameRate,
                                  const AudioSyncSettings& settings)
{
    std::vector<AudioTrack> tracks;
    for (const std::string& path : paths)
        tracks.push_back(decodeAudio(path, settings.sampleRate, settings.seconds));
    return audioOffsets(tracks, frameRate, settings);
}

} // namespace sync
} // namespace orb
