#include "StitchLib/pipeline/OverlayObserver.h"

namespace orb {
namespace pipeline {

namespace {

cv::Size overlaySizeFor(const cv::Mat& panorama) { return Overlays::overlaySize(panorama.size()); }

} // namespace

void OverlayObserver::scanReady(const ScanImages& scan)
{
    overlays.depth = Overlays::depthPicture(scan.inverseDepth, scan.validRows, overlaySizeFor(scan.inverseDepth));
}

void OverlayObserver::partsReady(const std::vector<cv::Mat>& parts)
{
    if (!parts.empty())
        overlays.disagreement = Overlays::disagreementPicture(parts, overlaySizeFor(parts.front()));
}

void OverlayObserver::seamsReady(const MaskedImageSet& set)
{
    MaskedImageSet images = set; // shares the masks; only read here
    std::vector<cv::Mat> masks;
    for (std::size_t i = 0; i < images.numImages(); ++i)
        masks.push_back(images.image(static_cast<int>(i)).contributingPixels());
    if (!masks.empty())
        overlays.seams = Overlays::seamPicture(masks, overlaySizeFor(masks.front()));
}

void OverlayObserver::fastStitchSeams(const Rig& rig, int height)
{
    std::vector<cv::Mat> masks;
    for (int camera = 0; camera < rig.cameraCount(); ++camera) {
        masks.emplace_back(cv::Mat::zeros(height, 2 * height, CV_8UC1));
        for (const cv::Rect& sector : Rig::sectorRects(camera, height))
            masks.back()(sector & cv::Rect(0, 0, 2 * height, height)).setTo(255);
    }
    overlays.seams = Overlays::seamPicture(masks, overlaySizeFor(masks.front()));
}

} // namespace pipeline
} // namespace orb
