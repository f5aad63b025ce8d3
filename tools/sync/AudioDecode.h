#pragma once

#include <string>
#include <vector>

namespace orb {
namespace sync {

// A camera's sound, mono, at a fixed sample rate. Sample 0 is the moment of the
// file's first video frame (or of its first sound, in a file without video), so
// tracks of different cameras line up as their pictures do.
struct AudioTrack {
    std::string path;
    int sampleRate = 0;
    std::vector<float> samples;
};

// Decodes the first `seconds` of the best audio stream of the media file at `path`
// to mono float (channels averaged) at `sampleRate` with FFmpeg's libraries. Sound
// that starts after the first video frame is preceded by silence, sound before it is
// dropped, and a gap in the stream's timestamps is filled with silence. Throws
// SyncError naming the file when it cannot be opened as media, holds no audio stream
// (the message lists what it holds), or its audio cannot be decoded.
AudioTrack decodeAudio(const std::string& path, int sampleRate, double seconds);

} // namespace sync
} // namespace orb
