#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <utility>

namespace batch {

// Progress of a take on standard error: on a terminal one live line (frames done of
// total, frames per minute, elapsed and estimated time left, and the stage each frame
// in flight is in and for how long), never wider than the terminal, with each failure
// on a line of its own above it; else one plain line per finished frame; nothing when
// quiet. Not thread-safe: the caller serialises calls.
class Progress {
public:
    enum class Style { Live, Lines, Quiet };

    Progress(std::size_t total, Style style, std::FILE* out = stderr);

    // A frame ended; `status` is ok, failed or skipped; `detail` the error or the time.
    void frameDone(std::uint32_t frame, const std::string& status, const std::string& detail);
    // A frame being stitched entered `stage` ("read", "scan", ..., "encode", "write").
    void frameStage(std::uint32_t frame, const std::string& stage);
    // A warning on a line of its own (above the live line), quiet or not: something the
    // user must know even when no progress is shown.
    void warning(const std::string& text);
    // Redraws the live line, so that time moves on while long frames run.
    void tick();
    // Ends the live line.
    void finish();

    bool live() const { return style_ == Style::Live; }

    // The live line's text at `elapsed` seconds, cut to fit `width` columns.
    std::string liveLine(double elapsed, std::size_t width) const;

    static Style styleFor(bool quiet, std::FILE* out = stderr);

private:
    void drawLive();

    std::size_t total_;
    std::size_t done_ = 0;
    std::size_t stitched_ = 0;
    Style style_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
    // Frames in flight: their stage and when it began.
    std::map<std::uint32_t, std::pair<std::string, std::chrono::steady_clock::time_point>> inFlight_;
};

// "1:02:03" or "2:03".
std::string formatDuration(double seconds);

} // namespace batch
