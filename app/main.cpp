#include "app/CreateEquirectangular.h"
#include "StitchLib/mapping/FastStitchMaps.h"

#include <boost/program_options.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <iostream>
#include <stdexcept>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace po = boost::program_options;

namespace {

constexpr uint32_t numberOfCameras = 4;
const char* const calibrationFileName = "calibration.yaml";

// Exit statuses: a command line that cannot be used, and a frame that cannot be stitched.
constexpr int exitUsage = 1;
constexpr int exitFailure = 2;

// Smallest fast panorama whose four sectors are all at least one column wide.
constexpr uint32_t minFastStitchHeight = 4;
// Peak memory of the fast stitch per panorama pixel: the 3-byte result plus one
// sector's float map and remapped block at a time (measured: 4.5 GB at height 20000).
constexpr double fastStitchBytesPerPixel = 6.0;

// An option value that is usable but cannot be used for this run.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace

// An unsigned option written as decimal digits only: the stock conversion to
// uint32_t accepts "-1" and wraps it round to 4294967295.
struct UnsignedOption {
    uint32_t value = 0;
};

void validate(boost::any& result, const std::vector<std::string>& values, UnsignedOption*, int)
{
    po::validators::check_first_occurrence(result);
    const std::string& text = po::validators::get_single_string(values);
    const std::size_t first = (!text.empty() && text[0] == '+') ? 1 : 0;
    if (text.size() == first || text.find_first_not_of("0123456789", first) != std::string::npos)
        throw po::invalid_option_value(text);
    uint64_t value = 0;
    for (std::size_t i = first; i < text.size(); ++i) {
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > UINT32_MAX)
            throw po::invalid_option_value(text);
    }
    result = boost::any(UnsignedOption{static_cast<uint32_t>(value)});
}

namespace {

// Memory the process can have: physical memory, or less under an address-space limit.
double usableMemoryBytes()
{
    double bytes = static_cast<double>(::sysconf(_SC_PHYS_PAGES)) * static_cast<double>(::sysconf(_SC_PAGESIZE));
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_AS, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
        bytes = std::min(bytes, static_cast<double>(limit.rlim_cur));
    return bytes;
}

// Refuses a fast stitch height that cannot work before any file is read.
void checkFastStitchHeight(uint32_t height)
{
    if (height < minFastStitchHeight) {
        throw UsageError("Fast stitch height " + std::to_string(height) + " is too small; it must be at least " +
                         std::to_string(minFastStitchHeight) + " (option --height-faststitch)");
    }
    const double pixels = 2.0 * static_cast<double>(height) * static_cast<double>(height);
    const double needed = pixels * fastStitchBytesPerPixel;
    const double available = usableMemoryBytes();
    if (needed > available) {
        const auto gib = [](double b) { return std::to_string(static_cast<long long>(b / (1 << 30) + 0.5)); };
        throw UsageError("Fast stitch height " + std::to_string(height) + " is too large: a panorama of " +
                         std::to_string(height) + " x " + std::to_string(2ull * height) +
                         " pixels cannot be allocated (it needs about " + gib(needed) + " GiB; " + gib(available) +
                         " GiB of memory) (option --height-faststitch)");
    }
    if (height > static_cast<uint32_t>(orb::kMaxFastStitchHeight)) {
        throw UsageError("Fast stitch height " + std::to_string(height) + " is too large; it must be at most " +
                         std::to_string(orb::kMaxFastStitchHeight) +
                         ", the tallest block OpenCV's remap takes (option --height-faststitch)");
    }
}

} // namespace

int main(int argc, char** argv)
{
    // No process-wide allocator tuning: the blend keeps and reuses its own
    // large planes, and the default allocator returns freed parts to the
    // system, which keeps the peak lower.
    po::options_description description("Allowed options", 80, 40);
    description.add_options()
        ("help,h", "Help Screen")
        ("working-directory,d", po::value<std::string>()->default_value("."), "Working Directory")
        ("frameNumber,f", po::value<UnsignedOption>()->default_value(UnsignedOption{0}, "0"), "The frame number")
        ("stitch-type,s", po::value<UnsignedOption>()->default_value(UnsignedOption{0}, "0"),
         "0 = full stitch, 1 = fast stitch")
        ("height-faststitch,t", po::value<UnsignedOption>()->default_value(UnsignedOption{1000}, "1000"),
         "height in pixels of the fast stitch")
        ("image-file-extension,i", po::value<std::string>()->default_value(".png"),
         "The type of image file including .");

    try {
        po::variables_map options;
        // No positional arguments exist: an empty positional description makes a
        // stray word (say, a frame number without -f) an error instead of being ignored.
        const po::positional_options_description noPositionalArguments;
        po::store(po::command_line_parser(argc, argv)
                      .options(description)
                      .positional(noPositionalArguments)
                      .run(),
                  options);
        po::notify(options);

        if (options.count("help")) {
            std::cout << description << std::endl;
            return 0;
        }

        std::string workingDirectory;
        std::string extension;
        uint32_t height = 0;
        uint32_t frameNumber = 0;
        uint32_t stitchType = 0;
        if (options.count("working-directory")) workingDirectory = options["working-directory"].as<std::string>();
        if (options.count("image-file-extension")) extension = options["image-file-extension"].as<std::string>();
        if (options.count("height-faststitch")) height = options["height-faststitch"].as<UnsignedOption>().value;
        if (options.count("frameNumber")) frameNumber = options["frameNumber"].as<UnsignedOption>().value;
        if (options.count("stitch-type")) stitchType = options["stitch-type"].as<UnsignedOption>().value;
        if (stitchType != 0)
            checkFastStitchHeight(height);

        CreateEquirectangular(workingDirectory, extension, frameNumber, stitchType != 0, height,
                              numberOfCameras, calibrationFileName);
    } catch (const po::error& e) {
        // A command line that cannot be used is a failure, not a success.
        std::cerr << e.what() << std::endl;
        return exitUsage;
    } catch (const UsageError& e) {
        std::cerr << "quadstitch: " << e.what() << std::endl;
        return exitUsage;
    } catch (const std::exception& e) {
        std::cerr << "quadstitch: " << e.what() << std::endl;
        return exitFailure;
    } catch (...) {
        std::cerr << "quadstitch: unknown error" << std::endl;
        return exitFailure;
    }
    return 0;
}
