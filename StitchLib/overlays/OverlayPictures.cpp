#include "StitchLib/overlays/OverlayPictures.h"

#include <opencv2/core/utility.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace orb {
namespace Overlays {

namespace {

// Maps every input pixel to the one output pixel whose box contains it, so a
// reduction sums each input pixel exactly once and never allocates full-size
// temporaries (the inputs may be 5000 x 10000).
class BoxGrid {
public:
    BoxGrid(cv::Size input, cv::Size output, const char* operation)
    {
        if (input.width <= 0 || input.height <= 0)
            throw std::invalid_argument(std::string("Overlays::") + operation + ": empty input");
        if (output.width <= 0 || output.height <= 0 || output.width > input.width ||
            output.height > input.height)
            throw std::invalid_argument(std::string("Overlays::") + operation + ": picture size " +
                                        std::to_string(output.width) + "x" + std::to_string(output.height) +
                                        " must be positive and no larger than the input " +
                                        std::to_string(input.width) + "x" + std::to_string(input.height));
        rowBox.resize(input.height);
        colBox.resize(input.width);
        firstRow.assign(output.height + 1, input.height);
        for (int y = input.height - 1; y >= 0; --y) {
            rowBox[y] = static_cast<int>(static_cast<long long>(y) * output.height / input.height);
            firstRow[rowBox[y]] = y;
        }
        for (int x = 0; x < input.width; ++x)
            colBox[x] = static_cast<int>(static_cast<long long>(x) * output.width / input.width);
        area = cv::Mat(output, CV_32S, cv::Scalar(0));
        std::vector<int> rowsIn(output.height, 0), colsIn(output.width, 0);
        for (int r : rowBox) ++rowsIn[r];
        for (int c : colBox) ++colsIn[c];
        for (int r = 0; r < output.height; ++r)
            for (int c = 0; c < output.width; ++c) area.at<int>(r, c) = rowsIn[r] * colsIn[c];
    }

    // Calls reduce(outputRow, firstInputRow, endInputRow) for every output row, rows
    // side by side. Each output row is summed by one call in input order, so the
    // result has the same bits on any number of threads.
    template <typename Reduce>
    void forEachOutputRow(const Reduce& reduce) const
    {
        cv::parallel_for_(cv::Range(0, area.rows), [&](const cv::Range& rows) {
            for (int r = rows.start; r < rows.end; ++r) reduce(r, firstRow[r], firstRow[r + 1]);
        });
    }

    std::vector<int> rowBox;
    std::vector<int> colBox;
    std::vector<int> firstRow; // first input row of each output row, and the input height
    cv::Mat area;              // input pixels per output pixel, CV_32S
};

void checkFour(const std::vector<cv::Mat>& images, int type, const char* operation, const char* what)
{
    const std::string where = std::string("Overlays::") + operation + ": ";
    if (images.size() != 4)
        throw std::invalid_argument(where + "expects 4 " + what + ", got " + std::to_string(images.size()));
    for (std::size_t i = 0; i < images.size(); ++i) {
        if (images[i].type() != type)
            throw std::invalid_argument(where + what + " " + std::to_string(i) + " has the wrong pixel type");
        if (images[i].size() != images[0].size())
            throw std::invalid_argument(where + what + " " + std::to_string(i) + " differs in size from the first");
    }
}

// OpenCV colour map as a 256-entry BGRA table.
std::vector<cv::Vec4b> colourTable(int map)
{
    cv::Mat ramp(1, 256, CV_8U);
    for (int i = 0; i < 256; ++i) ramp.at<uchar>(0, i) = static_cast<uchar>(i);
    cv::Mat coloured;
    cv::applyColorMap(ramp, coloured, map);
    std::vector<cv::Vec4b> table(256);
    for (int i = 0; i < 256; ++i) {
        const cv::Vec3b c = coloured.at<cv::Vec3b>(0, i);
        table[i] = cv::Vec4b(c[0], c[1], c[2], 255);
    }
    return table;
}

// Grey stripes running down to the left with transparent gaps: "nothing known here".
cv::Vec4b hatch(int row, int col)
{
    return (row + col) % 8 < 3 ? cv::Vec4b(150, 150, 150, 255) : cv::Vec4b(0, 0, 0, 0);
}

bool isCovered(float inverseDepth)
{
    return inverseDepth > 0.f && std::isfinite(inverseDepth);
}

// The value at fraction q of the sorted values (they get reordered).
float quantile(std::vector<float>& values, double q)
{
    const std::size_t k = std::min(values.size() - 1, static_cast<std::size_t>(q * (values.size() - 1) + 0.5));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(k), values.end());
    return values[k];
}

std::string jsonNumber(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

std::string colourHex(cv::Vec4b bgra)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", bgra[2], bgra[1], bgra[0]);
    return text;
}

// Writes through a new hidden temporary beside the target (.<stem>.partial-<pid><ext>,
// made with O_EXCL so that nothing planted at that name is written through), flushes
// it to disk and renames it into place.
void writeFile(const std::filesystem::path& target, const char* data, std::size_t size)
{
    const std::filesystem::path temporary =
        target.parent_path() /
        ("." + target.stem().string() + ".partial-" + std::to_string(::getpid()) + target.extension().string());
    const std::string name = temporary.string();
    int fd = -1;
    for (int attempt = 0; attempt < 2 && fd < 0; ++attempt) {
        fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            ::unlink(name.c_str()); // a stale temporary of a process with this id, or a planted link
        else if (fd < 0)
            break;
    }
    const auto fail = [&](int error) {
        throw std::runtime_error("Overlays::writeOverlays: cannot write " + target.string() + ": " +
                                 std::strerror(error));
    };
    if (fd < 0)
        fail(errno);
    int error = 0;
    std::size_t done = 0;
    while (error == 0 && done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(name.c_str(), target.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(name.c_str());
        fail(error);
    }
}

void writePicture(const std::filesystem::path& target, const cv::Mat& picture)
{
    std::vector<uchar> bytes;
    bool encoded = false;
    try {
        encoded = cv::imencode(target.extension().string(), picture, bytes);
    } catch (const cv::Exception&) {
        encoded = false;
    }
    if (!encoded)
        throw std::runtime_error("Overlays::writeOverlays: cannot encode " + target.string());
    writeFile(target, reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void writeText(const std::filesystem::path& target, const std::string& text)
{
    writeFile(target, text.data(), text.size());
}

} // namespace

const std::vector<std::string>& cameraNames()
{
    static const std::vector<std::string> names = {"forward", "right", "back", "left"};
    return names;
}

cv::Vec4b cameraColour(int camera)
{
    // Orange, green, blue, magenta: apart in hue, none of them white (the seams).
    static const cv::Vec4b colours[4] = {
        cv::Vec4b(0, 128, 255, 255), cv::Vec4b(60, 200, 0, 255), cv::Vec4b(255, 90, 0, 255),
        cv::Vec4b(220, 0, 220, 255)};
    if (camera < 0 || camera > 3)
        throw std::invalid_argument("Overlays::cameraColour: no camera " + std::to_string(camera));
    return colours[camera];
}

cv::Size overlaySize(cv::Size panorama, cv::Size wanted)
{
    return cv::Size(std::min(panorama.width, wanted.width), std::min(panorama.height, wanted.height));
}

cv::Mat seamPicture(const std::vector<cv::Mat>& masks, cv::Size size)
{
    checkFour(masks, CV_8UC1, "seamPicture", "masks");
    const BoxGrid grid(masks[0].size(), size, "seamPicture");

    // Covered pixels per camera and output pixel.
    std::vector<cv::Mat> counts(4);
    for (int camera = 0; camera < 4; ++camera) {
        counts[camera] = cv::Mat(size, CV_32S, cv::Scalar(0));
        const cv::Mat& mask = masks[camera];
        cv::Mat& count = counts[camera];
        grid.forEachOutputRow([&](int r, int yBegin, int yEnd) {
            int* out = count.ptr<int>(r);
            for (int y = yBegin; y < yEnd; ++y) {
                const uchar* in = mask.ptr<uchar>(y);
                for (int x = 0; x < mask.cols; ++x)
                    if (in[x] >= 128) ++out[grid.colBox[x]];
            }
        });
    }

    // The camera that covers the most of each output pixel, if at least half of it.
    cv::Mat owner(size, CV_32S, cv::Scalar(-1));
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            int best = -1, bestCount = 0;
            for (int camera = 0; camera < 4; ++camera) {
                const int n = counts[camera].at<int>(r, c);
                if (n > bestCount) {
                    best = camera;
                    bestCount = n;
                }
            }
            if (best >= 0 && 2 * bestCount >= grid.area.at<int>(r, c)) owner.at<int>(r, c) = best;
        }
    }

    cv::Mat picture(size, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    for (int r = 0; r < size.height; ++r) {
        const int* own = owner.ptr<int>(r);
        const int* below = owner.ptr<int>(std::min(r + 1, size.height - 1));
        cv::Vec4b* out = picture.ptr<cv::Vec4b>(r);
        for (int c = 0; c < size.width; ++c) {
            if (own[c] < 0) continue;
            // The panorama wraps around horizontally, so the last column's right
            // neighbour is the first column.
            const int right = own[(c + 1) % size.width];
            const bool seam = (right >= 0 && right != own[c]) || (below[c] >= 0 && below[c] != own[c]);
            out[c] = seam ? cv::Vec4b(255, 255, 255, 255) : cameraColour(own[c]);
        }
    }
    return picture;
}

DepthPicture depthPicture(const cv::Mat& inverseDepth, int validRows, cv::Size size)
{
    if (inverseDepth.type() != CV_32FC1)
        throw std::invalid_argument("Overlays::depthPicture: inverse depth must be CV_32FC1");
    const BoxGrid grid(inverseDepth.size(), size, "depthPicture");

    cv::Mat sum(size, CV_64F, cv::Scalar(0));
    cv::Mat count(size, CV_32S, cv::Scalar(0));
    const int coveredRows = std::max(0, std::min(validRows, inverseDepth.rows));
    grid.forEachOutputRow([&](int r, int yBegin, int yEnd) {
        double* s = sum.ptr<double>(r);
        int* n = count.ptr<int>(r);
        for (int y = yBegin; y < std::min(yEnd, coveredRows); ++y) {
            const float* in = inverseDepth.ptr<float>(y);
            for (int x = 0; x < inverseDepth.cols; ++x) {
                if (!isCovered(in[x])) continue;
                s[grid.colBox[x]] += in[x];
                ++n[grid.colBox[x]];
            }
        }
    });

    // Mean inverse depth where at least half of an output pixel is covered, else NaN.
    cv::Mat mean(size, CV_32F, cv::Scalar(std::nanf("")));
    std::vector<float> values;
    for (int r = 0; r < size.height; ++r) {
        for (int c = 0; c < size.width; ++c) {
            const int n = count.at<int>(r, c);
            if (n == 0 || 2 * n < grid.area.at<int>(r, c)) continue;
            const float m = static_cast<float>(sum.at<double>(r, c) / n);
            mean.at<float>(r, c) = m;
            values.push_back(m);
        }
    }

    DepthPicture result;
    result.picture = cv::Mat(size, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    // Robust ends, so that a few stray estimates do not squeeze the scale; "far" is
    // capped at 1 km, where the cameras see no parallax anyway.
    double nearInverse = 1.0, farInverse = 0.1;
    if (!values.empty()) {
        std::vector<float> copy = values;
        nearInverse = quantile(copy, 0.98);
        farInverse = std::max(1e-3, static_cast<double>(quantile(values, 0.02)));
        nearInverse = std::max(nearInverse, farInverse);
        if (nearInverse < farInverse * 1.05) {
            // A flat field still gets a readable scale around its one value.
            const double middle = std::sqrt(nearInverse * farInverse);
            nearInverse = middle * 1.1;
            farInverse = middle / 1.1;
        }
    }
    result.legend.nearMetres = 1.0 / nearInverse;
    result.legend.farMetres = 1.0 / farInverse;
    result.legend.scale = "turbo";

    static const std::vector<cv::Vec4b> turbo = colourTable(cv::COLORMAP_TURBO);
    for (int r = 0; r < size.height; ++r) {
        const float* m = mean.ptr<float>(r);
        cv::Vec4b* out = result.picture.ptr<cv::Vec4b>(r);
        for (int c = 0; c < size.width; ++c) {
            if (std::isnan(m[c])) {
                out[c] = hatch(r, c);
                continue;
            }
            const double t = std::clamp((nearInverse - m[c]) / (nearInverse - farInverse), 0.0, 1.0);
            out[c] = turbo[static_cast<int>(std::lround(255.0 * (1.0 - t)))];
        }
    }
    return result;
}

cv::Mat disagreementPicture(const std::vector<cv::Mat>& parts, cv::Size size)
{
    checkFour(parts, CV_8UC4, "disagreementPicture", "parts");
    const BoxGrid grid(parts[0].size(), size, "disagreementPicture");

    cv::Mat sum(size, CV_64F, cv::Scalar(0));
    cv::Mat count(size, CV_32S, cv::Scalar(0));
    const int cols = parts[0].cols;
    grid.forEachOutputRow([&](int r, int yBegin, int yEnd) {
        double* s = sum.ptr<double>(r);
        int* n = count.ptr<int>(r);
        for (int y = yBegin; y < yEnd; ++y) {
            const cv::Vec4b* row[4];
            for (int i = 0; i < 4; ++i) row[i] = parts[i].ptr<cv::Vec4b>(y);
            for (int x = 0; x < cols; ++x) {
                int worst = -1;
                for (int i = 0; i < 4; ++i) {
                    const cv::Vec4b& a = row[i][x];
                    const cv::Vec4b& b = row[(i + 1) % 4][x];
                    if (a[3] != 255 || b[3] != 255) continue;
                    for (int ch = 0; ch < 3; ++ch) worst = std::max(worst, std::abs(a[ch] - b[ch]));
                }
                if (worst < 0) continue;
                s[grid.colBox[x]] += worst;
                ++n[grid.colBox[x]];
            }
        }
    });

    static const std::vector<cv::Vec4b> inferno = colourTable(cv::COLORMAP_INFERNO);
    cv::Mat picture(size, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    for (int r = 0; r < size.height; ++r) {
        cv::Vec4b* out = picture.ptr<cv::Vec4b>(r);
        for (int c = 0; c < size.width; ++c) {
            const int n = count.at<int>(r, c);
            if (n == 0 || 2 * n < grid.area.at<int>(r, c)) continue;
            const double mean = sum.at<double>(r, c) / n;
            out[c] = inferno[std::min(255, static_cast<int>(std::lround(mean * 255.0 / kDisagreementFullScale)))];
        }
    }
    return picture;
}

std::string frameStem(std::uint32_t frame)
{
    char text[16];
    std::snprintf(text, sizeof text, "%010u", frame);
    return text;
}

void writeOverlays(const std::string& directory, std::uint32_t frame, const OverlaySet& overlays)
{
    const std::filesystem::path dir(directory);
    const std::string stem = frameStem(frame);

    cv::Size size;
    for (const cv::Mat* picture : {&overlays.seams, &overlays.depth.picture, &overlays.disagreement}) {
        if (picture->empty()) continue;
        if (picture->type() != CV_8UC4)
            throw std::invalid_argument("Overlays::writeOverlays: pictures must be CV_8UC4");
        if (size.area() > 0 && picture->size() != size)
            throw std::invalid_argument("Overlays::writeOverlays: the pictures differ in size");
        size = picture->size();
    }

    std::ostringstream json;
    json << "{\n  \"frame\": " << frame << ",\n  \"width\": " << size.width << ",\n  \"height\": " << size.height;
    if (!overlays.seams.empty()) {
        const std::string file = stem + ".seams.png";
        writePicture(dir / file, overlays.seams);
        json << ",\n  \"seams\": {\"file\": \"" << file << "\", \"cameras\": [";
        for (int camera = 0; camera < 4; ++camera)
            json << (camera ? ", " : "") << "{\"name\": \"" << cameraNames()[camera] << "\", \"colour\": \""
                 << colourHex(cameraColour(camera)) << "\"}";
        json << "]}";
    }
    if (!overlays.depth.picture.empty()) {
        const std::string file = stem + ".depth.png";
        writePicture(dir / file, overlays.depth.picture);
        json << ",\n  \"depth\": {\"file\": \"" << file << "\", \"scale\": \"" << overlays.depth.legend.scale
             << "\", \"nearMetres\": " << jsonNumber(overlays.depth.legend.nearMetres)
             << ", \"farMetres\": " << jsonNumber(overlays.depth.legend.farMetres) << "}";
    }
    if (!overlays.disagreement.empty()) {
        const std::string file = stem + ".disagreement.png";
        writePicture(dir / file, overlays.disagreement);
        json << ",\n  \"disagreement\": {\"file\": \"" << file << "\", \"scale\": \"inferno\", \"fullScale\": "
             << kDisagreementFullScale << "}";
    }
    json << "\n}\n";
    writeText(dir / (stem + ".overlays.json"), json.str());
}

} // namespace Overlays
} // namespace orb
