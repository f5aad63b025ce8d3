#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace batch {

// Writes the panoramas of a take so that a panorama on disk is always complete: the
// bytes go to a hidden temporary file beside it, are flushed to disk and renamed into
// place. Writes are serialised with interruption: once `interrupt` has run, nothing is
// half-written and no further write starts.
class TakeOutput {
public:
    explicit TakeOutput(std::string directory);

    // Throws std::runtime_error naming the file and the reason. Returns false (and
    // writes nothing) once the take is interrupted.
    bool write(std::uint32_t frame, const std::string& format, const std::vector<unsigned char>& bytes);

    // Removes temporary files of these frames left by runs whose process is gone (or by
    // this process). Only the given frames: other shards may be writing theirs.
    void removeStaleTemporaries(const std::vector<std::uint32_t>& frames, const std::string& format) const;

    // Stops all further writes and waits for one in progress to end. Holds the lock
    // for good: meant to be followed by the process's exit.
    void interrupt();

    std::string panoramaPath(std::uint32_t frame, const std::string& format) const;
    std::string temporaryPath(std::uint32_t frame, const std::string& format, long pid) const;

private:
    std::string directory_;
    std::mutex mutex_;
    bool interrupted_ = false;
};

} // namespace batch
