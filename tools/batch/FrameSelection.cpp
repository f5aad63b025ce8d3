#include "FrameSelection.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <iterator>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <system_error>

namespace batch {

namespace {

// A decimal number without sign or spaces that fits the limit.
bool parseNumber(const std::string& text, std::uint64_t limit, std::uint64_t& value)
{
    if (text.empty() || text.size() > 20)
        return false;
    value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > limit)
            return false;
    }
    return true;
}

constexpr std::uint64_t kMaxFrame = std::numeric_limits<std::uint32_t>::max();

} // namespace

FrameChoice parseFrameChoice(const std::string& text)
{
    FrameChoice choice;
    if (text == "all")
        return choice;
    choice.all = false;
    const std::size_t dash = text.find('-');
    std::uint64_t a = 0, b = 0;
    if (dash == std::string::npos) {
        if (!parseNumber(text, kMaxFrame, a))
            throw std::invalid_argument("--frames '" + text + "': expected all, N or A-B with frame numbers from 0 to " +
                                        std::to_string(kMaxFrame));
        choice.first = choice.last = static_cast<std::uint32_t>(a);
        return choice;
    }
    if (!parseNumber(text.substr(0, dash), kMaxFrame, a) || !parseNumber(text.substr(dash + 1), kMaxFrame, b))
        throw std::invalid_argument("--frames '" + text + "': expected all, N or A-B with frame numbers from 0 to " +
                                    std::to_string(kMaxFrame));
    if (a > b)
        throw std::invalid_argument("--frames '" + text + "': the range is empty (" + std::to_string(a) + " > " +
                                    std::to_string(b) + ")");
    choice.first = static_cast<std::uint32_t>(a);
    choice.last = static_cast<std::uint32_t>(b);
    return choice;
}

Shard parseShard(const std::string& text)
{
    const std::size_t slash = text.find('/');
    std::uint64_t k = 0, n = 0;
    const unsigned limit = 1u << 20;
    if (slash == std::string::npos || !parseNumber(text.substr(0, slash), limit, k) ||
        !parseNumber(text.substr(slash + 1), limit, n) || n == 0 || k == 0 || k > n)
        throw std::invalid_argument("--shard '" + text + "': expected K/N with 1 <= K <= N");
    return Shard{static_cast<unsigned>(k), static_cast<unsigned>(n)};
}

std::vector<std::uint32_t> discoverFrames(const std::string& directory, const std::string& extension,
                                          int cameraCount, std::size_t* complete)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    if (ec)
        throw std::runtime_error("Cannot list the working directory '" + directory + "': " + ec.message());
    // Frame number -> bit set of cameras seen.
    std::map<std::uint32_t, unsigned> cameras;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        if (ec)
            throw std::runtime_error("Cannot list the working directory '" + directory + "': " + ec.message());
        const std::string name = it->path().filename().string();
        // 0000000042-3<ext>
        if (name.size() != 12 + extension.size() || name[10] != '-' ||
            name.compare(12, std::string::npos, extension) != 0)
            continue;
        std::uint64_t frame = 0;
        if (!parseNumber(name.substr(0, 10), kMaxFrame, frame))
            continue;
        const int camera = name[11] - '0';
        if (camera < 1 || camera > cameraCount)
            continue;
        std::error_code typeError;
        if (!it->is_regular_file(typeError))
            continue;
        cameras[static_cast<std::uint32_t>(frame)] |= 1u << camera;
    }
    const unsigned all = ((1u << (cameraCount + 1)) - 1) & ~1u;
    std::vector<std::uint32_t> frames;
    std::size_t whole = 0;
    for (const auto& entry : cameras) {
        frames.push_back(entry.first);
        whole += entry.second == all ? 1 : 0;
    }
    if (complete != nullptr)
        *complete = whole;
    return frames;
}

std::string normalisedExtension(const std::string& extension)
{
    return !extension.empty() && extension[0] != '.' ? "." + extension : extension;
}

std::string namingHint(const std::string& directory, const std::string& extension, int cameraCount)
{
    namespace fs = std::filesystem;
    // Names of the form <digits>-<digits><anything>: meant as camera images.
    struct Kind {
        std::size_t count = 0;
        std::string example;
    };
    std::map<std::string, Kind> otherExtension; // well-formed names, another extension
    Kind unpadded;                              // frame numbers without their 10 digits
    std::map<long, Kind> strayCameras;          // camera numbers outside 1..cameraCount
    std::error_code ec;
    fs::directory_iterator it(directory, ec);
    for (std::size_t seen = 0; !ec && it != fs::directory_iterator() && seen < 1000000; it.increment(ec), ++seen) {
        const std::string name = it->path().filename().string();
        const std::size_t dash = name.find('-');
        if (dash == 0 || dash == std::string::npos || name.find_first_not_of("0123456789") != dash)
            continue;
        const std::size_t cameraEnd = name.find_first_not_of("0123456789", dash + 1);
        if (cameraEnd == dash + 1 || cameraEnd - dash > 6)
            continue;
        const std::string rest = cameraEnd == std::string::npos ? "" : name.substr(cameraEnd);
        const long camera = std::stol(name.substr(dash + 1, cameraEnd - dash - 1));
        const auto note = [&](Kind& kind) {
            if (kind.count++ == 0 || name < kind.example)
                kind.example = name;
        };
        if (camera < 1 || camera > cameraCount)
            note(strayCameras[camera]);
        else if (dash != 10)
            note(unpadded);
        else if (rest != extension)
            note(otherExtension[rest]);
    }
    std::vector<std::string> hints;
    const auto like = [](const Kind& kind) {
        return kind.count == 1 ? kind.example : std::to_string(kind.count) + " files like " + kind.example;
    };
    if (!otherExtension.empty()) {
        const auto most = std::max_element(otherExtension.begin(), otherExtension.end(),
                                           [](const auto& a, const auto& b) { return a.second.count < b.second.count; });
        std::string hint = "found " + like(most->second);
        if (most->first.empty())
            hint += ": the names need an extension, as in 0000000000-1" + extension;
        else
            hint += ": use -i " + most->first;
        std::string lower = most->first, wanted = extension;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (!most->first.empty() && lower == wanted)
            hint += " (names are case-sensitive)";
        hints.push_back(hint);
    }
    if (unpadded.count > 0)
        hints.push_back("found " + like(unpadded) + ": frame numbers in the names need 10 digits, as in 0000000000-1" + extension);
    if (!strayCameras.empty()) {
        std::string found;
        for (const auto& entry : strayCameras)
            found += (found.empty() ? "" : ", ") + std::to_string(entry.first);
        hints.push_back("camera numbers run 1 to " + std::to_string(cameraCount) + "; found " + found + " (" +
                        like(strayCameras.begin()->second) + ")");
    }
    std::string text;
    for (const std::string& hint : hints)
        text += (text.empty() ? "" : "; ") + hint;
    return text;
}

std::vector<std::uint32_t> selectFrames(const FrameChoice& choice, const std::vector<std::uint32_t>& discovered)
{
    if (choice.all)
        return discovered;
    // A single frame is stitched (or fails with its reason) whatever exists.
    if (choice.first == choice.last)
        return {choice.first};
    std::vector<std::uint32_t> frames;
    for (std::uint32_t f : discovered) {
        if (f >= choice.first && f <= choice.last)
            frames.push_back(f);
    }
    return frames;
}

std::vector<std::uint32_t> shardFrames(const std::vector<std::uint32_t>& frames, const Shard& shard)
{
    const std::size_t n = frames.size();
    const std::size_t begin = n * (shard.index - 1) / shard.count;
    const std::size_t end = n * shard.index / shard.count;
    return std::vector<std::uint32_t>(frames.begin() + static_cast<std::ptrdiff_t>(begin),
                                      frames.begin() + static_cast<std::ptrdiff_t>(end));
}

std::vector<std::uint32_t> takeOrder(const std::vector<std::uint32_t>& selected,
                                     const std::vector<std::uint32_t>& discovered)
{
    std::vector<std::uint32_t> order;
    std::set_union(discovered.begin(), discovered.end(), selected.begin(), selected.end(), std::back_inserter(order));
    return order;
}

std::vector<std::size_t> positionsIn(const std::vector<std::uint32_t>& frames,
                                     const std::vector<std::uint32_t>& order)
{
    std::vector<std::size_t> positions;
    for (std::uint32_t f : frames) {
        const auto at = std::lower_bound(order.begin(), order.end(), f);
        if (at == order.end() || *at != f)
            throw std::logic_error("frame " + std::to_string(f) + " is not in the take's order");
        positions.push_back(static_cast<std::size_t>(at - order.begin()));
    }
    return positions;
}

} // namespace batch
