#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace video {

// The output frames of a take cut into segments of whole GOPs: each segment is its own
// file, encoded by a fresh encoder (so it opens with a key frame and needs no other
// segment), and the video is their frames in order.
struct SegmentPlan {
    std::int64_t firstFrame = 0;  // output frame index of the first frame
    std::int64_t frameCount = 0;
    std::int64_t framesPerSegment = 1;

    std::size_t count() const;
    // Output frames [begin, end) of segment i.
    std::int64_t begin(std::size_t i) const;
    std::int64_t end(std::size_t i) const;
};

// Segments [begin, end) of the K-th of N contiguous shares (K from 1); the N shares
// cover every segment once.
std::pair<std::size_t, std::size_t> shareOfSegments(std::size_t segments, unsigned k, unsigned n);

// The segments of one output, kept beside it in OUTPUT.segments/: a finished segment
// is a file under its final name, renamed into place after it was flushed to disk, so
// it is never rewritten half-way; one being written has a temporary name with the
// writer's process id.
class SegmentStore {
public:
    explicit SegmentStore(std::string outputPath);

    const std::string& directory() const { return directory_; }
    std::string segmentPath(std::size_t i) const;
    std::string temporaryPath(std::size_t i, long pid) const;
    bool finished(std::size_t i) const;
    std::vector<std::size_t> missing(std::size_t count) const;

    // Creates the folder and records what the segments are made of. Throws when the
    // folder holds segments of other settings (mixing them would make a video that
    // changes half-way): the message names the first setting that differs.
    void claim(const std::string& settings) const;
    // Flushes the temporary file to disk and renames it to the segment's name.
    void commit(const std::string& temporary, std::size_t i) const;
    // Removes temporary files of these segments left by processes that are gone.
    void removeStaleTemporaries(std::size_t begin, std::size_t end) const;

private:
    std::string directory_;
};

// What the join takes from one camera's file besides the video: its audio, shifted so
// that camera second `fromSeconds` (in the file's own timeline) is the video's start.
struct AudioSource {
    std::string path;       // empty: no audio
    double fromSeconds = 0;
};

// What the join did.
struct JoinResult {
    std::int64_t videoPackets = 0;
    std::int64_t audioPackets = 0;
    std::string audioNote; // why audio was left out, if it was
};

// Joins segments [0, count) into `outputPath` by copying their packets (no
// re-encoding), timed at `rate` frames per second, with equirectangular spherical
// side data and the audio of `audio`. Written to a temporary file and renamed. Throws
// std::runtime_error naming the missing segments when any is not finished.
JoinResult joinSegments(const SegmentStore& store, const SegmentPlan& plan, const std::string& outputPath,
                        int rateNumerator, int rateDenominator, const AudioSource& audio);

} // namespace video
