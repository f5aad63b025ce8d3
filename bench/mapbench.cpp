// Remap-map building, serial against parallel, side by side in one run: the
// depth-aligned sector of one camera at the full stitch's 5000 rows, and the
// whole fast panorama at 1000 rows. Usage: quadstitch-mapbench --frame=DIR
#include "app/FrameFiles.h"
#include "BaseLib/ImportIntrinsics.h"
#include "BaseLib/LensParameters.h"
#include "StitchLib/geometry/EqrToFisheye.h"
#include "StitchLib/mapping/FastStitch.h"
#include "StitchLib/geometry/ImageMapping.h"
#include "StitchLib/geometry/Rig.h"

#include <benchmark/benchmark.h>
#include <opencv2/imgcodecs.hpp>

#include <cstring>
#include <string>

namespace {

std::string frameDir = ".";

const std::vector<orb::CameraIntrinsics>& cameras()
{
    static const auto list = orb::BaseApi::importIntrinsics(frameDir + "/calibration.yaml");
    return list;
}

// A plausible room-sized depth: 1/3 m everywhere, 1 m in a band.
const cv::Mat& inverseDepth()
{
    static const cv::Mat depth = [] {
        cv::Mat d(5000, 10000, CV_32F, cv::Scalar(1.0f / 3.0f));
        d(cv::Rect(4000, 1500, 1500, 2000)).setTo(1.0f);
        return d;
    }();
    return depth;
}

// Camera 0's sector with its margins, below the top strip.
const cv::Rect sector = orb::Rig::partRegions(0, 5000, 10000).at(1);

// state.range(0): 0 builds the map serially, 1 in parallel over rows.
void depthSector(benchmark::State& state)
{
    auto mapper = orb::makeEqrToFisheye(cameras().at(0), cv::Matx44f::eye(), inverseDepth(), 5000,
                                        orb::maxAngleForLensVersion(0));
    cv::Mat map;
    for (auto _ : state) {
        if (state.range(0) == 0)
            orb::ImageMapping::initMap(sector, mapper, map);
        else
            orb::ImageMapping::initMapParallel(sector, mapper, map);
        benchmark::DoNotOptimize(map.data);
    }
    state.SetLabel(state.range(0) == 0 ? "serial" : "parallel");
    state.counters["Mpix/s"] =
        benchmark::Counter(static_cast<double>(sector.area()) * state.iterations() / 1e6, benchmark::Counter::kIsRate);
}

void fastStitch1000(benchmark::State& state)
{
    std::vector<cv::Mat> images;
    for (unsigned k = 1; k <= 4; ++k) {
        images.push_back(cv::imread(FrameFiles::cameraImagePath(frameDir, ".png", 0, k).string(), cv::IMREAD_UNCHANGED));
    }
    for (auto _ : state) {
        cv::Mat pano = orb::FastStitch::makeFastStitchImage(cameras(), 1000, images, 0);
        benchmark::DoNotOptimize(pano.data);
    }
}

BENCHMARK(depthSector)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(fastStitch1000)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--frame=", 8) == 0) frameDir = argv[i] + 8;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
