// make-test-overlays DIR FRAME [HEIGHT]: runs the full stitch of one frame up to
// the seams at a small height and writes its overlay pictures into DIR, so that
// the viewer page can be tested on a take without the batch tool.
#include "BaseLib/ImportIntrinsics.h"
#include "BaseLib/LensParameters.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/overlays/OverlayPictures.h"
#include "StitchLib/stereo/ScanGeneration.h"

#include <opencv2/imgcodecs.hpp>

#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: make-test-overlays DIR FRAME [HEIGHT]\n";
        return 1;
    }
    try {
        const std::string dir = argv[1];
        const auto frame = static_cast<std::uint32_t>(std::stoul(argv[2]));
        const int height = argc > 3 ? std::stoi(argv[3]) : 512;
        const std::string stem = orb::Overlays::frameStem(frame);

        std::vector<cv::Mat> images;
        for (int camera = 1; camera <= 4; ++camera) {
            const std::string file = dir + "/" + stem + "-" + std::to_string(camera) + ".png";
            images.push_back(cv::imread(file, cv::IMREAD_COLOR));
            if (images.back().empty()) throw std::runtime_error("cannot read " + file);
        }
        const auto cameras = orb::BaseApi::importIntrinsics(dir + "/calibration.yaml");
        const float maxAngle = orb::maxAngleForLensVersion(0);

        const orb::ScanImages scan = orb::Stereo::generateScan(images, cameras, height, maxAngle);
        std::vector<cv::Mat> parts =
            orb::BaseApi::remapPartsWithExtrinsics(cv::Matx44f::eye(), scan, cameras, images, maxAngle);
        const cv::Size size = orb::Overlays::overlaySize(parts[0].size());

        orb::Overlays::OverlaySet overlays;
        overlays.depth = orb::Overlays::depthPicture(scan.inverseDepth, scan.validRows, size);
        overlays.disagreement = orb::Overlays::disagreementPicture(parts, size);

        orb::MaskedImageSet set(parts, true);
        orb::QualitySeamFinder().findSeam(set);
        std::vector<cv::Mat> masks;
        for (int i = 0; i < 4; ++i) masks.push_back(set.image(i).contributingPixels());
        overlays.seams = orb::Overlays::seamPicture(masks, size);

        orb::Overlays::writeOverlays(dir, frame, overlays);
    } catch (const std::exception& e) {
        std::cerr << "make-test-overlays: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
