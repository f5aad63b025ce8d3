// Times the main stages of the full stitch on one frame through the libraries:
// reading, scan, parts, seams, spline, encode. Prints one line per stage.
#include "app/AllocatorSettings.h"
#include "app/FrameFiles.h"
#include "BaseLib/ImportIntrinsics.h"
#include "BaseLib/LensParameters.h"
#include "StitchLib/blending/FeatherBlender.h"
#include "StitchLib/blending/MaskedImageSet.h"
#include "StitchLib/blending/MultiResolutionSpline.h"
#include "StitchLib/blending/OpenCVPyramidGenerator.h"
#include "StitchLib/blending/QualitySeamFinder.h"
#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/stereo/ScanGeneration.h"

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <iostream>

namespace fs = boost::filesystem;

namespace {

class StageClock {
public:
    // Wall time, and processor time of all threads, since the previous lap.
    void lap(const char* stage)
    {
        const auto now = std::chrono::steady_clock::now();
        const std::clock_t cpuNow = std::clock();
        const double s = std::chrono::duration<double>(now - last).count();
        const double cpu = static_cast<double>(cpuNow - lastCpu) / CLOCKS_PER_SEC;
        total += s;
        totalCpu += cpu;
        std::printf("%-8s %7.2f s wall %7.2f s cpu\n", stage, s, cpu);
        std::fflush(stdout);
        last = now;
        lastCpu = cpuNow;
    }
    double total = 0;
    double totalCpu = 0;

private:
    std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
    std::clock_t lastCpu = std::clock();
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: quadstitch-stages FRAME_DIR [FRAME_NUMBER]\n";
        return 1;
    }
    // The same allocator settings as the program, so the stages add up to its time.
    keepLargeBlocksOnTheHeap();
    try {
        const fs::path dir = argv[1];
        const uint32_t frame = argc > 2 ? static_cast<uint32_t>(std::stoul(argv[2])) : 0u;

        StageClock clock;
        std::vector<cv::Mat> images;
        for (unsigned k = 1; k <= 4; ++k) {
            images.push_back(
                cv::imread(FrameFiles::cameraImagePath(dir.string(), ".png", frame, k).string(), cv::IMREAD_UNCHANGED));
            if (images.back().empty()) throw std::runtime_error("missing camera image " + std::to_string(k));
        }
        const auto cameras = orb::BaseApi::importIntrinsics((dir / "calibration.yaml").string());
        const float maxAngle = orb::maxAngleForLensVersion(0);
        clock.lap("read");

        orb::ScanImages scan = orb::Stereo::generateScan(images, cameras, 5000, maxAngle);
        clock.lap("scan");

        std::vector<cv::Mat> parts =
            orb::BaseApi::remapPartsWithExtrinsics(cv::Matx44f::eye(), scan, cameras, images, maxAngle);
        scan = orb::ScanImages();
        clock.lap("parts");

        orb::MaskedImageSet set(parts, true);
        parts.clear();
        clock.lap("masks");

        orb::QualitySeamFinder seamFinder;
        seamFinder.findSeam(set);
        clock.lap("seams");

        orb::FeatherBlender blender;
        orb::OpenCVPyramidGenerator generator;
        orb::MultiResolutionSpline spline(generator, blender);
        orb::MaskedImage blended = spline.spline(set);
        clock.lap("spline");

        const cv::Mat panorama = blended.cvMat(true);
        blended.release();
        std::vector<uchar> encoded;
        cv::imencode(".png", panorama, encoded);
        clock.lap("encode");
        std::printf("%-8s %7.2f s wall %7.2f s cpu  (%zu bytes of PNG)\n", "total", clock.total, clock.totalCpu,
                    encoded.size());
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-stages: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
