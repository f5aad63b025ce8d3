// Times the stages of the full stitch on one frame, as the pipeline runs them:
// reading, scan, ground plane (wide lens only), parts, masks, seams, spline, then
// encoding. Prints one line per stage with wall and processor time.
#include "app/FrameFiles.h"
#include "app/PanoramaEncoder.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <iostream>

namespace fs = boost::filesystem;
using orb::pipeline::Stage;

namespace {

// Wall time from the pipeline, processor time of all threads from clock().
class StagePrinter : public orb::pipeline::PipelineObserver {
public:
    void stageStarted(Stage) override { cpuStart = std::clock(); }
    void stageFinished(Stage stage, double seconds) override { print(orb::pipeline::stageName(stage), seconds); }

    void print(const char* stage, double seconds)
    {
        const double cpu = static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
        total += seconds;
        totalCpu += cpu;
        std::printf("%-13s %7.2f s wall %7.2f s cpu\n", stage, seconds, cpu);
        std::fflush(stdout);
    }

    std::clock_t cpuStart = std::clock();
    double total = 0;
    double totalCpu = 0;
};

double since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::cerr << "usage: quadstitch-stages FRAME_DIR [FRAME_NUMBER [LENS_VERSION]]\n";
        return 1;
    }
    try {
        const fs::path dir = argv[1];
        const uint32_t frame = argc > 2 ? static_cast<uint32_t>(std::stoul(argv[2])) : 0u;
        const int lensVersion = argc > 3 ? std::stoi(argv[3]) : 0;

        StagePrinter printer;
        auto start = std::chrono::steady_clock::now();
        std::vector<std::string> paths;
        for (unsigned k = 1; k <= orb::Rig::kCameraCount; ++k)
            paths.push_back(FrameFiles::cameraImagePath(dir.string(), ".png", frame, k).string());
        const std::vector<cv::Mat> images = orb::input::readCameraImages(paths);
        orb::Rig rig(orb::input::readCalibration((dir / "calibration.yaml").string(), images.size()), lensVersion);
        printer.print("read", since(start));

        orb::pipeline::StitchPipeline pipeline(rig, orb::pipeline::StitchOptions(), &printer);
        const cv::Mat panorama = pipeline.fullStitch(images);

        printer.cpuStart = std::clock();
        start = std::chrono::steady_clock::now();
        std::vector<uchar> encoded;
        encoded = encodePanorama(panorama, ".png");
        printer.print("encode", since(start));
        std::printf("%-13s %7.2f s wall %7.2f s cpu  (%zu bytes of PNG)\n", "total", printer.total, printer.totalCpu,
                    encoded.size());
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-stages: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
