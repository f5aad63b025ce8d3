// The blending half of the full stitch on parts read from files: masks, seams
// and spline, as the program runs them, then the result written as a TIFF.
// Run as a whole process beside a peer blender reading the same parts.
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <opencv2/imgcodecs.hpp>

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 7) {
        std::cerr << "usage: quadstitch-blendparts FRAME_DIR OUT.tif PART1 PART2 PART3 PART4\n"
                     "FRAME_DIR holds the rig's calibration.yaml\n";
        return 1;
    }
    try {
        std::vector<cv::Mat> parts;
        for (int i = 3; i < 7; ++i) {
            parts.push_back(cv::imread(argv[i], cv::IMREAD_UNCHANGED));
            if (parts.back().empty()) throw std::runtime_error(std::string("cannot read ") + argv[i]);
        }
        orb::Rig rig(orb::input::readCalibration(std::string(argv[1]) + "/calibration.yaml", parts.size()), 0);
        orb::pipeline::StitchPipeline pipeline(rig);
        const cv::Mat panorama = pipeline.blend(parts);
        if (panorama.empty() || !cv::imwrite(argv[2], panorama, {cv::IMWRITE_TIFF_COMPRESSION, 1}))
            throw std::runtime_error(std::string("cannot write ") + argv[2]);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-blendparts: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
