#include "BatchCommandLine.h"

#include "StitchLib/mapping/FastStitchMaps.h"

#include <filesystem>
#include <ostream>

namespace po = boost::program_options;
namespace fs = std::filesystem;

namespace batch {

po::options_description commandLineOptions()
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
         ("height of the fast stitch, 4 to " + std::to_string(orb::kMaxFastStitchHeight) +
          " (OpenCV's remap takes fewer than 32767 rows) and what the memory holds; also --height").c_str())
        ("height", po::value<std::string>(), "the same as --height-faststitch")
        ("image-file-extension,i", po::value<std::string>()->default_value(".png"), "camera images, including the .")
        ("format", po::value<std::string>()->default_value("png"), "panorama format: png, jpg or tif")
        ("jpeg-quality", po::value<std::string>(), "JPEG quality from 1 to 100 with --format jpg (default 95)")
        ("jobs,j", po::value<std::string>(), "frames in flight (default: what the cores and the free memory allow)")
        ("shard", po::value<std::string>()->default_value("1/1"),
         "K/N: take the K-th of N disjoint, deterministic shares of the frames")
        ("report", po::value<std::string>(), "JSON report: per frame status, output, seconds per stage, error")
        ("force", "stitch frames whose panorama already exists")
        ("quality", po::value<std::string>()->default_value("seed"),
         "seed = the same pixels as quadstitch; best = dense depth, exposure matching, clean coverage edge and "
         "depth held over time (full stitch; each worker takes a contiguous run of frames in order, after "
         "pre-rolling the frames its first one depends on)")
        ("overlays", "also write reduced seam, depth and disagreement pictures beside each panorama")
        ("check-calibration",
         "before the take, measure on a few frames how well the calibration fits them (quadstitch-calibrate "
         "--check); warn when it does not, and put the residual in the report")
        ("quiet,q", "no progress display");
    po::options_description videoDescription("Video takes (-o OUT.mp4, .mov or .mkv writes a 360 video)", 100, 50);
    videoDescription.add_options()
        ("video", po::value<std::vector<std::string>>()->multitoken(),
         "CAM1 CAM2 CAM3 CAM4: the cameras' videos (forward, right, back, left) instead of -d")
        ("calibration", po::value<std::string>(), "rig calibration (default: calibration.yaml beside the first video)")
        ("offsets", po::value<std::string>(),
         "a,b,c,d: where the same instant is in each camera's video, in frames (or each with ms); a camera "
         "started earlier has a larger offset")
        ("sync", po::value<std::string>(), "audio or picture: estimate the offsets (default: audio when all four "
                                           "videos have audio, else picture)")
        ("start", po::value<std::string>(), "seconds into the take to start at")
        ("duration", po::value<std::string>(), "seconds of the take to stitch")
        ("codec", po::value<std::string>()->default_value("h264"), "h264 (libx264) or hevc (libx265)")
        ("crf", po::value<std::string>(), "constant rate factor, 0-51 (default 18 for h264, 22 for hevc)")
        ("preset", po::value<std::string>()->default_value("medium"), "encoder preset (ultrafast ... veryslow)")
        ("size", po::value<std::string>(),
         "WxH of the video (default 3840x1920 for h264, 7680x3840 for hevc; a fast stitch's own size when smaller)")
        ("segment-seconds", po::value<std::string>()->default_value("10"),
         "length of the independently encoded segments kept in OUT.segments/")
        ("join", "only join the finished segments into the video (after sharded runs)")
        ("audio-from", po::value<std::string>(), "camera 1-4 whose audio the video carries (default 1)");
    description.add(videoDescription);
    return description;
}

po::variables_map parseCommandLine(int argc, char** argv, const po::options_description& options)
{
    po::variables_map vm;
    const po::positional_options_description noPositionalArguments;
    po::store(po::command_line_parser(argc, argv).options(options).positional(noPositionalArguments).run(), vm);
    po::notify(vm);
    return vm;
}

void printHelp(std::ostream& out, const po::options_description& options)
{
    out << options << "\nExample:\n  quadstitch-batch -d take -o take/panoramas --report "
                      "take/panoramas/quadstitch-report.json\n";
}

bool needsVideoModule(const po::variables_map& vm)
{
    return vm.count("version") || vm.count("video") || vm.count("check-calibration");
}

BatchOptions imageTakeOptions(const po::variables_map& vm)
{
    BatchOptions options;
    // One name for the panorama height across the tools; quadstitch's own is kept.
    const bool height = vm.count("height") > 0;
    if (height && !vm["height-faststitch"].defaulted())
        throw po::error("give the fast stitch height once: --height or --height-faststitch (-t)");
    for (const char* videoOnly : {"calibration", "offsets", "sync", "start", "duration", "crf", "size", "join",
                                  "audio-from"}) {
        if (vm.count(videoOnly))
            throw po::error(std::string("--") + videoOnly + " needs --video");
    }
    if (vm.count("output-directory") && isVideoOutput(vm["output-directory"].as<std::string>()))
        throw po::error("-o " + vm["output-directory"].as<std::string>() +
                        ": a video is written from --video CAM1 CAM2 CAM3 CAM4");
    options.workingDirectory = vm["working-directory"].as<std::string>();
    if (vm.count("output-directory"))
        options.outputDirectory = vm["output-directory"].as<std::string>();
    options.frames = parseFrameChoice(vm["frames"].as<std::string>());
    options.fastStitch = unsignedOption(vm, "stitch-type", 0, 1) == 1;
    // Height: at least one column per sector; at most what OpenCV's remap takes.
    options.fastStitchHeight = static_cast<std::uint32_t>(unsignedOption(
        vm, height ? "height" : "height-faststitch", 4, static_cast<std::uint64_t>(orb::kMaxFastStitchHeight)));
    options.imageExtension = normalisedExtension(vm["image-file-extension"].as<std::string>());
    options.format = vm["format"].as<std::string>();
    if (options.format != "png" && options.format != "jpg" && options.format != "tif")
        throw po::error("--format '" + options.format + "': expected png, jpg or tif");
    if (vm.count("jpeg-quality")) {
        if (options.format != "jpg")
            throw po::error("--jpeg-quality applies to JPEG panoramas only (--format jpg)");
        options.jpegQuality = static_cast<int>(unsignedOption(vm, "jpeg-quality", 1, 100));
    }
    if (vm.count("jobs"))
        options.jobs = static_cast<unsigned>(unsignedOption(vm, "jobs", 1, 256));
    options.shard = parseShard(vm["shard"].as<std::string>());
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
    return options;
}

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

double secondsOption(const po::variables_map& vm, const char* name, bool zeroAllowed)
{
    const std::string text = vm[name].as<std::string>();
    std::size_t used = 0;
    double value = -1;
    if (!text.empty() && text.find_first_not_of("0123456789.") == std::string::npos) {
        try {
            value = std::stod(text, &used);
        } catch (const std::exception&) {
            used = 0;
        }
    }
    if (used != text.size() || text.empty() || !(value >= 0) || value > 1e7 || (!zeroAllowed && value == 0))
        throw po::error(std::string("--") + name + " '" + text + "': expected a number of seconds" +
                        (zeroAllowed ? "" : " above 0"));
    return value;
}

std::pair<int, int> parseSize(const std::string& text)
{
    const std::size_t x = text.find('x');
    auto number = [&](const std::string& s) {
        if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos)
            throw std::invalid_argument("--size '" + text + "': expected WIDTHxHEIGHT, e.g. 3840x1920");
        return std::stoi(s);
    };
    if (x == std::string::npos)
        throw std::invalid_argument("--size '" + text + "': expected WIDTHxHEIGHT, e.g. 3840x1920");
    return {number(text.substr(0, x)), number(text.substr(x + 1))};
}

bool isVideoOutput(const std::string& path)
{
    const std::string ext = fs::path(path).extension().string();
    return ext == ".mp4" || ext == ".mov" || ext == ".mkv";
}

} // namespace batch
