// The blending half of the full stitch on parts read from files: masks, seams
// and spline, as the program runs them, then the result written as a TIFF.
// Run as a whole process beside a peer blender reading the same parts.
#include "StitchLib/blending/BlendingOpenCV.h"

#include <opencv2/imgcodecs.hpp>

#include <iostream>
#include <vector>

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::cerr << "usage: quadstitch-blendparts OUT.tif PART1 PART2 PART3 PART4\n";
        return 1;
    }
    try {
        std::vector<cv::Mat> parts;
        for (int i = 2; i < 6; ++i) {
            parts.push_back(cv::imread(argv[i], cv::IMREAD_UNCHANGED));
            if (parts.back().empty()) throw std::runtime_error(std::string("cannot read ") + argv[i]);
        }
        orb::BlendingOpenCV blending;
        const cv::Mat panorama = blending.process(parts);
        if (panorama.empty() || !cv::imwrite(argv[1], panorama, {cv::IMWRITE_TIFF_COMPRESSION, 1}))
            throw std::runtime_error(std::string("cannot write ") + argv[1]);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-blendparts: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
