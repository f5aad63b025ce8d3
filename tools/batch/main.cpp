// quadstitch-batch: stitches a whole take, frame by frame, with the same pixels as
// quadstitch, several frames at once, resumable, with progress and a report.
#include "BatchRunner.h"
#include "ToolVersion.h"


#include <boost/program_options.hpp>
#include <exiv2/version.hpp>
#include <libdeflate.h>

#include <iostream>
#include <limits>
#include <string>

namespace po = boost::program_options;

namespace {

// Unsigned values are read as text: the option parser would wrap "-1" round.
std::uint64_t unsignedOption(const po::variables_map& vm, const char* name, std::uint64_t low, std::uint64_t high)
{
    const std::string text = vm[name].as<std::string>();
    std::uint64_t value = 0;
    bool ok = !text.empty() && text.size() <= 19;
    for (char c : text) {
        ok = ok && c >= '0' && c <= '9';
        if (ok)
            value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (!ok || value < low || value > high) {
        throw po::error(std::string("--") + name + " '" + text + "': expected an integer from " + std::to_string(low) +
                        " to " + std::to_string(high));
    }
    return value;
}

} // namespace

int main(int argc, char** argv)
{
    po::options_description description("quadstitch-batch: stitches every frame of a take into panoramas, several "
                                        "at once, resumable, with progress and a report\n"
                                        "Usage: quadstitch-batch -d DIR [options]\n\nOptions",
                                        100, 50);
    description.add_options()
        ("help,h", "this help")
        ("version", "the versions of the tool and of the libraries it was built with")
        ("working-directory,d", po::value<std::string>()->default_value("."),
         "frames as quadstitch reads them: %010d-<camera><ext> and calibration.yaml")
        ("output-directory,o", po::value<std::string>(), "where panoramas go (default: the working directory)")
        ("frames", po::value<std::string>()->default_value("all"),
         "all (every frame number with a camera image; one missing any of its four fails), N, or A-B")
        ("stitch-type,s", po::value<std::string>()->default_value("0"), "0 = full stitch, 1 = fast stitch")
        ("height-faststitch,t", po::value<std::string>()->default_value("1000"),
         "height of the fast stitch (also --height)")
        ("height", po::value<std::string>(), "the same as --height-faststitch")
        ("image-file-extension,i", po::value<std::string>()->default_value(".png"), "camera images, including the .")
        ("format", po::value<std::string>()->default_value("png"), "panorama format: png, jpg or tif")
        ("jobs,j", po::value<std::string>(), "frames in flight (default: what the cores and the free memory allow)")
        ("shard", po::value<std::string>()->default_value("1/1"),
         "K/N: take the K-th of N disjoint, deterministic shares of the frames")
        ("report", po::value<std::string>(), "JSON report: per frame status, output, seconds per stage, error")
        ("force", "stitch frames whose panorama already exists")
        ("quality", po::value<std::string>()->default_value("seed"),
         "seed = the same pixels as quadstitch; best = dense depth, exposure matching, clean coverage edge and "
         "stable seams over time (full stitch; each worker takes a contiguous run of frames in order)")
        ("overlays", "also write reduced seam, depth and disagreement pictures beside each panorama")
        ("quiet,q", "no progress display");

    batch::BatchOptions options;
    try {
        po::variables_map vm;
        const po::positional_options_description noPositionalArguments;
        po::store(po::command_line_parser(argc, argv).options(description).positional(noPositionalArguments).run(), vm);
        po::notify(vm);
        if (vm.count("help")) {
            std::cout << description << "\nExample:\n  quadstitch-batch -d take -o take/panoramas --report "
                                          "take/panoramas/quadstitch-report.json\n";
            return batch::kExitOk;
        }
        if (vm.count("version")) {
            std::cout << tools::versionText("quadstitch-batch",
                                            {"libdeflate " LIBDEFLATE_VERSION_STRING " (PNG panoramas)",
                                             "Exiv2 " + Exiv2::versionString() + " (360 properties)"});
            return batch::kExitOk;
        }
        // One name for the panorama height across the tools; quadstitch's own is kept.
        const bool height = vm.count("height") > 0;
        if (height && !vm["height-faststitch"].defaulted())
            throw po::error("give the fast stitch height once: --height or --height-faststitch (-t)");
        options.workingDirectory = vm["working-directory"].as<std::string>();
        if (vm.count("output-directory"))
            options.outputDirectory = vm["output-directory"].as<std::string>();
        options.frames = batch::parseFrameChoice(vm["frames"].as<std::string>());
        options.fastStitch = unsignedOption(vm, "stitch-type", 0, 1) == 1;
        // Height: at least one column per sector; at most what a 32-bit map can index.
        options.fastStitchHeight = static_cast<std::uint32_t>(unsignedOption(vm, height ? "height" : "height-faststitch", 4, 32767));
        options.imageExtension = batch::normalisedExtension(vm["image-file-extension"].as<std::string>());
        options.format = vm["format"].as<std::string>();
        if (options.format != "png" && options.format != "jpg" && options.format != "tif")
            throw po::error("--format '" + options.format + "': expected png, jpg or tif");
        if (vm.count("jobs"))
            options.jobs = static_cast<unsigned>(unsignedOption(vm, "jobs", 1, 256));
        options.shard = batch::parseShard(vm["shard"].as<std::string>());
        if (vm.count("report"))
            options.reportPath = vm["report"].as<std::string>();
        options.force = vm.count("force") > 0;
        options.quiet = vm.count("quiet") > 0;
        options.overlays = vm.count("overlays") > 0;
        options.quality = vm["quality"].as<std::string>();
        try {
            if (orb::pipeline::parseQuality(options.quality) == orb::pipeline::Quality::Best) {
                if (options.fastStitch)
                    throw po::error("--quality best needs the full stitch (-s 0)");
                // Frame-to-frame stability needs each worker's frames in take order.
                options.framesInOrder = true;
            }
        } catch (const std::invalid_argument& e) {
            throw po::error(std::string("--") + e.what());
        }
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n" << "Try 'quadstitch-batch --help'.\n";
        return batch::kExitUsage;
    }
    try {
        return batch::runTake(options);
    } catch (const std::exception& e) {
        std::cerr << "quadstitch-batch: " << e.what() << "\n";
        return batch::kExitFailed;
    }
}
