// make-test-overlays DIR FRAME [HEIGHT [OUT]]: runs the full stitch of one frame at a
// small height through the pipeline and writes the overlay pictures its observer sees
// into OUT (default DIR), so that the viewer page can be tested on a take of fast
// stitches.
#include "StitchLib/overlays/OverlayPictures.h"
#include "StitchLib/pipeline/FrameInputs.h"
#include "StitchLib/pipeline/PipelineObserver.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <iostream>
#include <string>

namespace {

// Turns the intermediates into overlay pictures as they go by.
class OverlayObserver : public orb::pipeline::PipelineObserver {
public:
    void scanReady(const orb::ScanImages& scan) override
    {
        overlays.depth = orb::Overlays::depthPicture(scan.inverseDepth, scan.validRows, size(scan.inverseDepth));
    }
    void partsReady(const std::vector<cv::Mat>& parts) override
    {
        overlays.disagreement = orb::Overlays::disagreementPicture(parts, size(parts.at(0)));
    }
    void seamsReady(const orb::MaskedImageSet& set) override
    {
        orb::MaskedImageSet images = set; // shares the masks; only read here
        std::vector<cv::Mat> masks;
        for (std::size_t i = 0; i < images.numImages(); ++i)
            masks.push_back(images.image(static_cast<int>(i)).contributingPixels());
        overlays.seams = orb::Overlays::seamPicture(masks, size(masks.at(0)));
    }

    orb::Overlays::OverlaySet overlays;

private:
    static cv::Size size(const cv::Mat& panorama) { return orb::Overlays::overlaySize(panorama.size()); }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: make-test-overlays DIR FRAME [HEIGHT [OUT]]\n";
        return 1;
    }
    try {
        const std::string dir = argv[1];
        const auto frame = static_cast<std::uint32_t>(std::stoul(argv[2]));
        const int height = argc > 3 ? std::stoi(argv[3]) : 512;
        const std::string out = argc > 4 ? argv[4] : dir;
        const std::string stem = orb::Overlays::frameStem(frame);

        std::vector<std::string> paths;
        for (int camera = 1; camera <= orb::Rig::kCameraCount; ++camera)
            paths.push_back(dir + "/" + stem + "-" + std::to_string(camera) + ".png");
        const std::vector<cv::Mat> images = orb::pipeline::readCameraImages(paths);
        const orb::Rig rig(orb::pipeline::readCalibration(dir + "/calibration.yaml", images.size()), 0);

        OverlayObserver observer;
        orb::pipeline::StitchPipeline pipeline(rig, orb::pipeline::StitchOptions(), &observer);
        pipeline.fullStitch(images, height);
        orb::Overlays::writeOverlays(out, frame, observer.overlays);
    } catch (const std::exception& e) {
        std::cerr << "make-test-overlays: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
