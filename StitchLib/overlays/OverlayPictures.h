#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace orb {
namespace Overlays {

// Reduced-size pictures of what happened inside one full stitch, drawn to be laid
// over the panorama in a viewer: which camera each pixel came from, the depth the
// parts were remapped at, and where neighbouring parts disagree before blending.
// Every picture is 8-bit BGRA of the requested size; alpha 0 means "nothing to show".
// Inputs are panorama sized (H x 2H) and only read. The reductions run on all cores
// and give the same bits as on one thread.

// Cameras in rig order, and the colour (BGRA) each one gets in the seam picture.
const std::vector<std::string>& cameraNames();
cv::Vec4b cameraColour(int camera);

// The overlay size for a panorama: `wanted`, but never larger than the panorama.
cv::Size overlaySize(cv::Size panorama, cv::Size wanted = cv::Size(1024, 512));

// Which camera contributes where: one colour per camera over the pixels it covers
// for at least half of their area, white where the camera changes between
// neighbouring pixels (the seams), transparent where no camera contributes.
// `masks` are the four contributing masks (CV_8UC1, 0/255) in rig order.
cv::Mat seamPicture(const std::vector<cv::Mat>& masks, cv::Size size);

// The ends of the depth picture's colour scale. The scale is linear in inverse
// depth: the colour at t in [0, 1] (near to far) stands for
// 1 / ((1 - t) / nearMetres + t / farMetres) metres.
struct DepthLegend {
    double nearMetres = 0;
    double farMetres = 0;
    std::string scale = "turbo"; // OpenCV's colour map; near is its top end
};

struct DepthPicture {
    cv::Mat picture;
    DepthLegend legend;
};

// The inverse depth (CV_32FC1, 1/metres) colour mapped between robust near and far
// ends of its own values. Uncovered pixels (value 0, negative or NaN, or row at or
// below validRows) are drawn as grey diagonal hatching with transparent gaps, so
// they never look like "far".
DepthPicture depthPicture(const cv::Mat& inverseDepth, int validRows, cv::Size size);

// Grey levels of colour difference that reach the top of the disagreement scale.
constexpr int kDisagreementFullScale = 64;

// Where neighbouring parts (camera i and (i + 1) mod 4) disagree before blending:
// the largest per-channel absolute difference over the neighbouring pairs that are
// both valid (alpha 255) at a pixel, colour mapped up to kDisagreementFullScale.
// Transparent where fewer than two neighbouring parts overlap. `parts` are the four
// depth-aligned parts (CV_8UC4) in rig order.
cv::Mat disagreementPicture(const std::vector<cv::Mat>& parts, cv::Size size);

// The pictures of one frame; an empty picture is not written.
struct OverlaySet {
    cv::Mat seams;
    DepthPicture depth;
    cv::Mat disagreement;
};

// Writes <stem>.seams.png, <stem>.depth.png, <stem>.disagreement.png and
// <stem>.overlays.json (the files written, the overlay size, the depth legend) into
// `directory`, stem being the frame number as "%010d". Every file goes to a new hidden
// temporary file first (.<stem>.<kind>.partial-<pid>.png, .<stem>.overlays.partial-<pid>.json),
// is flushed to disk and renamed into place. Throws std::runtime_error naming
// the file that could not be written.
void writeOverlays(const std::string& directory, std::uint32_t frame, const OverlaySet& overlays);

// The "%010d" stem of a frame's files.
std::string frameStem(std::uint32_t frame);

} // namespace Overlays
} // namespace orb
