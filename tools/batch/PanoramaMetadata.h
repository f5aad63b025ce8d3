#pragma once

#include <opencv2/core.hpp>

#include <map>
#include <string>
#include <vector>

namespace batch {

// Whether a panorama format can carry the 360 properties (PNG, JPEG and TIFF).
bool canCarryPanoramaMetadata(const std::string& format);

// Adds the Photo Sphere XMP properties to an encoded PNG, JPEG or TIFF: an equirectangular
// projection to be shown in a panorama viewer, covering the whole sphere (the cropped
// area is the full image of width x height, at offset 0, 0). Throws std::runtime_error
// when the encoded image cannot be read back. A PNG must not carry XMP already (the
// panorama encoder writes none).
std::vector<uchar> addPanoramaMetadata(const std::vector<uchar>& encoded, int width, int height);

// The XMP chunk addPanoramaMetadata puts into a PNG right after its image header, for
// a writer that streams the file as it is encoded rather than rewrite it whole.
std::vector<uchar> pngPanoramaMetadataChunk(int width, int height);

// The XMP properties of a file, key ("Xmp.GPano.ProjectionType") to value.
std::map<std::string, std::string> readXmpProperties(const std::string& path);

} // namespace batch
