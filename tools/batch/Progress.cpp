#include "Progress.h"

#include <unistd.h>

namespace batch {

std::string formatDuration(double seconds)
{
    if (seconds < 0)
        seconds = 0;
    const long s = static_cast<long>(seconds + 0.5);
    char buffer[32];
    if (s >= 3600)
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld:%02ld", s / 3600, (s / 60) % 60, s % 60);
    else
        std::snprintf(buffer, sizeof buffer, "%ld:%02ld", s / 60, s % 60);
    return buffer;
}

Progress::Progress(std::size_t total, Style style, std::FILE* out)
    : total_(total), style_(style), out_(out), start_(std::chrono::steady_clock::now())
{
    if (style_ == Style::Live)
        drawLive();
}

Progress::Style Progress::styleFor(bool quiet, std::FILE* out)
{
    if (quiet)
        return Style::Quiet;
    return ::isatty(::fileno(out)) ? Style::Live : Style::Lines;
}

void Progress::frameDone(std::uint32_t frame, const std::string& status, const std::string& detail)
{
    ++done_;
    if (status != "skipped")
        ++stitched_;
    char stem[16];
    std::snprintf(stem, sizeof stem, "%010u", frame);
    if (status == "failed")
        lastFailure_ = std::string("frame ") + stem + ": " + detail;
    switch (style_) {
    case Style::Quiet:
        break;
    case Style::Lines:
        std::fprintf(out_, "[%zu/%zu] frame %s %s%s%s\n", done_, total_, stem, status.c_str(),
                     detail.empty() ? "" : ": ", detail.c_str());
        std::fflush(out_);
        break;
    case Style::Live:
        drawLive();
        break;
    }
}

void Progress::drawLive()
{
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    // Skipped frames cost nothing, so the rate counts stitched frames only.
    const double perMinute = elapsed > 0 ? 60.0 * static_cast<double>(stitched_) / elapsed : 0.0;
    const std::size_t left = total_ - done_;
    const std::string eta = stitched_ > 0 ? formatDuration(elapsed / static_cast<double>(stitched_) * left) : "?";
    std::string line = "\r\033[K" + std::to_string(done_) + "/" + std::to_string(total_) + " frames";
    char rate[64];
    std::snprintf(rate, sizeof rate, "  %.1f frames/min", perMinute);
    line += rate;
    line += "  elapsed " + formatDuration(elapsed) + "  left " + eta;
    if (!lastFailure_.empty())
        line += "  last failure: " + lastFailure_.substr(0, 120);
    std::fputs(line.c_str(), out_);
    std::fflush(out_);
}

void Progress::finish()
{
    if (style_ == Style::Live) {
        drawLive();
        std::fputs("\n", out_);
        std::fflush(out_);
    }
}

} // namespace batch
