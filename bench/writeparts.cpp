// Writes the four depth-free parts of a frame (every scene point infinitely far
// away: a zero inverse-depth scan) as 8-bit BGRA TIFFs, the common input of our
// blend and of a peer blender in the benchmark.
#include "app/FrameFiles.h"
#include "StitchLib/geometry/ScanImages.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include <iostream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::cerr << "usage: quadstitch-writeparts FRAME_DIR OUT_DIR [FRAME_NUMBER]\n"
                     "writes OUT_DIR/part-1.tif ... part-4.tif (5000 x 10000, BGRA)\n";
        return 1;
    }
    try {
        const fs::path dir = argv[1];
        const fs::path out = argv[2];
        const uint32_t frame = argc > 3 ? static_cast<uint32_t>(std::stoul(argv[3])) : 0u;
        std::vector<std::string> paths;
        for (unsigned k = 1; k <= orb::Rig::kCameraCount; ++k)
            paths.push_back(FrameFiles::cameraImagePath(dir.string(), ".png", frame, k).string());
        const std::vector<cv::Mat> images = orb::input::readCameraImages(paths);
        orb::Rig rig(orb::input::readCalibration((dir / "calibration.yaml").string(), images.size()), 0);
        orb::pipeline::StitchPipeline pipeline(rig);

        const int rows = orb::pipeline::kFullStitchHeight;
        orb::ScanImages scan;
        scan.inverseDepth = cv::Mat_<float>::zeros(rows, 2 * rows);
        scan.validRows = rows;
        const std::vector<cv::Mat> parts = pipeline.parts(scan, images);
        fs::create_directories(out);
        for (std::size_t i = 0; i < parts.size(); ++i) {
            const fs::path file = out / ("part-" + std::to_string(i + 1) + ".tif");
            // Uncompressed: reading them back should cost as little as possible.
            if (!cv::imwrite(file.string(), parts[i], {cv::IMWRITE_TIFF_COMPRESSION, 1}))
                throw std::runtime_error("cannot write " + file.string());
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-writeparts: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
