#pragma once

#include <chrono>
#include <cstdio>
#include <string>

namespace batch {

// Progress of a take on standard error: on a terminal one live line (frames done of
// total, frames per minute, elapsed and estimated time left, the last failure); else
// one plain line per finished frame; nothing when quiet. Not thread-safe: the caller
// serialises calls.
class Progress {
public:
    enum class Style { Live, Lines, Quiet };

    Progress(std::size_t total, Style style, std::FILE* out = stderr);

    // A frame ended; `status` is ok, failed or skipped; `detail` the error or the time.
    void frameDone(std::uint32_t frame, const std::string& status, const std::string& detail);
    // Ends the live line.
    void finish();

    static Style styleFor(bool quiet, std::FILE* out = stderr);

private:
    void drawLive();

    std::size_t total_;
    std::size_t done_ = 0;
    std::size_t stitched_ = 0;
    Style style_;
    std::FILE* out_;
    std::string lastFailure_;
    std::chrono::steady_clock::time_point start_;
};

// "1:02:03" or "2:03".
std::string formatDuration(double seconds);

} // namespace batch
