// make-test-overlays DIR FRAME [HEIGHT [OUT]]: runs the full stitch of one frame at a
// small height through the pipeline and writes the overlay pictures its observer sees
// into OUT (default DIR), so that the viewer page can be tested on a take of fast
// stitches.
#include "StitchLib/overlays/OverlayPictures.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/OverlayObserver.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <iostream>
#include <string>

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
        const std::vector<cv::Mat> images = orb::input::readCameraImages(paths);
        const orb::Rig rig(orb::input::readCalibration(dir + "/calibration.yaml", images.size()), 0);

        orb::pipeline::OverlayObserver observer;
        orb::pipeline::StitchPipeline pipeline(rig, orb::pipeline::StitchOptions(), &observer);
        pipeline.fullStitch(images, height);
        orb::Overlays::writeOverlays(out, frame, observer.overlays);
    } catch (const std::exception& e) {
        std::cerr << "make-test-overlays: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
