// Stitches frames of a simulated take in seed or best quality at a chosen height,
// with each best-quality stage switchable, and writes the panoramas for scoring.
//
//   quadstitch-quality DIR OUTDIR [--frames 0,1,2] [--preroll 0,1] [--window 24] [--seam-window 5] [--ext .png]
//                      [--height 5000] [--mode seed|best]
//                      [--without depth,exposure,edge,temporal,sharp] [--dump-depth] [--dump-seams]
//
// Prints each frame's stage times, with the peak memory so far, to standard error.
// Frames run in the order given through one pipeline, so the temporal state
// carries from one to the next, as in a take. --preroll gives frames that go before
// them as a run inside a take would (read and measured, not stitched or written).
#include "app/FrameFiles.h"
#include "StitchLib/pipeline/BestQuality.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <iostream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = boost::filesystem;

namespace {

std::vector<std::string> splitList(const std::string& text)
{
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(item);
    return out;
}

struct Options {
    std::string dir;
    std::string outDir;
    std::vector<uint32_t> frames{0};
    std::vector<uint32_t> preroll;
    std::string extension = ".png";
    int height = 5000;
    orb::pipeline::Quality quality = orb::pipeline::Quality::Seed;
    orb::pipeline::QualityStages stages;
    bool dumpDepth = false;
    bool dumpSeams = false;
};

Options parse(int argc, char** argv)
{
    Options o;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(a + " needs a value");
            return argv[++i];
        };
        if (a == "--frames") {
            o.frames.clear();
            for (const std::string& f : splitList(value()))
                o.frames.push_back(static_cast<uint32_t>(std::stoul(f)));
        } else if (a == "--preroll") {
            for (const std::string& f : splitList(value()))
                o.preroll.push_back(static_cast<uint32_t>(std::stoul(f)));
        } else if (a == "--ext") {
            o.extension = value();
        } else if (a == "--window") {
            o.stages.window = std::stoi(value());
        } else if (a == "--seam-window") {
            o.stages.seamWindow = std::stoi(value());
        } else if (a == "--height") {
            o.height = std::stoi(value());
        } else if (a == "--mode") {
            o.quality = orb::pipeline::parseQuality(value());
        } else if (a == "--dump-depth") {
            o.dumpDepth = true;
        } else if (a == "--dump-seams") {
            o.dumpSeams = true;
        } else if (a == "--without") {
            for (const std::string& s : splitList(value())) {
                if (s == "depth")
                    o.stages.denseDepth = false;
                else if (s == "exposure")
                    o.stages.exposure = false;
                else if (s == "edge")
                    o.stages.cleanEdge = false;
                else if (s == "temporal")
                    o.stages.temporal = false;
                else if (s == "sharp")
                    o.stages.sharp = false;
                else
                    throw std::runtime_error("--without: unknown stage '" + s + "'");
            }
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2 || o.height < 8 || o.frames.empty())
        throw std::runtime_error("usage: quadstitch-quality DIR OUTDIR [--frames 0,1,2] [--preroll 0,1] [--window 24] [--seam-window 5] [--ext .png] [--height H] "
                                 "[--mode seed|best] [--without depth,exposure,edge,temporal,sharp] [--dump-depth] [--dump-seams]");
    o.dir = positional[0];
    o.outDir = positional[1];
    return o;
}

// Prints each stage's wall time and the peak memory so far to standard error, and writes the depth model, when
// asked, as 16-bit inverse depth times 100 * 256 (2 m reads 50 * 256).
class DepthDump : public orb::pipeline::PipelineObserver {
public:
    std::string path;
    std::string seamsPath;
    void stageFinished(orb::pipeline::Stage stage, double seconds) override
    {
        std::fprintf(stderr, "  %s %.2f s, peak so far %ld MiB\n", orb::pipeline::stageName(stage), seconds,
                     peakKiB() / 1024);
    }
    // The process's peak resident memory (VmHWM), 0 where the system does not say.
    static long peakKiB()
    {
        std::ifstream status("/proc/self/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0)
                return std::atol(line.c_str() + 6);
        return 0;
    }
    void scanReady(const orb::ScanImages& scan) override
    {
        if (path.empty())
            return;
        cv::Mat depth16;
        scan.inverseDepth.convertTo(depth16, CV_16U, 100.0 * 256.0);
        cv::imwrite(path, depth16);
    }
    void seamsReady(const orb::MaskedImageSet& constSet) override
    {
        if (seamsPath.empty())
            return;
        // Copies share the masks, and only the masks are read.
        orb::MaskedImageSet set = constSet;
        cv::Mat labels(set.rows(), set.cols(), CV_8UC1, cv::Scalar(0));
        for (int k = 0; k < static_cast<int>(set.numImages()); ++k)
            labels.setTo(static_cast<unsigned char>(64 * (k + 1) - 1), set.image(k).contributingPixels());
        cv::imwrite(seamsPath, labels);
    }
};

} // namespace

int main(int argc, char** argv)
{
    try {
        const Options o = parse(argc, argv);
        fs::create_directories(o.outDir);
        orb::Rig rig(orb::input::readCalibration((fs::path(o.dir) / "calibration.yaml").string(),
                                                    orb::Rig::kCameraCount),
                     0);
        DepthDump dump;
        const orb::pipeline::StitchOptions options = orb::pipeline::qualityOptions(o.quality, o.stages);
        const auto depthFacts = [&options] {
            return options.depth ? options.depth->facts() : std::vector<std::pair<std::string, double>>();
        };
        orb::pipeline::StitchPipeline pipeline(rig, options, &dump);
        const auto cameraPaths = [&o](uint32_t frame) {
            std::vector<std::string> paths;
            for (unsigned k = 1; k <= 4; ++k)
                paths.push_back(FrameFiles::cameraImagePath(o.dir, o.extension, frame, k).string());
            return paths;
        };
        for (const uint32_t frame : o.preroll) {
            const auto start = std::chrono::steady_clock::now();
            pipeline.preroll(orb::input::readCameraImages(cameraPaths(frame)), o.height);
            std::fprintf(stderr, "frame %u pre-rolled: %.2f s\n", frame,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
        for (const uint32_t frame : o.frames) {
            const auto start = std::chrono::steady_clock::now();
            const std::vector<std::string> paths = cameraPaths(frame);
            if (o.dumpDepth)
                dump.path = (fs::path(o.outDir) / ("depth-" + std::to_string(frame) + ".png")).string();
            if (o.dumpSeams)
                dump.seamsPath = (fs::path(o.outDir) / ("seams-" + std::to_string(frame) + ".png")).string();
            const cv::Mat panorama = pipeline.fullStitch(orb::input::readCameraImages(paths), o.height);
            const std::string out = FrameFiles::panoramaPath(o.outDir, ".png", frame).string();
            if (!cv::imwrite(out, panorama))
                throw std::runtime_error("cannot write " + out);
            std::fprintf(stderr, "frame %u: %.2f s\n", frame,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            for (const auto& fact : depthFacts())
                std::fprintf(stderr, "  %s %.4f\n", fact.first.c_str(), fact.second);
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-quality: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
