#pragma once

#include "sync/AudioDecode.h"
#include "sync/CameraOffsets.h"

#include <vector>

namespace orb {
namespace sync {

struct AudioSyncSettings {
    // Rate the tracks are compared at; 8 kHz places a click within 0.125 ms.
    int sampleRate = 8000;
    // How much of each track is compared, from its start.
    double seconds = 60.0;
    // Largest offset looked for, either way.
    double maxOffsetSeconds = 10.0;
    // The best match must stand at least minConfidence times above the best match
    // elsewhere (more than peakWidthSeconds away) and minPeakToNoise times above the
    // correlation's RMS over the lags searched. Measured on clicks and bursts: a
    // common sound gives 5 to 50 and 25 to 300, unrelated sounds at most 1.3 and 16,
    // a metronome (every beat matches) about 2 and 60. Below chanceConfidence the best
    // match is no better than chance and is reported as weak, not ambiguous.
    double minConfidence = 3.0;
    double minPeakToNoise = 10.0;
    double chanceConfidence = 1.5;
    double peakWidthSeconds = 0.005;
};

// One camera's track against the reference: its delay and how sure that is.
struct AudioMatch {
    double seconds = 0.0;      // positive: the sound comes later in this camera's track
    double confidence = 0.0;   // best peak over the next best away from it
    double peakToNoise = 0.0;  // best peak over the correlation's RMS
    double nextSeconds = 0.0;  // where the next best peak lies
};

// Generalised cross-correlation with phase transform (every frequency weighted
// alike, so loud low hum does not blur the peak) of `track` against `reference`,
// both at one sample rate; the peak is refined to a fraction of a sample.
// Lags up to maxOffsetSeconds either way are searched. Does not judge the result.
AudioMatch matchAudio(const std::vector<float>& reference, const std::vector<float>& track, int sampleRate,
                      const AudioSyncSettings& settings);

// Offsets of tracks[1..] against tracks[0] (camera 1), in frames of frameRate, with
// each match's confidence. Throws SyncError naming the camera and its file when
// its peak is weak (no common sound) or ambiguous (another offset matches almost as
// well), rather than guess.
CameraOffsets audioOffsets(const std::vector<AudioTrack>& tracks, double frameRate,
                           const AudioSyncSettings& settings = AudioSyncSettings());

// Decodes the audio of each file (decodeAudio) and finds the offsets: the whole
// audio sync of a take's camera files, in camera order.
CameraOffsets audioOffsetsOfFiles(const std::vector<std::string>& paths, double frameRate,
                                  const AudioSyncSettings& settings = AudioSyncSettings());

} // namespace sync
} // namespace orb
