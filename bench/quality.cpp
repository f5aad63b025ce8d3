// Stitches frames of a simulated take in seed or best quality at a chosen height,
// with each best-quality stage switchable, and writes the panoramas for scoring.
//
//   quadstitch-quality DIR OUTDIR [--frames 0,1,2] [--height 5000] [--mode seed|best]
//                      [--without depth,exposure,edge,temporal]
//
// Frames run in the order given, so temporal state carries from one to the next.
#include "app/AllocatorSettings.h"
#include "app/FrameFiles.h"
#include "BaseLib/ImportIntrinsics.h"
#include "BaseLib/LensParameters.h"
#include "StitchLib/blending/BlendingOpenCV.h"
#include "StitchLib/blending/CleanEdgeBlending.h"
#include "StitchLib/blending/ExposureCompensator.h"
#include "StitchLib/blending/TemporalGains.h"
#include "StitchLib/mapping/RemapParts.h"
#include "StitchLib/stereo/DenseDepth.h"
#include "StitchLib/stereo/ScanGeneration.h"
#include "StitchLib/stereo/TemporalDepth.h"

#include <boost/filesystem.hpp>
#include <opencv2/imgcodecs.hpp>

#include <chrono>
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
    int height = 5000;
    bool best = false;
    std::set<std::string> without;
    bool dumpDepth = false;

    bool on(const std::string& stage) const { return best && without.count(stage) == 0; }
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
        } else if (a == "--height") {
            o.height = std::stoi(value());
        } else if (a == "--mode") {
            const std::string m = value();
            if (m != "seed" && m != "best")
                throw std::runtime_error("--mode is seed or best");
            o.best = m == "best";
        } else if (a == "--dump-depth") {
            o.dumpDepth = true;
        } else if (a == "--without") {
            for (const std::string& s : splitList(value()))
                o.without.insert(s);
        } else {
            positional.push_back(a);
        }
    }
    if (positional.size() != 2 || o.height < 8 || o.frames.empty())
        throw std::runtime_error("usage: quadstitch-quality DIR OUTDIR [--frames 0,1,2] [--height H] "
                                 "[--mode seed|best] [--without depth,exposure,edge,temporal]");
    o.dir = positional[0];
    o.outDir = positional[1];
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    keepLargeBlocksOnTheHeap();
    try {
        const Options o = parse(argc, argv);
        fs::create_directories(o.outDir);
        const auto cameras = orb::BaseApi::importIntrinsics((fs::path(o.dir) / "calibration.yaml").string());
        const float maxAngle = orb::maxAngleForLensVersion(0);

        orb::Stereo::DepthHistory depthHistory;
        orb::GainHistory gainHistory;
        for (const uint32_t frame : o.frames) {
            const auto start = std::chrono::steady_clock::now();
            std::vector<cv::Mat> images;
            for (unsigned k = 1; k <= 4; ++k) {
                const std::string path = FrameFiles::cameraImagePath(o.dir, ".png", frame, k).string();
                images.push_back(cv::imread(path, cv::IMREAD_UNCHANGED));
                if (images.back().empty())
                    throw std::runtime_error("cannot read " + path);
            }
            orb::ScanImages scan;
            if (o.on("depth")) {
                orb::Stereo::DepthPanorama depth =
                    orb::Stereo::measureDenseDepth(images, cameras, maxAngle, orb::Stereo::DenseDepthSettings());
                orb::Stereo::fillDepthGaps(depth);
                if (o.on("temporal")) {
                    depthHistory.stabilise(depth.inverseDepth, images, cameras, maxAngle);
                    std::fprintf(stderr, "depth kept %.3f\n", depthHistory.keptShare());
                }
                scan = orb::Stereo::depthToScan(depth.inverseDepth, o.height);
            } else {
                scan = orb::Stereo::generateScan(images, cameras, o.height, maxAngle);
            }
            if (o.dumpDepth) {
                // Inverse depth times 100 as 16 bits: 2 m reads 50.
                cv::Mat depth16;
                scan.inverseDepth.convertTo(depth16, CV_16U, 100.0 * 256.0);
                cv::imwrite((fs::path(o.outDir) / ("depth-" + std::to_string(frame) + ".png")).string(), depth16);
            }
            std::vector<cv::Mat> parts =
                orb::BaseApi::remapPartsWithExtrinsics(cv::Matx44f::eye(), scan, cameras, images, maxAngle);
            if (o.on("exposure")) {
                const orb::ExposureCompensator compensator;
                std::vector<cv::Vec3d> gains = compensator.estimate(parts);
                if (o.on("temporal"))
                    gains = gainHistory.smooth(gains);
                orb::ExposureCompensator::apply(parts, gains);
                for (const cv::Vec3d& g : gains)
                    std::fprintf(stderr, "gain %.3f %.3f %.3f\n", g[0], g[1], g[2]);
            }
            cv::Mat panorama;
            if (o.on("edge")) {
                orb::CleanEdgeBlending blending;
                panorama = blending.process(parts);
            } else {
                orb::BlendingOpenCV blending;
                panorama = blending.process(parts);
            }
            const std::string out = FrameFiles::panoramaPath(o.outDir, ".png", frame).string();
            if (!cv::imwrite(out, panorama))
                throw std::runtime_error("cannot write " + out);
            std::fprintf(stderr, "frame %u: %.2f s\n", frame,
                         std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-quality: " << e.what() << "\n";
        return 2;
    }
    return 0;
}
