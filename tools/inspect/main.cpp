// quadstitch-inspect: runs the first half of the full stitch on one frame and
// writes what it estimated, so the depth model can be looked at and scored.
#include "DepthReport.h"
#include "ToolVersion.h"

#include "app/FrameFiles.h"
#include "StitchLib/input/CalibrationFile.h"
#include "StitchLib/input/CameraImages.h"
#include "StitchLib/input/FrameInputs.h"
#include "StitchLib/pipeline/OverlayObserver.h"
#include "StitchLib/pipeline/StitchPipeline.h"

#include <boost/filesystem.hpp>
#include <boost/format.hpp>
#include <boost/program_options.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <iostream>

namespace fs = boost::filesystem;
namespace po = boost::program_options;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

cv::Mat colourMap(const cv::Mat& inverseDepth)
{
    // 0 (far) to 1.25/m (0.8 m) spans the colour map.
    cv::Mat scaled;
    inverseDepth.convertTo(scaled, CV_8U, 255.0 / 1.25);
    cv::Mat coloured;
    cv::applyColorMap(scaled, coloured, cv::COLORMAP_TURBO);
    return coloured;
}

void printAgreement(const char* label, const DepthReport::OverlapAgreement& a)
{
    std::cout << label;
    double sum = 0, pixels = 0;
    for (int p = 0; p < 4; ++p) {
        std::cout << (boost::format("  %d-%d: %.2f") % (p + 1) % ((p + 1) % 4 + 1) % a.meanAbsDiff[p]);
        sum += a.meanAbsDiff[p] * a.pixels[p];
        pixels += a.pixels[p];
    }
    std::cout << (boost::format("  all: %.2f\n") % (pixels > 0 ? sum / pixels : 0.0));
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description description("quadstitch-inspect: runs the full stitch of one frame up to the seams and "
                                        "writes its depth, seams, disagreement and parts as pictures\n"
                                        "Usage: quadstitch-inspect -d DIR [options]\n\nOptions");
    description.add_options()
        ("help,h", "this help")
        ("version", "the versions of the tool and of the libraries it was built with")
        ("working-directory,d", po::value<std::string>()->default_value("."), "directory of the frame")
        ("frameNumber,f", po::value<uint32_t>()->default_value(0), "frame number")
        ("image-file-extension,i", po::value<std::string>()->default_value(".png"), "image extension")
        ("height", po::value<int>()->default_value(5000), "panorama height of the scan and parts")
        ("lens-version", po::value<int>()->default_value(0), "0 or 1 (1 adds the ground plane)")
        ("out,o", po::value<std::string>(), "output directory (default: <dir>/inspect)")
        ("no-parts", "do not write the part images")
        ("full-size", "also write the full-size depth (colour map and float TIFF) and full-size parts")
        ("zero-scan", "also remap with a zero scan and compare the overlap agreement");
    try {
        po::variables_map vm;
        po::store(po::parse_command_line(argc, argv, description), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << description << "\nExample:\n  quadstitch-inspect -d take -f 42 -o take/inspect\n";
            return 0;
        }
        if (vm.count("version")) {
            std::cout << tools::versionText("quadstitch-inspect");
            return 0;
        }
        const fs::path dir = vm["working-directory"].as<std::string>();
        const fs::path out = vm.count("out") ? fs::path(vm["out"].as<std::string>()) : dir / "inspect";
        const int height = vm["height"].as<int>();
        const uint32_t frame = vm["frameNumber"].as<uint32_t>();
        std::string ext = vm["image-file-extension"].as<std::string>();
        if (!ext.empty() && ext[0] != '.')
            ext = "." + ext; // "jpg" means ".jpg", as in the batch tool
        const int lensVersion = vm["lens-version"].as<int>();
        if (lensVersion != 0 && lensVersion != 1)
            throw po::error("--lens-version must be 0 or 1");
        fs::create_directories(out);

        std::vector<std::string> paths;
        for (unsigned k = 1; k <= orb::Rig::kCameraCount; ++k)
            paths.push_back(FrameFiles::cameraImagePath(dir.string(), ext, frame, k).string());
        // The same checks as the stitch: a calibration for other images is refused.
        const orb::input::FrameInputs inputs = orb::input::readFrameInputs(paths, (dir / "calibration.yaml").string());
        const std::vector<cv::Mat>& images = inputs.images;
        const orb::Rig rig(inputs.intrinsics, lensVersion);
        const auto& cameras = rig.cameras();
        orb::pipeline::OverlayObserver overlays;
        orb::pipeline::StitchPipeline pipeline(rig, orb::pipeline::StitchOptions(), &overlays);
        const bool fullSize = vm.count("full-size") > 0;

        auto start = std::chrono::steady_clock::now();
        orb::ScanImages scan = pipeline.scan(images, height);
        pipeline.groundPlane(scan);
        std::cout << (boost::format("scan: %.2f s\n") % secondsSince(start));
        if (fullSize) {
            cv::imwrite((out / "scan.png").string(), colourMap(scan.inverseDepth));
            cv::imwrite((out / "scan-invdepth.tiff").string(), scan.inverseDepth);
        }

        const fs::path truthPath = dir / "truth-invdepth.tiff";
        if (fs::exists(truthPath)) {
            const cv::Mat truth = cv::imread(truthPath.string(), cv::IMREAD_UNCHANGED);
            DepthReport::printBands(std::cout, DepthReport::compareBands(scan.inverseDepth, truth, cameras));
        }

        start = std::chrono::steady_clock::now();
        std::vector<cv::Mat> parts = pipeline.parts(scan, images);
        std::cout << (boost::format("parts: %.2f s\n") % secondsSince(start));
        printAgreement("overlap mean abs diff, estimated scan:", DepthReport::overlapAgreement(parts));
        pipeline.adjustParts(parts); // hands the parts to the overlays
        if (!vm.count("no-parts")) {
            for (int k = 0; k < 4; ++k) {
                cv::Mat picture = parts[k];
                if (!fullSize)
                    cv::resize(parts[k], picture, orb::Overlays::overlaySize(parts[k].size()), 0, 0, cv::INTER_AREA);
                cv::imwrite((out / ("part-" + std::to_string(k + 1) + ".png")).string(), picture);
            }
        }
        {
            std::vector<cv::Mat> copies;
            for (const cv::Mat& part : parts)
                copies.push_back(part.clone());
            orb::MaskedImageSet set = pipeline.masks(copies);
            pipeline.seams(set); // hands the seams to the overlays
        }
        orb::Overlays::writeOverlays(out.string(), frame, overlays.overlays);
        parts.clear();

        if (vm.count("zero-scan")) {
            orb::ScanImages zero = scan;
            zero.inverseDepth = cv::Mat_<float>::zeros(scan.inverseDepth.size());
            parts = pipeline.parts(zero, images);
            printAgreement("overlap mean abs diff, zero scan:     ", DepthReport::overlapAgreement(parts));
        }
        std::cout << "wrote " << out.string() << "\n";
    } catch (const po::error& e) {
        std::cerr << e.what() << std::endl;
        return 1;
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-inspect: " << e.what() << std::endl;
        return 2;
    }
    return 0;
}
