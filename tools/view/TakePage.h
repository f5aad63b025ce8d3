#pragma once

#include "JsonString.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Writes the viewer page of a take: a folder of panoramas named "%010d" plus
// .png, .jpg or .tif, with the overlays and the batch report found beside them.
namespace TakePage {

struct Panorama {
    std::uint32_t frame = 0;
    std::filesystem::path file;
    // From the file header where it can be read cheaply (PNG); 0 when unknown.
    int width = 0;
    int height = 0;
    int channels = 0;
};

// The panoramas in `dir`, by frame number. Where one frame has several
// formats, PNG is preferred over TIFF over JPEG.
std::vector<Panorama> findPanoramas(const std::filesystem::path& dir);

// Width, height and channel count from a PNG's header, without decoding it.
// False when the file is not a readable PNG.
bool readPngHeader(const std::filesystem::path& file, int& width, int& height, int& channels);

using tools::jsonString;

// The URL of `target` relative to the directory `from` (both existing or not),
// each path segment percent-encoded.
std::string relativeUrl(const std::filesystem::path& target, const std::filesystem::path& from);

struct Options {
    std::filesystem::path takeDir;
    std::filesystem::path page;       // default takeDir / index.html
    std::optional<std::filesystem::path> report; // default takeDir / quadstitch-report.json if present
    std::filesystem::path assets;     // folder with the viewer library and page scripts
};

// The take as the page reads it: frames, their files and overlays relative to
// the page, the report text (parsed by the page, so it is passed on verbatim)
// and the colour scales of the overlay legends.
std::string takeJson(const Options& options, const std::vector<Panorama>& panoramas);

// The files the page needs from `assets`, copied into "quadstitch-viewer/" beside it.
const std::vector<std::string>& assetFiles();

// Writes the page and copies the assets next to it. Returns the number of
// frames. Replaces a page only if it is one of ours. Throws std::runtime_error
// naming the file or folder at fault.
std::size_t writePage(const Options& options);

} // namespace TakePage
