#include "sync/CameraOffsets.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <stdexcept>

namespace orb {
namespace sync {

double CameraOffsets::milliseconds(int camera) const
{
    if (!(frameRate > 0.0))
        throw std::logic_error("CameraOffsets milliseconds() needs a frame rate");
    return frames.at(static_cast<std::size_t>(camera)) * 1000.0 / frameRate;
}

std::vector<int> CameraOffsets::wholeFrames() const
{
    std::vector<int> whole;
    for (double f : frames)
        whole.push_back(static_cast<int>(std::lround(f)));
    return whole;
}

std::string formatOffsetsOption(const CameraOffsets& offsets)
{
    std::string text;
    for (int f : offsets.wholeFrames())
        text += (text.empty() ? "" : ",") + std::to_string(f);
    return text;
}

std::string describeOffsets(const CameraOffsets& offsets, const std::string& method)
{
    std::ostringstream out;
    char line[160];
    for (std::size_t c = 0; c < offsets.frames.size(); ++c) {
        std::snprintf(line, sizeof line, "camera %zu: %+8.2f frames", c + 1, offsets.frames[c]);
        out << line;
        if (offsets.frameRate > 0.0) {
            std::snprintf(line, sizeof line, " (%+9.1f ms)", offsets.milliseconds(static_cast<int>(c)));
            out << line;
        }
        if (c == 0) {
            out << "  reference";
        } else if (c < offsets.confidence.size()) {
            std::snprintf(line, sizeof line, "  confidence %.1f", offsets.confidence[c]);
            out << line;
        }
        out << "\n";
    }
    out << method << " sync: --offsets " << formatOffsetsOption(offsets) << "\n";
    return out.str();
}

CameraOffsets parseOffsets(const std::string& text, double frameRate, int cameraCount)
{
    CameraOffsets offsets;
    offsets.frameRate = frameRate;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        const bool ms = item.size() > 2 && item.compare(item.size() - 2, 2, "ms") == 0;
        if (ms)
            item.resize(item.size() - 2);
        std::size_t used = 0;
        double v = 0.0;
        try {
            v = std::stod(item, &used);
        } catch (const std::exception&) {
            used = 0;
        }
        // stod accepts leading blanks, "inf" and "nan"; an offset is none of them.
        if (item.empty() || used != item.size() || !std::isfinite(v) || std::isspace(static_cast<unsigned char>(item[0])))
            throw std::invalid_argument("--offsets: '" + text + "': '" + item + (ms ? "ms" : "")
                                        + "' is not a number of frames or milliseconds (e.g. 12, -3.5 or 400ms)");
        if (ms) {
            if (!(frameRate > 0.0))
                throw std::invalid_argument("--offsets: '" + text + "': milliseconds need the take's frame rate");
            v = v * frameRate / 1000.0;
        }
        offsets.frames.push_back(v);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    if (offsets.frames.size() != static_cast<std::size_t>(cameraCount))
        throw std::invalid_argument("--offsets: '" + text + "' holds " + std::to_string(offsets.frames.size())
                                    + " offsets; the rig has " + std::to_string(cameraCount) + " cameras");
    const double first = offsets.frames[0];
    for (double& f : offsets.frames)
        f -= first;
    return offsets;
}

} // namespace sync
} // namespace orb
