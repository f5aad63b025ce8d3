#pragma once

#include <cstddef>

namespace orb {
namespace input {

// Largest camera image side, in pixels. The full panorama has 10000 columns over 360
// degrees, about 1592 pixels per radian; a lens covering the widest field the lens
// model maps (190 degrees) at that resolution is 5278 pixels across. Finer images
// add nothing to the panorama. The limit leaves room for a 4:3 sensor around such a
// circle (7037 pixels) and rounds up to 8192. Four decoded images of the largest
// size take 768 MiB.
constexpr int kMaxImageSide = 8192;

// Smallest camera image side: fewer pixels cannot hold a fisheye view worth stitching,
// and a calibration for such an image is certainly not for this rig.
constexpr int kMinImageSide = 16;

// Largest camera image file: an uncompressed 8-bit image of the largest size with
// four channels, plus room for metadata. Anything larger is refused before reading.
constexpr std::size_t kMaxImageFileBytes =
    static_cast<std::size_t>(kMaxImageSide) * kMaxImageSide * 4 + (std::size_t{16} << 20);

// Largest calibration file. A four-camera calibration takes about 2 KiB; the bound
// keeps the parse time of any file within a fraction of a second.
constexpr std::size_t kMaxCalibrationBytes = std::size_t{1} << 20;

// Deepest nesting of sequences and mappings in a calibration (a real one nests 4 deep).
constexpr int kMaxCalibrationDepth = 32;

} // namespace input
} // namespace orb
