#include "Progress.h"

#include <sys/ioctl.h>
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

namespace {

// Columns of the terminal `out` writes to; 80 when it cannot tell.
std::size_t terminalWidth(std::FILE* out)
{
    winsize size{};
    if (::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}

// The longest start of `text` that takes at most `columns` columns (one per
// character; UTF-8 sequences are kept whole).
std::string fitColumns(const std::string& text, std::size_t columns)
{
    std::size_t used = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
        if (!continuation && used++ == columns)
            return text.substr(0, i);
    }
    return text;
}

} // namespace

void Progress::frameDone(std::uint32_t frame, const std::string& status, const std::string& detail)
{
    ++done_;
    if (status != "skipped")
        ++stitched_;
    inFlight_.erase(frame);
    char stem[16];
    std::snprintf(stem, sizeof stem, "%010u", frame);
    switch (style_) {
    case Style::Quiet:
        break;
    case Style::Lines:
        std::fprintf(out_, "[%zu/%zu] frame %s %s%s%s\n", done_, total_, stem, status.c_str(),
                     detail.empty() ? "" : ": ", detail.c_str());
        std::fflush(out_);
        break;
    case Style::Live:
        // A failure keeps its own line above the live one, whole.
        if (status == "failed")
            std::fprintf(out_, "\r\033[Kframe %s failed: %s\n", stem, detail.c_str());
        drawLive();
        break;
    }
}

void Progress::frameStage(std::uint32_t frame, const std::string& stage)
{
    inFlight_[frame] = {stage, std::chrono::steady_clock::now()};
}

void Progress::warning(const std::string& text)
{
    std::fprintf(out_, "%squadstitch-batch: warning: %s\n", style_ == Style::Live ? "\r\033[K" : "", text.c_str());
    if (style_ == Style::Live)
        drawLive();
    std::fflush(out_);
}

void Progress::tick()
{
    if (style_ == Style::Live)
        drawLive();
}

std::string Progress::liveLine(double elapsed, std::size_t width) const
{
    // Skipped frames cost nothing, so the rate counts stitched frames only.
    const double perMinute = elapsed > 0 ? 60.0 * static_cast<double>(stitched_) / elapsed : 0.0;
    const std::size_t left = total_ - done_;
    const std::string eta = stitched_ > 0 ? formatDuration(elapsed / static_cast<double>(stitched_) * left) : "?";
    // Short enough for the stage of a frame in flight to fit 60 columns.
    std::string line = std::to_string(done_) + "/" + std::to_string(total_);
    char rate[64];
    std::snprintf(rate, sizeof rate, "  %.1f/min", perMinute);
    line += rate;
    line += "  elapsed " + formatDuration(elapsed) + "  left " + eta;
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [frame, stage] : inFlight_) {
        const double seconds = std::chrono::duration<double>(now - stage.second).count();
        line += "  frame " + std::to_string(frame) + " " + stage.first + " " + formatDuration(seconds);
    }
    // The last column stays free: a terminal that wraps there would start a new line.
    return fitColumns(line, width > 1 ? width - 1 : 0);
}

void Progress::drawLive()
{
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::string line = "\r\033[K" + liveLine(elapsed, terminalWidth(out_));
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
