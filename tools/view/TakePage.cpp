#include "TakePage.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <unistd.h>

namespace fs = std::filesystem;

namespace TakePage {

namespace {

// What the tool reads at most. The report of a take of 200,000 frames is about 40 MiB;
// the overlays' facts the batch tool writes are a few hundred bytes; the page's mark
// sits in its first kilobyte; the largest viewer asset is about 2 MiB.
constexpr std::size_t kMaxReportBytes = std::size_t{64} << 20;
constexpr std::size_t kMaxOverlayFactsBytes = std::size_t{64} << 10;
constexpr std::size_t kPageMarkWithin = std::size_t{64} << 10;
constexpr std::size_t kMaxAssetBytes = std::size_t{64} << 20;

// Reads a regular file of at most `limit` bytes, without blocking on a FIFO or reading
// a device (a link to /dev/zero never ends). Throws std::runtime_error naming the file
// and the reason. `followLink` false: a link at `file` itself is refused too.
std::string readBounded(const fs::path& file, std::size_t limit, bool followLink = true)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | (followLink ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        const int error = errno;
        if (error == ELOOP) throw std::runtime_error(file.string() + " is a link");
        throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(error));
    }
    struct stat info {};
    std::string text;
    std::string problem;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        problem = file.string() + " is not a regular file";
    } else if (static_cast<std::uintmax_t>(info.st_size) > limit) {
        problem = file.string() + " is larger than " + std::to_string(limit >> 20 ? limit >> 20 : limit >> 10) +
                  (limit >> 20 ? " MiB" : " KiB");
    } else {
        // Never more than the limit, even if the file grows meanwhile.
        text.resize(limit + 1);
        std::size_t done = 0;
        for (ssize_t n; done < text.size() && (n = ::read(fd, &text[done], text.size() - done)) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                problem = "cannot read " + file.string() + ": " + std::strerror(errno);
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        if (problem.empty() && done > limit) problem = file.string() + " grew while it was read";
        text.resize(done);
    }
    ::close(fd);
    if (!problem.empty()) throw std::runtime_error(problem);
    return text;
}

// The first `count` bytes (or fewer) of a regular file, without following a link or
// blocking.
std::string readPrefix(const fs::path& file, std::size_t count)
{
    const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) throw std::runtime_error("cannot read " + file.string() + ": " + std::strerror(errno));
    struct stat info {};
    std::string text(count, '\0');
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    const ssize_t n = regular ? ::pread(fd, &text[0], count, 0) : -1;
    ::close(fd);
    if (!regular) throw std::runtime_error(file.string() + " is not a regular file");
    text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return text;
}

// Writes through a new hidden temporary beside the target (made with O_EXCL, so a link
// planted at its name is not written through) and renames it into place, so an
// interrupted run never leaves half a page.
void writeText(const fs::path& target, const std::string& text)
{
    static std::atomic<unsigned> counter{0};
    const fs::path temporary = target.parent_path() / ("." + target.filename().string() + ".tmp" +
                                                       std::to_string(::getpid()) + "-" + std::to_string(counter++));
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        // Something at the name (a stale temporary, a planted link) is removed, not written through.
        if (fd < 0 && errno == EEXIST) ::unlink(temporary.c_str());
        else if (fd < 0) break;
    }
    if (fd < 0) throw std::runtime_error("cannot write " + target.string() + ": " + std::strerror(errno));
    int error = 0;
    for (std::size_t done = 0; error == 0 && done < text.size();) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR) error = errno;
        if (n > 0) done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        throw std::runtime_error("cannot write " + target.string() + ": " + std::strerror(error));
    }
}

int formatPreference(const std::string& extension)
{
    if (extension == ".png") return 0;
    if (extension == ".tif") return 1;
    return 2;
}

std::string stem(std::uint32_t frame)
{
    char text[16];
    std::snprintf(text, sizeof text, "%010u", frame);
    return text;
}

// A colour map as evenly spaced "#rrggbb" stops, low end first, for CSS gradients.
std::string colourStops(int map)
{
    cv::Mat ramp(1, 17, CV_8U);
    for (int i = 0; i < 17; ++i) ramp.at<uchar>(0, i) = static_cast<uchar>(std::min(255, i * 16));
    cv::Mat coloured;
    cv::applyColorMap(ramp, coloured, map);
    std::string json = "[";
    for (int i = 0; i < 17; ++i) {
        const cv::Vec3b c = coloured.at<cv::Vec3b>(0, i);
        char hex[8];
        std::snprintf(hex, sizeof hex, "#%02x%02x%02x", c[2], c[1], c[0]);
        json += std::string(i ? ", " : "") + "\"" + hex + "\"";
    }
    return json + "]";
}

fs::path absoluteNormal(const fs::path& path)
{
    return fs::weakly_canonical(fs::absolute(path));
}

void copyIfDifferent(const fs::path& from, const fs::path& to)
{
    const std::string content = readBounded(from, kMaxAssetBytes);
    std::error_code error;
    // Whatever is not the same regular file (a link, a FIFO) is replaced, not read.
    const fs::file_status status = fs::symlink_status(to, error);
    if (fs::is_regular_file(status) && fs::file_size(to, error) == content.size()) {
        try {
            if (readBounded(to, content.size(), false) == content) return;
        } catch (const std::runtime_error&) {
        }
    }
    writeText(to, content);
}

} // namespace

std::vector<Panorama> findPanoramas(const fs::path& dir)
{
    static const std::regex name("([0-9]{10})\\.(png|jpg|tif)");
    std::error_code error;
    fs::directory_iterator it(dir, error);
    if (error) throw std::runtime_error("cannot list " + dir.string() + ": " + error.message());

    std::map<std::uint32_t, Panorama> byFrame;
    for (const auto& entry : it) {
        std::smatch match;
        const std::string filename = entry.path().filename().string();
        if (!std::regex_match(filename, match, name) || !entry.is_regular_file(error)) continue;
        const unsigned long long number = std::stoull(match[1].str());
        if (number > 0xffffffffull) continue; // not a frame number the stitcher can write
        Panorama panorama;
        panorama.frame = static_cast<std::uint32_t>(number);
        panorama.file = entry.path();
        auto found = byFrame.find(panorama.frame);
        if (found != byFrame.end() &&
            formatPreference(found->second.file.extension().string()) <= formatPreference("." + match[2].str()))
            continue;
        byFrame[panorama.frame] = panorama;
    }
    std::vector<Panorama> panoramas;
    for (auto& [frame, panorama] : byFrame) {
        if (panorama.file.extension() == ".png")
            readPngHeader(panorama.file, panorama.width, panorama.height, panorama.channels);
        panoramas.push_back(panorama);
    }
    return panoramas;
}

bool readPngHeader(const fs::path& file, int& width, int& height, int& channels)
{
    // Signature (8 bytes), then the IHDR chunk: length, "IHDR", width, height
    // (big-endian), bit depth, colour type.
    unsigned char header[26];
    std::ifstream in(file, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(header), sizeof header)) return false;
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    if (!std::equal(signature, signature + 8, header) || std::string(header + 12, header + 16) != "IHDR")
        return false;
    auto be32 = [&](int at) {
        return (static_cast<long>(header[at]) << 24) | (header[at + 1] << 16) | (header[at + 2] << 8) | header[at + 3];
    };
    const long w = be32(16), h = be32(20);
    int c = 0;
    switch (header[25]) {
    case 0: c = 1; break; // grey
    case 2: c = 3; break; // colour
    case 3: c = 3; break; // palette
    case 4: c = 2; break; // grey and alpha
    case 6: c = 4; break; // colour and alpha
    default: return false;
    }
    if (w <= 0 || h <= 0 || w > 0x7fffffffL || h > 0x7fffffffL) return false;
    width = static_cast<int>(w);
    height = static_cast<int>(h);
    channels = c;
    return true;
}

std::string relativeUrl(const fs::path& target, const fs::path& from)
{
    const fs::path relative = absoluteNormal(target).lexically_relative(absoluteNormal(from));
    std::string url;
    for (const fs::path& part : relative) {
        if (!url.empty()) url += '/';
        for (unsigned char c : part.string()) {
            if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
                url += static_cast<char>(c);
            } else {
                char escaped[4];
                std::snprintf(escaped, sizeof escaped, "%%%02X", c);
                url += escaped;
            }
        }
    }
    return url.empty() ? "." : url;
}

std::string takeJson(const Options& options, const std::vector<Panorama>& panoramas)
{
    const fs::path pageDir = absoluteNormal(options.page).parent_path();
    std::ostringstream json;
    json << "{\n\"title\": " << jsonString(absoluteNormal(options.takeDir).filename().string()) << ",\n";

    std::string report;
    if (options.report) report = readBounded(*options.report, kMaxReportBytes);
    json << "\"report\": " << (options.report ? jsonString(report) : "null") << ",\n";
    json << "\"reportFile\": " << (options.report ? jsonString(options.report->filename().string()) : "null") << ",\n";
    json << "\"scales\": {\"turbo\": " << colourStops(cv::COLORMAP_TURBO)
         << ", \"inferno\": " << colourStops(cv::COLORMAP_INFERNO) << "},\n";

    json << "\"frames\": [";
    bool first = true;
    for (const Panorama& p : panoramas) {
        json << (first ? "\n" : ",\n") << "{\"frame\": " << p.frame
             << ", \"url\": " << jsonString(relativeUrl(p.file, pageDir)) << ", \"file\": "
             << jsonString(p.file.filename().string());
        if (p.width > 0) json << ", \"width\": " << p.width << ", \"height\": " << p.height;
        if (p.channels > 0) json << ", \"channels\": " << p.channels;
        const fs::path dir = p.file.parent_path();
        const std::string s = stem(p.frame);
        json << ", \"overlays\": {";
        bool firstOverlay = true;
        for (const char* kind : {"seams", "depth", "disagreement"}) {
            const fs::path picture = dir / (s + "." + kind + ".png");
            std::error_code error;
            if (!fs::is_regular_file(picture, error)) continue;
            json << (firstOverlay ? "" : ", ") << "\"" << kind << "\": " << jsonString(relativeUrl(picture, pageDir));
            firstOverlay = false;
        }
        json << "}";
        const fs::path description = dir / (s + ".overlays.json");
        std::error_code error;
        if (fs::is_regular_file(description, error)) {
            // Facts are optional: one that cannot be read (or is far too large for
            // what the batch tool writes) leaves the frame without them.
            try {
                const std::string facts = readBounded(description, kMaxOverlayFactsBytes);
                json << ", \"overlayFacts\": " << jsonString(facts);
            } catch (const std::runtime_error&) {
            }
        }
        json << "}";
        first = false;
    }
    json << "\n]\n}";
    return json.str();
}

const std::vector<std::string>& assetFiles()
{
    static const std::vector<std::string> files = {"index.module.js", "index.css", "three.module.js",
                                                   "three.core.js", "viewer.js", "takeData.js", "viewer.css"};
    return files;
}

std::size_t writePage(const Options& options)
{
    std::error_code error;
    if (!fs::is_directory(options.takeDir, error))
        throw std::runtime_error("no such folder: " + options.takeDir.string());
    const std::vector<Panorama> panoramas = findPanoramas(options.takeDir);
    if (panoramas.empty())
        throw std::runtime_error("no panoramas (files named like 0000000042.png, .jpg or .tif) in " +
                                 options.takeDir.string());
    if (options.report && !fs::is_regular_file(*options.report, error))
        throw std::runtime_error("no such report: " + options.report->string());
    for (const std::string& file : assetFiles())
        if (!fs::is_regular_file(options.assets / file, error))
            throw std::runtime_error("viewer file " + (options.assets / file).string() +
                                     " is missing; run scripts/setup.sh and rebuild");

    // An index.html of someone else's is not ours to replace; nor is a link, a FIFO or
    // a device. Ours carries its mark near the top.
    const fs::path page = fs::absolute(options.page).lexically_normal();
    const fs::file_status pageStatus = fs::symlink_status(page, error);
    if (fs::is_symlink(pageStatus))
        throw std::runtime_error(page.string() + " is a link; choose another page with -o");
    if (fs::exists(pageStatus)) {
        if (!fs::is_regular_file(pageStatus))
            throw std::runtime_error(page.string() + " exists and is not a regular file; choose another page with -o");
        const std::string top = readPrefix(page, kPageMarkWithin);
        if (top.find("id=\"quadstitch-take\"") == std::string::npos)
            throw std::runtime_error(page.string() + " exists and was not written by quadstitch-view; "
                                     "choose another page with -o");
    }

    const std::string take = takeJson(options, panoramas);

    const fs::path pageDir = absoluteNormal(options.page).parent_path();
    const fs::path assetDir = pageDir / "quadstitch-viewer";
    const fs::file_status assetStatus = fs::symlink_status(assetDir, error);
    if (fs::exists(assetStatus) && !fs::is_directory(assetStatus))
        throw std::runtime_error(assetDir.string() + " exists and is not a folder (a link is not followed)");
    fs::create_directories(assetDir, error);
    if (error) throw std::runtime_error("cannot create " + assetDir.string() + ": " + error.message());
    for (const std::string& file : assetFiles()) copyIfDifferent(options.assets / file, assetDir / file);

    std::ostringstream html;
    html << "<!doctype html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
         << "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
         << "<title>quadstitch viewer</title>\n"
         << "<link rel=\"stylesheet\" href=\"quadstitch-viewer/index.css\">\n"
         << "<link rel=\"stylesheet\" href=\"quadstitch-viewer/viewer.css\">\n"
         << "<script type=\"importmap\">{\"imports\": {"
         << "\"three\": \"./quadstitch-viewer/three.module.js\", "
         << "\"@photo-sphere-viewer/core\": \"./quadstitch-viewer/index.module.js\"}}</script>\n"
         << "</head>\n<body>\n"
         << "<main id=\"viewer\"></main>\n"
         << "<aside id=\"panel\"><noscript>This page needs JavaScript.</noscript></aside>\n"
         << "<script type=\"application/json\" id=\"quadstitch-take\">\n" << take << "\n</script>\n"
         // Browsers that refuse modules on pages opened from files never start the
         // viewer; say what to do instead of showing an empty page.
         << "<script>\n"
         << "var quadstitchServe = 'quadstitch-view ' + " << jsonString(absoluteNormal(options.takeDir).string())
         << " + ' --serve (or python3 -m http.server --bind 127.0.0.1 --directory ' + "
         << jsonString(pageDir.string()) << " + ' 8000, and open http://127.0.0.1:8000/)';\n"
         << "function quadstitchNotStarted() {\n"
         << "  if (window.quadstitchViewer) return;\n"
         << "  document.getElementById('panel').textContent = 'The viewer did not start. If the page was opened '\n"
         << "    + 'from a file, this browser may refuse to load its scripts from files: serve the folder instead '\n"
         << "    + 'and open the address printed: ' + quadstitchServe;\n"
         << "}\n"
         // Opened from the file manager, most browsers never start it: say so at once
         // rather than after a blank wait (the viewer replaces this when it starts).
         << "if (location.protocol === 'file:') {\n"
         << "  document.getElementById('panel').textContent = 'This page was opened from a file. Most browsers '\n"
         << "    + 'load its viewer only from a web server; if it does not appear, run ' + quadstitchServe;\n"
         << "}\n"
         << "setTimeout(quadstitchNotStarted, 15000);\n"
         << "</script>\n"
         << "<script type=\"module\" src=\"quadstitch-viewer/viewer.js\" onerror=\"quadstitchNotStarted()\"></script>\n"
         << "</body>\n</html>\n";
    writeText(page, html.str());
    return panoramas.size();
}

} // namespace TakePage
